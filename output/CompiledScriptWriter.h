#pragma once
// Encoding of an object model as a compiled script file (.cex): the string
// table that every string field refers to, the walk that fills it, and the
// writer of the file's sections. One function per record, in file order.
//
// Every field is one write of its exact width through the little-endian
// primitives of HxStorageIO. The first failed write posts one fatal message
// naming the field (with the output's file name) and stops the writing.

#include <cstdint>

#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "HxSystem/HxStorage.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTScatterTable.h"

namespace CodeGen {

// The strings of the file being written, numbered in the order they are
// first added. Strings equal without regard to case are one HxFixedString
// and so one entry.
class CompiledStringTable {
public:
    // The most entries a file can index with its 16-bit refs and count.
    static constexpr uint32_t kMaxEntries = 0xFFFF;

    void Clear();
    // Gives the string the next index unless it is present already.
    void Add(const HxFixedString& text) { AddIndex(text); }
    // The same, answering the string's index.
    uint32_t AddIndex(const HxFixedString& text);
    // The names table of the object being written: code that refers to it
    // has each of its names looked up once, then indexed by position.
    void BindCodeNames(const HxScript::UnlinkedTypes::CodeNames& names);
    // Adds the text of every Identifier, String and TypeName operand of the
    // code, in operand order.
    void AddCodeTexts(const HxScript::UnlinkedTypes::InstructionStream& code);
    // Index of the text of a code operand (its payload), or kHxInvalidIndex.
    uint32_t CodeIndexOf(const HxScript::UnlinkedTypes::InstructionStream& code, uint32_t payload) const;
    // Whether the code's texts are names of the bound table; then
    // BoundIndexOf answers CodeIndexOf for its payloads.
    bool IsBound(const HxScript::UnlinkedTypes::InstructionStream& code) const {
        return code.Names() == codeNames_ && codeNames_ != nullptr;
    }
    uint32_t BoundIndexOf(uint32_t payload) const { return codeIndex_.Data()[payload]; }
    // The same for every payload at once: the string index of each code name.
    const uint32_t* BoundIndexes() const { return codeIndex_.Data(); }
    uint32_t Count() const { return strings_.Size(); }
    const HxFixedString& At(uint32_t index) const { return strings_[index]; }
    // Index of the string, or kHxInvalidIndex when it is not in the table.
    uint32_t IndexOf(const HxFixedString& text) const;

    // The u16 count and every entry as a 16-bit length and its bytes.
    // Failure when the table holds more than 65535 entries, an entry is
    // longer than 65535 bytes, or a write fails.
    StorageResult Write(HxStorage& store) const;
    // The string's index as a u16; Failure when it is not in the table.
    StorageResult WriteRef(HxStorage& store, const HxFixedString& text) const;

private:
    // The index of a handle: the recent-handle memo, then the table.
    uint32_t Lookup(const HxFixedString& key) const;
    // Enters a string of strings_ in slots_.
    void Place(uint32_t index);

    // Open addressing over the strings' indexes, keyed by their handles: four
    // bytes a slot, at most half of them in use.
    HxTArray<uint32_t> slots_;
    HxTArray<HxFixedString> strings_;

    // Indexes of recently looked-up handles, by handle address. Code names
    // the same few locals and members over and over; this spares most
    // lookups the hash table. Only handles in the table are remembered, and
    // the table holds them, so an address cannot come back as another text.
    struct Recent {
        const void* handle = nullptr;
        uint32_t index = 0;
    };
    static constexpr uint32_t kRecentSlots = 256;
    mutable Recent recent_[kRecentSlots];
    mutable uint32_t following_[2] = {0, 0};  // the indexes after the last two the table answered

    const HxScript::UnlinkedTypes::CodeNames* codeNames_ = nullptr;
    HxTArray<uint32_t> codeIndex_;  // string index of each code name, or kHxInvalidIndex
};

// Adds every string the file refers to, in the order that fixes the indexes:
// debug function entries and property groups (when the object has debug
// information), user flags, the object's own names, structs, variables,
// properties, static functions, the empty string, the empty state's
// functions, then each named state.
void CollectStrings(const HxScript::UnlinkedTypes::Object& object, CompiledStringTable& table);

// Writes the sections of one compiled file to a store that is open.
class CompiledScriptWriter {
public:
    // `fileName` names the output in messages.
    CompiledScriptWriter(HxStorage& store, HxScript::ErrorLogger& logger, const HxFixedString& fileName,
                         const CompiledStringTable& strings);

    // Header, string table, debug section, user flag table and object table;
    // stops at the first failure.
    bool WriteFile(const HxScript::UnlinkedTypes::Object& object);

