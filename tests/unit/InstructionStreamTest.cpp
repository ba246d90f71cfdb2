#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HxScript/HxScriptInstructionStream.h"

using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::Value;
using Builder = InstructionStream::InstructionBuilder;

namespace {

// Logs every call as text ("B op/count", "A value") and can refuse at chosen points.
class Recorder : public InstructionStream::InstructionFunctor {
public:
    int stopAtInstruction = -1;   // BeginInstruction answers false at this instruction
    bool declineFirstOperand = false;
    std::vector<std::string> log;

    bool BeginInstruction(uint32_t opcode, uint16_t operandCount) override {
        log.push_back("B " + std::to_string(opcode) + "/" + std::to_string(operandCount));
        firstOperand_ = true;
        return static_cast<int>(instruction_++) != stopAtInstruction;
    }
    bool ProcessArgument(const Value& operand) override {
        log.push_back("A " + Describe(operand));
        bool first = firstOperand_;
        firstOperand_ = false;
        return !(declineFirstOperand && first);
    }
    static std::string Describe(const Value& v) {
        return v.HasText() ? std::string(v.GetText().text()) : std::to_string(v.GetInteger());
    }

private:
    uint32_t instruction_ = 0;
    bool firstOperand_ = false;
};

void Add(InstructionStream& s, uint32_t opcode, int firstValue, int count) {
    Builder b(s, opcode);
    for (int i = 0; i < count; ++i) ASSERT_TRUE(b.AddOperand(Value::MakeInteger(firstValue + i)));
    b.Finish(true);
}

// Three instructions: 13 with 1..2, 23 with 100..139 (spans blocks), 26 with 500.
InstructionStream MakeSample() {
    InstructionStream s(3);
    Add(s, 13, 1, 2);
    Add(s, 23, 100, 40);
    Add(s, 26, 500, 1);
    return s;
}

std::vector<std::string> Walk(const InstructionStream& s) {
    Recorder r;
    s.ForEachInstruction(r);
    return r.log;
}

}  // namespace

TEST(InstructionStream, EmptyStreamCallsNothing) {
    Recorder r;
    InstructionStream().ForEachInstruction(r);
    InstructionStream(0).ForEachInstruction(r);
    EXPECT_TRUE(r.log.empty());
}

TEST(InstructionStream, OperandsSpanningBlocksAreVisitedInOrder) {
    InstructionStream s = MakeSample();
    EXPECT_EQ(s.GetTotalOperandCount(), 43u);
    std::vector<std::string> log = Walk(s);
    ASSERT_EQ(log.size(), 3u + 43u);
    EXPECT_EQ(log[0], "B 13/2");
    EXPECT_EQ(log[3], "B 23/40");
    for (int i = 0; i < 40; ++i) EXPECT_EQ(log[4 + i], "A " + std::to_string(100 + i));
    EXPECT_EQ(log[44], "B 26/1");
    EXPECT_EQ(log[45], "A 500");
}

TEST(InstructionStream, DecliningOperandsStillAdvancesTheCursor) {
    InstructionStream s = MakeSample();
    Recorder r;
    r.declineFirstOperand = true;
    s.ForEachInstruction(r);
    // Every instruction with its real opcode and count, and only its first operand.
    std::vector<std::string> expected = {"B 13/2", "A 1", "B 23/40", "A 100", "B 26/1", "A 500"};
    EXPECT_EQ(r.log, expected);
}

TEST(InstructionStream, StoppingAtAnInstructionEndsTheWalk) {
    InstructionStream s = MakeSample();
    Recorder r;
    r.stopAtInstruction = 1;
    s.ForEachInstruction(r);
    std::vector<std::string> expected = {"B 13/2", "A 1", "A 2", "B 23/40"};
    EXPECT_EQ(r.log, expected);
}

