#include "HxScript/HxScriptInstructionStream.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "hxcore/HxAssert.h"

namespace HxScript {
namespace UnlinkedTypes {

namespace {

InstructionStream::Instruction* AllocateRecords(uint32_t count) {
    if (count == 0) return nullptr;
    auto* records = static_cast<InstructionStream::Instruction*>(
        std::malloc(sizeof(InstructionStream::Instruction) * static_cast<size_t>(count)));
    HX_CHECK(records != nullptr, "Out of memory");
    for (uint32_t i = 0; i < count; ++i) new (static_cast<void*>(records + i)) InstructionStream::Instruction();
    return records;
}

}  // namespace

// ---------------------------------------------------------------------------
// Builder

InstructionStream::InstructionBuilder::InstructionBuilder(InstructionStream& stream, uint32_t opcode)
    : stream_(stream), opcode_(opcode), record_(stream.built_), operandsAtStart_(stream.totalOperands_) {
    HX_CHECK(stream.built_ < stream.instructionCount_, "Too many instructions built: %u of %u", stream.built_ + 1,
             stream.instructionCount_);
    ++stream.built_;
}

InstructionStream::InstructionBuilder::~InstructionBuilder() {
    if (!finished_) Finish(false);
}

bool InstructionStream::InstructionBuilder::AddOperand(const Value& operand) {
    if (finished_) return false;
    // The record holds a 16-bit operand count.
    if (stream_.totalOperands_ - operandsAtStart_ >= 0xFFFFu) return false;
    return stream_.AppendOperand(operand);
}

void InstructionStream::InstructionBuilder::Finish(bool success) {
    if (finished_) return;
    finished_ = true;
    Instruction& record = stream_.records_[record_];
    if (success) {
        record.opcode = opcode_;
        record.operandCount = static_cast<uint16_t>(stream_.totalOperands_ - operandsAtStart_);
    } else {
        stream_.TruncateOperands(operandsAtStart_);
        record.opcode = 0;
        record.operandCount = 0;
    }
}

// ---------------------------------------------------------------------------
// Construction and destruction

InstructionStream::InstructionStream() = default;

InstructionStream::InstructionStream(uint32_t instructionCount)
    : instructionCount_(instructionCount), records_(AllocateRecords(instructionCount)) {}

InstructionStream::InstructionStream(const HxTArray<Instruction>& instructions, const HxTArray<Value>& operands) {
    AdoptRecords(instructions, operands.Size());
    for (const Value& operand : operands) HX_CHECK(AppendOperand(operand), "Out of memory");
}

InstructionStream::InstructionStream(const HxTArray<Instruction>& instructions, HxTArray<Value>&& operands) {
    AdoptRecords(instructions, operands.Size());
    for (Value& operand : operands) HX_CHECK(AppendOperand(std::move(operand)), "Out of memory");
}

void InstructionStream::AdoptRecords(const HxTArray<Instruction>& instructions, uint32_t operandCount) {
    instructionCount_ = instructions.Size();
    records_ = AllocateRecords(instructionCount_);
    uint64_t expected = 0;
    for (uint32_t i = 0; i < instructionCount_; ++i) {
        records_[i] = instructions[i];
        expected += instructions[i].operandCount;
    }
    HX_CHECK(expected == operandCount, "Instruction list expects %llu operands, %u given",
             static_cast<unsigned long long>(expected), operandCount);
    built_ = instructionCount_;
}

InstructionStream::InstructionStream(const InstructionStream& other) { CopyFrom(other); }

InstructionStream& InstructionStream::operator=(const InstructionStream& other) {
    if (this != &other) {
        InstructionStream copy(other);
        Exchange(copy);
    }
    return *this;
}

InstructionStream::~InstructionStream() { FreeAll(); }

void InstructionStream::CopyFrom(const InstructionStream& other) {
    instructionCount_ = other.instructionCount_;
    records_ = AllocateRecords(instructionCount_);
    for (uint32_t i = 0; i < instructionCount_; ++i) records_[i] = other.records_[i];
    built_ = other.built_;
    for (const Block* block = other.head_; block != nullptr; block = block->next)
        for (uint32_t i = 0; i < block->used; ++i) HX_CHECK(AppendOperand(*block->At(i)), "Out of memory");
}

void InstructionStream::FreeAll() {
    for (Block* block = head_; block != nullptr;) {
        Block* next = block->next;
        DestroyBlock(block);
        block = next;
    }
    head_ = tail_ = nullptr;
    std::free(static_cast<void*>(records_));
    records_ = nullptr;
    instructionCount_ = totalOperands_ = built_ = 0;
}

// ---------------------------------------------------------------------------
// Operand blocks

InstructionStream::Block* InstructionStream::NewBlock() {
    void* memory = std::malloc(sizeof(Block));
    if (memory == nullptr) return nullptr;
    Block* block = static_cast<Block*>(memory);
    block->next = nullptr;
    block->used = 0;
    return block;
}

void InstructionStream::DestroyBlock(Block* block) {
    for (uint32_t i = 0; i < block->used; ++i) block->At(i)->~Value();
    std::free(static_cast<void*>(block));
}

bool InstructionStream::AppendOperand(const Value& operand) {
    Value copy(operand);
    return AppendOperand(std::move(copy));
}

bool InstructionStream::AppendOperand(Value&& operand) {
    if (totalOperands_ == 0xFFFFFFFFu) return false;
    if (tail_ == nullptr || tail_->used == kBlockSize) {
        Block* block = NewBlock();
        if (block == nullptr) return false;
        if (tail_ == nullptr)
            head_ = block;
        else
            tail_->next = block;
        tail_ = block;
    }
    new (static_cast<void*>(tail_->At(tail_->used))) Value(std::move(operand));
    ++tail_->used;
    ++totalOperands_;
    return true;
}

// Drops every operand from position `total` on. Every block but the last is
// full, so the block that keeps the new last operand is found by division;
// blocks left empty are freed.
void InstructionStream::TruncateOperands(uint32_t total) {
    if (total >= totalOperands_) return;
    if (total == 0) {
        for (Block* block = head_; block != nullptr;) {
            Block* next = block->next;
            DestroyBlock(block);
            block = next;
        }
        head_ = tail_ = nullptr;
        totalOperands_ = 0;
        return;
    }
    // The block holding operand total - 1 becomes the tail.
    uint32_t keepBlock = (total - 1) / kBlockSize;
    Block* last = head_;
    for (uint32_t i = 0; i < keepBlock; ++i) last = last->next;
    uint32_t keepInLast = total - keepBlock * kBlockSize;
    for (uint32_t i = keepInLast; i < last->used; ++i) last->At(i)->~Value();
    last->used = keepInLast;
    for (Block* block = last->next; block != nullptr;) {
        Block* next = block->next;
        DestroyBlock(block);
        block = next;
    }
    last->next = nullptr;
    tail_ = last;
    totalOperands_ = total;
}

// ---------------------------------------------------------------------------
// Walking and access

void InstructionStream::ForEachInstruction(InstructionFunctor& functor) const {
    const Block* block = head_;
    uint32_t position = 0;
    for (uint32_t i = 0; i < instructionCount_; ++i) {
        const Instruction& record = records_[i];
        if (!functor.BeginInstruction(record.opcode, record.operandCount)) return;
        uint32_t remaining = record.operandCount;
        while (remaining > 0 && functor.ProcessArgument(*block->At(position))) {
            --remaining;
            if (++position == block->used) {
                block = block->next;
                position = 0;
            }
        }
        if (remaining == 0) continue;
        // A visitor declined the rest of this instruction: pass over its
        // remaining operands (the declining one included) without calls.
        while (remaining > 0) {
            uint32_t inBlock = block->used - position;
            uint32_t step = remaining < inBlock ? remaining : inBlock;
            position += step;
            remaining -= step;
            if (position == block->used) {
                block = block->next;
                position = 0;
            }
        }
    }
}

void InstructionStream::Exchange(InstructionStream& other) noexcept {
    std::swap(instructionCount_, other.instructionCount_);
    std::swap(totalOperands_, other.totalOperands_);
    std::swap(built_, other.built_);
    std::swap(records_, other.records_);
    std::swap(head_, other.head_);
    std::swap(tail_, other.tail_);
}

void InstructionStream::Clear() {
    InstructionStream empty;
    Exchange(empty);
}

InstructionStream::Instruction InstructionStream::GetInstruction(uint32_t index) const {
    HX_CHECK(index < instructionCount_, "Invalid index %u|%u passed to operator[]", index, instructionCount_);
    return records_[index];
}

void InstructionStream::CopyOperands(HxTArray<Value>& out) const {
    out.Clear();
    HX_CHECK(out.Reserve(totalOperands_), "Out of memory");
    for (const Block* block = head_; block != nullptr; block = block->next)
        for (uint32_t i = 0; i < block->used; ++i) out.Add(*block->At(i));
}

bool InstructionStream::operator==(const InstructionStream& other) const {
    if (instructionCount_ != other.instructionCount_ || totalOperands_ != other.totalOperands_) return false;
    for (uint32_t i = 0; i < instructionCount_; ++i) {
        if (records_[i].opcode != other.records_[i].opcode ||
            records_[i].operandCount != other.records_[i].operandCount)
            return false;
    }
    const Block* a = head_;
    const Block* b = other.head_;
    // Both chains hold the same number of values and fill blocks alike.
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
        if (a->used != b->used) return false;
        for (uint32_t i = 0; i < a->used; ++i)
            if (*a->At(i) != *b->At(i)) return false;
    }
    return a == nullptr && b == nullptr;
}

}  // namespace UnlinkedTypes
}  // namespace HxScript
