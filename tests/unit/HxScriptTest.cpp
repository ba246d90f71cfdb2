// The error logger (counts per thread, line forms, formatting once) and the
// instruction streams (walks, blocks of 32 operands, failed instructions).

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HxScript/HxScriptInstructionStream.h"
#include "support/MemoryStores.h"

using HxScript::Severity;
using HxScript::TextMessage;
using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::Value;
using Counts = std::vector<uint32_t>;

namespace {

Counts CountsOf(const HxScript::ErrorLogger& logger) {
    return {logger.GetFatalCount(), logger.GetErrorCount(), logger.GetWarningCount()};
}

TEST(ErrorLogger, CountsPerThreadLinesNamingFileAndSeverityFormattedOnce) {
    TestSupport::RecordingLogger logger;
    // Severity, then the fatal, error and warning counts after posting it.
    const std::pair<uint32_t, Counts> steps[] = {{0, {0, 0, 0}}, {4, {0, 0, 0}}, {5, {0, 0, 0}}, {3, {1, 0, 0}},
                                                 {2, {1, 1, 0}}, {1, {1, 1, 1}}, {1, {1, 1, 2}}};
    for (const auto& [severity, after] : steps) {
        logger.PostError(TextMessage("m"), static_cast<Severity>(severity));
        EXPECT_EQ(CountsOf(logger), after) << severity;
    }
    struct Quiet : HxScript::ErrorLogger {  // shows nothing, so that threads may post at once
        Quiet() : ErrorLogger("Quiet") {}
        void LogMessage(const HxScript::ICachedErrorMessage&, Severity) override {}
    } quiet;
    std::vector<Counts> seen(4);  // each thread sees its own counts only, and no post is lost
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&quiet, &seen, t] {
            for (int i = 0; i < 500; ++i) quiet.PostFileError(TextMessage("x"), "F", Severity::Error);
            quiet.PostFileLineError(TextMessage("x"), "F", 1, Severity::Fatal);
            seen[t] = CountsOf(quiet);
        });
    }
    for (auto& thread : threads) thread.join();
    for (const Counts& counts : seen) EXPECT_EQ(counts, (Counts{1, 500, 0}));
    EXPECT_EQ(CountsOf(quiet), (Counts{0, 0, 0}));

    logger.lines.clear();
    logger.PostFileLineError(TextMessage("text"), "MyScript.cas", 12, Severity::Warning);
    logger.PostFileErrorF("MyScript.cex", Severity::Fatal, "Bad magic %u", 7u);
    logger.PostFileError(TextMessage("x"), "A.cex", Severity::Info);
    logger.PostFileError(TextMessage("text"), "f", static_cast<Severity>(4));
    logger.PostFileLineError(TextMessage("text"), "f", 3, static_cast<Severity>(5));
    const std::string longName(3000, 'f'), longText(5000, 't');  // far beyond any formatting buffer
    logger.PostFileLineErrorF(longName.c_str(), 4294967295u, Severity::Error, "%s", longText.c_str());
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"MyScript.cas(12) : warning: text", "MyScript.cex : fatal: Bad magic 7",
                                                      "A.cex : info: x", "f : invalid severity: text", "f(3) : : text",
                                                      longName + "(4294967295) : error: " + longText}));
    EXPECT_EQ(CountsOf(logger), (Counts{2, 2, 3}));  // a wrapped message counts once

    // A text is formatted when first asked for, and only then; a wrapped
    // message asks its inner one once.
    logger.lines.clear();
    int calls = 0;
    auto counting = [&calls](HxFixedString& out) { HxScript::FormatInto(out, "call %d", ++calls); };
    HxScript::Internal::CachedErrorMessageImpl<decltype(counting)> plain(counting), inner(counting);
    logger.PostError(plain, Severity::Error);
    logger.PostFileError(inner, "F.cex", Severity::Warning);
    HxFixedString again;
    plain.GetMessage(again);
    inner.GetMessage(again);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"call 1", "F.cex : warning: call 2"}));
}

