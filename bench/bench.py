#!/usr/bin/env python3
"""Times CorvelAssembler and, when Debian's wabt is installed, wat2wasm and
wasm2wat in the same run, and prints every figure next to its target.
Called by run.sh, which builds the tool first; it can also be run on its own:

    bench.py --tool PATH [--peak PATH] [--work DIR] [--size 24M] [--runs 5]
             [--tiny-runs 200] [--batch 5000] [--batch-runs 3]
             [--batch-scratch DIR]

Four parts, each measured in rounds that run every contender once, so that
all of them see the same load:

- a large generated script: assembly, -A on the .cas, disassembly, -A on the
  .cex and stripping, and wat2wasm and wasm2wat on a WebAssembly text module
  of the same byte size; median wall and CPU time of `runs` runs after one
  warm-up, MB/s (10^6 bytes) of the text or file processed, and the peak
  memory of the warm-up run, taken by the helper `peak`
  (corvel_peak_memory);
- a tiny script against /bin/true (start-up cost);
- a batch: `batch` small scripts assembled, then the compiled files
  disassembled, one process a file with `xargs -P 2` into a clean
  directory, against wat2wasm and wasm2wat on as many WebAssembly text
  modules of the same byte sizes; median wall and CPU time of the whole
  batch over `batch-runs` rounds (no warm-up: the median leaves out one
  cold round). It works in a fresh directory under `batch-scratch`
  (/dev/shm by default, so that a busy disk does not time itself) that it
  deletes at the end;
- the targets, each with our figure, the peer's and the verdict.

Every run must succeed and print nothing; the outputs are counted. The exit
status says nothing about the targets.
"""

import argparse
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1024 * 1024


def run_once(argv, cwd, stdin=None, check_quiet=False, peak=None):
    """Runs one process; returns (wall seconds, CPU seconds, peak resident
    bytes). CPU time includes the processes it waited for (those started by
    xargs). The peak is the command's own when `peak` names the peak-memory
    helper (which then starts the command), otherwise the system's figure
    for the child, which counts this Python's resident memory as well.
    Stops the bench when the process fails or, with `check_quiet`, prints
    anything."""
    if peak:
        figure = os.path.join(cwd, ".peak")
        argv = [peak, figure] + argv
    out = subprocess.PIPE if check_quiet else subprocess.DEVNULL
    start = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, stdin=stdin, stdout=out, stderr=subprocess.STDOUT if check_quiet else out)
    printed = child.stdout.read() if check_quiet else b""
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if check_quiet:
        child.stdout.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0 or printed:
        sys.exit("failed (exit %d): %s in %s\n%s"
                 % (code, " ".join(argv), cwd, printed.decode(errors="replace")[:2000]))
    resident = usage.ru_maxrss * 1024
    if peak:
        with open(figure) as text:
            resident = int(text.read()) * 1024
        os.remove(figure)
    return elapsed, usage.ru_utime + usage.ru_stime, resident


class Figure:
    """Median wall and CPU seconds of a series of runs, and a peak."""

    def __init__(self, times, cpus, peak):
        self.wall = statistics.median(times)
        self.cpu = statistics.median(cpus)
        self.peak = peak


def measure_rounds(contenders, runs, peak=None):
    """contenders: {key: (argv, cwd, before)}, `before` (or None) runs untimed
    ahead of every run. Every round runs each contender once, starting one
    further down the list each time. The first round is an untimed warm-up
    whose output is checked (a pipe in the timed runs would add to the time
    of short runs); it runs through the peak-memory helper `peak` when one
    is given, and gives the peaks. Without a helper the peak is the highest
    of all runs. Returns {key: Figure}."""
    keys = list(contenders)
    series = {key: ([], [], []) for key in keys}
    for attempt in range(runs + 1):
        shift = attempt % len(keys)
        for key in keys[shift:] + keys[:shift]:
            argv, cwd, before = contenders[key]
            if before:
                before()
            seconds, cpu, resident = run_once(argv, cwd, check_quiet=attempt == 0,
                                              peak=peak if attempt == 0 else None)
            if attempt:
                series[key][0].append(seconds)
                series[key][1].append(cpu)
            if peak is None or attempt == 0:
                series[key][2].append(resident)
    return {key: Figure(series[key][0], series[key][1], max(series[key][2])) for key in keys}


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


