#!/usr/bin/env python3
"""Checks that the generator's scripts stay valid inputs of the tool:

    check_generated.py TOOL WORKDIR [SIZE] [COUNT]

The large script of SIZE bytes and the first COUNT small scripts of a batch
must assemble without any message, and each disassembly must be a fixed
point: assembled and disassembled again it gives the same text byte for
byte. (The compiled files may differ in the order of their
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


def round_trip(tool, name, first, second):
    """`name`.cas in `first` assembles and disassembles quietly, and so does
    its disassembly, copied to `second`, to the same text."""
    run(tool, [name, "-Q"], first)
    run(tool, [name, "-D", "-Q"], first)
    shutil.copyfile(os.path.join(first, name + ".disassemble.cas"), os.path.join(second, name + ".cas"))
    run(tool, [name, "-Q"], second)
    run(tool, [name, "-D", "-Q"], second)
    with open(os.path.join(first, name + ".disassemble.cas"), "rb") as a, \
            open(os.path.join(second, name + ".disassemble.cas"), "rb") as b:
        if a.read() != b.read():
            sys.exit("the disassembly of %s, assembled and disassembled again, changed" % name)


def main():
    tool, work = os.path.abspath(sys.argv[1]), sys.argv[2]
    size = sys.argv[3] if len(sys.argv) > 3 else "300K"
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 40
    first, second, batch = (os.path.join(work, d) for d in ("first", "second", "batch"))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(first)
    os.makedirs(second)
    gen = os.path.join(HERE, "gen.py")
    subprocess.run([sys.executable, gen, "cas", size, os.path.join(first, "Bench.cas")], check=True)
    round_trip(tool, "Bench", first, second)
    subprocess.run([sys.executable, gen, "batch", str(count), batch], check=True)
    with open(os.path.join(batch, "names.txt")) as listing:
        names = listing.read().split()
    for name in names:
        shutil.copyfile(os.path.join(batch, "cas", name + ".cas"), os.path.join(first, name + ".cas"))
        round_trip(tool, name, first, second)
    print("generated script of %s and %d small scripts assemble cleanly and survive disassembly" % (size, count))


if __name__ == "__main__":
    main()
