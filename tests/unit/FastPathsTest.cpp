// Tests of the shortcuts taken for speed and memory: each must give exactly
// what the plain path gives, also where the shortcut's own state could go
// stale (chunked pool buckets, the string table's memo of recent handles,
// operands moved instead of copied, the small first buffer of the line
// reader).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptInstructionStream.h"
#include "HxScript/HxScriptValue.h"
#include "HxScript/HxScriptOpcodes.h"
#include "hxcore/HxFixedString.h"
#include "output/AssemblerProcessor.h"
#include "output/CompiledScriptWriter.h"
#include "output/DisassemblerProcessor.h"
#include "output/DisassemblyText.h"
#include "support/MemoryStores.h"
#include "support/ModelGenerator.h"
#include "tool/AssemblyLexer.h"

using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::Value;
using HxScript::UnlinkedTypes::ValueKind;

namespace {

// ---------------------------------------------------------------------------
// String pool buckets

// Names spread over every chunk of buckets, released again: entries must be
// found, unlinked and found missing afterwards, whichever chunk they fell in.
TEST(PoolBuckets, ManyNamesInternReleaseAndComeBackWithTheirNewSpelling) {
    std::vector<std::string> lower;
    for (int i = 0; i < 20000; ++i) lower.push_back("fastpath_name_" + std::to_string(i * 7919));
    {
        std::vector<HxFixedString> held;
        for (const std::string& text : lower) held.emplace_back(text.c_str());
        for (size_t i = 0; i < lower.size(); ++i) {
            std::string upper = lower[i];
            for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
            HxFixedString again(upper.c_str());
            ASSERT_EQ(again, held[i]) << lower[i];
            ASSERT_STREQ(again.text(), lower[i].c_str());
        }
    }
    // Every entry was freed with its last handle: the upper-case spelling now wins.
    for (size_t i = 0; i < lower.size(); i += 997) {
        std::string upper = lower[i];
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        HxFixedString fresh(upper.c_str());
        EXPECT_STREQ(fresh.text(), upper.c_str());
    }
}

// The exact twin lands in the bucket of its unlowered hash, usually another
// chunk than the folded entry's: its alias must be linked and unlinked there.
TEST(PoolBuckets, ExactTwinsAcrossChunksShareAndReleaseCleanly) {
    for (int i = 0; i < 2000; ++i) {
        const std::string text = "Twin_" + std::to_string(i);
        HxFixedStringCS exact(text.c_str());
        HxFixedString folded(text.c_str());
        EXPECT_EQ(exact.c_str(), folded.c_str()) << text;  // one text, shared
        EXPECT_EQ(HxFixedString(exact), folded);
    }
    HxFixedString after("twin_5");
    EXPECT_STREQ(after.text(), "twin_5");
}

// ---------------------------------------------------------------------------
// Compiled string table

// Two handles whose addresses share a memo slot must keep their own indexes.
TEST(StringTableMemo, HandlesSharingASlotKeepTheirOwnIndexes) {
    std::vector<HxFixedString> names;
    for (int i = 0; i < 3000; ++i) names.emplace_back(("memo_" + std::to_string(i)).c_str());
    CodeGen::CompiledStringTable table;
    for (const HxFixedString& name : names) table.Add(name);
    for (const HxFixedString& name : names) table.Add(name);  // repeats add nothing
    ASSERT_EQ(table.Count(), names.size());
    // Two passes: the first fills the memo, the second reads it.
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t i = 0; i < names.size(); ++i) ASSERT_EQ(table.IndexOf(names[i]), i);
}

// After Clear the memo must not answer with the indexes of the old table.
TEST(StringTableMemo, ClearForgetsRememberedIndexes) {
    CodeGen::CompiledStringTable table;
    const HxFixedString a("memoAlpha"), b("memoBeta");
    table.Add(a);
    table.Add(b);
    EXPECT_EQ(table.IndexOf(b), 1u);
    table.Clear();
    EXPECT_EQ(table.IndexOf(a), kHxInvalidIndex);
    table.Add(b);
    table.Add(a);
    EXPECT_EQ(table.IndexOf(b), 0u);
    EXPECT_EQ(table.IndexOf(a), 1u);
}

