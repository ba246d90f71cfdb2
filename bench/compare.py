#!/usr/bin/env python3
"""Differential check of two CorvelAssembler binaries: both run on the same
inputs in every mode, and their standard output, exit status and every file
left in the working directory must be identical byte for byte.

    compare.py --ref OLD_BINARY --new NEW_BINARY [--work DIR] [--seed N]
               [--mutants N] [--sizes 16K,200K,1M] [--seeds 1,2] [--quick]

Inputs:
  - every examples/*.cas;
  - bench/gen.py scripts of the given sizes and seeds;
  - every golden case, run with its own arguments (in the section format
    of tests/golden/FORMAT.md, or step by step in the format of
    tests/golden/run.py, each binary in a directory of its own), and every
    .cas or .cex file of a golden case run again in every mode;
  - the .cex files the reference binary makes of all the assembly inputs;
  - mutants: assembly texts with lines deleted, doubled or swapped, tokens
    replaced, names in other letter cases, truncations and junk; compiled
    files truncated, with bytes flipped, counts and refs nudged, string table
    letters in another case, a second object record (renamed, maybe to one of
    the file's strings in another letter case, before or after the object);
    and the fuzz corpora under build-fuzz/fuzz-work when they exist.

Each mode is one fresh directory per binary holding the input files. A run
that differs is repeated once (a script without an information block takes
the current time, which may tick between the two runs); what still differs
is kept under WORK/mismatch-N for inspection and the script exits with 1.
"""

import argparse
import os
import random
import re
import shlex
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

CAS_MODES = [[], ["-A"], ["-V"], ["-A", "-V"]]
CEX_MODES = [["-D"], ["-D", "-A", "-V"], ["-D", "-V"], ["-S"], ["-S", "-V"]]
MUTANT_CAS_MODES = [["-V"], ["-A"]]
MUTANT_CEX_MODES = [["-D", "-V"], ["-S"]]
ENV = dict(os.environ, TZ="UTC", LC_ALL="C")


class Runner:
    def __init__(self, ref, new, work):
        self.ref, self.new, self.work = ref, new, work
        self.count = 0
        self.mismatches = 0
        self.scratch = os.path.join(work, "run")

    def run_one(self, binary, files, args, where):
        if os.path.exists(where):
            shutil.rmtree(where)
        os.makedirs(where)
        for name, data in files.items():
            path = os.path.join(where, name)
            if data is None:
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data)
        try:
            done = subprocess.run([binary] + args, cwd=where, env=ENV, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=60)
            status, output = done.returncode, done.stdout
        except subprocess.TimeoutExpired:
            status, output = "timeout", b""
        left = {}
        for root, dirs, names in os.walk(where):
            for name in names:
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    left[os.path.relpath(path, where)] = f.read()
            for name in dirs:
                left[os.path.relpath(os.path.join(root, name), where) + "/"] = b""
        return status, output, left

    def compare(self, label, files, args):
        """Runs both binaries; returns the reference's result."""
        self.count += 1
        for attempt in range(2):
            a = self.run_one(self.ref, files, args, self.scratch + "-ref")
            b = self.run_one(self.new, files, args, self.scratch + "-new")
            if a == b:
                return a
        self.mismatches += 1
        keep = os.path.join(self.work, "mismatch-%d" % self.mismatches)
        if os.path.exists(keep):
            shutil.rmtree(keep)
        shutil.move(self.scratch + "-ref", keep + "/ref")
        shutil.move(self.scratch + "-new", keep + "/new")
        with open(keep + "/args", "w") as out:
            out.write(" ".join(args) + "\n")
        what = []
        if a[0] != b[0]:
            what.append("exit %s vs %s" % (a[0], b[0]))
        if a[1] != b[1]:
            what.append("stdout")
            with open(keep + "/stdout.ref", "wb") as out:
                out.write(a[1])
            with open(keep + "/stdout.new", "wb") as out:
                out.write(b[1])
        for name in sorted(set(a[2]) | set(b[2])):
            if a[2].get(name) != b[2].get(name):
                what.append("file " + name)
        print("MISMATCH %s (%s): %s -> %s" % (label, " ".join(args), ", ".join(what), keep), flush=True)
        return a


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------
# Golden cases (the section format of tests/golden/FORMAT.md).

def split_args(text):
    args, current, in_token, in_quotes = [], "", False, False
    for c in text:
        if c == '"':
            in_quotes, in_token = not in_quotes, True
        elif not in_quotes and c in " \t":
            if in_token:
                args.append(current)
            current, in_token = "", False
        else:
            current += c
            in_token = True
    if in_token:
        args.append(current)
    return args


