#include "HxScript/HxScriptInstructionStream.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "hxcore/HxAssert.h"
#include "hxcore/HxTScatterTable.h"

namespace HxScript {
namespace UnlinkedTypes {

// ---------------------------------------------------------------------------
// CodeNames

uint32_t CodeNames::Add(const HxFixedString& name) {
    const uint32_t index = entries_.Add(Entry{name, 0, name.IsEmpty() ? 0u : 1u});
    HX_CHECK(index != kHxInvalidIndex, "Out of memory");
    return index;
}

bool CodeNames::Resize(uint32_t count) {
    if (count <= entries_.Size()) return true;
    if (!entries_.Reserve(count)) return false;
    while (entries_.Size() < count) entries_.Add(Entry{HxFixedString(static_cast<const char*>(nullptr)), 0, 0});
    return true;
}

void CodeNames::Set(uint32_t index, const HxFixedString& name) {
    Entry& entry = entries_[index];
    HX_CHECK(entry.uses == 0 && entry.held == 0, "Name %u is in use", index);
    entry.name = name;
    entry.held = name.IsEmpty() ? 0u : 1u;
}

void CodeNames::Unuse(uint32_t index) {
    Entry& entry = entries_.Data()[index];
    HX_CHECK(entry.uses != 0, "Name %u is not in use", index);
    if (--entry.uses == 0) {
        released_ = true;
        if (entry.held > 1) HxFixedStringRelease(entry.name, entry.held - 1);
        entry.name.Release();
        entry.held = 0;
    } else if (entry.uses < entry.held) {
        HxFixedStringRelease(entry.name, 1);
        --entry.held;
    }
}

void CodeNames::Seal() {
    for (uint32_t index : dirty_) {
        Entry& entry = entries_.Data()[index];
        if (entry.held != 0 && entry.uses > entry.held) {
            HxFixedStringRetain(entry.name, entry.uses - entry.held);
            entry.held = entry.uses;
        }
    }
    dirty_.Clear();
}

void CodeNames::Clear() {
    for (Entry& entry : entries_)
        if (entry.held > 1) HxFixedStringRelease(entry.name, entry.held - 1);
    entries_.Clear();
    dirty_.Clear();
    released_ = false;
}

// ---------------------------------------------------------------------------
// Builder

InstructionStream::InstructionBuilder::InstructionBuilder(InstructionStream& stream, uint32_t opcode)
    : stream_(stream), opcode_(opcode), record_(stream.built_), operandsAtStart_(stream.operandCount_) {
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
    if (stream_.operandCount_ - operandsAtStart_ >= kMaxOperandsPerInstruction) return false;
    uint32_t payload = 0;
    const auto kind = static_cast<uint8_t>(operand.GetKind());
    switch (operand.GetKind()) {
        case ValueKind::Identifier:
        case ValueKind::String:
        case ValueKind::TypeName: {
            if (stream_.names_ == nullptr) {
                stream_.ownNames_ = std::make_unique<CodeNames>();
                stream_.names_ = stream_.ownNames_.get();
            }
            payload = stream_.names_->Add(operand.GetText());
            stream_.names_->Use(payload);
            break;
        }
        case ValueKind::Integer: payload = static_cast<uint32_t>(operand.GetInteger()); break;
        case ValueKind::Float: {
            const float f = operand.GetFloat();
            std::memcpy(&payload, &f, sizeof payload);
            break;
        }
        case ValueKind::Bool: payload = operand.GetBool() ? 1u : 0u; break;
        case ValueKind::MemberVariableIndex: payload = operand.GetMemberVariableIndex(); break;
        case ValueKind::LocalVariableIndex: payload = operand.GetLocalVariableIndex(); break;
        case ValueKind::None: break;
    }
    if (stream_.PushOperand(kind, payload)) return true;
    if (IsText(kind)) stream_.names_->Unuse(payload);
    return false;
}

void InstructionStream::InstructionBuilder::Finish(bool success) {
    if (finished_) return;
    finished_ = true;
    if (success) {
        stream_.records_[record_] = MakeRecord(opcode_, stream_.operandCount_ - operandsAtStart_);
    } else {
        stream_.TruncateOperands(operandsAtStart_);
        stream_.records_[record_] = MakeRecord(0, 0);
    }
}

// ---------------------------------------------------------------------------
// Construction and destruction

InstructionStream::InstructionStream(uint32_t instructionCount, CodeNames* names) : names_(names) {
    if (instructionCount == 0) return;
    records_ = static_cast<uint32_t*>(std::calloc(instructionCount, sizeof(uint32_t)));
    HX_CHECK(records_ != nullptr, "Out of memory");
    instructionCount_ = recordCapacity_ = instructionCount;
}

InstructionStream::InstructionStream(const HxTArray<Instruction>& instructions, const HxTArray<Value>& operands) {
    AdoptValues(instructions, operands);
}

void InstructionStream::AdoptValues(const HxTArray<Instruction>& instructions, const HxTArray<Value>& operands) {
    uint64_t expected = 0;
    for (const Instruction& instruction : instructions) expected += instruction.operandCount;
    HX_CHECK(expected == operands.Size(), "Instruction list expects %llu operands, %u given",
             static_cast<unsigned long long>(expected), operands.Size());
    ownNames_ = std::make_unique<CodeNames>();
    names_ = ownNames_.get();
    HX_CHECK(ReserveOperands(operands.Size()), "Out of memory");
    for (const Instruction& instruction : instructions)
        HX_CHECK(PushRecord(instruction.opcode, instruction.operandCount), "Out of memory");
    built_ = instructionCount_;
    // Equal texts share one entry, numbered in order of first use.
    HxTScatterTable<HxFixedString, uint32_t> entryOf;
    for (const Value& operand : operands) {
        uint32_t payload = 0;
        if (operand.HasText()) {
            const uint32_t* known = entryOf.Find(operand.GetText());
            payload = known != nullptr ? *known : names_->Add(operand.GetText());
            if (known == nullptr) entryOf.Insert(operand.GetText(), payload);
            names_->Use(payload);
        } else if (operand.GetKind() == ValueKind::Float) {
            const float f = operand.GetFloat();
            std::memcpy(&payload, &f, sizeof payload);
        } else if (operand.GetKind() == ValueKind::Bool) {
            payload = operand.GetBool() ? 1u : 0u;
        } else if (operand.GetKind() == ValueKind::MemberVariableIndex) {
            payload = operand.GetMemberVariableIndex();
        } else if (operand.GetKind() == ValueKind::LocalVariableIndex) {
            payload = operand.GetLocalVariableIndex();
        } else {
            payload = static_cast<uint32_t>(operand.GetInteger());
        }
        PushOperand(static_cast<uint8_t>(operand.GetKind()), payload);
    }
    names_->Seal();
}

InstructionStream::InstructionStream(const InstructionStream& other) { CopyFrom(other); }

InstructionStream& InstructionStream::operator=(const InstructionStream& other) {
    if (this != &other) {
        InstructionStream copy(other);
        Exchange(copy);
    }
    return *this;
}

void InstructionStream::CopyFrom(const InstructionStream& other) {
    if (other.ownNames_ != nullptr) {
        // A table of its own: the copy gets one too.
        HxTArray<Instruction> instructions;
        for (uint32_t i = 0; i < other.instructionCount_; ++i) instructions.Add(other.GetInstruction(i));
        HxTArray<Value> operands;
        other.CopyOperands(operands);
        AdoptValues(instructions, operands);
        built_ = other.built_;
        return;
    }
    names_ = other.names_;
    if (other.records_ == nullptr) {
        instructionCount_ = other.instructionCount_;
    } else if (other.instructionCount_ != 0) {
        records_ = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * other.instructionCount_));
        HX_CHECK(records_ != nullptr, "Out of memory");
        std::memcpy(records_, other.records_, sizeof(uint32_t) * other.instructionCount_);
        instructionCount_ = recordCapacity_ = other.instructionCount_;
    }
    built_ = other.built_;
    HX_CHECK(ReserveOperands(other.operandCount_), "Out of memory");
    for (uint32_t i = 0; i < other.operandCount_; ++i) {
        if (IsText(other.kinds_[i])) names_->Use(other.payloads_[i]);
        PushOperand(other.kinds_[i], other.payloads_[i]);
    }
}

