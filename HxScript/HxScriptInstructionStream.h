#pragma once
// The code of one function: an ordered list of instructions, each an opcode
// and an operand count, with all operands of all instructions held in one
// sequence of values in a chain of 32-value blocks (appending never moves a
// stored value). Consumers walk it with an InstructionFunctor.

#include <cstdint>

#include "HxScript/HxScriptValue.h"
#include "hxcore/HxTArray.h"

namespace HxScript {
namespace UnlinkedTypes {

class InstructionStream {
public:
    struct Instruction {
        uint32_t opcode = 0;
        uint16_t operandCount = 0;
    };

    class InstructionFunctor {
    public:
        virtual ~InstructionFunctor() = default;
        // False skips the remaining operands of the current instruction.
        virtual bool ProcessArgument(const Value& operand) = 0;
        // False ends the walk.
        virtual bool BeginInstruction(uint32_t opcode, uint16_t operandCount) = 0;
    };

    // Appends one instruction. Finishing a failed instruction removes the
    // operands this builder added and stores a Noop with no operands.
    class InstructionBuilder {
    public:
        InstructionBuilder(InstructionStream& stream, uint32_t opcode);
        ~InstructionBuilder();  // finishes as failed if Finish was not called
        bool AddOperand(const Value& operand);
        void Finish(bool success);

    private:
        InstructionStream& stream_;
        uint32_t opcode_;
        uint32_t record_;
        uint32_t operandsAtStart_;
        bool finished_ = false;
    };

    static constexpr uint32_t kBlockSize = 32;

    InstructionStream();
    explicit InstructionStream(uint32_t instructionCount);
    // Deep copies of both lists; string operands are shared by reference.
    InstructionStream(const HxTArray<Instruction>& instructions, const HxTArray<Value>& operands);
    // The same, moving the operands in: no reference count changes. The
    // values left in `operands` are moved-from and only fit for destruction.
    InstructionStream(const HxTArray<Instruction>& instructions, HxTArray<Value>&& operands);
    InstructionStream(const InstructionStream& other);
    InstructionStream& operator=(const InstructionStream& other);
    ~InstructionStream();

    uint32_t GetInstructionCount() const { return instructionCount_; }
    uint32_t GetTotalOperandCount() const { return totalOperands_; }
    // Number of instruction records filled so far.
    uint32_t GetBuiltCount() const { return built_; }

    void ForEachInstruction(InstructionFunctor& functor) const;
    void Exchange(InstructionStream& other) noexcept;
    void Clear();

    // Flat views for tests and comparisons.
    Instruction GetInstruction(uint32_t index) const;
    void CopyOperands(HxTArray<Value>& out) const;
    bool operator==(const InstructionStream& other) const;

private:
    // A block's values are constructed only as they are appended (raw
    // storage), so a fresh block costs one allocation and nothing more.
    struct Block {
        Block* next;
        uint32_t used;
        alignas(Value) unsigned char storage[sizeof(Value) * kBlockSize];
        Value* At(uint32_t i) { return reinterpret_cast<Value*>(storage) + i; }
        const Value* At(uint32_t i) const { return reinterpret_cast<const Value*>(storage) + i; }
    };
    static Block* NewBlock();
    static void DestroyBlock(Block* block);
    bool AppendOperand(const Value& operand);
    bool AppendOperand(Value&& operand);
    // The records of a list of instructions; their operands still to come.
    void AdoptRecords(const HxTArray<Instruction>& instructions, uint32_t operandCount);
    void TruncateOperands(uint32_t total);
    void FreeAll();
    void CopyFrom(const InstructionStream& other);

    uint32_t instructionCount_ = 0;
    uint32_t totalOperands_ = 0;
    uint32_t built_ = 0;
    Instruction* records_ = nullptr;
    Block* head_ = nullptr;
    Block* tail_ = nullptr;
};

}  // namespace UnlinkedTypes
}  // namespace HxScript
