#!/usr/bin/env python3
"""Generates large deterministic inputs for the speed measurements.

    gen.py cas SIZE PATH [SEED]  an assembly script of at least SIZE bytes;
                             SEED picks another script of the same shape
    gen.py wat SIZE PATH     a WebAssembly text module of about SIZE bytes
    gen.py batch COUNT DIR   COUNT small scripts of a few KiB in DIR/cas, a
                             WebAssembly text module of the same byte size
                             for each in DIR/wat, their names in
                             DIR/names.txt

SIZE takes an optional K or M suffix (powers of 1024). The same arguments
always give the same bytes: every choice comes from a seeded generator.

The assembly script holds one object, Bench, whose functions are spread over
the empty state and several named states, and which uses every instruction,
every operand kind, labels with forward and backward jumps, calls with
argument lists, strings with escapes, ";@line" comments, structs,
variables, auto and accessor properties and property groups. It assembles
without a message. The small scripts of a batch are made the same way, each
an object named like its file, with fewer members and shorter functions.
"""

import math
import os
import random
import sys

TYPES = ["Int", "Float", "Bool", "String", "ObjectReference", "Int[]", "Float[]", "String[]"]
STATES = ["", "Idle", "Walking", "Running", "Combat", "Sleeping", "Dead"]
WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel",
         "india", "juliet", "kilo", "lima", "mike", "november", "oscar", "papa"]
ESCAPED = ["say \\\"hi\\\"", "tab\\there", "line\\nbreak", "back\\\\slash", "semi;colon", "plain text"]


def parse_size(text):
    scale = 1
    if text[-1] in "kK":
        scale, text = 1024, text[:-1]
    elif text[-1] in "mM":
        scale, text = 1024 * 1024, text[:-1]
    return int(text) * scale


class Script:
    def __init__(self, rng):
        self.rng = rng
        self.parts = []
        self.size = 0
        self.source_line = 1

    def line(self, depth, text):
        out = "\t" * depth + text + "\n"
        self.parts.append(out)
        self.size += len(out)

    def text(self):
        return "".join(self.parts)


def quoted(rng):
    return '"' + " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 4))) + " " + rng.choice(ESCAPED) + '"'


def literal(rng, kind):
    if kind == "int":
        return str(rng.randint(-100000, 100000))
    if kind == "float":
        return rng.choice(["1.5", "-0.25", "2.5E-3", "1.0e2", "3.75", "-12.125", "0.0"])
    if kind == "bool":
        return rng.choice(["True", "False"])
    if kind == "string":
        return quoted(rng)
    return "None"


def any_value(rng, names):
    pick = rng.randrange(7)
    if pick < 3:
        return rng.choice(names)
    return literal(rng, ["int", "float", "bool", "string"][pick - 3])


