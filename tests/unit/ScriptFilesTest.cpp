// Script files in memory: a rich script's compiled file cut at every byte, writers failing at every byte,
// the fields of each file version, the limits of the string table, and inputs larger than a fuzzer's.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledReader.h"
#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "output/AssemblerProcessor.h"
#include "output/DisassemblerProcessor.h"
#include "output/DisassemblyFunctors.h"
#include "output/DisassemblyText.h"
#include "support/MemoryStores.h"
#include "tool/AssemblyLexer.h"
#include "tool/AssemblyLoader.h"

namespace {

using HxScript::UnlinkedTypes::Object;
using Lines = std::vector<std::string>;

std::string F(const std::string& head, const std::string& ret, const std::string& params, const std::string& locals,
              const std::string& code) {
    return ".function " + head + "\n.userFlags 2\n.docString \"fd\"\n.return " + ret + "\n.paramTable\n" + params +
           ".endParamTable\n.localTable\n" + locals + ".endLocalTable\n.code\n" + code + ".endCode\n.endFunction\n";
}
std::string V(const std::string& head, const std::string& value, const std::string& doc = "") {
    return ".variable " + head + "\n.userFlags 1\n.initialValue " + value + "\n" + doc + ".endVariable\n";
}

// Every kind of record, field and operand of a compiled file, in the order
// the writer puts them.
const std::string kRich =
    ".info\n.source \"Rich.psc\"\n.modifyTime 1\n.compileTime 2\n.user \"u\"\n.computer \"c\"\n.endInfo\n"
    ".userFlagsRef\n.flag hidden 0\n.flag top 31\n.endUserFlagsRef\n.objectTable\n.object Rich Base\n"
    ".userFlags 2147483649\n.docString \"od\"\n.autoState Busy\n.structTable\n.struct Pt\n" +
    V("x Float const", "1.5", ".docString \"xd\"\n") + V("y String", "\"s\"", ".docString \"\"\n") +
    ".endStruct\n.endStructTable\n.variableTable\n" + V("v Int", "3") + V("p Pt", "None") +
    ".endVariableTable\n.propertyTable\n.property P Int auto\n.userFlags 1\n.docString \"pd\"\n.autoVar v\n"
    ".endProperty\n.property Q Int\n.userFlags 1\n.docString \"qd\"\n" + F("get", "Int", "", "", "Return v ;@line 3\n") +
    F("set", "None", ".param value Int\n", "", "Assign v value ;@line 4\n") +
    ".endProperty\n.endPropertyTable\n.propertyGroupTable\n.propertyGroup G\n.userFlags 1\n.docString \"gd\"\n"
    ".property P\n.property Q\n.endPropertyGroup\n.endPropertyGroupTable\n.stateTable\n.state\n"
    ".function Ext native static\n.userFlags 0\n.docString \"\"\n.return Int\n.paramTable\n.param a Int\n"
    ".endParamTable\n.endFunction\n" +
    F("Run", "None", ".param a Int\n", ".local f Float\n.local t Bool\n.local ::nonevar None\n",
      "top:\nFAdd f f 1.5 ;@line 10\nIs t f Pt[]\nCallMethod Run self ::nonevar 1 \"two\" False True\nJumpF t top\n"
      "CallStatic Rich Ext ::nonevar\nJumpT t end\nCallParent Run ::nonevar None ;@line 12\nend:\n") +
    ".endState\n.state Busy\n.endState\n.endStateTable\n.endObject\n.endObjectTable\n";

// `text` with `from` replaced by `to`; the line of `text` in the rich script.
std::string With(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}
int LineOf(const std::string& text) { return int(std::count(kRich.begin(), kRich.begin() + long(kRich.find(text)), '\n')) + 1; }

// An output whose n-th seek fails, or that closing leaves bad.
struct Flaky : TestSupport::MemoryOutput {
    using MemoryOutput::MemoryOutput;
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        return --failSeek == 0 ? StorageResult::Failure : MemoryOutput::Seek(offset, origin);
    }
    void Close() override { MemoryOutput::Close(), closedBad = failClose; }
    bool IsGood() const override { return !closedBad && MemoryOutput::IsGood(); }
    int failSeek = 0;
    bool failClose = false, closedBad = false;
};
using Fault = std::function<void(Object&, Flaky&)>;

