#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "HxScript/HxScriptInstructionStream.h"

using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::Value;
using Builder = InstructionStream::InstructionBuilder;
using Log = std::vector<std::string>;

namespace {

// Logs every call as text ("B op/count", "A value") and can refuse at chosen points.
struct Recorder : InstructionStream::InstructionFunctor {
    Recorder(int stopAt, bool decline) : stopAtInstruction(stopAt), declineFirstOperand(decline) {}
    const int stopAtInstruction;  // BeginInstruction answers false at this instruction
    const bool declineFirstOperand;
    Log log;
    int instruction = 0;
    bool first = false;

    bool BeginInstruction(uint32_t opcode, uint16_t operandCount) override {
        log.push_back("B " + std::to_string(opcode) + "/" + std::to_string(operandCount));
        first = true;
        return instruction++ != stopAtInstruction;
    }
    bool ProcessArgument(const Value& v) override {
        log.push_back("A " + (v.HasText() ? std::string(v.GetText().text()) : std::to_string(v.GetInteger())));
        return !(declineFirstOperand && std::exchange(first, false));
    }
};

void Add(InstructionStream& s, uint32_t opcode, int firstValue, int count) {
    Builder b(s, opcode);
    for (int i = 0; i < count; ++i) ASSERT_TRUE(b.AddOperand(Value::MakeInteger(firstValue + i)));
    b.Finish(true);
}

// The log of an instruction with integer operands first, first + 1, ...
void Expect(Log& log, uint32_t opcode, int first, int count) {
    log.push_back("B " + std::to_string(opcode) + "/" + std::to_string(count));
    for (int i = 0; i < count; ++i) log.push_back("A " + std::to_string(first + i));
}

// An instruction of `count` string operands that fails, by Finish or by the
// builder's destructor.
void AddFailing(InstructionStream& s, const HxFixedString& text, int count, bool callFinish) {
    Builder b(s, 23);
    for (int i = 0; i < count; ++i) ASSERT_TRUE(b.AddOperand(Value::MakeString(text)));
    if (callFinish) b.Finish(false);
}

// Three instructions: 13 with 1..2, 23 with 100..139 (spans blocks), 26 with 500.
constexpr int kSample[][3] = {{13, 1, 2}, {23, 100, 40}, {26, 500, 1}};

InstructionStream MakeSample() {
    InstructionStream s(3);
    for (const auto& r : kSample) Add(s, r[0], r[1], r[2]);
    return s;
}

Log Walk(const InstructionStream& s, int stopAt = -1, bool decline = false) {
    Recorder r(stopAt, decline);
    s.ForEachInstruction(r);
    return r.log;
}

}  // namespace

TEST(InstructionStream, WalkAcrossBlocksDecliningAndStopping) {
    EXPECT_TRUE(Walk(InstructionStream()).empty());
    EXPECT_TRUE(Walk(InstructionStream(0)).empty());
    const InstructionStream s = MakeSample();
    EXPECT_EQ(s.GetTotalOperandCount(), 43u);
    Log all;
    for (const auto& r : kSample) Expect(all, r[0], r[1], r[2]);
    EXPECT_EQ(Walk(s), all);
    // Declining an operand skips the rest of its instruction, and only that.
    EXPECT_EQ(Walk(s, -1, true), (Log{"B 13/2", "A 1", "B 23/40", "A 100", "B 26/1", "A 500"}));
    EXPECT_EQ(Walk(s, 1), (Log{"B 13/2", "A 1", "A 2", "B 23/40"}));
}

TEST(InstructionStream, FailedBuildersRollBackOperandsAndStringsAtAnyBlockPosition) {
    HxFixedString text("RollbackOnlyString");
    InstructionStream s(6);
    AddFailing(s, text, 1, true);  // back to no operands at all
    Add(s, 13, 0, 30);
    AddFailing(s, text, 10, true);  // back across a block boundary
    Add(s, 2, 30, 2);  // exactly one full block
    AddFailing(s, text, 1, false);  // not finished: the destructor fails it
    Add(s, 3, 32, 3);  // appending after a rollback continues the sequence
    EXPECT_EQ(HxFixedStringRefCount(text), 1u);
    EXPECT_EQ(s.GetTotalOperandCount(), 35u);
    Log want;  // a failed instruction is a Noop without operands
    const int rows[][3] = {{0, 0, 0}, {13, 0, 30}, {0, 0, 0}, {2, 30, 2}, {0, 0, 0}, {3, 32, 3}};
    for (const auto& r : rows) Expect(want, r[0], r[1], r[2]);
    EXPECT_EQ(Walk(s), want);
}

TEST(InstructionStream, BuilderLimits) {
    InstructionStream s(1);
    Builder b(s, 23);
    for (uint32_t i = 0; i < 0xFFFF; ++i) ASSERT_TRUE(b.AddOperand(Value()));
    EXPECT_FALSE(b.AddOperand(Value()));  // the record holds a 16-bit count
    b.Finish(true);
    EXPECT_EQ(s.GetInstruction(0).operandCount, 0xFFFFu);
    EXPECT_DEATH({ Builder past(s, 0); }, "Too many instructions built");
}

TEST(InstructionStream, ConstructionFromListsMatchesBuilding) {
    const InstructionStream built = MakeSample();
    HxTArray<InstructionStream::Instruction> records;
    for (uint32_t i = 0; i < built.GetInstructionCount(); ++i) records.Add(built.GetInstruction(i));
    HxTArray<Value> operands;
    built.CopyOperands(operands);
    EXPECT_EQ(Walk(InstructionStream(records, operands)), Walk(built));
    EXPECT_TRUE(InstructionStream(records, operands) == built);
    operands[41] = Value::MakeInteger(0);
    EXPECT_FALSE(InstructionStream(records, operands) == built);
}

TEST(InstructionStream, CopyExchangeClearAndByteRelocation) {
    HxFixedString text("CopiedStreamString");
    HxTArray<InstructionStream> many;  // moves its elements as raw bytes
    many.Add(InstructionStream(1));
    {
        Builder b(many[0], 27);
        for (int i = 0; i < 33; ++i) b.AddOperand(Value::MakeString(text));
        b.Finish(true);
    }
    InstructionStream copy(many[0]);
    EXPECT_EQ(HxFixedStringRefCount(text), 67u);
    EXPECT_TRUE(copy == many[0]);
    for (int i = 0; i < 100; ++i) many.Add(InstructionStream());
    EXPECT_EQ(Walk(many[0]), Walk(copy));
    many.Clear();
    EXPECT_EQ(HxFixedStringRefCount(text), 34u);
    InstructionStream other;
    other.Exchange(copy);
    EXPECT_EQ(copy.GetInstructionCount(), 0u);
    EXPECT_EQ(Walk(other).size(), 34u);
    other.Clear();
    EXPECT_EQ(HxFixedStringRefCount(text), 1u);
}
