// Tests of the shortcuts taken for speed and memory: each must give exactly
// what the plain path gives, also where the shortcut's own state could go
// stale (chunked pool buckets, the string table's memo of recent handles,
// operands moved instead of copied, the compiled reader's read-ahead window).
// The line reader's buffer sizes and the returning form of ParseValue are
// checked beside their plain forms in AssemblyLexerTest, the disassembler's
// index of line records in DisassemblerTest.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptInstructionStream.h"
#include "hxcore/HxFixedString.h"
#include "output/AssemblerProcessor.h"
#include "output/CompiledScriptWriter.h"
#include "support/MemoryStores.h"
#include "support/ModelGenerator.h"
#include "support/RecordingLogger.h"

namespace {

using namespace TestSupport;
using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::Value;
using Bytes = std::vector<uint8_t>;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return text;
}

// Names spread over every chunk of buckets, released again: entries must be
// found, unlinked and found missing afterwards, whichever chunk they fell in.
TEST(PoolBuckets, ManyNamesInternReleaseAndComeBackWithTheirNewSpelling) {
    std::vector<std::string> lower;
    for (int i = 0; i < 20000; ++i) lower.push_back("fastpath_name_" + std::to_string(i * 7919));
    {
        std::vector<HxFixedString> held;
        for (const std::string& text : lower) held.emplace_back(text.c_str());
        for (size_t i = 0; i < lower.size(); ++i) {
            HxFixedString again(Upper(lower[i]).c_str());
            ASSERT_EQ(again, held[i]) << lower[i];
            ASSERT_STREQ(again.text(), lower[i].c_str());
        }
    }
    // Every entry was freed with its last handle: the upper-case spelling now wins.
    for (size_t i = 0; i < lower.size(); i += 997)
        EXPECT_STREQ(HxFixedString(Upper(lower[i]).c_str()).text(), Upper(lower[i]).c_str());
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
    EXPECT_STREQ(HxFixedString("twin_5").text(), "twin_5");
}

// Handles whose addresses share a memo slot keep their own indexes; after
// Clear the memo does not answer with the old table's indexes; the null
// handle and "" are one entry.
TEST(StringTableMemo, IndexesStayRightAcrossSlotsClearAndEmptyText) {
    std::vector<HxFixedString> names;
    for (int i = 0; i < 3000; ++i) names.emplace_back(("memo_" + std::to_string(i)).c_str());
    CodeGen::CompiledStringTable table;
    for (int pass = 0; pass < 2; ++pass)  // repeats add nothing
        for (const HxFixedString& name : names) table.Add(name);
    ASSERT_EQ(table.Count(), names.size());
    for (int pass = 0; pass < 2; ++pass)  // the first fills the memo, the second reads it
        for (uint32_t i = 0; i < names.size(); ++i) ASSERT_EQ(table.IndexOf(names[i]), i);

    table.Clear();
    EXPECT_EQ(table.IndexOf(names[0]), kHxInvalidIndex);
    table.Add(names[1]);
    table.Add(names[0]);
    EXPECT_EQ(table.IndexOf(names[1]), 0u);
    EXPECT_EQ(table.IndexOf(names[0]), 1u);

    CodeGen::CompiledStringTable empty;
    empty.Add(HxFixedString(nullptr));
    empty.Add(HxFixedString(""));
    EXPECT_EQ(empty.Count(), 1u);
    EXPECT_EQ(empty.IndexOf(HxFixedString()), 0u);
}

TEST(StreamFromMovedOperands, EqualsTheCopiedStreamAndTakesNoReferences) {
    const HxFixedString name("moved_operand_name");
    HxTArray<InstructionStream::Instruction> records;
    HxTArray<Value> operands, none;
    EXPECT_TRUE(InstructionStream(records, std::move(none)) == InstructionStream());
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
    ASSERT_EQ(back.Size(), 210u);
    EXPECT_EQ(back[208], Value::MakeInteger(69));
    EXPECT_EQ(back[209], Value::MakeString(name));
}

// ---------------------------------------------------------------------------
// Compiled reader: read-ahead against plain field reads

// A store that cannot tell its size: the reader then reads every field
// straight from the store, the path the read-ahead must behave like.
class SizelessSource : public MemorySource {
public:
    using MemorySource::MemorySource;
    uint64_t GetSize() override { return 0; }
};