// Loads through `inner`, then lets `fault` change the object or the output.
struct FaultyLoader : HxScript::ILoader {
    ILoader* Clone() const override { return nullptr; }
    void SetStore(const HxTSmartPointer<HxScript::IStore>& store) override { inner->SetStore(store); }
    bool Load(const char* name, Object& object) override {
        return inner->Load(name, object) && (!fault || (fault(object, *output), true));
    }
    std::unique_ptr<HxScript::ILoader> inner;
    Fault fault;
    Flaky* output;
};

struct Outcome { bool ok; Lines lines; std::string bytes; };

// Reads assembly text or compiled bytes and writes compiled bytes or text to
// an output that fails after `failAfter` bytes.
Outcome Convert(const std::string& name, bool fromText, const std::string& input, bool toText,
                uint64_t failAfter = ~0ull, const Fault& fault = nullptr) {
    TestSupport::RecordingLogger log;
    HxTSmartPointer<Flaky> output(new Flaky(toText ? "Out.cas" : "Out.cex"));
    output->FailAfter(failAfter);
    FaultyLoader loader;
    if (fromText) loader.inner = std::make_unique<Assembler::AssemblyLoader>(&log);
    else loader.inner = std::make_unique<HxScript::CompiledScriptLoader>(&log, true, true);
    loader.SetStore(new TestSupport::MemorySource(input, (name + (fromText ? ".cas" : ".cex")).c_str()));
    loader.fault = fault;
    loader.output = output.Get();
    CodeGen::AssemblerProcessor assembler(&log);
    CodeGen::DisassemblerProcessor disassembler(&log);
    CodeGen::ObjectProcessorBase& processor = toText ? static_cast<CodeGen::ObjectProcessorBase&>(disassembler) : assembler;
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    const bool ok = processor.Process(name.c_str());
    return {ok, log.lines, output->Text()};
}


const std::string& RichFile() {
    static const std::string bytes = Convert("Rich", true, kRich, false).bytes;
    return bytes;
}
// The lines without their first `prefix` characters, joined by '|'.
std::string Joined(const Lines& lines, size_t prefix = 0) {
    std::string all;
    for (const std::string& line : lines) all += (all.empty() ? "" : "|") + line.substr(prefix);
    return all;
}
void AddRun(Lines& runs, const std::string& line) {
    if (runs.empty() || runs.back() != line) runs.push_back(line);
}
// Appends "<before><field><after>" for each field of a comma-separated list.
void Add(Lines& lines, const std::string& before, const std::string& fields, const std::string& after = "") {
    for (size_t at = 0, end; at < fields.size(); at = end + 2) {
        end = std::min(fields.find(", ", at), fields.size());
        lines.push_back(before + fields.substr(at, end - at) + after);
    }
}