// The walk as text, " op/count:" and the operands of each instruction; it stops
// at instruction `stopAt`, and declines every first operand when `decline`.
std::string Walk(const InstructionStream& s, int stopAt = -1, bool decline = false) {
    struct Recorder : InstructionStream::InstructionFunctor {
        bool BeginInstruction(uint32_t opcode, uint16_t count) override {
            log += " " + std::to_string(opcode) + "/" + std::to_string(count) + ":";
            first = true;
            return index++ != stopAt;
        }
        bool ProcessArgument(const Value& v) override {
            log += " " + (v.HasText() ? std::string(v.GetText().text()) : std::to_string(v.GetInteger()));
            return !(decline && std::exchange(first, false));
        }
        int stopAt, index = 0;
        bool decline, first = false;
        std::string log;
    } r;
    r.stopAt = stopAt, r.decline = decline;
    s.ForEachInstruction(r);
    return r.log;
}

// Adds an instruction of `count` operands: integers from `first` on, or
// `text` as strings; `finish` 0 fails it, -1 leaves it to the destructor.
void Add(InstructionStream& s, uint32_t opcode, int first, int count, int finish = 1, const char* text = nullptr) {
    InstructionStream::InstructionBuilder b(s, opcode);
    for (int i = 0; i < count; ++i) ASSERT_TRUE(b.AddOperand(text ? Value::MakeString(text) : Value::MakeInteger(first + i)));
    if (finish >= 0) b.Finish(finish == 1);
}


TEST(InstructionStream, WalksAcrossBlocksAndFailedInstructionsRollBack) {
    const auto numbers = [](int first, int count) {
        std::string text;
        while (count-- > 0) text += " " + std::to_string(first++);
        return text;
    };
    EXPECT_EQ(Walk(InstructionStream()) + Walk(InstructionStream(0)), "");
    InstructionStream s(3);
    Add(s, 13, 1, 2);
    Add(s, 23, 100, 40);  // spans two blocks
    Add(s, 26, 500, 1);
    EXPECT_EQ(s.GetTotalOperandCount(), 43u);
    EXPECT_EQ(Walk(s), " 13/2: 1 2 23/40:" + numbers(100, 40) + " 26/1: 500");
    EXPECT_EQ(Walk(s, -1, true), " 13/2: 1 23/40: 100 26/1: 500");  // the rest of that instruction only
    EXPECT_EQ(Walk(s, 1), " 13/2: 1 2 23/40:");

    // Built from its flat lists the stream is the same.
    HxTArray<InstructionStream::Instruction> records;
    for (uint32_t i = 0; i < s.GetInstructionCount(); ++i) records.Add(s.GetInstruction(i));
    HxTArray<Value> operands;
    s.CopyOperands(operands);
    EXPECT_EQ(Walk(InstructionStream(records, std::move(operands))), Walk(s));

    // A failed instruction is rolled back to a Noop, its operands and strings gone.
    HxFixedString text("RollbackOnlyString");
    s = InstructionStream(8);
    Add(s, 23, 0, 1, 0, text.text());   // back to no operands at all
    Add(s, 13, 0, 30);
    Add(s, 23, 0, 10, 0, text.text());  // back across a block boundary
    Add(s, 2, 30, 2);                   // exactly one full block
    Add(s, 23, 0, 1, -1, text.text());  // not finished: the destructor fails it
    Add(s, 3, 32, 3);                   // appending after a rollback continues the sequence
    Add(s, 23, 0, 40, 0, text.text());  // back into the second block
    Add(s, 4, 35, 1);
    EXPECT_EQ(HxFixedStringRefCount(text), 1u);
    EXPECT_EQ(s.GetTotalOperandCount(), 36u);
    EXPECT_EQ(Walk(s), " 0/0: 13/30:" + numbers(0, 30) + " 0/0: 2/2: 30 31 0/0: 3/3: 32 33 34 0/0: 4/1: 35");  // failed: a Noop
}

}  // namespace