def generator_stamp(what):
    """What made a generated input: the request and the generator's bytes, so
    that a changed generator makes the input anew."""
    with open(os.path.join(HERE, "gen.py"), "rb") as source:
        return "%s %s" % (what, hashlib.sha256(source.read()).hexdigest()[:16])


def generate(kind, size, path):
    stamp_path, stamp = path + ".stamp", generator_stamp(size)
    if os.path.exists(path) and os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    subprocess.run([sys.executable, os.path.join(HERE, "gen.py"), kind, size, path], check=True)
    with open(stamp_path, "w") as out:
        out.write(stamp)


def generate_batch(count, directory):
    stamp_path, stamp = os.path.join(directory, "stamp"), generator_stamp(str(count))
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    shutil.rmtree(directory, ignore_errors=True)
    subprocess.run([sys.executable, os.path.join(HERE, "gen.py"), "batch", str(count), directory], check=True)
    with open(stamp_path, "w") as out:
        out.write(stamp)


def file_system(path):
    """The type of the file system that holds `path`, from /proc/mounts."""
    path, best, kind = os.path.realpath(path), "", "unknown file system"
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                fields = line.split()
                point = fields[1]
                if (path == point or path.startswith(point.rstrip("/") + "/")) and len(point) > len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    return kind


def total_size(directory, names, extension):
    return sum(os.path.getsize(os.path.join(directory, name + extension)) for name in names)


def median_size(directory, names, extension):
    return statistics.median(os.path.getsize(os.path.join(directory, name + extension)) for name in names)


class BatchSide:
    """One side of the batch: an assembler and a disassembler, each run once
    a file by xargs -P 2 in a clean directory that holds links to its
    inputs (the tools read and write in the current directory)."""

    def __init__(self, label, assemble, disassemble, sources, extensions):
        self.label = label
        self.commands = (assemble, disassemble)
        self.sources = sources
        self.extensions = extensions  # source, assembled, disassembled
        self.series = (([], []), ([], []))  # (walls, cpus) of assembling, of disassembling
        self.written = (0, 0)

    def figures(self):
        return [Figure(walls, cpus, 0) for walls, cpus in self.series]


def link_all(names, source, target, extension):
    os.makedirs(target)
    for name in names:
        os.link(os.path.join(source, name + extension), os.path.join(target, name + extension))