// A cut loses the field it falls in: that field alone is reported, and the
// reader stops there and answers false. Without debug information it skips
// what it would keep, and also stops at the first failure.
TEST(CompiledFiles, ACutAtEveryByteReportsTheFieldItFallsIn) {
    Lines want = {"fatal: Error reading script header from store.", "error: Failed to read string table"};
    const auto read = [&want](const std::string& fields) { Add(want, "fatal: Error reading ", fields, " from store."); };
    const auto code = [&](int instruction, const char* mnemonic, int operands) {
        read("instruction opcode");
        for (int i = 0; i < operands; ++i)
            want.push_back("error: Failed to read argument " + std::to_string(i) + " on instruction " +
                           std::to_string(instruction) + " (" + mnemonic + ")");
    };
    const auto function = [&](int params, int locals) {
        read("function return type, function docstring, function user-flags, function flags, function param count");
        for (int i = 0; i < params; ++i) read("function parameter name, function parameter type");
        read("function locals count");
        for (int i = 0; i < locals; ++i) read("function local name, function type name");
        read("function code size");
    };
    read("debugging info flag, debug source modification time, debug function count");
    for (bool lines : {true, true, false, true}) {
        read("debug function object name, debug function state name, debug function name, debug function type, "
             "debug function instruction count");
        if (lines) read("debug instruction line number");
    }
    const std::string variable = "variable name, variable type, variable user-flags, variable's initial value, "
                                 "variable const flag, ";
    const std::string property = "property name, property type, property docstring, property user-flags, property flags";
    read("property group count, property group object name, property group name, property group doc string, "
         "property group user-flags, property group property count, property group property name, struct order count, "
         "struct order object name, struct order struct name, struct order var count, struct order var name, "
         "user flag info count, user flag name, user flag index, user flag name, user flag index, object count, "
         "object name, object size, parent class name, object docstring, object const flag, object user-flags, "
         "object autostate, struct count, struct name, struct variable count, " + variable + "variable doc string, " +
         variable + "variable doc string, object variable count, " + variable + variable + "object property count, " +
         property + ", property auto var name, " + property);
    function(0, 0), code(0, "Return", 1), function(1, 0), code(0, "Assign", 2);
    read("object state count, state name, state function count, function name");
    function(1, 0), read("function name"), function(1, 3);
    code(0, "FAdd", 3), code(1, "Is", 3), code(2, "CallMethod", 4), code(3, "JumpF", 2), code(4, "CallStatic", 4);
    code(5, "JumpT", 2), code(6, "CallParent", 3), read("state name, state function count");

    const auto load = [](const std::string& bytes, bool debug) {
        TestSupport::RecordingLogger log;
        HxTSmartPointer<HxScript::IStore> in(new TestSupport::MemorySource(bytes, "Rich.cex"));
        Object object;
        const bool ok = in->Open("Rich") && HxScript::Internal::CompiledReader(log, *in, "Rich", "Rich", debug, debug).Run(object);
        return Outcome{ok, log.lines, bytes};
    };
    Lines got;
    for (size_t k = 0; k < RichFile().size(); ++k) {
        const Outcome kept = load(RichFile().substr(0, k), true), bare = load(RichFile().substr(0, k), false);
        ASSERT_FALSE(kept.ok || bare.ok) << k;
        ASSERT_EQ(kept.lines.size() * 10 + bare.lines.size(), 11u) << k << ": " << Joined(kept.lines) << Joined(bare.lines);
        AddRun(got, kept.lines[0].substr(11));  // after "Rich.cex : "
    }
    EXPECT_EQ(got, want);
}

// The output fails at every byte in turn: one fatal message names the field
// of that byte, and nothing more is written. A function record is one field.
TEST(CompiledFiles, AWriteFailingAtEveryByteReportsItsFieldOnce) {
    Lines want;
    Add(want, "", "magic number, major version number, minor version number, game ID, compilation time, "
                  "source code filename, username, computer name, string table, debug info flag, "
                  "source modification time, debug function count");
    for (bool lines : {true, true, false, true}) {
        Add(want, "", "debug function object name, debug function state name, debug function name, "
                      "debug function type, debug function instruction count");
        if (lines) want.push_back("debug function line number cross reference");
    }
    const std::string variable = "variable name, variable type, variable user-flags, variable initial value, "
                                 "variable const flag, ";
    const std::string property = "property name, property type, property docstring, property user-flags, property flags";
    Add(want, "", "property group count, property group object name, property group name, property group doc string, "
                  "property group user flags, property group property count, property group property name, "
                  "struct order count, struct order info object name, struct order info name, struct order var count, "
                  "struct order var name, user flag count, user flag name, user flag index, user flag name, "
                  "user flag index, object count, object name, object size placeholder, object's parent's name, "
                  "object docstring, object const flag, object user-flags, object autostate, object struct count, "
                  "struct name, struct variable count, " + variable + "variable doc string, " + variable +
                  "variable doc string, object variable count, " + variable + variable + "object property count, " +
                  property + ", property auto variable name, " + property + ", property get function, "
                  "property set function, object state count, state name, state function count, function name, "
                  "function data, function name, function data, state name, state function count, object size");
    want.push_back("");

    const std::string& bytes = RichFile();
    const std::string full = Convert("Rich", false, bytes, false).bytes;
    const std::string unpatched = Convert("Rich", false, bytes, false, full.size()).bytes;  // the object size still 0
    const size_t sizeAt = size_t(std::mismatch(full.begin(), full.end(), unpatched.begin()).first - full.begin());
    Lines got;
    for (size_t k = 0; k <= bytes.size() + 4; ++k) {  // the size field is written twice
        const Outcome run = Convert("Rich", false, bytes, false, k);
        ASSERT_EQ(run.ok, k == bytes.size() + 4) << k;
        ASSERT_LE(run.lines.size(), 1u) << k << ": " << Joined(run.lines);
        std::string written = run.bytes, expected = full.substr(0, written.size());  // the same bytes, but the size
        for (size_t i = sizeAt; i < sizeAt + 4 && i < written.size(); ++i) written[i] = expected[i] = 0;
        ASSERT_EQ(written, expected) << k;
        AddRun(got, Joined(run.lines, 31));  // after "Out.cex : fatal: Error writing "
    }
    EXPECT_EQ(got, want);
}