// The null handle and "" are one entry, whichever comes first.
TEST(StringTableMemo, NullAndEmptyTextAreOneEntry) {
    CodeGen::CompiledStringTable table;
    table.Add(HxFixedString(nullptr));
    table.Add(HxFixedString(""));
    table.Add(HxFixedString());
    EXPECT_EQ(table.Count(), 1u);
    EXPECT_EQ(table.IndexOf(HxFixedString(nullptr)), 0u);
    EXPECT_EQ(table.IndexOf(HxFixedString()), 0u);
}

// ---------------------------------------------------------------------------
// Operands moved into a stream

TEST(StreamFromMovedOperands, EqualsTheCopiedStreamAndTakesNoReferences) {
    const HxFixedString name("moved_operand_name");
    HxTArray<InstructionStream::Instruction> records;
    HxTArray<Value> operands;
    for (uint32_t i = 0; i < 70; ++i) {  // more than two blocks of operands
        records.Add(InstructionStream::Instruction{1, 3});
        operands.Add(Value::MakeIdentifier(name));
        operands.Add(Value::MakeInteger(static_cast<int32_t>(i)));
        operands.Add(Value::MakeString(name));
    }
    const InstructionStream copied(records, operands);
    const uint32_t before = HxFixedStringRefCount(name);
    const InstructionStream moved(records, std::move(operands));
    EXPECT_EQ(HxFixedStringRefCount(name), before);  // taken over, not added
    EXPECT_TRUE(moved == copied);
    EXPECT_EQ(moved.GetTotalOperandCount(), 210u);
    EXPECT_EQ(moved.GetBuiltCount(), 70u);
    operands.Clear();
    EXPECT_EQ(HxFixedStringRefCount(name), before);  // the moved-from values held nothing
    HxTArray<Value> back;
    moved.CopyOperands(back);
    EXPECT_EQ(back[208].GetInteger(), 69);
    EXPECT_EQ(back[209].GetKind(), ValueKind::String);
    EXPECT_EQ(back[209].GetText(), name);
}

TEST(StreamFromMovedOperands, EmptyListsGiveAnEmptyStream) {
    HxTArray<InstructionStream::Instruction> records;
    HxTArray<Value> operands;
    const InstructionStream stream(records, std::move(operands));
    EXPECT_EQ(stream.GetInstructionCount(), 0u);
    EXPECT_TRUE(stream == InstructionStream());
}

// ---------------------------------------------------------------------------
// Values parsed by returning them

TEST(ParseValueReturned, MatchesTheAssigningForm) {
    const char* const tokens[] = {"true", "FALSE", "none", "\"a\\\"b\"", "\"open", "::name", "Int[]", "a-b",
                                  "1.5e3", "-7", "0x10", "\"\""};
    for (const char* token : tokens) {
        const char* errorA = "";
        const char* errorB = "";
        Value assigned = Value::MakeInteger(99);  // whatever it held is replaced
        Assembler::ParseValue(Assembler::TokenView(token), assigned, errorA);
        const Value returned = Assembler::ParseValue(Assembler::TokenView(token), errorB);
        EXPECT_TRUE(assigned == returned) << token;
        EXPECT_STREQ(errorA, errorB) << token;
    }
}

// ---------------------------------------------------------------------------
// Line reader buffer sizes

std::vector<std::string> ReadAll(const std::string& text) {
    TestSupport::MemorySource source(text);
    source.Open("x");
    Assembler::LineReader reader;
    reader.Begin(&source);
    std::vector<std::string> lines;
    Assembler::TokenView line;
    while (reader.ReadLine(line)) lines.emplace_back(line.text, line.length);
    return lines;
}