class FunctionWriter:
    """Writes one function's code: labels, jumps both ways, every opcode."""

    def __init__(self, script, rng, params, locals_, variables, callees, owner="Bench", code=(8, 48)):
        self.s = script
        self.rng = rng
        self.params = [p[0] for p in params]
        self.locals = [l[0] for l in locals_]
        self.variables = variables
        self.callees = callees
        self.names = self.params + self.locals + variables
        self.owner = owner
        self.code = code

    def target(self):
        return self.rng.choice(self.locals)

    def src(self):
        return self.rng.choice(self.names)

    def int_or_name(self):
        return self.src() if self.rng.random() < 0.5 else literal(self.rng, "int")

    def float_or_name(self):
        return self.src() if self.rng.random() < 0.5 else literal(self.rng, "float")

    def str_or_name(self):
        return self.src() if self.rng.random() < 0.4 else quoted(self.rng)

    def instruction(self, labels):
        r, t = self.rng, self.target
        op = r.randrange(40)
        if op < 4:
            return "%s %s %s %s" % (r.choice(["IAdd", "ISubtract", "IMultiply", "IDivide", "IMod"]), t(),
                                    self.int_or_name(), self.int_or_name())
        if op < 6:
            return "%s %s %s %s" % (r.choice(["FAdd", "FSubtract", "FMultiply", "FDivide"]), t(),
                                    self.float_or_name(), self.float_or_name())
        if op < 8:
            return "%s %s %s" % (r.choice(["Not", "Assign", "Cast"]), t(), any_value(r, self.names))
        if op == 8:
            return "INegate %s %s" % (t(), self.int_or_name())
        if op == 9:
            return "FNegate %s %s" % (t(), self.float_or_name())
        if op < 12:
            return "%s %s %s %s" % (r.choice(["CompareEQ", "CompareLT", "CompareLTE", "CompareGT", "CompareGTE"]),
                                    t(), any_value(r, self.names), any_value(r, self.names))
        if op < 15:
            label = r.choice(labels)
            if op == 12:
                return "Jump " + label
            return "%s %s %s" % (r.choice(["JumpT", "JumpF"]), self.src(), label)
        if op < 19:
            args = " ".join(any_value(r, self.names) for _ in range(r.randint(0, 5)))
            kind = r.randrange(3)
            if kind == 0:
                return ("CallMethod %s self %s %s" % (r.choice(self.callees), t(), args)).rstrip()
            if kind == 1:
                return ("CallParent %s %s %s" % (r.choice(self.callees), t(), args)).rstrip()
            return ("CallStatic %s %s %s %s" % (self.owner, r.choice(self.callees), t(), args)).rstrip()
        if op < 21:
            return "StrCat %s %s %s" % (t(), self.str_or_name(), self.str_or_name())
        if op == 21:
            return "PropGet Prop%d self %s" % (r.randrange(8), t())
        if op == 22:
            return "PropSet Prop%d self %s" % (r.randrange(8), any_value(r, self.names))
        if op == 23:
            return "ArrayCreate %s %s" % (t(), self.src() if r.random() < 0.5 else str(r.randint(0, 128)))
        if op == 24:
            return "ArrayLength %s %s" % (t(), self.src())
        if op == 25:
            return "ArrayGetElement %s %s %s" % (t(), self.src(), self.int_or_name())
        if op == 26:
            return "ArraySetElement %s %s %s" % (t(), self.int_or_name(), any_value(r, self.names))
        if op == 27:
            return "%s %s %s %s %s" % (r.choice(["ArrayFindElement", "ArrayRFindElement"]), t(), self.src(),
                                       any_value(r, self.names), self.int_or_name())
        if op == 28:
            return "Is %s %s %s" % (t(), self.src(), r.choice(TYPES))
        if op == 29:
            return "StructCreate " + t()
        if op == 30:
            return "StructGet %s %s member%d" % (t(), self.src(), r.randrange(5))
        if op == 31:
            return "StructSet %s member%d %s" % (t(), r.randrange(5), any_value(r, self.names))
        if op == 32:
            return "%s %s %s %s %s %s" % (r.choice(["ArrayFindStruct", "ArrayRFindStruct"]), t(), self.src(),
                                          self.str_or_name(), any_value(r, self.names), self.int_or_name())
        if op == 33:
            return "%s %s %s %s" % (r.choice(["ArrayAddElements", "ArrayInsertElement"]), t(),
                                    any_value(r, self.names), self.int_or_name())
        if op == 34:
            return "%s %s" % (r.choice(["ArrayRemoveLastElement", "ArrayClearElements"]), t())
        if op == 35:
            return "ArrayRemoveElements %s %s %s" % (t(), self.int_or_name(), self.int_or_name())
        if op == 36:
            return "Noop"
        if op == 37:
            return "Return " + any_value(r, self.names)
        return "Assign %s %s" % (t(), any_value(r, self.names))

    def write(self, depth):
        r = self.rng
        count = r.randint(*self.code)
        label_count = max(1, count // 6)
        # Label k sits before instruction at[k]; the last may sit at the end.
        at = sorted(r.sample(range(count + 1), label_count))
        labels = ["L%d" % k for k in range(label_count)]
        placed = 0
        for index in range(count):
            while placed < label_count and at[placed] == index:
                self.s.line(depth - 1, labels[placed] + ":")
                placed += 1
            text = self.instruction(labels)
            if r.random() < 0.7:
                self.s.source_line += r.randint(0, 3)
                text += "\t\t\t;@line %d" % self.s.source_line
            elif r.random() < 0.1:
                text += "\t\t\t; no line here"
            self.s.line(depth, text)
        while placed < label_count:
            self.s.line(depth - 1, labels[placed] + ":")
            placed += 1


def write_function(s, rng, depth, name, flags, ret, params, locals_, variables, callees, doc, owner="Bench",
                   code=(8, 48)):
    s.line(depth, (".function %s %s" % (name, flags)).rstrip())
    s.line(depth + 1, ".userFlags %d" % rng.choice([0, 0, 1, 4, 2147483648]))
    s.line(depth + 1, ".docString " + doc)
    s.line(depth + 1, ".return " + ret)
    s.line(depth + 1, ".paramTable")
    for pname, ptype in params:
        s.line(depth + 2, ".param %s %s" % (pname, ptype))
    s.line(depth + 1, ".endParamTable")
    if "native" not in flags:
        s.line(depth + 1, ".localTable")
        for lname, ltype in locals_:
            s.line(depth + 2, ".local %s %s" % (lname, ltype))
        s.line(depth + 1, ".endLocalTable")
        s.line(depth + 1, ".code")
        FunctionWriter(s, rng, params, locals_, variables, callees, owner, code).write(depth + 2)
        s.line(depth + 1, ".endCode")
    s.line(depth, ".endFunction")


def random_signature(rng):
    params = [("a%d" % i, rng.choice(TYPES)) for i in range(rng.randint(0, 4))]
    return rng.choice(TYPES + ["None"]), params


def generate_cas(target, seed=20240611):
    scale = max(1, target // (1024 * 1024))
    return write_object(random.Random(seed), target, "Bench", "BenchParent", 4 * scale, 20 * scale, 8 * scale)


def write_object(rng, target, name, parent, struct_count, variable_count, property_count, code=(8, 48)):
    """An assembly script of one object `name` with the given numbers of
    structs, variables and properties, and functions until it holds at least
    `target` bytes (always at least one function); `code` bounds the number
    of instructions per function."""
    s = Script(rng)
    s.line(0, "; Generated for speed measurements; every run makes the same bytes.")
    s.line(0, ".info")
    s.line(1, '.source "%s.corvel"' % name)
    s.line(1, ".modifyTime 1767222000")
    s.line(1, ".compileTime 1767225600")
    s.line(1, '.user "bench"')
    s.line(1, '.computer "bench\\\\host"')
    s.line(0, ".endInfo")
    s.line(0, ".userFlagsRef")
    for index, flag in enumerate(["hidden", "conditional", "default", "collapsed", "mandatory"]):
        s.line(1, ".flag %s %d" % (flag, index))
    s.line(1, ".flag highest 31")
    s.line(0, ".endUserFlagsRef")
    s.line(0, ".objectTable")
    s.line(1, ".object %s %s" % (name, parent))
    s.line(2, ".userFlags 3")
    s.line(2, '.docString "Generated object \\"%s\\"\\twith everything"' % name)
    s.line(2, ".autoState Idle")

    s.line(2, ".structTable")
    for k in range(struct_count):
        s.line(3, ".struct Record%d" % k)
        for m in range(5):
            s.line(4, ".variable member%d %s%s" % (m, rng.choice(TYPES[:4]), " const" if m == 4 else ""))
            s.line(5, ".userFlags %d" % rng.choice([0, 1, 2]))
            s.line(5, ".initialValue " + literal(rng, rng.choice(["int", "float", "bool", "string", "none"])))
            s.line(5, ".docString " + quoted(rng))
            s.line(4, ".endVariable")
        s.line(3, ".endStruct")
    s.line(2, ".endStructTable")

    variables = []
    s.line(2, ".variableTable")
    for k in range(variable_count):
        variable = "::var%d" % k
        variables.append(variable)
        kinds = ["Int", "Float", "Bool", "String", "Int[]"]
        if struct_count:
            kinds.append("Record%d" % rng.randrange(struct_count))
        kind = rng.choice(kinds)
        s.line(3, ".variable %s %s%s" % (variable, kind, " const" if k % 7 == 0 else ""))
        s.line(4, ".userFlags %d" % rng.choice([0, 0, 2]))
        value = {"Int": "int", "Float": "float", "Bool": "bool", "String": "string"}.get(kind)
        s.line(4, ".initialValue " + (literal(rng, value) if value else rng.choice(["None", "Int[]"])))
        s.line(3, ".endVariable")
    s.line(2, ".endVariableTable")

    properties = []
    s.line(2, ".propertyTable")
    for k in range(property_count):
        prop = "Prop%d" % k
        properties.append(prop)
        ptype = rng.choice(TYPES[:5])
        auto = k % 2 == 0
        s.line(3, ".property %s %s%s" % (prop, ptype, " auto" if auto else ""))
        s.line(4, ".userFlags %d" % rng.choice([0, 1]))
        s.line(4, ".docString " + quoted(rng))
        if auto:
            s.line(4, ".autoVar " + rng.choice(variables))
        else:
            write_function(s, rng, 4, "get", "", ptype, [], [("::temp0", ptype)], variables, properties or ["x"],
                           '""', name, code)
            if k % 4 == 1:
                write_function(s, rng, 4, "set", "", "None", [("value", ptype)], [("::temp0", ptype)], variables,
                               properties, '""', name, code)
        s.line(3, ".endProperty")
    s.line(2, ".endPropertyTable")

    s.line(2, ".propertyGroupTable")
    for g in range(0, len(properties), 5):
        s.line(3, (".propertyGroup " + ("Group%d" % g if g else "")).rstrip())
        s.line(4, ".userFlags 0")
        s.line(4, ".docString " + quoted(rng))
        for prop in properties[g:g + 5]:
            s.line(4, ".property " + prop)
        s.line(3, ".endPropertyGroup")
    s.line(2, ".endPropertyGroupTable")

    # Functions, written into per-state buffers until the text is large
    # enough. Functions of the empty state may be repeated in named states
    # with the same signature, as overrides.
    tail = Script(rng)
    tail.source_line = s.source_line
    states = {name: [] for name in STATES}
    empty_signatures = {}
    callees = ["Fn%d" % k for k in range(64)]
    serial = 0
    while serial == 0 or s.size + tail.size < target:
        state = STATES[serial % len(STATES)]
        start = len(tail.parts)
        if state == "":
            fname = "Fn%d" % serial
            ret, params = random_signature(rng)
            flag = rng.choice(["", "", "", "", "static", "native", "native static"])
            if "static" not in flag:
                empty_signatures[fname] = (ret, params)
        else:
            if empty_signatures and rng.random() < 0.3:
                fname = rng.choice(sorted(empty_signatures))
                ret, params = empty_signatures[fname]
                if any(fname == existing for existing, _ in states[state]):
                    fname, (ret, params) = "Fn%d" % serial, random_signature(rng)
            else:
                fname = "Fn%d" % serial
                ret, params = random_signature(rng)
            flag = "native" if rng.random() < 0.05 else ""
        locals_ = [("::temp%d" % i, rng.choice(TYPES)) for i in range(rng.randint(1, 6))]
        doc = quoted(rng) if rng.random() < 0.5 else '""'
        write_function(tail, rng, 4, fname, flag, ret, params, locals_, variables, callees, doc, name, code)
        states[state].append((fname, tail.parts[start:]))
        serial += 1

    s.line(2, ".stateTable")
    for state in STATES:
        s.line(3, (".state " + state).rstrip())
        for _, parts in states[state]:
            s.parts.extend(parts)
            s.size += sum(len(p) for p in parts)
        s.line(3, ".endState")
    s.line(2, ".endStateTable")
    s.line(1, ".endObject")
    s.line(0, ".endObjectTable")
    return s.text()


def wat_piece(rng, index, k):
    """One piece of a function body: locals, blocks, loops, calls (to the
    functions before `index`), memory and comments; `k` numbers its labels."""
    pick = rng.randrange(9)
    if pick == 0:
        return "    local.get $a\n    local.get $b\n    i32.add\n    local.set $t0\n"
    if pick == 1:
        return "    local.get $t0\n    i32.const %d\n    i32.mul\n    local.set $t1\n" % rng.randint(-100000, 100000)
    if pick == 2:
        return ("    local.get $x\n    f32.const %s\n    f32.add\n    local.set $x\n"
                % rng.choice(["1.5", "-0.25", "2.5e-3", "100.0"]))
    if pick == 3 and index > 0:
        return "    local.get $t0\n    local.get $t1\n    call $f%d\n    local.set $t0\n" % rng.randrange(index)
    if pick == 4:
        return ("    block $b%d\n      local.get $t0\n      br_if $b%d\n      local.get $t1\n"
                "      i32.const 3\n      i32.add\n      local.set $t1\n    end\n" % (k, k))
    if pick == 5:
        return ("    loop $l%d\n      local.get $t0\n      i32.const 1\n      i32.sub\n"
                "      local.tee $t0\n      br_if $l%d\n    end\n" % (k, k))
    if pick == 6:
        return "    local.get $t0\n    i32.load offset=%d\n    local.set $t1\n" % (4 * rng.randrange(64))
    if pick == 7:
        return ("    local.get $t0\n    if\n      local.get $t1\n      i32.const 1\n      i32.add\n"
                "      local.set $t1\n    else\n      local.get $b\n      local.set $t1\n    end\n")
    return "    ;; line %d\n    local.get $t1\n    local.get $a\n    i32.store\n" % k


WAT_HEAD = ("  (func $f%d (param $a i32) (param $b i32) (result i32)\n"
            "    (local $t0 i32) (local $t1 i32) (local $x f32)\n")
WAT_TAIL = "    local.get $t0\n  )\n"


def wat_data(rng):
    return ('  (data (i32.const %d) "%s \\"quoted\\"\\n\\t\\00")\n'
            % (rng.randrange(60000), " ".join(rng.choice(WORDS) for _ in range(4))))


def generate_wat(target):
    """A module of many functions over locals, blocks, loops, calls, memory
    and data segments, for the text tools of that format."""
    rng = random.Random(4711)
    parts = ["(module\n", "  (memory 4)\n"]
    size = sum(len(p) for p in parts)
    index = 0
    while size < target - 8:
        body = [WAT_HEAD % index]
        for k in range(rng.randint(6, 30)):
            body.append(wat_piece(rng, index, k))
        body.append(WAT_TAIL)
        if index % 16 == 0:
            body.append(wat_data(rng))
        text = "".join(body)
        parts.append(text)
        size += len(text)
        index += 1
    parts.append(")\n")
    return "".join(parts)


def generate_small_wat(rng, size):
    """A module of exactly `size` bytes (at least 64): functions of the kind
    generate_wat makes, cut short where the next piece would not fit, and a
    comment that fills the last few bytes."""
    parts = ["(module\n", "  (memory 1)\n"]
    room = size - len(parts[0]) - len(parts[1]) - len(")\n")
    index = 0
    while room >= len(WAT_HEAD % index) + len(WAT_TAIL):
        body = [WAT_HEAD % index]
        room -= len(body[0]) + len(WAT_TAIL)
        for k in range(rng.randint(6, 30)):
            piece = wat_piece(rng, index, k)
            if len(piece) > room:
                break
            body.append(piece)
            room -= len(piece)
        body.append(WAT_TAIL)
        if index % 4 == 0:
            data = wat_data(rng)
            if len(data) <= room:
                body.append(data)
                room -= len(data)
        parts.append("".join(body))
        index += 1
    if room >= 3:
        parts.append(";;" + "-" * (room - 3) + "\n")
    else:
        parts.append("\n" * room)
    parts.append(")\n")
    text = "".join(parts)
    assert len(text) == size
    return text


PARENTS = ["GameObject", "Trigger", "Character", "Door", "Container", "Effect"]


def generate_batch(count, directory):
    """`count` small scripts, Script0000.cas and on, in directory/cas, sized
    like the scripts of a game folder (a few KiB: the median is about 4 KiB,
    the smallest and largest tenth below 2.5 KiB and above 7.5 KiB), each
    with a WebAssembly text module of exactly its byte size in
    directory/wat, and their names, one a line, in directory/names.txt."""
    sizes = random.Random(1357)
    width = max(4, len(str(count - 1)))
    names = []
    for sub in ("cas", "wat"):
        os.makedirs(os.path.join(directory, sub), exist_ok=True)
    for index in range(count):
        name = "Script%0*d" % (width, index)
        names.append(name)
        target = min(16384, max(1024, int(math.exp(sizes.gauss(math.log(3072), 0.6)))))
        rng = random.Random(7000000 + index)
        cas = write_object(rng, target, name, rng.choice(PARENTS), rng.choice([0, 0, 0, 1, 2]),
                           rng.randint(1, 2 + target // 1024), rng.randint(0, 1 + target // 2048), code=(2, 24))
        write_text(os.path.join(directory, "cas", name + ".cas"), cas)
        write_text(os.path.join(directory, "wat", name + ".wat"), generate_small_wat(rng, len(cas)))
    write_text(os.path.join(directory, "names.txt"), "".join(name + "\n" for name in names))


def write_text(path, text):
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(text)


def main(argv):
    if len(argv) == 4 and argv[1] == "batch":
        generate_batch(int(argv[2]), argv[3])
        return 0
    if len(argv) == 5 and argv[1] == "cas":
        write_text(argv[3], generate_cas(parse_size(argv[2]), int(argv[4])))
        return 0
    if len(argv) != 4 or argv[1] not in ("cas", "wat"):
        sys.stderr.write(__doc__)
        return 2
    target = parse_size(argv[2])
    write_text(argv[3], generate_cas(target) if argv[1] == "cas" else generate_wat(target))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