// The disassembly writer writes a block at a time and reports every failed
// write, so what it reports changes only where a line begins; a function goes
// on to its end line after a failure in its code.
TEST(CompiledFiles, ATextWriteFailingAtEveryByteIsReported) {
    const std::string function = "function chunk, function chunk|function code|function end directive, "
                                 "function code|function end directive, code end directive|function end directive, "
                                 "function end directive, ";
    Lines want;
    Add(want, "", "header, user flag info, class chunk, struct, variable, struct, class chunk, variable, class chunk, "
                  "property, " + function + function + "property, class chunk, property group block, "
                  "property group property entry, property group end directive, class chunk, state begin directive, "
                  "function chunk, function end directive, function chunk, "
                  "function chunk|label|function code|label|function end directive, "
                  "label|function code|label|function end directive, function code|label|function end directive, "
                  "label|function end directive, code end directive|function end directive, function end directive, "
                  "state end directive, state begin directive, state end directive, class chunk");
    want.push_back("");
    while (CodeGen::PeekNextLabelNumber() < 10000) CodeGen::CreateLabelName();  // labels of one width: one text
    const std::string full = Convert("Rich", false, RichFile(), true).bytes;
    Lines got;
    for (uint64_t k = 0; got.empty() || (!got.back().empty() && k < 100000); ++k) {
        const Outcome run = Convert("Rich", false, RichFile(), true, k);
        const std::string messages = Joined(run.lines, 31);  // after "Out.cas : fatal: Error writing "
        ASSERT_EQ(run.ok, run.lines.empty()) << k;
        ASSERT_TRUE(k == 0 || (!got.empty() && got.back() == messages) || full[k - 1] == '\n') << "mid-line change at " << k;
        AddRun(got, messages);
    }
    EXPECT_EQ(got, want);
}

// What stops writing besides a failed write, each reported once: records a model can hold but a file
// cannot, a failing seek or close, and a processor wired incompletely.
TEST(CompiledFiles, FailuresBesidesWritesAreReportedOnce) {
    const std::pair<const char*, Fault> rows[] = {
        {"Can't write a NULL set function", [](Object& o, Flaky&) { o.properties.Find("Q")->setFunction.reset(); }},
        {"Can't write a NULL get function", [](Object& o, Flaky&) { o.properties.Find("Q")->getFunction.reset(); }},
        {"Error writing property auto variable name", [](Object& o, Flaky&) { o.properties.Find("P")->autoVarName = "no"; }},
        {"Error writing property group property name",
         [](Object& o, Flaky&) { o.debugInfo.propertyGroups[0].propertyNames.Add("no"); }},
        {"Error writing variable initial value",
         [](Object& o, Flaky&) { *o.initialValues.Find("v") = HxScript::UnlinkedTypes::Value::MakeMemberVariableIndex(1); }},
        {"Error seeking to object size placeholder", [](Object&, Flaky& out) { out.failSeek = 1; }},
        {"Error seeking to object end", [](Object&, Flaky& out) { out.failSeek = 2; }},
        {"Error writing to output file", [](Object&, Flaky& out) { out.failClose = true; }}};
    for (const auto& [line, fault] : rows)
        EXPECT_EQ(Joined(Convert("Rich", false, RichFile(), false, ~0ull, fault).lines), std::string("Out.cex : fatal: ") + line);
    EXPECT_EQ(Joined(Convert("Rich", false, RichFile(), true, ~0ull, rows[7].second).lines),
              "Out.cas : fatal: Error writing to output file");
    TestSupport::RecordingLogger log;
    Assembler::AssemblyLoader loader(&log);
    CodeGen::DisassemblerProcessor unwired(&log);
    EXPECT_FALSE(unwired.Process("Rich") || (unwired.SetLoader(&loader), unwired.Process("Rich")));
    EXPECT_EQ(Joined(log.lines), "Cannot disassemble class without a loader|Cannot disassemble class without an output");
}