void InstructionStream::FreeAll() {
    if (block_ == nullptr && records_ == nullptr && payloads_ == nullptr && kinds_ == nullptr && !ownNames_) {
        // Nothing held (a new or count-only stream): only the counts go.
        instructionCount_ = recordCapacity_ = built_ = operandCount_ = operandCapacity_ = 0;
        names_ = nullptr;
        return;
    }
    if (operandCount_ != 0 && names_ != nullptr && ownNames_ == nullptr && !names_->Closing()) {
        // The texts lose these users now; first the counts they held are
        // made exact, so that a name goes exactly when it would have gone.
        names_->Seal();
        for (uint32_t i = 0; i < operandCount_; ++i)
            if (IsText(kinds_[i])) names_->Unuse(payloads_[i]);
    }
    if (block_ != nullptr) {
        std::free(block_);
        block_ = nullptr;
    } else {
        std::free(records_);
        std::free(payloads_);
        std::free(kinds_);
    }
    records_ = payloads_ = nullptr;
    kinds_ = nullptr;
    instructionCount_ = recordCapacity_ = built_ = operandCount_ = operandCapacity_ = 0;
    ownNames_.reset();
    names_ = nullptr;
}

void InstructionStream::Unpack() {
    if (block_ == nullptr) return;
    auto* records = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * (recordCapacity_ ? recordCapacity_ : 1)));
    auto* payloads = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * (operandCapacity_ ? operandCapacity_ : 1)));
    auto* kinds = static_cast<uint8_t*>(std::malloc(operandCapacity_ ? operandCapacity_ : 1));
    HX_CHECK(records != nullptr && payloads != nullptr && kinds != nullptr, "Out of memory");
    std::memcpy(records, records_, sizeof(uint32_t) * recordCapacity_);
    std::memcpy(payloads, payloads_, sizeof(uint32_t) * operandCapacity_);
    std::memcpy(kinds, kinds_, operandCapacity_);
    std::free(block_);
    block_ = nullptr;
    records_ = records;
    payloads_ = payloads;
    kinds_ = kinds;
}