    bool WriteHeader(const HxScript::UnlinkedTypes::Object& object);
    bool WriteStringTable();
    bool WriteDebugSection(const HxScript::UnlinkedTypes::Object& object);
    bool WriteUserFlagTable(const HxScript::UnlinkedTypes::Object& object);
    bool WriteObjectTable(const HxScript::UnlinkedTypes::Object& object);

    // The object table up to its one record's size placeholder: the count,
    // the record's name and the placeholder, whose position goes to `sizeAt`.
    bool BeginObjectTable(const HxFixedString& name, uint64_t& sizeAt);
    // The same with the name given by its index in the string table.
    bool BeginObjectTableAt(uint32_t nameIndex, uint64_t& sizeAt);
    // Patches the size placeholder at `sizeAt` once the record is complete.
    bool EndObjectTable(uint64_t sizeAt);

    // Posts the fatal message of a failed field; always false.
    bool Fail(const char* message);
    // Posts the message when `result` is not Success; true on success.
    bool Check(StorageResult result, const char* message);
    // `hook(context)` runs before a message is posted.
    void SetBeforeMessage(void (*hook)(void*), void* context) {
        beforeMessage_ = hook;
        hookContext_ = context;
    }
    // Messages show the output's file name as `text` (kept by the caller).
    void ShowFileNameAs(const char* text) { fileNameText_ = text; }

    // Records without a message of their own: the caller names the field.
    StorageResult WriteValue(const HxScript::UnlinkedTypes::Value& value);
    StorageResult WriteFunctionRecord(const HxScript::UnlinkedTypes::Function& function);

private:
    bool Ref(const HxFixedString& text, const char* message);
    bool Count(uint32_t count, const char* message);

    bool WriteFunctionDebugInfo(const HxScript::UnlinkedTypes::FunctionDebugInfo& info);
    bool WritePropertyGroup(const HxScript::UnlinkedTypes::PropertyGroup& group);
    bool WriteStructOrder(const HxScript::UnlinkedTypes::StructOrder& order);
    bool WriteStruct(const HxFixedString& name, const HxScript::UnlinkedTypes::Struct& structure);
    bool WriteVariable(const HxFixedString& name, const HxScript::UnlinkedTypes::Variable& variable,
                       const HxScript::UnlinkedTypes::Value* initialValue, const HxFixedString* docString);
    bool WriteProperty(const HxFixedString& name, const HxScript::UnlinkedTypes::Property& property);
    bool WriteAccessor(const HxScript::UnlinkedTypes::Function* function, const char* nullMessage,
                       const char* failMessage);
    bool WriteEmptyState(const HxScript::UnlinkedTypes::Object& object);
    bool WriteState(const HxFixedString& name, const HxScript::UnlinkedTypes::State& state);
    bool WriteStateFunction(const HxFixedString& name, const HxScript::UnlinkedTypes::Function& function);
    StorageResult WriteNameTypePairs(const HxTArray<HxScript::UnlinkedTypes::NameTypePair>& pairs);
    StorageResult WriteInstructions(const HxScript::UnlinkedTypes::InstructionStream& code);
    // All of the code at once, when its texts are bound names, the output's
    // append window holds the most bytes it can take (then each field would
    // have fitted in its turn) and every field has an encoding; false, with
    // nothing written, otherwise.
    bool WriteWholeCode(const HxScript::UnlinkedTypes::InstructionStream& code);
    // The bytes of `count` instructions (their records, and their operands
    // from `kinds` and `payloads` on) whose texts are bound names, into
    // `out`, which has room for six bytes an instruction and five an
    // operand; 0 when a field has no encoding.
    uint32_t EncodeInstructions(uint8_t* out, const uint32_t* records, uint32_t count, const uint8_t* kinds,
                                const uint32_t* payloads) const;
    // One instruction field by field, its operands from `at` on.
    StorageResult WriteInstructionFields(const HxScript::UnlinkedTypes::InstructionStream& code, uint32_t opcode,
                                         uint32_t count, uint32_t countAfter, uint32_t at);

    // Instructions of up to kEncodeOperands operands are encoded whole: an
    // opcode, five bytes an operand and a call's argument count.
    static constexpr uint32_t kEncodeOperands = 520;
    static constexpr uint32_t kEncodeLimit = 1 + 5 * kEncodeOperands + 5;
    // The most bytes of code encoded at once.
    static constexpr uint32_t kWholeCodeLimit = 1u << 20;

    HxStorage& store_;
    HxScript::ErrorLogger& logger_;
    HxFixedString fileName_;
    const char* fileNameText_;
    void (*beforeMessage_)(void*) = nullptr;
    void* hookContext_ = nullptr;
    const CompiledStringTable& strings_;
    HxTArray<uint8_t> wholeCode_;  // room for WriteWholeCode and a function's line numbers
};

}  // namespace CodeGen