// Assembled, disassembled and assembled again, a script gives the same
// bytes. The examples are named, not looked for: users run the tool in that
// folder and leave its output there.
TEST(CompiledFiles, ScriptsSurviveDisassemblyAndReassembly) {
    std::vector<std::pair<std::string, std::string>> scripts = {{"Rich", kRich}};
    for (const std::string name : {"Hello", "GameRules", "Inventory", "Lantern"}) {
        std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "../../examples" / (name + ".cas"));
        scripts.emplace_back(name, std::string(std::istreambuf_iterator<char>(in), {}));
    }
    for (const auto& [name, text] : scripts) {
        const Outcome compiled = Convert(name, true, text, false), disassembled = Convert(name, false, compiled.bytes, true);
        EXPECT_EQ(Joined(compiled.lines) + Joined(disassembled.lines), "") << name;
        EXPECT_TRUE(compiled.ok && disassembled.ok) << name;
        EXPECT_EQ(Convert(name, true, disassembled.bytes, false).bytes, compiled.bytes) << name;
    }
}

// Compiled bytes field by field, little-endian: the header of version
// 3.`minor` (none when negative) and a string table, then what a test adds.
struct Cex {
    Cex(int minor, const Lines& strings) {
        if (minor >= 0) U32(0xFA57C0DE).U8(3).U8(uint32_t(minor)).U16(2).U32(0).U32(0).Str("s").Str("u").Str("c");
        U16(uint32_t(strings.size()));
        for (const std::string& text : strings) Str(text);
    }
    Cex& U8(uint32_t v) { return b.push_back(char(v)), *this; }
    Cex& U16(uint32_t v) { return U8(v).U8(v >> 8); }
    Cex& U32(uint32_t v) { return U16(v).U16(v >> 16); }
    Cex& Str(const std::string& text) { return U16(uint32_t(text.size())), b += text, *this; }
    std::string b;
};

TEST(CompiledFiles, EachVersionReadsTheFieldsItHas) {
    for (int m = 0; m <= 9; ++m) {
        Cex c(m, {"", "Foo", "Int", "x", "Pt", "am", "Grp", "doc"});
        c.U8(1).U32(0).U32(0).U16(0);                             // debug information without functions
        if (m >= 4) c.U16(1).U16(1).U16(6).U16(7).U32(0).U16(0);  // group Grp of Foo
        if (m >= 7) c.U16(1).U16(1).U16(4).U16(1).U16(5);         // struct order of Pt: am
        c.U16(0).U16(1).U16(1).U32(0).U16(0).U16(7);              // one object Foo: size, parent, doc
        if (m >= 3) c.U8(1);                                      // const
        c.U32(0).U16(0);                                          // user flags, auto state
        if (m >= 7) c.U16(1).U16(4).U16(1).U16(5).U16(2).U32(0).U8(3).U32(1).U8(1);  // struct Pt: const Int am = 1
        if (m >= 8) c.U16(7);                                                         // its doc string
        c.U16(1).U16(3).U16(2).U32(0).U8(0);                      // variable Int x
        if (m >= 3) c.U8(1);
        c.U16(0).U16(1).U16(0).U16(0);                            // no properties, the empty state
        EXPECT_EQ(Joined(Convert("Foo", false, c.b, false, ~0ull, [m](Object& o, Flaky&) {
                      const auto* pt = o.structs.Find("Pt");
                      EXPECT_EQ(o.isConst && o.variables.Find("x")->isConst, m >= 3) << m;
                      EXPECT_EQ(o.debugInfo.propertyGroups.Size(), m >= 4 ? 1u : 0u) << m;
                      EXPECT_EQ(o.structs.Size() + o.debugInfo.structOrders.Size(), m >= 7 ? 2u : 0u) << m;
                      EXPECT_TRUE(pt == nullptr || pt->variableDocStrings.Size() == (m >= 8 ? 1u : 0u)) << m;
                      EXPECT_EQ(o.docString, "doc");
                  }).lines), "") << "3." << m;
    }
}