def parse_case(path):
    args, files = [], {}
    section, name, lines = None, None, []

    def close():
        if section in ("file", "file-noeol"):
            text = "\n".join(lines) + ("" if section == "file-noeol" else "\n")
            if section == "file-noeol" and not lines:
                text = ""
            files[name] = text.encode("latin-1")
        elif section == "file-hex":
            words = " ".join(line.split("#", 1)[0] for line in lines).split()
            files[name] = bytes.fromhex("".join(words))
        elif section == "dir":
            files[name] = None

    with open(path, encoding="latin-1") as f:
        for raw in f.read().split("\n"):
            if raw.startswith("@") and not raw.startswith("@@"):
                close()
                head, _, rest = raw[1:].partition(" ")
                section, name, lines = head, rest.strip(), []
                if head == "args":
                    args = split_args(rest)
                continue
            lines.append(raw[1:] if raw.startswith("@@") else raw)
        if lines and lines[-1] == "":
            lines.pop()
        close()
    return args, files


def golden_steps(path):
    """The steps of a case of tests/golden/run.py: (kind, argument text,
    content lines), as that runner splits them."""
    text = read(path).decode("latin-1")
    lines = text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")
    steps = []
    for line in lines:
        if line.startswith("@") and not line.startswith("@@"):
            steps.append((line[1:].split(None, 1)[0], line[1:].partition(" ")[2], []))
        elif steps and not line.startswith("#"):
            steps[-1][2].append(line[1:] if line.startswith("@@") else line)
    return steps


def compare_golden_steps(runner, golden, label, path):
    """Runs a case of the step format with both binaries, each in a directory
    of its own that lives through all the steps: files are made alike in
    both, every run is compared, expectations are left to the runner.
    Returns the input files the case made, for the runs in every mode."""
    sides = [runner.scratch + "-ref", runner.scratch + "-new"]
    for side in sides:
        if os.path.exists(side):
            shutil.rmtree(side)
        os.makedirs(side)
    for kind, arg, body in golden_steps(path):
        if kind in ("file", "hex", "dir", "link"):
            for side in sides:
                golden.run_step(None, side, kind, arg.split(), body, False)
        elif kind in ("run", "fail"):
            args = shlex.split(arg)
            results = []
            for side, binary in zip(sides, (runner.ref, runner.new)):
                done = subprocess.run([binary] + args, cwd=side, env=ENV, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, timeout=60)
                results.append((done.returncode, done.stdout, snapshot(side)))
            runner.count += 1
            if results[0] != results[1]:
                runner.mismatches += 1
                print("MISMATCH golden %s (@%s %s)" % (label, kind, arg), flush=True)
    made = {}
    for name, data in snapshot(sides[0]).items():
        if not name.endswith("/") and "/" not in name:
            made[name] = data
    return made


def snapshot(where):
    left = {}
    for root, dirs, names in os.walk(where):
        for name in names:
            full = os.path.join(root, name)
            if os.path.islink(full) and not os.path.exists(full):
                left[os.path.relpath(full, where)] = b"<dangling link>"
                continue
            with open(full, "rb") as f:
                left[os.path.relpath(full, where)] = f.read() if os.path.isfile(full) else b"<special>"
        for name in dirs:
            left[os.path.relpath(os.path.join(root, name), where) + "/"] = b""
    return left


# ---------------------------------------------------------------------------
# Mutations.

TOKEN = re.compile(rb"[A-Za-z_:][A-Za-z0-9_:#\[\]]*")


def mutate_text(rng, data):
    lines = data.split(b"\n")
    for _ in range(rng.randint(1, 3)):
        pick = rng.randrange(10)
        if not lines:
            lines = [b""]
        i = rng.randrange(len(lines))
        if pick == 0:
            del lines[i]
        elif pick == 1:
            lines.insert(i, lines[rng.randrange(len(lines))])
        elif pick == 2:
            j = rng.randrange(len(lines))
            lines[i], lines[j] = lines[j], lines[i]
        elif pick in (3, 4):
            # A name in another letter case: every spelling must come out as
            # the first one interned.
            found = list(TOKEN.finditer(lines[i]))
            if found:
                m = rng.choice(found)
                word = m.group(0)
                word = bytes(c ^ 0x20 if (65 <= c <= 90 or 97 <= c <= 122) and rng.random() < 0.5 else c
                             for c in word)
                lines[i] = lines[i][:m.start()] + word + lines[i][m.end():]
        elif pick == 5:
            found = list(TOKEN.finditer(lines[i]))
            other = list(TOKEN.finditer(lines[rng.randrange(len(lines))]))
            if found and other:
                m = rng.choice(found)
                lines[i] = lines[i][:m.start()] + rng.choice(other).group(0) + lines[i][m.end():]
        elif pick == 6:
            lines[i] = lines[i] + rng.choice([b" extra", b" 12", b' "s"', b" ;@line 7", b"\r", b" \xe9t\xe9"])
        elif pick == 7:
            numbers = list(re.finditer(rb"-?\d+", lines[i]))
            if numbers:
                m = rng.choice(numbers)
                value = rng.choice([b"0", b"-1", b"65535", b"65536", b"4294967295", b"2147483648", b"31", b"32"])
                lines[i] = lines[i][:m.start()] + value + lines[i][m.end():]
        elif pick == 8:
            joined = b"\n".join(lines)
            cut = rng.randrange(len(joined) + 1)
            lines = joined[:cut].split(b"\n")
        elif pick == 9 and rng.random() < 0.3:
            # A byte order mark at the start (skipped) or elsewhere (text).
            lines[0 if rng.random() < 0.5 else i] = b"\xef\xbb\xbf" + lines[0 if rng.random() < 0.5 else i]
        else:
            lines[i] = bytes(rng.randrange(256) if rng.random() < 0.05 else c for c in lines[i])
    return b"\n".join(lines)