void InstructionStream::BeginBuild(uint32_t instructionCount, CodeNames* names) {
    HX_CHECK(operandCount_ == 0 || names_ == nullptr || names_ == names, "Stream still holds operands");
    Unpack();
    names_ = names;
    operandCount_ = 0;
    built_ = 0;
    instructionCount_ = 0;
    HX_CHECK(GrowRecords(instructionCount), "Out of memory");
    if (instructionCount != 0) std::memset(records_, 0, sizeof(uint32_t) * instructionCount);
    instructionCount_ = instructionCount;
}

void InstructionStream::MoveCompactTo(InstructionStream& out) {
    InstructionStream packed;
    const size_t recordBytes = sizeof(uint32_t) * size_t(instructionCount_);
    const size_t payloadBytes = sizeof(uint32_t) * size_t(operandCount_);
    if (recordBytes + payloadBytes != 0) {
        auto* block = static_cast<uint8_t*>(std::malloc(recordBytes + payloadBytes + operandCount_));
        HX_CHECK(block != nullptr, "Out of memory");
        packed.block_ = block;
        packed.records_ = reinterpret_cast<uint32_t*>(block);
        packed.payloads_ = reinterpret_cast<uint32_t*>(block + recordBytes);
        packed.kinds_ = block + recordBytes + payloadBytes;
        if (recordBytes != 0) std::memcpy(packed.records_, records_, recordBytes);
        if (payloadBytes != 0) {
            std::memcpy(packed.payloads_, payloads_, payloadBytes);
            std::memcpy(packed.kinds_, kinds_, operandCount_);
        }
    }
    packed.instructionCount_ = packed.recordCapacity_ = instructionCount_;
    packed.built_ = built_;
    packed.operandCount_ = packed.operandCapacity_ = operandCount_;
    packed.names_ = names_;
    // The uses of texts go along with the operands; this stream keeps no
    // reference to the table, which may go before it.
    instructionCount_ = built_ = operandCount_ = 0;
    names_ = nullptr;
    out.Exchange(packed);
}

void InstructionStream::SetCountOnly(uint32_t count) {
    FreeAll();
    instructionCount_ = built_ = count;
}

bool InstructionStream::GrowRecords(uint32_t count) {
    if (count <= recordCapacity_) return true;
    Unpack();
    uint64_t want = recordCapacity_ == 0 ? 16 : uint64_t(recordCapacity_) * 2;
    if (want < count) want = count;
    if (want > 0xFFFFFFFFu) return false;
    auto* records = static_cast<uint32_t*>(std::realloc(records_, sizeof(uint32_t) * want));
    if (records == nullptr) return false;
    records_ = records;
    recordCapacity_ = static_cast<uint32_t>(want);
    return true;
}

bool InstructionStream::GrowOperands(uint32_t count) {
    Unpack();
    uint64_t want = operandCapacity_ == 0 ? 16 : uint64_t(operandCapacity_) * 2;
    if (want < count) want = count;
    if (want > 0xFFFFFFFFu) want = 0xFFFFFFFFu;
    if (want < count) return false;
    auto* payloads = static_cast<uint32_t*>(std::realloc(payloads_, sizeof(uint32_t) * want));
    if (payloads == nullptr) return false;
    payloads_ = payloads;
    auto* kinds = static_cast<uint8_t*>(std::realloc(kinds_, want));
    if (kinds == nullptr) return false;
    kinds_ = kinds;
    operandCapacity_ = static_cast<uint32_t>(want);
    return true;
}