// 65535 entries, the last one 65535 bytes long, are written and read back
// whole (in blocks of 4096 bytes, the longest in one of its own); a ref one
// past the end is refused, and a longer table is not written.
TEST(CompiledFiles, StringTablesHoldEveryEntryWholeUpTo65535) {
    CodeGen::CompiledStringTable strings;
    strings.Add("");
    while (strings.Count() < 0xFFFE) strings.Add(("s" + std::to_string(strings.Count())).c_str());
    const std::string longest = "L" + std::string(0xFFFD, 'x') + "Z";
    strings.Add(longest.c_str());
    HxTSmartPointer<TestSupport::MemoryOutput> out(new TestSupport::MemoryOutput());
    out->Open("x");
    ASSERT_EQ(strings.Write(*out), StorageResult::Success);
    EXPECT_EQ(strings.WriteRef(*out, "nowhere"), StorageResult::Failure);
    for (uint32_t nameRef : {0xFFFEu, 0xFFFFu}) {
        Cex file(9, {});
        file.b.resize(file.b.size() - 2);
        file.b += out->Text();
        file.U8(0).U16(0).U16(1).U16(1).U32(0).U16(0).U16(0).U8(0).U32(0).U16(0).U16(0);  // object s1
        file.U16(1).U16(nameRef).U16(0xFFFD).U32(0).U8(0).U8(0).U16(0).U16(1).U16(0).U16(0);
        const Outcome load = Convert("s1", false, file.b, false, ~0ull, [&longest](Object& o, Flaky&) {
            EXPECT_EQ(*o.variables.Find(longest.c_str()), (HxScript::UnlinkedTypes::Variable{"s65533", 0, false}));
        });
        EXPECT_EQ(Joined(load.lines), nameRef == 0xFFFF ? "s1.cex : fatal: Error reading variable name from store." : "");
    }
    strings.Add("one too many");
    EXPECT_EQ(strings.Write(*out), StorageResult::Failure);
    strings.Clear();
    strings.Add(std::string(0x10000, 'a').c_str());
    EXPECT_EQ(strings.Write(*out), StorageResult::Failure);
}

// A name is spelled as the first of the entries equal to it in any letter
// case that the reader meets, a code text included, whether the code is kept
// or only counted: a code text read before a parameter spelled in other
// letters names it. A number whose bits equal the parameter's entry is no
// text, and code followed by more than its longest instruction is checked
// straight from the read-ahead window the same way.
TEST(CompiledFiles, ANameIsSpelledAsTheFirstEntryReadCodeKeptOrCounted) {
    std::string go;
    for (int i = 0; i < 1500; ++i) go += "Return None\n";
    const std::string text = With(With(kRich, ".state Busy\n", ".state Busy\n" + F("Go", "None", ".param zzzz Int\n", "", go)),
                                  "top:\n", "top:\nIAdd v v 12345\n");
    std::string bytes = Convert("Rich", true, text, false).bytes;
    const std::string self("\x04\x00self", 6), number("\x03\x39\x30\x00\x00", 5);
    ASSERT_NE(bytes.find(self), std::string::npos);
    bytes.replace(bytes.find(self) + 2, 4, "ZZZZ");
    // The object's name is the string table's first entry.
    size_t at = bytes.find(std::string("\x04\x00Rich", 6));
    uint8_t entry = 0;
    for (; bytes.compare(at, 6, std::string("\x04\x00zzzz", 6)) != 0; ++entry)
        at += 2 + (uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8);
    const size_t n = bytes.find(number);
    ASSERT_NE(n, std::string::npos);
    bytes[n + 1] = char(entry), bytes[n + 2] = 0;
    for (bool counted : {true, false}) {
        TestSupport::RecordingLogger log;
        HxScript::CompiledScriptLoader loader(&log, true, true);
        loader.SetCountCodeOnly(counted);
        loader.SetStore(new TestSupport::MemorySource(bytes, "Rich.cex"));
        auto object = std::make_unique<Object>();
        EXPECT_TRUE(loader.Load("Rich", *object));
        EXPECT_STREQ(object->states.Find("Busy")->functions.Find("Go")->params[0].name.text(), "ZZZZ") << counted;
        EXPECT_EQ(Joined(log.lines), "");
    }
}