// A small file gets a buffer of its own size; lines must come out whole at
// every size around the chunk size, with and without a final line feed.
TEST(LineReaderBuffer, FilesAroundTheChunkSizeReadWhole) {
    const uint32_t chunk = Assembler::LineReader::kChunkSize;
    for (uint32_t size : {1u, 2u, 100u, chunk - 1, chunk, chunk + 1, 3 * chunk + 7}) {
        for (bool finalFeed : {true, false}) {
            std::string text;
            std::vector<std::string> expected;
            while (text.size() + 1 < size) {
                std::string line(std::min<size_t>(size - text.size() - 1, 37 + expected.size() % 50), 'x');
                expected.push_back(line);
                text += line + "\n";
            }
            if (!finalFeed && !text.empty()) text.pop_back();
            EXPECT_EQ(ReadAll(text), expected) << "size " << size << (finalFeed ? " with" : " without");
        }
    }
}

// A file that is one line fills its small buffer exactly; it must still end
// cleanly, with or without its line feed.
TEST(LineReaderBuffer, SingleLineFillingTheFile) {
    EXPECT_EQ(ReadAll(std::string(500, 'y')), std::vector<std::string>{std::string(500, 'y')});
    EXPECT_EQ(ReadAll(std::string(500, 'y') + "\n"), std::vector<std::string>{std::string(500, 'y')});
    EXPECT_EQ(ReadAll("\r\n"), std::vector<std::string>{""});
    EXPECT_TRUE(ReadAll("").empty());
}

// ---------------------------------------------------------------------------
// Decimal numbers of the disassembly text

TEST(DisassemblyNumbers, MatchPrintfAtTheLimits) {
    for (uint32_t v : {0u, 7u, 10u, 99u, 100u, 4294967295u, 2147483648u}) {
        CodeGen::TextBuffer out;
        out.Append("x");
        out.AppendUnsigned(v);
        EXPECT_EQ(std::string(out.CStr(), out.Size()), "x" + std::to_string(v));
    }
    for (int32_t v : {0, -1, 1, -10, 2147483647, -2147483647 - 1}) {
        CodeGen::TextBuffer out;
        out.AppendSigned(v);
        EXPECT_EQ(std::string(out.CStr(), out.Size()), std::to_string(v));
    }
}

// ---------------------------------------------------------------------------
// Line-number records found by function name

// Records that share a function name differ in kind, state or object; a
// record repeated later must lose to the first one, as a search of the list
// in order finds it.
void BuildSharedNames(HxScript::UnlinkedTypes::Object& object) {
    using HxScript::UnlinkedTypes::FunctionKind;
    using namespace TestSupport;
    object.name = "Fp";
    object.parentName = "ScriptObject";
    CodeBuilder code;
    code.Add(HxScript::Opcodes::Noop);
    object.emptyState.functions.Set("Go", MakeFunction("None", {}, {}, &code));
    HxScript::UnlinkedTypes::State walk;
    walk.functions.Set("Go", MakeFunction("None", {}, {}, &code));
    object.states.Set("Walk", std::move(walk));
    HxScript::UnlinkedTypes::Property property;
    property.accessFlags = 1;
    property.typeName = "Int";
    property.getFunction.reset(new HxScript::UnlinkedTypes::Function(MakeFunction("Int", {}, {}, &code)));
    object.properties.Set("Go", std::move(property));

    AddLines(object, FunctionKind::Normal, "Walk", "Go", {21});
    AddLines(object, FunctionKind::Getter, "", "Go", {31});
    AddLines(object, FunctionKind::Normal, "", "Go", {11});
    AddLines(object, FunctionKind::Normal, "", "Go", {12});  // repeated: never used
    HxScript::UnlinkedTypes::FunctionDebugInfo other;       // another object's record
    other.objectName = "Elsewhere";
    other.functionName = "Go";
    other.lineNumbers.Add(99);
    object.debugInfo.functionDebugInfos.Insert(0, other);
}