def run_batch(sides, names_path, names, out, runs):
    """Every round runs each side (starting one further down the list each
    time): its assembler over the sources, then its disassembler over what
    the assembler wrote. Outputs are counted and measured, then deleted at
    once (on a disk file system, files that have been written back cost far
    more to delete than fresh ones). The first round's output is checked."""
    shutil.rmtree(out, ignore_errors=True)
    for attempt in range(runs):
        shift = attempt % len(sides)
        for side in sides[shift:] + sides[:shift]:
            source, assembled, disassembled = side.extensions
            directories = (os.path.join(out, side.label, "assemble"), os.path.join(out, side.label, "disassemble"))
            link_all(names, side.sources, directories[0], source)
            written = []
            for step, extension in enumerate((assembled, disassembled)):
                with open(names_path, "rb") as listing:
                    seconds, cpu, _ = run_once(["xargs", "-P", "2", "-I{}"] + side.commands[step], directories[step],
                                               stdin=listing, check_quiet=attempt == 0)
                side.series[step][0].append(seconds)
                side.series[step][1].append(cpu)
                missing = [name for name in names
                           if not os.path.exists(os.path.join(directories[step], name + extension))]
                if missing:
                    sys.exit("%s wrote no %s" % (" ".join(side.commands[step]), missing[0] + extension))
                written.append(total_size(directories[step], names, extension))
                if step == 0:
                    # The disassembler's inputs are the assembler's outputs.
                    link_all(names, directories[0], directories[1], assembled)
            side.written = tuple(written)
            shutil.rmtree(os.path.join(out, side.label))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--peak", help="the peak-memory helper (corvel_peak_memory); without it a peak includes "
                        "this script's own resident memory")
    parser.add_argument("--work", default="/tmp/corvel-bench")
    parser.add_argument("--size", default="24M")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tiny-runs", type=int, default=200)
    parser.add_argument("--batch", type=int, default=5000)
    parser.add_argument("--batch-runs", type=int, default=3)
    parser.add_argument("--batch-scratch", default="/dev/shm" if os.access("/dev/shm", os.W_OK) else None,
                        help="where the batch reads and writes (default /dev/shm, else the work directory)")
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)
    if args.batch_scratch is None:
        args.batch_scratch = os.path.abspath(args.work)
    peak = os.path.abspath(args.peak) if args.peak else None
    wat2wasm, wasm2wat = shutil.which("wat2wasm"), shutil.which("wasm2wat")
    wabt = bool(wat2wasm and wasm2wat)

    work = os.path.abspath(args.work)
    for sub in ("asm", "disasm", "strip", "tiny", "wasm"):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
    asm_dir, disasm_dir, strip_dir, wasm_dir = (os.path.join(work, d) for d in ("asm", "disasm", "strip", "wasm"))
    cas = os.path.join(asm_dir, "Bench.cas")
    generate("cas", args.size, cas)
    cas_bytes = os.path.getsize(cas)

    # The compiled file, made once, is the input of the compiled-file modes.
    run_once([tool, "Bench", "-Q"], asm_dir, check_quiet=True)
    cex = os.path.join(asm_dir, "Bench.cex")
    cex_bytes = os.path.getsize(cex)
    shutil.copyfile(cex, os.path.join(disasm_dir, "Bench.cex"))
    run_once([tool, "Bench", "-D", "-Q"], disasm_dir, check_quiet=True)
    disasm_bytes = os.path.getsize(os.path.join(disasm_dir, "Bench.disassemble.cas"))
    if wabt:
        wat = os.path.join(wasm_dir, "Bench.wat")
        generate("wat", str(cas_bytes), wat)
        wat_bytes = os.path.getsize(wat)
        run_once([wat2wasm, "Bench.wat", "-o", "Bench.wasm"], wasm_dir, check_quiet=True)
        run_once([wasm2wat, "Bench.wasm", "-o", "Back.wat"], wasm_dir, check_quiet=True)
        wasm_bytes = os.path.getsize(os.path.join(wasm_dir, "Bench.wasm"))
        back_bytes = os.path.getsize(os.path.join(wasm_dir, "Back.wat"))
        version = subprocess.run([wat2wasm, "--version"], capture_output=True, text=True).stdout.strip()

    print("CorvelAssembler speed and memory")
    print("machine: " + machine_line())
    print("before:  " + load_line())
    print()

    # The large script.
    fresh = os.path.join(strip_dir, "Bench.cex")

    def copy_for_strip():
        shutil.copyfile(cex, fresh)

    contenders = {
        "assembly": ([tool, "Bench", "-Q"], asm_dir, None),
        "-A on .cas": ([tool, "Bench", "-A", "-Q"], asm_dir, None),
        "disassembly": ([tool, "Bench", "-D", "-Q"], disasm_dir, None),
        "-A on .cex": ([tool, "Bench", "-D", "-A", "-Q"], disasm_dir, None),
        "strip": ([tool, "Bench", "-S", "-Q"], strip_dir, copy_for_strip),
    }
    rows = [("assembly", cas_bytes, ".cas read"), ("-A on .cas", cas_bytes, ".cas read"),
            ("disassembly", disasm_bytes, ".cas written"), ("-A on .cex", cex_bytes, ".cex read"),
            ("strip", cex_bytes, ".cex read")]
    if wabt:
        contenders["wat2wasm"] = ([wat2wasm, "Bench.wat", "-o", "Bench.wasm"], wasm_dir, None)
        contenders["wasm2wat"] = ([wasm2wat, "Bench.wasm", "-o", "Back.wat"], wasm_dir, None)
        rows += [("wat2wasm", wat_bytes, ".wat read"), ("wasm2wat", back_bytes, ".wat written")]
    print("large script: Bench.cas %d bytes, Bench.cex %d bytes, disassembly %d bytes" % (cas_bytes, cex_bytes,
                                                                                         disasm_bytes))
    if wabt:
        print("peer:         wabt %s, Bench.wat %d bytes, Bench.wasm %d bytes, written back %d bytes"
              % (version, wat_bytes, wasm_bytes, back_bytes))
    else:
        print("peer:         wabt not installed (apt-get install wabt), no comparison")
    print("%d rounds of every mode after a warm-up round; medians; %s" % (
        args.runs, "peak of the warm-up run" if peak else "highest peak, with this script's resident memory in it"))
    large = measure_rounds(contenders, args.runs, peak=peak)
    speed, cpu_speed = {}, {}
    print("%-12s %8s %8s %8s %8s  %-13s %8s" % ("mode", "wall s", "MB/s", "cpu s", "cpu MB/s", "of", "peak MiB"))
    for key, processed, what in rows:
        figure = large[key]
        speed[key] = mb(processed) / figure.wall
        cpu_speed[key] = mb(processed) / figure.cpu if figure.cpu else 0.0
        print("%-12s %8.3f %8.1f %8.3f %8.1f  %-13s %8.1f" % (key, figure.wall, speed[key], figure.cpu,
                                                              cpu_speed[key], what, figure.peak / MIB))

    # A tiny script against /bin/true, interleaved so that all see the same
    # load: analysis only, and assembly writing Hello.cex over the previous
    # run's file (which the file system may have to flush first).
    tiny_dir = os.path.join(work, "tiny")
    shutil.copyfile(os.path.join(HERE, "..", "examples", "Hello.cas"), os.path.join(tiny_dir, "Hello.cas"))
    tiny = measure_rounds({"/bin/true": (["/bin/true"], tiny_dir, None),
                           "analysis": ([tool, "Hello", "-A", "-Q"], tiny_dir, None),
                           "assembly": ([tool, "Hello", "-Q"], tiny_dir, None)}, args.tiny_runs)
    print()
    print("tiny script: Hello.cas, %d rounds with /bin/true; median wall" % args.tiny_runs)
    for key in ("/bin/true", "analysis", "assembly"):
        print("  %-9s %7.3f ms" % (key, tiny[key].wall * 1e3))

    # The batch.
    batch_dir = os.path.join(work, "batch")
    generate_batch(args.batch, batch_dir)
    names_path = os.path.join(batch_dir, "names.txt")
    with open(names_path) as listing:
        names = listing.read().split()
    cas_dir, wat_dir = os.path.join(batch_dir, "cas"), os.path.join(batch_dir, "wat")
    batch_in = total_size(cas_dir, names, ".cas")
    print()
    print("batch: %d small scripts, %d bytes of .cas (median %d bytes a file)%s"
          % (len(names), batch_in, median_size(cas_dir, names, ".cas"),
             ", and as many WebAssembly text modules of the same sizes" if wabt else ""))
    print("       assembled, then disassembled, one process a file with xargs -P 2 into a clean directory")
    print("       in %s (%s); %d rounds, median wall and cpu time of the whole batch"
          % (args.batch_scratch, file_system(args.batch_scratch), args.batch_runs))
    ours = BatchSide("ours", [tool, "{}", "-Q"], [tool, "{}", "-D", "-Q"], cas_dir,
                     (".cas", ".cex", ".disassemble.cas"))
    sides = [ours]
    if wabt:
        peer = BatchSide("wabt", [wat2wasm, "{}.wat", "-o", "{}.wasm"], [wasm2wat, "{}.wasm", "-o", "{}.back.wat"],
                         wat_dir, (".wat", ".wasm", ".back.wat"))
        sides.append(peer)
    scratch = tempfile.mkdtemp(prefix="corvel-batch-", dir=args.batch_scratch)
    try:
        # The inputs are linked into every clean directory, so they must be
        # on the same file system.
        for side in sides:
            copy = os.path.join(scratch, "sources", side.label)
            shutil.copytree(side.sources, copy)
            side.sources = copy
        run_batch(sides, names_path, names, os.path.join(scratch, "out"), args.batch_runs)
    finally:
        shutil.rmtree(scratch)
    batch_asm, batch_dis = {"ours": ours.figures()[0]}, {"ours": ours.figures()[1]}
    lines = [("assemble", batch_asm["ours"], ours.written[0], ".cex"),
             ("disassemble", batch_dis["ours"], ours.written[1], ".cas")]
    if wabt:
        batch_asm["wabt"], batch_dis["wabt"] = peer.figures()
        lines += [("wat2wasm", batch_asm["wabt"], peer.written[0], ".wasm"),
                  ("wasm2wat", batch_dis["wabt"], peer.written[1], ".wat")]
    print("  %-11s %8s %8s %9s  %s" % ("", "wall s", "cpu s", "ms a file", "written"))
    for key, figure, size, what in lines:
        print("  %-11s %8.3f %8.3f %9.3f  %d bytes of %s" % (key, figure.wall, figure.cpu,
                                                            figure.wall * 1e3 / len(names), size, what))

    # The targets, each with the peer's figure of this run.
    print()
    print("targets (wall clock; peers from this run)")
    print("  %-30s %-12s %-22s %6s  %-34s %s" % ("figure", "ours", "peer", "ratio", "target", "verdict"))

    def target(label, ours, peer, ratio, wanted, fine):
        verdict = "-" if fine is None else ("met" if fine else "MISSED")
        print("  %-30s %-12s %-22s %6s  %-34s %s" % (label, ours, peer, "%.2f" % ratio if ratio else "-", wanted,
                                                    verdict))

    def versus_peer(label, ours_key, peer_key, at_least):
        ratio = speed[ours_key] / speed[peer_key] if wabt else None
        target(label, "%.1f MB/s" % speed[ours_key], "%s %.1f MB/s" % (peer_key, speed[peer_key]) if wabt else "-",
               ratio, "at least %.2f x" % at_least, ratio >= at_least if wabt else None)

    versus_peer("assembly, per byte read", "assembly", "wat2wasm", 6.0)
    versus_peer("disassembly, per byte written", "disassembly", "wasm2wat", 5.0)
    for key, floor in (("-A on .cex", 350), ("strip", 250)):
        target(key, "%.1f MB/s" % speed[key], "-", None, "at least %d MB/s" % floor, speed[key] >= floor)
    for key in ("assembly", "disassembly", "-A on .cex", "strip"):
        if key == "assembly":
            limit, rule = cas_bytes + 16 * MIB, ".cas + 16 MiB"
        else:
            limit, rule = 2 * cex_bytes + 8 * MIB, "2 x .cex + 8 MiB"
        resident = large[key].peak
        target("peak memory, " + key, "%.1f MiB" % (resident / MIB), "-", None,
               "at most %.1f MiB (%s)" % (limit / MIB, rule), resident <= limit)
    base = tiny["/bin/true"].wall
    for key in ("analysis", "assembly"):
        ratio = tiny[key].wall / base
        target("tiny script, " + key, "%.3f ms" % (tiny[key].wall * 1e3), "/bin/true %.3f ms" % (base * 1e3), ratio,
               "at most 2.00 x /bin/true", ratio <= 2.0)
    for label, figures, peer_key in (("batch, assemble", batch_asm, "wat2wasm"),
                                     ("batch, disassemble", batch_dis, "wasm2wat")):
        mine = figures["ours"].wall
        theirs = figures["wabt"].wall if wabt else None
        target(label, "%.3f s" % mine, "%s %.3f s" % (peer_key, theirs) if wabt else "-",
               theirs / mine if wabt else None, "none set (wabt's time / ours)", None)
    print("(a ratio is ours over the peer's speed, or wabt's time over ours: above 1 is faster than the peer;")
    print(" for the tiny script it is our time over /bin/true's)")
    if wabt:
        print("cpu-time ratios, leaving out waiting for a core: assembly %.2f, disassembly %.2f, "
              "batch assemble %.2f, batch disassemble %.2f"
              % (cpu_speed["assembly"] / cpu_speed["wat2wasm"], cpu_speed["disassembly"] / cpu_speed["wasm2wat"],
                 batch_asm["wabt"].cpu / batch_asm["ours"].cpu, batch_dis["wabt"].cpu / batch_dis["ours"].cpu))
    print()
    print("after:   " + load_line())


if __name__ == "__main__":
    main()
