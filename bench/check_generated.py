#!/usr/bin/env python3
"""Checks that the generator's script stays a valid input of the tool:

    check_generated.py TOOL WORKDIR [SIZE]

The generated script must assemble without any message, and its disassembly
must be a fixed point: assembled and disassembled again it gives the same
text byte for byte. (The compiled files may differ in the order of their
string table: the disassembly lists static functions first, and the table
follows the order in which functions are read.) Exit status 0 when both
hold."""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run(tool, args, cwd):
    done = subprocess.run([tool] + args, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0 or done.stdout:
        sys.exit("%s %s in %s: exit %d\n%s" % (tool, " ".join(args), cwd, done.returncode, done.stdout))


def main():
    tool, work = os.path.abspath(sys.argv[1]), sys.argv[2]
    size = sys.argv[3] if len(sys.argv) > 3 else "300K"
    first, second = os.path.join(work, "first"), os.path.join(work, "second")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(first)
    os.makedirs(second)
    subprocess.run([sys.executable, os.path.join(HERE, "gen.py"), "cas", size, os.path.join(first, "Bench.cas")],
                   check=True)
    run(tool, ["Bench", "-Q"], first)
    run(tool, ["Bench", "-D", "-Q"], first)
    shutil.copyfile(os.path.join(first, "Bench.disassemble.cas"), os.path.join(second, "Bench.cas"))
    run(tool, ["Bench", "-Q"], second)
    run(tool, ["Bench", "-D", "-Q"], second)
    with open(os.path.join(first, "Bench.disassemble.cas"), "rb") as a, \
            open(os.path.join(second, "Bench.disassemble.cas"), "rb") as b:
        if a.read() != b.read():
            sys.exit("the disassembly, assembled and disassembled again, changed")
    print("generated script of %s assembles cleanly and survives disassembly" % size)


if __name__ == "__main__":
    main()