void InstructionStream::TruncateOperands(uint32_t count) {
    for (uint32_t i = count; i < operandCount_; ++i)
        if (IsText(kinds_[i])) names_->Unuse(payloads_[i]);
    if (count < operandCount_) operandCount_ = count;
}

void InstructionStream::ShrinkToFit() {
    if (block_ != nullptr) return;
    if (operandCount_ < operandCapacity_ && operandCount_ != 0) {
        if (auto* payloads = static_cast<uint32_t*>(std::realloc(payloads_, sizeof(uint32_t) * operandCount_)))
            payloads_ = payloads;
        if (auto* kinds = static_cast<uint8_t*>(std::realloc(kinds_, operandCount_))) kinds_ = kinds;
        operandCapacity_ = operandCount_;
    }
    if (instructionCount_ < recordCapacity_ && instructionCount_ != 0) {
        if (auto* records = static_cast<uint32_t*>(std::realloc(records_, sizeof(uint32_t) * instructionCount_)))
            records_ = records;
        recordCapacity_ = instructionCount_;
    }
}

// ---------------------------------------------------------------------------
// Walking and access

Value InstructionStream::GetOperand(uint32_t index) const {
    HX_CHECK(index < operandCount_, "Invalid index %u|%u passed to operator[]", index, operandCount_);
    const uint32_t payload = payloads_[index];
    switch (static_cast<ValueKind>(kinds_[index])) {
        case ValueKind::Identifier: return Value::MakeIdentifier(TextOf(payload));
        case ValueKind::String: return Value::MakeString(TextOf(payload));
        case ValueKind::TypeName: return Value::MakeTypeName(TextOf(payload));
        case ValueKind::Integer: return Value::MakeInteger(static_cast<int32_t>(payload));
        case ValueKind::Float: {
            float f;
            std::memcpy(&f, &payload, sizeof f);
            return Value::MakeFloat(f);
        }
        case ValueKind::Bool: return Value::MakeBool(payload != 0);
        case ValueKind::MemberVariableIndex: return Value::MakeMemberVariableIndex(payload);
        case ValueKind::LocalVariableIndex: return Value::MakeLocalVariableIndex(payload);
        case ValueKind::None: break;
    }
    return Value();
}

void InstructionStream::ForEachInstruction(InstructionFunctor& functor) const {
    uint32_t position = 0;
    for (uint32_t i = 0; i < instructionCount_; ++i) {
        const uint32_t record = records_ != nullptr ? records_[i] : 0u;
        const uint32_t count = CountOf(record);
        if (!functor.BeginInstruction(OpcodeOf(record), static_cast<uint16_t>(count))) return;
        const uint32_t end = position + count;
        // A visitor that declines the rest of an instruction skips its operands.
        while (position < end && functor.ProcessArgument(GetOperand(position))) ++position;
        position = end;
    }
}

void InstructionStream::Exchange(InstructionStream& other) noexcept {
    std::swap(records_, other.records_);
    std::swap(payloads_, other.payloads_);
    std::swap(kinds_, other.kinds_);
    std::swap(block_, other.block_);
    std::swap(instructionCount_, other.instructionCount_);
    std::swap(recordCapacity_, other.recordCapacity_);
    std::swap(built_, other.built_);
    std::swap(operandCount_, other.operandCount_);
    std::swap(operandCapacity_, other.operandCapacity_);
    std::swap(names_, other.names_);
    std::swap(ownNames_, other.ownNames_);
}

void InstructionStream::Clear() {
    InstructionStream empty;
    Exchange(empty);
}

InstructionStream::Instruction InstructionStream::GetInstruction(uint32_t index) const {
    HX_CHECK(index < instructionCount_, "Invalid index %u|%u passed to operator[]", index, instructionCount_);
    Instruction instruction;
    if (records_ == nullptr) return instruction;
    instruction.opcode = OpcodeOf(records_[index]);
    instruction.operandCount = static_cast<uint16_t>(CountOf(records_[index]));
    return instruction;
}

void InstructionStream::CopyOperands(HxTArray<Value>& out) const {
    out.Clear();
    HX_CHECK(out.Reserve(operandCount_), "Out of memory");
    for (uint32_t i = 0; i < operandCount_; ++i) out.Add(GetOperand(i));
}

}  // namespace UnlinkedTypes
}  // namespace HxScript