TEST(DebugRecordIndex, EachFunctionGetsTheFirstRecordOfItsKindStateAndObject) {
    TestSupport::ModelLoader loader(BuildSharedNames);
    HxTSmartPointer<TestSupport::MemoryOutput> output(new TestSupport::MemoryOutput("Fp.disassemble.cas"));
    class Quiet : public HxScript::ErrorLogger {
    public:
        Quiet() : ErrorLogger("FastPathsTest") {}
        void LogMessage(const HxScript::ICachedErrorMessage&, HxScript::Severity) override {}
    } logger;
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    ASSERT_TRUE(processor.Process("Fp"));
    const std::string text = output->Text();
    const size_t getter = text.find(";@line 31");
    const size_t empty = text.find(";@line 11");
    const size_t walk = text.find(";@line 21");
    ASSERT_NE(getter, std::string::npos);
    ASSERT_NE(empty, std::string::npos);
    ASSERT_NE(walk, std::string::npos);
    EXPECT_LT(getter, empty);  // properties come before states
    EXPECT_LT(empty, walk);    // the empty state before the named one
    EXPECT_EQ(text.find(";@line 12"), std::string::npos);
    EXPECT_EQ(text.find(";@line 99"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Compiled reader: read-ahead against plain field reads

// A store that cannot tell its size: the reader then reads every field
// straight from the store, the path the read-ahead must behave like.
class SizelessSource : public TestSupport::MemorySource {
public:
    using MemorySource::MemorySource;
    uint64_t GetSize() override { return 0; }
};

class Lines : public HxScript::ErrorLogger {
public:
    Lines() : ErrorLogger("FastPathsTest") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.push_back(text.text());
    }
    std::vector<std::string> lines;
};

// The feature model with enough extra functions to need several windows.
std::vector<uint8_t> LargeCompiledFile() {
    using namespace TestSupport;
    auto fill = [](HxScript::UnlinkedTypes::Object& object) {
        BuildFeatureModel(object);
        for (int f = 0; f < 900; ++f) {
            CodeBuilder code;
            for (int i = 0; i < 12; ++i)
                code.Add(1 /* IAdd */, {Id("::t"), Int(f * 100 + i), Id(i % 2 ? "a" : "b")})
                    .Add(27 /* StrCat */, {Id("::s"), Str("piece"), Id("::s")})
                    .Add(2 /* FAdd */, {Id("::f"), Flt(0.5f * static_cast<float>(i)), Id("::f")});
            const std::string name = "Extra" + std::to_string(f);
            object.emptyState.functions.Set(name.c_str(), MakeFunction("None", {{"a", "Int"}}, {{"::t", "Int"}}, &code));
            std::vector<uint32_t> lines;
            for (uint32_t i = 0; i < code.Count(); ++i) lines.push_back(static_cast<uint32_t>(f) + i);
            AddLines(object, HxScript::UnlinkedTypes::FunctionKind::Normal, "", name.c_str(), lines);
        }
    };
    Lines logger;
    ModelLoader loader(fill);
    HxTSmartPointer<TestSupport::MemoryOutput> output(new TestSupport::MemoryOutput("Feature.cex"));
    CodeGen::AssemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    processor.Process("FeatureObject");
    return output->Bytes();
}

struct LoadResult {
    bool ok = false;
    std::vector<std::string> lines;
    HxScript::UnlinkedTypes::Object object;
};

void LoadWith(HxScript::IStore* store, const char* name, LoadResult& result) {
    Lines logger;
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(store));
    result.ok = loader.Load(name, result.object);
    result.lines = logger.lines;
}

void ExpectSameLoad(const std::vector<uint8_t>& bytes, const char* name, const std::string& what) {
    LoadResult ahead, plain;
    LoadWith(new TestSupport::MemorySource(bytes, "Feature.cex"), name, ahead);
    LoadWith(new SizelessSource(bytes, "Feature.cex"), name, plain);
    EXPECT_EQ(ahead.ok, plain.ok) << what;
    EXPECT_EQ(ahead.lines, plain.lines) << what;
    HxFixedString difference;
    EXPECT_TRUE(HxScript::UnlinkedTypes::ModelsEqual(ahead.object, plain.object, &difference))
        << what << ": " << difference.text();
}

TEST(CompiledReadAhead, WholeAndTruncatedFilesLoadAsWithPlainReads) {
    const std::vector<uint8_t> bytes = LargeCompiledFile();
    ASSERT_GT(bytes.size(), 3u * 64 * 1024);  // several windows
    LoadResult whole;
    LoadWith(new TestSupport::MemorySource(bytes, "Feature.cex"), "FeatureObject", whole);
    ASSERT_TRUE(whole.ok);
    ASSERT_TRUE(whole.lines.empty()) << whole.lines.front();
    ExpectSameLoad(bytes, "FeatureObject", "whole file");
    // Cut inside every part of the file, and around the window boundaries.
    std::vector<size_t> cuts;
    for (size_t at = 0; at < bytes.size(); at += 4099) cuts.push_back(at);
    for (size_t boundary : {size_t(64 * 1024), size_t(128 * 1024), bytes.size()})
        for (size_t at = boundary - 5; at <= boundary + 5 && at < bytes.size(); ++at) cuts.push_back(at);
    for (size_t cut : cuts) {
        const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<long>(cut));
        ExpectSameLoad(part, "FeatureObject", "cut at " + std::to_string(cut));
    }
}

