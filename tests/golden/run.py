#!/usr/bin/env python3
"""Runs golden case files against the CorvelAssembler binary:  run.py [--update] BINARY CASE...

A case is a list of steps run in order in one fresh empty directory (TZ=UTC, LC_ALL=C).
A step is a line starting with '@'; the lines up to the next step are its content.
Lines starting with '#' are comments; a content line starting with '@' is written '@@'.
  @file NAME [< SRC] [noeol]  text file: the content lines, or SRC edited by the content
  @hex NAME [< SRC]           binary file: the content as hex, or SRC's bytes patched by the content
  @dir NAME                   an empty directory            @link NAME TARGET   a symbolic link
  @run ARGS / @fail ARGS      runs the binary (ARGS split like a shell does, without globbing); the
                              content is the whole expected output, and the exit status is 0 / 255
  @expect NAME [< SRC]        the text the file must hold: the content, or SRC edited by the content
  @expect-hex NAME [< SRC]    the same for bytes
  @absent NAME                the file must not exist
SRC without a '.' is base/SRC.cas, otherwise a file of the working directory.
Expected output: a line <NAME> stands for the lines of base/NAME.txt.
Hex: byte pairs (XX*N: N times), "quoted text" (escapes \\t \\n \\" \\\\), '#' to the end of a line is a comment.
Text edits search forward from a cursor that starts above the first line, for TEXT not followed by
a letter, digit or '_':
  /TEXT  moves the cursor to the next line holding TEXT   +LINE  inserts LINE below the cursor, which moves onto it
  -TEXT  deletes the next line holding TEXT               ~OLD => NEW  replaces OLD in the next line holding it
  $TEXT  deletes the lines below the cursor up to the next one holding TEXT (all without TEXT)
  *RE => NEW  replaces the regular expression RE in every line below the cursor
Byte patches: OLD => NEW replaces the first occurrence of OLD ('..' in OLD matches any bytes);
'size N' keeps N bytes (N < 0: drops -N).
CORVEL_GOLDEN_LAUNCHER names a program that runs the binary (such as wine; a run in which wine
lost its own server runs again, up to three times); with --update or
CORVEL_GOLDEN_UPDATE=1 the literal expectations are rewritten from what the binary did."""
import difflib, os, re, shlex, signal, subprocess, sys, tempfile

BASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "base")
TIMEOUT = 60


class Mismatch(Exception):
    pass


def read(path):
    with open(path, "rb") as f:
        return f.read()


def source(src, cwd):
    return read(os.path.join(BASE, src + ".cas") if "." not in src else os.path.join(cwd, src))


def parse_hex(lines):
    out = bytearray()
    for line in lines:
        for tok in re.findall(r'"(?:\\.|[^"\\])*"|[^\s"#]+|#.*', line):
            if tok.startswith("#"):
                break
            if tok.startswith('"'):
                text = re.sub(r"\\(.)", lambda m: {"t": "\t", "n": "\n"}.get(m[1], m[1]), tok[1:-1])
                out += text.encode("latin-1")
            elif re.fullmatch(r"[0-9A-Fa-f]{2}(\*\d+)?", tok):
                out += bytes.fromhex(tok[:2]) * int(tok[3:] or 1)
            else:
                raise Mismatch("bad hex token " + tok)
    return bytes(out)


def edit_text(lines, edits):
    lines, cur = list(lines), 0

    def find(text):
        for i in range(cur, len(lines)):
            if re.search(re.escape(text) + r"(?!\w)", lines[i]):
                return i
        raise Mismatch("edit: no line holding %r below line %d" % (text, cur))
    for e in edits:
        op, text = e[:1], e[1:]
        old, _, new = text.partition(" =>")
        if op == "/":
            cur = find(text) + 1
        elif op == "+":
            lines.insert(cur, text)
            cur += 1
        elif op == "-":
            del lines[find(text)]
        elif op == "~":
            cur = find(old) + 1
            lines[cur - 1] = re.sub(re.escape(old) + r"(?!\w)", lambda m: new[1:], lines[cur - 1], 1)
        elif op == "*":
            lines[cur:] = [re.sub(old, new[1:], line) for line in lines[cur:]]
        elif op == "$":
            del lines[cur:find(text) if text else len(lines)]
        else:
            raise Mismatch("unknown edit " + e)
    return lines


def patch_bytes(data, patches):
    for p in patches:
        if p.startswith("size "):
            n = int(p[5:])
            data = data[:n] if n >= 0 else data[:len(data) + n]
        elif p.strip() and not p.lstrip().startswith("#"):
            old, new = p.split("=>", 1)
            pattern = b".*?".join(re.escape(parse_hex([part])) for part in old.split(".."))
            data, found = re.subn(pattern, lambda m: parse_hex([new]), data, 1, re.S)
            if not found:
                raise Mismatch("patch: %s not found" % old)
    return data


def expand(lines):
    out = []
    for line in lines:
        m = re.fullmatch(r"<(\w+)>", line)
        out += read(os.path.join(BASE, m[1] + ".txt")).decode("latin-1").splitlines() if m else [line]
    return out


