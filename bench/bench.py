#!/usr/bin/env python3
"""Times CorvelAssembler on a large generated script and prints, for each
mode, the median wall time, the speed in MB/s of the text or file processed
and the peak resident memory, each next to its target. Called by run.sh,
which builds the tool first; it can also be run on its own:

    bench.py --tool PATH [--work DIR] [--size 24M] [--runs 5] [--tiny-runs 200]

Every run is a fresh process on files in DIR after one untimed warm-up run,
so the file cache is warm. MB are 10^6 bytes. When wat2wasm and wasm2wat are
on the PATH, they are timed in the same way on a WebAssembly text module of
the same byte size, and our speed is printed as a ratio to theirs.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1024 * 1024


def run_once(argv, cwd):
    """Runs one process; returns (seconds, peak resident bytes, status)."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss * 1024, child.returncode


def measure(argv, cwd, runs, before=None):
    """Median time and highest peak memory of `runs` timed runs after one
    warm-up; `before` runs untimed ahead of every run."""
    times, peaks = [], []
    for attempt in range(runs + 1):
        if before:
            before()
        seconds, peak, status = run_once(argv, cwd)
        if status != 0:
            sys.exit("failed (%d): %s in %s" % (status, " ".join(argv), cwd))
        if attempt:
            times.append(seconds)
            peaks.append(peak)
    return statistics.median(times), max(peaks)


def machine_line():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, %s %s" % (model, os.cpu_count() or 0, platform.system(), platform.release())


def load_line():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def mb(count):
    return count / 1e6


def generate(kind, size, path):
    stamp = path + ".size"
    if os.path.exists(path) and os.path.exists(stamp) and open(stamp).read() == size:
        return
    subprocess.run([sys.executable, os.path.join(HERE, "gen.py"), kind, size, path], check=True)
    with open(stamp, "w") as out:
        out.write(size)