uint32_t GetU32At(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The file with its one object record doubled: a copy under another name
// (string entry 0) first, then the original. Loading the original makes the
// reader seek past the copy, far beyond one window.
std::vector<uint8_t> WithSkippedCopy(const std::vector<uint8_t>& bytes) {
    // The table is the count 1, the name ref and a size that reaches the end.
    size_t table = 0;
    for (size_t at = bytes.size() - 8; at-- > 0;) {
        if (bytes[at] == 1 && bytes[at + 1] == 0 && GetU32At(bytes, at + 4) == bytes.size() - (at + 4)) {
            table = at;
            break;
        }
    }
    EXPECT_NE(table, 0u);
    std::vector<uint8_t> out(bytes.begin(), bytes.begin() + static_cast<long>(table));
    out.push_back(2);
    out.push_back(0);
    const std::vector<uint8_t> record(bytes.begin() + static_cast<long>(table + 2), bytes.end());
    std::vector<uint8_t> copy = record;
    copy[0] = copy[0] == 0 && copy[1] == 0 ? 1 : 0;  // another name
    copy[1] = 0;
    out.insert(out.end(), copy.begin(), copy.end());
    out.insert(out.end(), record.begin(), record.end());
    return out;
}

// Skipping an object record seeks from the reader's position, not from the
// end of the window; a missing object is reported alike.
TEST(CompiledReadAhead, SkippingAnotherObjectSeeksLikeThePlainReader) {
    const std::vector<uint8_t> doubled = WithSkippedCopy(LargeCompiledFile());
    LoadResult ahead;
    LoadWith(new TestSupport::MemorySource(doubled, "Feature.cex"), "FeatureObject", ahead);
    EXPECT_TRUE(ahead.ok);
    EXPECT_TRUE(ahead.lines.empty()) << ahead.lines.front();
    ExpectSameLoad(doubled, "FeatureObject", "second object");
    ExpectSameLoad(doubled, "SomeoneElse", "missing object");
    for (size_t cut : {doubled.size() - 1, doubled.size() / 2, doubled.size() / 2 + 70000})
        ExpectSameLoad(std::vector<uint8_t>(doubled.begin(), doubled.begin() + static_cast<long>(cut)),
                       "FeatureObject", "doubled, cut at " + std::to_string(cut));
}

}  // namespace