def fold(lines):
    """The actual output with the macro texts put back, for --update."""
    for name in sorted(f[:-4] for f in os.listdir(BASE) if f.endswith(".txt")):
        block = read(os.path.join(BASE, name + ".txt")).decode("latin-1").splitlines()
        i = 0
        while i + len(block) <= len(lines):
            if lines[i:i + len(block)] == block:
                lines[i:i + len(block)] = ["<%s>" % name]
            i += 1
    return lines


def hexdump(data):
    return [data[i:i + 16].hex(" ").upper() for i in range(0, len(data), 16)]


def diff(what, expected, actual):
    return "\n".join(["%s differs:" % what] + list(difflib.unified_diff(
        expected, actual, "expected", "actual", lineterm="", n=2)))


def run_binary(binary, args, cwd):
    launcher = shlex.split(os.environ.get("CORVEL_GOLDEN_LAUNCHER", ""))
    for attempt in range(3):
        status, output = run_once(launcher, binary, args, cwd)
        # wine saying that it lost its own server is about wine, not the tool
        # (which never prints that): the step runs again.
        if not launcher or "wine client error" not in output:
            break
    return status, output


def run_once(launcher, binary, args, cwd):
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(launcher + [binary] + args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            status = proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            status = "timeout after %d s" % TIMEOUT
        try:  # whatever the run left behind, also a child that holds the output open
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        out.seek(0)
        return status, out.read().decode("latin-1")


def check(kind, name, want, got):
    if got != want:
        show = hexdump if kind == "expect-hex" else lambda b: b.decode("latin-1").split("\n")
        raise Mismatch("%s was not written" % name if got is None else diff(name, show(want), show(got)))


def run_step(binary, cwd, kind, words, body, update):
    """Runs one step; returns the new content of the step for --update, or None."""
    name, src = (words or [""])[0], words[2] if words[1:2] == ["<"] else None
    target = os.path.join(cwd, name)
    if kind in ("file", "expect"):
        lines = edit_text(source(src, cwd).decode("latin-1").split("\n")[:-1], body) if src else body
        data = "".join(l + "\n" for l in lines)
        data = (data[:-1] if "noeol" in words else data).encode("latin-1")
    elif kind in ("hex", "expect-hex"):
        data = patch_bytes(source(src, cwd), body) if src else parse_hex(body)
    if kind in ("file", "hex"):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
    elif kind in ("expect", "expect-hex"):
        got = read(target) if os.path.isfile(target) else None
        if update and not src and got is not None and got != data:
            return hexdump(got) if kind == "expect-hex" else got.decode("latin-1").split("\n")[:-1]
        check(kind, name, data, got)
    elif kind == "dir":
        os.makedirs(target)
    elif kind == "link":
        os.symlink(words[1], target)
    elif kind == "absent" and os.path.lexists(target):
        raise Mismatch("%s exists" % name)
    elif kind in ("run", "fail"):
        status, out = run_binary(binary, words, cwd)
        actual = out.split("\n")[:-1] if out.endswith("\n") else [l for l in out.split("\n") if out]
        want = 0 if kind == "run" else 255
        if update and status in (0, 255) and (status, actual) != (want, expand(body)):
            return ["@run" if status == 0 else "@fail"] + fold(actual)
        problems = [] if status == want else ["exit status %s, expected %d" % (status, want)]
        problems += [diff("output", expand(body), actual)] if actual != expand(body) else []
        if problems:
            raise Mismatch("\n".join(problems))
    elif kind not in ("absent",):
        raise Mismatch("unknown step")


def run_case(binary, path, update):
    text = read(path).decode("latin-1")
    lines = text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")
    steps = []  # [line index, kind, argument text, content lines, index after the content]
    for n, line in enumerate(lines):
        if line.startswith("@") and not line.startswith("@@"):
            steps.append([n, line[1:].split(None, 1)[0], line[1:].partition(" ")[2], [], n + 1])
        elif steps and not line.startswith("#"):
            steps[-1][3].append(line[1:] if line.startswith("@@") else line)
            steps[-1][4] = n + 1
    failures, out, done = [], [], 0
    with tempfile.TemporaryDirectory(prefix="corvel-golden-") as cwd:
        for n, kind, arg, body, end in steps:
            words = shlex.split(arg) if kind in ("run", "fail") else arg.split()
            try:
                new = run_step(binary, cwd, kind, words, body, update)
            except (Mismatch, OSError) as e:
                failures.append("%s:%d @%s %s\n%s" % (os.path.basename(path), n + 1, kind, arg, e))
                if kind in ("file", "hex", "dir", "link"):
                    break
                continue
            if new is not None:
                head = ("%s %s" % (new.pop(0), arg)).rstrip() if kind in ("run", "fail") else lines[n]
                out += lines[done:n] + [head] + ["@" + l if l.startswith("@") else l for l in new]
                done = end
    if update and done:
        with open(path, "wb") as f:
            f.write("".join(l + "\n" for l in out + lines[done:]).encode("latin-1"))
    return failures


def main():
    args = sys.argv[1:]
    update = os.environ.get("CORVEL_GOLDEN_UPDATE") == "1" or "--update" in args
    args = [a for a in args if a != "--update"]
    failed = 0
    for case in args[1:]:
        for f in run_case(os.path.abspath(args[0]), case, update):
            print("FAILED " + f + "\n")
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
