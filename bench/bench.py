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


LAST_CPU = [0.0]


def run_once(argv, cwd):
    """Runs one process; returns (seconds, peak resident bytes, status). The
    CPU time it used (user and system) is left in LAST_CPU[0]."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    LAST_CPU[0] = usage.ru_utime + usage.ru_stime
    return elapsed, usage.ru_maxrss * 1024, child.returncode


def measure(argv, cwd, runs, before=None):
    """Median wall time, median CPU time and highest peak memory of `runs`
    timed runs after one warm-up; `before` runs untimed ahead of every run."""
    times, cpus, peaks = [], [], []
    for attempt in range(runs + 1):
        if before:
            before()
        seconds, peak, status = run_once(argv, cwd)
        if status != 0:
            sys.exit("failed (%d): %s in %s" % (status, " ".join(argv), cwd))
        if attempt:
            times.append(seconds)
            cpus.append(LAST_CPU[0])
            peaks.append(peak)
    return statistics.median(times), statistics.median(cpus), max(peaks)


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

    def add(self, mode, measured, processed, what, input_bytes, speed_target):
        seconds, cpu, peak = measured
        speed = mb(processed) / seconds
        limit = 2 * input_bytes + 16 * MIB
        self.rows.append((mode, seconds, speed, cpu, mb(processed) / cpu if cpu else 0.0, what, speed_target, peak,
                          limit))
        return speed

    def print(self):
        print("%-12s %8s %8s %8s %8s  %-13s %6s %8s %8s  %s" % (
            "mode", "wall s", "MB/s", "cpu s", "cpu MB/s", "of", "target", "peak MiB", "limit", "verdict"))
        for mode, seconds, speed, cpu, cpu_speed, what, target, peak, limit in self.rows:
            fine = speed >= target and peak <= limit
            print("%-12s %8.3f %8.1f %8.3f %8.1f  %-13s %6d %8.1f %8.1f  %s" % (
                mode, seconds, speed, cpu, cpu_speed, what, target, peak / MIB, limit / MIB,
                "met" if fine else "MISSED"))
        print("(verdicts judge the wall-clock MB/s and the peak; the cpu columns leave out waiting for a core)")


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
    asm_speed = report.add("assembly", measure([tool, "Bench", "-Q"], asm_dir, args.runs), cas_bytes,
                           ".cas read", cas_bytes, 150)
    report.add("-A on .cas", measure([tool, "Bench", "-A", "-Q"], asm_dir, args.runs), cas_bytes, ".cas read",
               cas_bytes, 150)
    disasm_speed = report.add("disassembly", measure([tool, "Bench", "-D", "-Q"], disasm_dir, args.runs),
                              disasm_bytes, ".cas written", cex_bytes, 150)
    report.add("-A on .cex", measure([tool, "Bench", "-D", "-A", "-Q"], disasm_dir, args.runs), cex_bytes,
               ".cex read", cex_bytes, 200)
    fresh = os.path.join(strip_dir, "Bench.cex")
    report.add("strip", measure([tool, "Bench", "-S", "-Q"], strip_dir, args.runs,
                                before=lambda: shutil.copyfile(cex, fresh)), cex_bytes, ".cex read", cex_bytes, 200)
    report.print()

    # A tiny script against /bin/true, interleaved so that all see the same
    # load: analysis only, and assembly writing Hello.cex over the previous
    # run's file (which the file system may have to flush first).
    tiny_dir = os.path.join(work, "tiny")
    shutil.copyfile(os.path.join(HERE, "..", "examples", "Hello.cas"), os.path.join(tiny_dir, "Hello.cas"))
    runs = {"true": [], "analysis": [], "assembly": []}
    for attempt in range(args.tiny_runs + 1):
        timed = [("true", ["/bin/true"]), ("analysis", [tool, "Hello", "-A", "-Q"]),
                 ("assembly", [tool, "Hello", "-Q"])]
        for name, argv in timed:
            seconds, _, status = run_once(argv, tiny_dir)
            if status != 0:
                sys.exit("tiny script failed: " + " ".join(argv))
            if attempt:
                runs[name].append(seconds)
    base = statistics.median(runs["true"])
    print()
    print("tiny script (Hello.cas, %d runs each): /bin/true %.3f ms" % (args.tiny_runs, base * 1e3))
    for name in ("analysis", "assembly"):
        ratio = statistics.median(runs[name]) / base
        print("  %-9s %.3f ms, ratio %.2f (target at most 2.00) %s"
              % (name, statistics.median(runs[name]) * 1e3, ratio, "met" if ratio <= 2.0 else "MISSED"))

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
        seconds = measure([wat2wasm, "Bench.wat", "-o", "Bench.wasm"], wasm_dir, args.runs)[0]
        wat2wasm_speed = mb(wat_bytes) / seconds
        seconds = measure([wasm2wat, "Bench.wasm", "-o", "Back.wat"], wasm_dir, args.runs)[0]
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