TEST(InstructionStream, FailedBuilderRollsBackOperandsAndStrings) {
    HxFixedString text("RollbackOnlyString");
    uint32_t base = HxFixedStringRefCount(text);
    InstructionStream s(4);
    Add(s, 13, 0, 30);
    {
        Builder b(s, 23);
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(b.AddOperand(Value::MakeIdentifier(text)));  // crosses a block
        EXPECT_EQ(HxFixedStringRefCount(text), base + 10);
        b.Finish(false);
    }
    EXPECT_EQ(HxFixedStringRefCount(text), base);
    EXPECT_EQ(s.GetTotalOperandCount(), 30u);
    EXPECT_EQ(s.GetInstruction(1).opcode, 0u);
    EXPECT_EQ(s.GetInstruction(1).operandCount, 0u);
    {
        Builder b(s, 1);  // not finished: the destructor fails it
        b.AddOperand(Value::MakeString(text));
    }
    EXPECT_EQ(HxFixedStringRefCount(text), base);
    Add(s, 2, 30, 5);  // appending after the rollback continues the sequence
    std::vector<std::string> log = Walk(s);
    ASSERT_EQ(log.size(), 4u + 35u);
    EXPECT_EQ(log[31], "B 0/0");
    EXPECT_EQ(log[32], "B 0/0");
    EXPECT_EQ(log[33], "B 2/5");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(log[34 + i], "A " + std::to_string(30 + i));
}

TEST(InstructionStream, RollbackAtABlockBoundary) {
    InstructionStream s(3);
    Add(s, 13, 0, 32);  // exactly one full block
    {
        Builder b(s, 14);
        b.AddOperand(Value::MakeInteger(-1));
        b.Finish(false);
    }
    EXPECT_EQ(s.GetTotalOperandCount(), 32u);
    Add(s, 15, 32, 3);
    HxTArray<Value> flat;
    s.CopyOperands(flat);
    ASSERT_EQ(flat.Size(), 35u);
    for (uint32_t i = 0; i < 35; ++i) EXPECT_EQ(flat[i].GetInteger(), static_cast<int32_t>(i));
}

TEST(InstructionStream, BuildingPastTheCountIsAnInternalError) {
    InstructionStream s(1);
    Add(s, 0, 0, 0);
    EXPECT_DEATH({ Builder b(s, 0); }, "");
}

TEST(InstructionStream, ConstructionFromListsMatchesBuilding) {
    HxTArray<InstructionStream::Instruction> records;
    HxTArray<Value> operands;
    records.Add({13, 2});
    records.Add({23, 40});
    records.Add({26, 1});
    for (int i = 1; i <= 2; ++i) operands.Add(Value::MakeInteger(i));
    for (int i = 100; i < 140; ++i) operands.Add(Value::MakeInteger(i));
    operands.Add(Value::MakeInteger(500));
    InstructionStream fromLists(records, operands);
    EXPECT_EQ(fromLists.GetInstructionCount(), 3u);
    EXPECT_TRUE(fromLists == MakeSample());
    operands[41] = Value::MakeInteger(0);
    EXPECT_FALSE(InstructionStream(records, operands) == MakeSample());
}

TEST(InstructionStream, CopyExchangeClearAndByteRelocation) {
    HxFixedString text("CopiedStreamString");
    uint32_t base = HxFixedStringRefCount(text);
    HxTArray<InstructionStream> many;  // moves its elements as raw bytes
    many.Add(InstructionStream(1));
    {
        Builder b(many[0], 27);
        for (int i = 0; i < 33; ++i) b.AddOperand(Value::MakeString(text));
        b.Finish(true);
    }
    InstructionStream copy(many[0]);
    EXPECT_EQ(HxFixedStringRefCount(text), base + 66);
    EXPECT_TRUE(copy == many[0]);
    for (int i = 0; i < 100; ++i) many.Add(InstructionStream());
    EXPECT_EQ(Walk(many[0]), Walk(copy));
    many.Clear();
    EXPECT_EQ(HxFixedStringRefCount(text), base + 33);
    InstructionStream other;
    other.Exchange(copy);
    EXPECT_EQ(copy.GetInstructionCount(), 0u);
    EXPECT_EQ(Walk(other).size(), 34u);
    other.Clear();
    EXPECT_EQ(HxFixedStringRefCount(text), base);
    EXPECT_TRUE(Walk(other).empty());
}