def mutate_binary(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        if not data:
            break
        pick = rng.randrange(8)
        i = rng.randrange(len(data))
        if pick == 0:
            del data[rng.randrange(len(data)):]
        elif pick == 1:
            data[i] ^= 1 << rng.randrange(8)
        elif pick == 2:
            data[i] = rng.choice([0, 1, 2, 3, 8, 9, 0x7F, 0x80, 0xFF])
        elif pick == 3 and i + 1 < len(data):
            value = (data[i] | data[i + 1] << 8) + rng.choice([1, -1, 2, 0x100, -0x100])
            data[i], data[i + 1] = value & 0xFF, (value >> 8) & 0xFF
        elif pick == 4:
            del data[i]
        elif pick == 5:
            data.insert(i, rng.randrange(256))
        elif pick == 6:
            # Letters of the string table (and elsewhere) in another case.
            for k in range(i, min(len(data), i + rng.randint(1, 40))):
                if 65 <= data[k] <= 90 or 97 <= data[k] <= 122:
                    data[k] ^= 0x20
        else:
            j = rng.randrange(len(data))
            data[i], data[j] = data[j], data[i]
    return bytes(data)


def u16(data, at):
    return data[at] | data[at + 1] << 8 if at + 1 < len(data) else 0


def cex_layout(data):
    """The offsets of a compiled file's string table count, the end of that
    table and the start of its object table."""
    at = 16
    for _ in range(3):
        at += 2 + u16(data, at)
    count_at = at
    at += 2
    for _ in range(u16(data, count_at)):
        at += 2 + u16(data, at)
    table_end = at
    if at < len(data) and data[at] != 0:
        at += 9
        for skip, count_at_offset in ((9, 7), (12, 10), (6, 4)):
            n, at = u16(data, at), at + 2
            for _ in range(n):
                at += skip + 2 * u16(data, at + count_at_offset)
    else:
        at += 1
    return count_at, table_end, at + 2 + 3 * u16(data, at)


def mutate_objects(rng, data):
    """A compiled file with a second object record: the object's own record
    renamed (to a new name, or to one of the file's strings in another letter
    case, which the pool then spells that way), placed before or after it,
    maybe with a size that leads elsewhere."""
    count_at, table_end, objects_at = cex_layout(data)
    if objects_at + 6 > len(data):
        return data
    entries, at = [], count_at + 2
    for _ in range(u16(data, count_at)):
        entries.append(bytes(data[at + 2:at + 2 + u16(data, at)]))
        at += 2 + u16(data, at)
    name = rng.choice([b"Zz_other"] + [bytes(c ^ 0x20 if 65 <= c <= 90 or 97 <= c <= 122 else c for c in e)
                                       for e in entries if e])
    index = u16(data, count_at)
    data = bytearray(data)
    data[count_at:count_at + 2] = bytes([(index + 1) & 0xFF, (index + 1) >> 8])
    data[table_end:table_end] = bytes([len(name) & 0xFF, len(name) >> 8]) + name
    shift = 2 + len(name)
    objects_at += shift
    record = bytes(data[objects_at + 2:])
    renamed = bytearray(record)
    renamed[0:2] = bytes([index & 0xFF, index >> 8])
    if rng.random() < 0.2:
        renamed[2:6] = bytes([rng.choice([0, 3, 0xFF])] * 4)
    records = [bytes(renamed), record] if rng.random() < 0.5 else [record, bytes(renamed)]
    return bytes(data[:objects_at]) + b"\x02\x00" + b"".join(records)


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ref", required=True)
    parser.add_argument("--new", required=True)
    parser.add_argument("--work", default="/tmp/corvel-compare")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--mutants", type=int, default=40, help="mutants per input")
    parser.add_argument("--sizes", default="16K,200K,1M")
    parser.add_argument("--seeds", default="1,2")
    parser.add_argument("--quick", action="store_true", help="examples and golden cases only, few mutants")
    args = parser.parse_args()
    ref, new = os.path.abspath(args.ref), os.path.abspath(args.new)
    os.makedirs(args.work, exist_ok=True)
    runner = Runner(ref, new, args.work)
    rng = random.Random(args.seed)
    if args.quick:
        args.mutants = min(args.mutants, 5)

    cas_inputs = []  # (label, object name, files)
    for name in sorted(os.listdir(os.path.join(REPO, "examples"))):
        if name.endswith(".cas"):
            cas_inputs.append(("examples/" + name, name[:-4], {name: read(os.path.join(REPO, "examples", name))}))
    if not args.quick:
        for size in args.sizes.split(","):
            for seed in args.seeds.split(","):
                path = os.path.join(args.work, "gen-%s-%s.cas" % (size, seed))
                if not os.path.exists(path):
                    subprocess.run([sys.executable, os.path.join(HERE, "gen.py"), "cas", size, path, seed],
                                   check=True)
                cas_inputs.append(("gen %s seed %s" % (size, seed), "Bench", {"Bench.cas": read(path)}))

    cex_inputs = []
    cases = os.path.join(REPO, "tests", "golden", "cases")
    stepped = os.path.exists(os.path.join(REPO, "tests", "golden", "run.py"))
    golden = None
    if stepped:
        # The step format: its runner's own file making is reused.
        sys.path.insert(0, os.path.join(REPO, "tests", "golden"))
        import run as golden  # noqa: E402
    for root, _, names in os.walk(cases):
        for name in sorted(names):
            if not name.endswith(".case"):
                continue
            label = os.path.relpath(os.path.join(root, name), cases)
            if stepped:
                files = compare_golden_steps(runner, golden, label, os.path.join(root, name))
            else:
                case_args, files = parse_case(os.path.join(root, name))
                runner.compare("golden " + label, files, case_args)
            for file_name, data in files.items():
                if data is None:
                    continue
                stem, ext = os.path.splitext(os.path.basename(file_name))
                if ext == ".cas" and "/" not in file_name:
                    cas_inputs.append(("golden %s %s" % (label, file_name), stem, {file_name: data}))
                elif ext == ".cex" and "/" not in file_name:
                    cex_inputs.append(("golden %s %s" % (label, file_name), stem, {file_name: data}))
    print("golden cases done: %d runs, %d mismatches" % (runner.count, runner.mismatches), flush=True)

    for label, stem, files in cas_inputs:
        for mode in CAS_MODES:
            result = runner.compare(label, files, [stem] + mode)
            if not mode and result[0] == 0 and stem + ".cex" in result[2]:
                cex_inputs.append((label + " (.cex)", stem, {stem + ".cex": result[2][stem + ".cex"]}))
    print("assembly inputs done: %d runs, %d mismatches" % (runner.count, runner.mismatches), flush=True)
    for label, stem, files in cex_inputs:
        for mode in CEX_MODES:
            runner.compare(label, files, [stem] + mode)
    print("compiled inputs done: %d runs, %d mismatches" % (runner.count, runner.mismatches), flush=True)

    def mutants(inputs, extension, limit, mutate, modes, what):
        for label, stem, files in inputs:
            source = files.get(stem + extension)
            if source is None or len(source) > limit:
                continue
            for k in range(args.mutants):
                mutant = dict(files)
                mutant[stem + extension] = mutate(rng, source)
                for mode in modes:
                    runner.compare("%s mutant %d" % (label, k), mutant, [stem] + mode)
        print("%s mutants done: %d runs, %d mismatches" % (what, runner.count, runner.mismatches), flush=True)

    mutants(cas_inputs, ".cas", 300000, mutate_text, MUTANT_CAS_MODES, "assembly")
    mutants(cex_inputs, ".cex", 100000, mutate_binary, MUTANT_CEX_MODES, "compiled")
    mutants(cex_inputs, ".cex", 100000, mutate_objects, [["-S"], ["-D"]], "object table")

    corpora = os.path.join(REPO, "build-fuzz", "fuzz-work")
    if os.path.isdir(corpora) and not args.quick:
        for root, _, names in os.walk(corpora):
            for name in sorted(names):
                data = read(os.path.join(root, name))
                if len(data) > 200000:
                    continue
                for ext, modes in ((".cas", MUTANT_CAS_MODES), (".cex", MUTANT_CEX_MODES)):
                    for mode in modes:
                        runner.compare("corpus " + name + ext, {"Fuzz" + ext: data}, ["Fuzz"] + mode)
        print("fuzz corpora done: %d runs, %d mismatches" % (runner.count, runner.mismatches), flush=True)

    print("%d runs, %d mismatches" % (runner.count, runner.mismatches))
    return 1 if runner.mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