// The feature model with enough extra functions to need several windows.
Bytes LargeCompiledFile() {
    ModelLoader loader([](Object& object) {
        BuildFeatureModel(object);
        for (int f = 0; f < 900; ++f) {
            CodeBuilder code;
            for (int i = 0; i < 12; ++i)
                code.Add(1 /* IAdd */, {Id("::t"), Int(f * 100 + i), Id(i % 2 ? "a" : "b")})
                    .Add(27 /* StrCat */, {Id("::s"), Str("piece"), Id("::s")})
                    .Add(2 /* FAdd */, {Id("::f"), Flt(0.5f * static_cast<float>(i)), Id("::f")});
            const std::string name = "Extra" + std::to_string(f);
            object.emptyState.functions.Set(name.c_str(),
                                            MakeFunction("None", {{"a", "Int"}}, {{"::t", "Int"}}, &code));
            std::vector<uint32_t> lines(code.Count(), static_cast<uint32_t>(f));
            AddLines(object, HxScript::UnlinkedTypes::FunctionKind::Normal, "", name.c_str(), lines);
        }
    });
    RecordingLogger logger;
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput("Feature.cex"));
    CodeGen::AssemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    EXPECT_TRUE(processor.Process("FeatureObject")) << logger.Joined();
    return output->Bytes();
}

struct LoadResult {
    bool ok = false;
    std::vector<std::string> lines;
    Object object;
};

// Loads through the read-ahead and through plain reads and compares; gives
// the read-ahead's result.
LoadResult ExpectSameLoad(const Bytes& bytes, const char* name, const std::string& what) {
    LoadResult results[2];
    for (int sizeless = 0; sizeless < 2; ++sizeless) {
        RecordingLogger logger;
        HxScript::CompiledScriptLoader loader(&logger, true, true);
        loader.SetStore(HxTSmartPointer<HxScript::IStore>(sizeless ? new SizelessSource(bytes, "Feature.cex")
                                                                   : new MemorySource(bytes, "Feature.cex")));
        results[sizeless].ok = loader.Load(name, results[sizeless].object);
        results[sizeless].lines = logger.lines;
    }
    EXPECT_EQ(results[0].ok, results[1].ok) << what;
    EXPECT_EQ(results[0].lines, results[1].lines) << what;
    HxFixedString difference;
    EXPECT_TRUE(HxScript::UnlinkedTypes::ModelsEqual(results[0].object, results[1].object, &difference))
        << what << ": " << difference.text();
    return std::move(results[0]);
}

Bytes Cut(const Bytes& bytes, size_t size) { return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(size)); }

TEST(CompiledReadAhead, WholeAndTruncatedFilesLoadAsWithPlainReads) {
    const Bytes bytes = LargeCompiledFile();
    ASSERT_GT(bytes.size(), 3u * 64 * 1024);  // several windows
    const LoadResult whole = ExpectSameLoad(bytes, "FeatureObject", "whole file");
    ASSERT_TRUE(whole.ok);
    ASSERT_TRUE(whole.lines.empty()) << whole.lines.front();
    // Cut inside every part of the file, and around the window boundaries.
    std::vector<size_t> cuts;
    for (size_t at = 0; at < bytes.size(); at += 4099) cuts.push_back(at);
    for (size_t boundary : {size_t(64 * 1024), size_t(128 * 1024), bytes.size()})
        for (size_t at = boundary - 5; at <= boundary + 5 && at < bytes.size(); ++at) cuts.push_back(at);
    for (size_t cut : cuts) ExpectSameLoad(Cut(bytes, cut), "FeatureObject", "cut at " + std::to_string(cut));
}

// Skipping an object record seeks from the reader's position, not from the
// end of the window; a missing object is reported alike.
TEST(CompiledReadAhead, SkippingAnotherObjectSeeksLikeThePlainReader) {
    // The file with its one object record doubled: a copy under another name
    // (string entry 0 or 1) first, then the original, so loading the original
    // seeks past the copy, far beyond one window. The object table is the
    // count 1, the name ref and a size that reaches the end of the file.
    const Bytes bytes = LargeCompiledFile();
    auto u32At = [&](size_t at) {
        return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
    };
    size_t table = bytes.size() - 8;
    while (table > 0 && !(bytes[table] == 1 && bytes[table + 1] == 0 && u32At(table + 4) == bytes.size() - table - 4))
        --table;
    ASSERT_NE(table, 0u);
    Bytes doubled = Cut(bytes, table);
    doubled.insert(doubled.end(), {2, 0, uint8_t(bytes[table + 2] == 0 && bytes[table + 3] == 0 ? 1 : 0), 0});
    doubled.insert(doubled.end(), bytes.begin() + static_cast<long>(table + 4), bytes.end());
    doubled.insert(doubled.end(), bytes.begin() + static_cast<long>(table + 2), bytes.end());

    const LoadResult second = ExpectSameLoad(doubled, "FeatureObject", "second object");
    EXPECT_TRUE(second.ok);
    EXPECT_TRUE(second.lines.empty()) << second.lines.front();
    ExpectSameLoad(doubled, "SomeoneElse", "missing object");
    for (size_t cut : {doubled.size() - 1, doubled.size() / 2, doubled.size() / 2 + 70000})
        ExpectSameLoad(Cut(doubled, cut), "FeatureObject", "doubled, cut at " + std::to_string(cut));
}

}  // namespace