// Lines and tokens far longer than a fuzzer's inputs: lines of 100 MB are
// skipped or reported whole, a name of 70000 characters loads but cannot be
// written, a call takes 511 operands and no more.
TEST(AssemblyText, HugeLinesTokensAndCalls) {
    const auto assembled = [](const std::string& text) { return Joined(Convert("Rich", true, text, false).lines); };
    const std::string comment = ";" + std::string(100u << 20, 'c') + "\n";
    EXPECT_EQ(assembled(With(With(kRich, ".structTable", comment + ".structTable"), "Is t f Pt[]", "Bogus")),
              "Rich.cas(" + std::to_string(LineOf("Is t") + 1) + ") : error: Unknown instruction \"Bogus\"");

    const std::string huge(70000, 'q');
    EXPECT_EQ(assembled(With(kRich, "\"od\"", "\"" + huge + "\"")), "Out.cex : fatal: Error writing string table");
    EXPECT_EQ(assembled(With(kRich, "local f", "local " + huge)), "Out.cex : fatal: Error writing string table");
    EXPECT_EQ(assembled(With(kRich, "Rich.psc", huge)), "Out.cex : fatal: Error writing source code filename");
    EXPECT_EQ(assembled(With(With(kRich, "top:", huge + ":"), "JumpF t top", "JumpF t " + huge)), "");
    EXPECT_EQ(assembled(With(kRich, "Is t f Pt[]", huge)),
              "Rich.cas(" + std::to_string(LineOf("Is t")) + ") : error: Unknown instruction \"" + huge + "\"");

    const std::string before = "CallMethod Run self ::nonevar 1 \"two\" False True";
    std::string call = "CallMethod Run self ::nonevar";
    for (int i = 0; i < 508; ++i) call += " " + std::to_string(i);
    const Outcome wide = Convert("Rich", true, With(kRich, before, call), false);
    EXPECT_NE(Convert("Rich", false, wide.bytes, true).bytes.find(call.substr(10) + "  "), std::string::npos);
    EXPECT_NE(assembled(With(kRich, before, call + " 508")), "");
}

// The line reader's tokenizer (64 bytes at a time, untrimmed lines, rare
// tokens apart) and its short-float conversion against the plain tokenizer
// and strtod, on random lines of delimiters, quotes, escapes, comments,
// signs and bytes above 127.
TEST(AssemblyText, FastTokenizingAndFloatsMatchThePlainWay) {
    using namespace Assembler;
    std::mt19937 random(7);
    const std::string alphabet = " \t\t\"\";;\\\\aZ_:#09-.+eE[]@lineLINE\x80\xff";
    HxTArray<TokenView> plain;
    TokenList fast;
    for (int round = 0; round < 200000; ++round) {
        std::string line(random() % (round % 3 == 0 ? 200 : 70), ' ');
        for (char& c : line) c = alphabet[random() % alphabet.size()];
        if (round % 4 == 0 && line.size() > 10)
            line.replace(random() % (line.size() - 8), 7, round % 8 ? ";@line " : ";@LiNe\t");
        const std::string padded = line + std::string(64, '\xff');
        TokenView trimmed(padded.data(), static_cast<uint32_t>(line.size()));
        TrimLine(trimmed);
        const int32_t plainNumber = TokenizeLine(trimmed, plain);
        ASSERT_EQ(plainNumber, TokenizePaddedLine(TokenView(padded.data(), static_cast<uint32_t>(line.size())), fast))
            << line;
        ASSERT_EQ(plain.Size(), fast.Size()) << line;
        for (uint32_t i = 0; i < plain.Size(); ++i) {
            const TokenView a = plain[i], b = fast[i];
            ASSERT_TRUE(a.text == b.text && a.length == b.length && (a.classes == 0x82) == (b.classes == 0x82) &&
                        (a.classes & kTokenOther) == (b.classes & kTokenOther))
                << line;
        }
        std::string number = std::to_string(random() % 100000) + "." + std::to_string(random() % 1000000);
        if (round % 2)
            number = "-" + number + (round % 4 == 1 ? "e" : "E") + std::to_string(static_cast<int>(random() % 40) - 20);
        const ValueToken value = ClassifyValue(TokenView(number.c_str()));
        const float expected = static_cast<float>(std::strtod(number.c_str(), nullptr));
        ASSERT_EQ(std::memcmp(&value.number, &expected, sizeof expected), 0) << number;
    }
}

