#pragma once
// The code of one function: an ordered list of instructions, each an opcode
// and an operand count, with all operands of all instructions held in one
// sequence in instruction order.
//
// Storage is packed: a record is one 32-bit word (opcode in the low 8 bits,
// operand count above), an operand is a kind byte and a 32-bit payload kept
// in two parallel arrays. The payload of a text operand (Identifier, String,
// TypeName) is the index of its text in a CodeNames table, usually the one
// of the object the function belongs to; Integer, Float and Bool operands
// hold their value's bits. The three arrays are single allocations, freed
// at once with the stream.
//
// Writers read the arrays directly; other consumers walk the stream with an
// InstructionFunctor, which sees every operand as a Value.

#include <cstdint>
#include <cstring>
#include <memory>

#include "HxScript/HxScriptValue.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"

namespace HxScript {
namespace UnlinkedTypes {

// The texts that the code of one object refers to. A text operand holds the
// index of its entry, so a name costs one counted reference however many
// operands use it.
//
// Every entry counts the operands that use it. It holds its name while it is
// in use and lets go of it with the last user, so a name lives exactly as
// long as it would if every operand held a reference of its own. Seal()
// brings the pool's reference counts to what those operands would hold, in
// one step per entry (the pool's counts saturate, and a saturated name is
// never freed, so the counts matter, not only whether a name is held).
class CodeNames {
public:
    CodeNames() = default;
    CodeNames(const CodeNames&) = delete;
    CodeNames& operator=(const CodeNames&) = delete;
    ~CodeNames() { Clear(); }

    uint32_t Size() const { return entries_.Size(); }
    // The name of an entry; the null handle while no operand uses it.
    const HxFixedString& At(uint32_t index) const { return entries_.Data()[index].name; }
    uint32_t Uses(uint32_t index) const { return entries_.Data()[index].uses; }
    // Whether an entry has lost its last user since the table was emptied:
    // while none has, every entry that was ever used is still in use.
    bool AnyReleased() const { return released_; }

    // Appends an entry holding `name`, used by nobody yet; returns its index.
    uint32_t Add(const HxFixedString& name);
    // Grows the table to `count` entries; the new ones hold no name.
    bool Resize(uint32_t count);
    // Gives an entry that nobody uses a name.
    void Set(uint32_t index, const HxFixedString& name);

    // One more operand uses the entry.
    void Use(uint32_t index) {
        Entry& entry = entries_.Data()[index];
        if (++entry.uses == entry.held + 1 && entry.held != 0) dirty_.Add(index);
    }
    // One operand fewer; the name goes with the last one.
    void Unuse(uint32_t index);
    // Takes the references that the users of each entry would hold.
    void Seal();
    // Lets go of every name and empties the table.
    void Clear();

    // While closing, streams that go away leave the uses alone: the whole
    // table goes right after them.
    bool Closing() const { return closing_; }
    void SetClosing(bool closing) { closing_ = closing; }

private:
    struct Entry {
        HxFixedString name;
        uint32_t uses;
        uint32_t held;  // references held: the handle's own plus what Seal took
    };

    HxTArray<Entry> entries_;
    HxTArray<uint32_t> dirty_;  // entries whose uses may exceed what they hold
    bool closing_ = false;
    bool released_ = false;
};

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

    // Appends one instruction to a stream constructed with its instruction
    // count. Finishing a failed instruction removes the operands this
    // builder added and stores a Noop with no operands.
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

    // Records: the opcode in bits 0-7, the operand count in bits 8-23.
    static uint32_t MakeRecord(uint32_t opcode, uint32_t operandCount) { return (opcode & 0xFFu) | (operandCount << 8); }
    static uint32_t OpcodeOf(uint32_t record) { return record & 0xFFu; }
    static uint32_t CountOf(uint32_t record) { return record >> 8; }
    static constexpr uint32_t kMaxOperandsPerInstruction = 0xFFFFu;

    static bool IsText(uint8_t kind) {
        return kind == uint8_t(ValueKind::Identifier) || kind == uint8_t(ValueKind::String) ||
               kind == uint8_t(ValueKind::TypeName);
    }

    InstructionStream() = default;
    // Records for `instructionCount` instructions (Noops until built), no
    // operands; texts will be entries of `names`.
    InstructionStream(uint32_t instructionCount, CodeNames* names = nullptr);
    // From two lists: the stream holds a table of its own for the texts.
    InstructionStream(const HxTArray<Instruction>& instructions, const HxTArray<Value>& operands);
    InstructionStream(const InstructionStream& other);
    InstructionStream& operator=(const InstructionStream& other);
    ~InstructionStream() { FreeAll(); }

    uint32_t GetInstructionCount() const { return instructionCount_; }
    uint32_t GetTotalOperandCount() const { return operandCount_; }
    // Number of instruction records filled so far.
    uint32_t GetBuiltCount() const { return built_; }