class Report:
    def __init__(self):
        self.rows = []

    def add(self, mode, seconds, processed, what, peak, input_bytes, speed_target):
        speed = mb(processed) / seconds
        limit = 2 * input_bytes + 16 * MIB
        self.rows.append((mode, seconds, speed, what, speed_target, peak, limit))
        return speed

    def print(self):
        print("%-22s %9s %10s  %-16s %9s %9s %9s  %s" % ("mode", "median s", "MB/s", "of", "target", "peak MiB",
                                                       "limit", "verdict"))
        for mode, seconds, speed, what, target, peak, limit in self.rows:
            fine = (target is None or speed >= target) and peak <= limit
            print("%-22s %9.3f %10.1f  %-16s %9s %9.1f %9.1f  %s" % (
                mode, seconds, speed, what, "%d" % target if target else "-", peak / MIB, limit / MIB,
                "met" if fine else "MISSED"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", default="/tmp/corvel-bench")
    parser.add_argument("--size", default="24M")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tiny-runs", type=int, default=200)
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)

    work = args.work
    for sub in ("asm", "disasm", "strip", "tiny", "wasm"):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
    asm_dir, disasm_dir, strip_dir = (os.path.join(work, d) for d in ("asm", "disasm", "strip"))
    cas = os.path.join(asm_dir, "Bench.cas")
    generate("cas", args.size, cas)
    cas_bytes = os.path.getsize(cas)

    # The compiled file, made once, is the input of the compiled-file modes.
    subprocess.run([tool, "Bench", "-Q"], cwd=asm_dir, check=True)
    cex = os.path.join(asm_dir, "Bench.cex")
    cex_bytes = os.path.getsize(cex)
    shutil.copyfile(cex, os.path.join(disasm_dir, "Bench.cex"))
    run_once([tool, "Bench", "-D", "-Q"], disasm_dir)
    disasm_bytes = os.path.getsize(os.path.join(disasm_dir, "Bench.disassemble.cas"))

    print("CorvelAssembler speed and memory")
    print("machine: " + machine_line())
    print("input:   Bench.cas %d bytes, Bench.cex %d bytes, disassembly %d bytes; %d runs each, median"
          % (cas_bytes, cex_bytes, disasm_bytes, args.runs))
    print("before:  " + load_line())
    print()

    report = Report()
    seconds, peak = measure([tool, "Bench", "-Q"], asm_dir, args.runs)
    asm_speed = report.add("assembly", seconds, cas_bytes, ".cas read", peak, cas_bytes, 150)
    seconds, peak = measure([tool, "Bench", "-A", "-Q"], asm_dir, args.runs)
    report.add("-A on .cas", seconds, cas_bytes, ".cas read", peak, cas_bytes, 150)
    seconds, peak = measure([tool, "Bench", "-D", "-Q"], disasm_dir, args.runs)
    disasm_speed = report.add("disassembly", seconds, disasm_bytes, ".cas written", peak, cex_bytes, 150)
    seconds, peak = measure([tool, "Bench", "-D", "-A", "-Q"], disasm_dir, args.runs)
    report.add("-A on .cex", seconds, cex_bytes, ".cex read", peak, cex_bytes, 200)
    fresh = os.path.join(strip_dir, "Bench.cex")
    seconds, peak = measure([tool, "Bench", "-S", "-Q"], strip_dir, args.runs,
                            before=lambda: shutil.copyfile(cex, fresh))
    report.add("strip", seconds, cex_bytes, ".cex read", peak, cex_bytes, 200)
    report.print()

    # A tiny script against /bin/true, interleaved so both see the same load.
    tiny_dir = os.path.join(work, "tiny")
    shutil.copyfile(os.path.join(HERE, "..", "examples", "Hello.cas"), os.path.join(tiny_dir, "Hello.cas"))
    ours, theirs = [], []
    for attempt in range(args.tiny_runs + 1):
        a = run_once(["/bin/true"], tiny_dir)[0]
        b, tiny_peak, status = run_once([tool, "Hello", "-Q"], tiny_dir)
        if status != 0:
            sys.exit("tiny script failed")
        if attempt:
            theirs.append(a)
            ours.append(b)
    ratio = statistics.median(ours) / statistics.median(theirs)
    print()
    print("tiny script (Hello.cas, %d runs): %.3f ms, /bin/true %.3f ms, ratio %.2f (target at most 2.00) %s"
          % (args.tiny_runs, statistics.median(ours) * 1e3, statistics.median(theirs) * 1e3, ratio,
             "met" if ratio <= 2.0 else "MISSED"))

    # The same work of another tool on another bytecode, as a yardstick.
    wat2wasm, wasm2wat = shutil.which("wat2wasm"), shutil.which("wasm2wat")
    print()
    if not (wat2wasm and wasm2wat):
        print("wabt: not installed (apt-get install wabt), no comparison")
    else:
        wasm_dir = os.path.join(work, "wasm")
        wat = os.path.join(wasm_dir, "Bench.wat")
        generate("wat", str(cas_bytes), wat)
        wat_bytes = os.path.getsize(wat)
        seconds, _ = measure([wat2wasm, "Bench.wat", "-o", "Bench.wasm"], wasm_dir, args.runs)
        wat2wasm_speed = mb(wat_bytes) / seconds
        seconds, _ = measure([wasm2wat, "Bench.wasm", "-o", "Back.wat"], wasm_dir, args.runs)
        back_bytes = os.path.getsize(os.path.join(wasm_dir, "Back.wat"))
        wasm2wat_speed = mb(back_bytes) / seconds
        version = subprocess.run([wat2wasm, "--version"], capture_output=True, text=True).stdout.strip()
        print("wabt %s on Bench.wat %d bytes (wasm %d bytes, written back %d bytes):"
              % (version, wat_bytes, os.path.getsize(os.path.join(wasm_dir, "Bench.wasm")), back_bytes))
        ratio = asm_speed / wat2wasm_speed
        print("  wat2wasm %8.1f MB/s of text read;    assembly    %8.1f MB/s: ratio %.2f (target at least 7.00) %s"
              % (wat2wasm_speed, asm_speed, ratio, "met" if ratio >= 7.0 else "MISSED"))
        print("  wasm2wat %8.1f MB/s of text written; disassembly %8.1f MB/s: ratio %.2f"
              % (wasm2wat_speed, disasm_speed, disasm_speed / wasm2wat_speed))
    print()
    print("after:   " + load_line())


if __name__ == "__main__":
    main()