// A spelling read again reads as it did the first time: floats of one
// length that share their first 8 bytes (more of them than any table of
// recent spellings could keep apart by slot alone), in any order; a
// directive's name spelled as a live code name takes that name's entry (its
// first spelling), and one spelled as a code name that a failed line let go
// of is a name of its own.
TEST(AssemblyText, SpellingsReadAgainReadAsTheFirstTime) {
    Lines floats = {"1.5", "1.50", "-1.5", "1.5e1", "1.0e2", "9.99999e37"};
    for (int i = 0; i < 300; ++i) floats.push_back("0.000001" + std::to_string(1000 + i).substr(1));
    Lines order = floats;
    order.insert(order.end(), floats.begin(), floats.end());
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    std::string code = "Assign ::Gone\nAssign f ::Kept\n";
    for (const std::string& number : order) code += "FAdd f f " + number + "\n";
    TestSupport::RecordingLogger log;
    Assembler::AssemblyLoader loader(&log);
    loader.SetStore(new TestSupport::MemorySource(
        With(With(kRich, "top:\n", "top:\n" + code), ".state Busy\n",
             ".state Busy\n" + F("Go", "None", "", ".local ::KEPT Int\n.local ::Gone Int\n.local ::GONE Int\n", "")),
        "Rich.cas"));
    auto object = std::make_unique<Object>();
    EXPECT_FALSE(loader.Load("Rich", *object));
    EXPECT_EQ(Joined(log.lines),
              "Rich.cas(" + std::to_string(LineOf("top:") + 1) + ") : error: Instruction \"Assign\" has too few arguments");

    const auto& run = object->emptyState.functions.Find("Run")->instructions;
    uint32_t next = 0;
    for (uint32_t i = 0; i < run.GetTotalOperandCount() && next < order.size(); ++i) {
        if (run.Kinds()[i] != uint8_t(HxScript::UnlinkedTypes::ValueKind::Float)) continue;
        const float expected = Assembler::ClassifyValue(Assembler::TokenView(order[next].c_str())).number;
        ASSERT_EQ(std::memcmp(&run.Payloads()[i], &expected, sizeof expected), 0) << order[next];
        ++next;
    }
    EXPECT_EQ(next, order.size());

    const auto& locals = object->states.Find("Busy")->functions.Find("Go")->locals;
    ASSERT_EQ(locals.Size(), 3u);
    EXPECT_STREQ(locals[0].name.text(), "::Kept");
    EXPECT_STREQ(locals[1].name.text(), "::Gone");
    EXPECT_STREQ(locals[2].name.text(), "::Gone");
}

// The disassembler spells floats itself; its text must be printf's "%f", ties
// to even included, for every exponent (random bit patterns and the ties k/2^n).
TEST(AssemblyText, FloatsAreSpelledAsPrintfSpellsThem) {
    std::mt19937 random(11);
    CodeGen::TextBuffer text;
    char expected[400];
    for (int round = 0; round < 300000; ++round) {
        uint32_t bits = static_cast<uint32_t>(random());
        if (round % 3 == 0) bits = (bits & 0x807FFFFFu) | ((90u + bits % 80u) << 23);  // mostly near the six decimals
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (round < 2000) value = static_cast<float>(round) / 128.0f - 7.0f;  // 0.0078125 steps: ties at the 7th decimal
        text.Clear();
        text.AppendFloat(value);
        std::snprintf(expected, sizeof expected, "%f", static_cast<double>(value));
        ASSERT_EQ(std::string(text.CStr(), text.Size()), expected) << bits;
    }
}

}  // namespace