    // The packed arrays, for readers that walk them directly.
    const uint32_t* Records() const { return records_; }
    const uint8_t* Kinds() const { return kinds_; }
    const uint32_t* Payloads() const { return payloads_; }
    // The table the text payloads index; null for a stream without texts.
    const CodeNames* Names() const { return names_; }
    const HxFixedString& TextOf(uint32_t payload) const { return names_->At(payload); }
    // Operand i as a Value (texts shared by reference).
    Value GetOperand(uint32_t index) const;

    void ForEachInstruction(InstructionFunctor& functor) const;
    void Exchange(InstructionStream& other) noexcept;
    void Clear();

    // Building, for the loaders. The stream must have been constructed with
    // a names table when text operands are pushed; the caller has counted
    // the use of a text's entry (CodeNames::Use) already.
    void SetNames(CodeNames* names) { names_ = names; }
    bool ReserveOperands(uint32_t count) { return count <= operandCapacity_ || GrowOperands(count); }
    bool PushOperand(uint8_t kind, uint32_t payload) {
        if (operandCount_ == operandCapacity_ && !GrowOperands(operandCount_ + 1)) return false;
        kinds_[operandCount_] = kind;
        payloads_[operandCount_] = payload;
        ++operandCount_;
        return true;
    }
    // The same after ReserveOperands made room for it.
    void PushReservedOperand(uint8_t kind, uint32_t payload) {
        kinds_[operandCount_] = kind;
        payloads_[operandCount_] = payload;
        ++operandCount_;
    }
    // Where operand `index` goes, for a builder that writes operands in the
    // room ReserveOperands made and then sets their number with
    // SetOperandCount.
    uint8_t* KindsFrom(uint32_t index) { return kinds_ + index; }
    uint32_t* PayloadsFrom(uint32_t index) { return payloads_ + index; }
    void SetOperandCount(uint32_t count) { operandCount_ = count; }
    // Appends a record, growing the instruction count.
    bool PushRecord(uint32_t opcode, uint32_t operandCount) {
        if (instructionCount_ == recordCapacity_ && !GrowRecords(instructionCount_ + 1)) return false;
        records_[instructionCount_++] = MakeRecord(opcode, operandCount);
        built_ = instructionCount_;
        return true;
    }
    // Fills the next record of a stream constructed with its count.
    void SetNextRecord(uint32_t opcode, uint32_t operandCount) { records_[built_++] = MakeRecord(opcode, operandCount); }
    // Counts the next `count` records as built, as BeginBuild left them:
    // Noops without operands.
    void SkipBuilt(uint32_t count) { built_ += count; }
    void SetOperand(uint32_t index, uint8_t kind, uint32_t payload) {
        kinds_[index] = kind;
        payloads_[index] = payload;
    }
    // Drops the operands from `count` on, giving up their uses of texts.
    void TruncateOperands(uint32_t count);
    // Gives back the room reserved beyond what is used.
    void ShrinkToFit();
    // Starts building anew, keeping the room of the arrays: `instructionCount`
    // records (Noops until built), no operands.
    void BeginBuild(uint32_t instructionCount, CodeNames* names);
    // Moves what was built into `out` as one exact block, uses of texts
    // included; this stream keeps its room for the next build.
    void MoveCompactTo(InstructionStream& out);
    // Empties the stream and gives it `count` instructions that are not
    // kept: no records, no operands (an analysis keeps only the count).
    // Walking it sees Noops.
    void SetCountOnly(uint32_t count);

    // Flat views for tests and comparisons.
    Instruction GetInstruction(uint32_t index) const;
    void CopyOperands(HxTArray<Value>& out) const;

private:
    bool GrowOperands(uint32_t count);
    bool GrowRecords(uint32_t count);
    // Gives a stream held in one block arrays of its own, so that they can grow.
    void Unpack();
    void FreeAll();
    void CopyFrom(const InstructionStream& other);
    void AdoptValues(const HxTArray<Instruction>& instructions, const HxTArray<Value>& operands);

    uint32_t* records_ = nullptr;
    uint32_t* payloads_ = nullptr;
    uint8_t* kinds_ = nullptr;
    // One allocation for all three arrays, exactly sized; null while they
    // are allocated one by one.
    void* block_ = nullptr;
    uint32_t instructionCount_ = 0;
    uint32_t recordCapacity_ = 0;
    uint32_t built_ = 0;
    uint32_t operandCount_ = 0;
    uint32_t operandCapacity_ = 0;
    CodeNames* names_ = nullptr;
    // The table of a stream made from lists of values, which has no object.
    std::unique_ptr<CodeNames> ownNames_;
};

}  // namespace UnlinkedTypes
}  // namespace HxScript
