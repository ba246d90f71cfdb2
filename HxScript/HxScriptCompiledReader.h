#pragma once
// One pass of the compiled script reader over an opened store: header,
// string table, debug section, user flag table and object table, in file
// order, stopping at the first section that fails. CompiledScriptLoader
// opens and closes the store around it and judges the result.

#include <cstdint>

#include "HxScript/HxScriptCompiledFormat.h"
#include "HxScript/HxScriptCompiledReadStringTable.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptIStore.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "HxSystem/HxStorageIO.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTOrderedMap.h"

namespace HxScript {
namespace Internal {

class CompiledReader {
public:
    // `requested` is the object name as given to the loader; `objectName`
    // the same name interned.
    CompiledReader(ErrorLogger& logger, IStore& store, const char* requested, const HxFixedString& objectName,
                   bool loadDebugInfo, bool loadDocStrings);

    // Code is checked but kept as instruction counts only; debug line
    // records are checked but not kept.
    void SetCountCodeOnly(bool countOnly) { countCodeOnly_ = countOnly; }
    // Debug line records are kept with their names but no line numbers.
    void SetKeepLineNumbers(bool keep) { keepLineNumbers_ = keep; }

    // Reads the whole file into `object`; false at the first failed step.
    bool Run(UnlinkedTypes::Object& object);

    bool HasVersion() const { return hasVersion_; }
    uint8_t MajorVersion() const { return major_; }
    uint8_t MinorVersion() const { return minor_; }

private:
    using FunctionMap = HxTOrderedMap<HxFixedString, UnlinkedTypes::Function>;

    struct VariableRecord {
        HxFixedString name;
        UnlinkedTypes::Variable variable;
        UnlinkedTypes::Value initialValue;
        HxFixedString docString;
    };

    // Sections.
    bool ReadHeader(UnlinkedTypes::Object& object);
    bool ReadDebugSection(UnlinkedTypes::Object& object);
    bool ReadFunctionDebugEntry(UnlinkedTypes::DebugInfo& debug);
    // Reads past the line numbers of a debug line record; `inWindow` says
    // that the window holds them whole.
    bool SkipLineNumbers(uint32_t lineCount, bool inWindow);
    bool ReadPropertyGroups(UnlinkedTypes::DebugInfo& debug);
    bool ReadStructOrders(UnlinkedTypes::DebugInfo& debug);
    bool ReadUserFlags(UnlinkedTypes::Object& object);
    bool ReadObjectTable(UnlinkedTypes::Object& object);

    // Object records.
    bool ReadObjectBody(UnlinkedTypes::Object& object);
    bool ReadStruct(const UnlinkedTypes::Object& object, HxFixedString& name, UnlinkedTypes::Struct& record);
    bool ReadVariable(VariableRecord& record, bool structMember);
    bool ReadProperty(HxFixedString& name, UnlinkedTypes::Property& property);
    bool ReadState(HxFixedString& name, UnlinkedTypes::State& state, FunctionMap& statics);
    bool ReadFunction(const HxFixedString& name, UnlinkedTypes::Function& function);
    bool ReadInstruction(UnlinkedTypes::InstructionStream& stream, uint32_t index);
    // The same, with every field read straight from the window when
    // kInWindow says that it holds the longest instruction there can be.
    template <bool kInWindow>
    bool ReadInstructionFrom(UnlinkedTypes::InstructionStream& stream, uint32_t index);
    // The `count` instructions of a function; false at the first failed one.
    bool ReadCode(UnlinkedTypes::InstructionStream& stream, uint32_t count);
    // Reads instructions from `index` on while the window holds the longest
    // there can be, advancing `index`; false at a failed one.
    bool ReadCodeInWindow(UnlinkedTypes::InstructionStream& stream, uint32_t& index, uint32_t count);
    // The same, checking and counting only, by table.
    bool CountCodeInWindow(UnlinkedTypes::InstructionStream& stream, uint32_t& index, uint32_t count);
    // For the two loops above: reads the instruction at `begin` (number `i`)
    // again field by field, to the same end or to its message, and moves the
    // loop's place (`i`, `built`, `at`) past it; false where it fails.
    bool ReadAgain(UnlinkedTypes::InstructionStream& stream, const uint8_t* begin, uint32_t& i, uint32_t& index,
                   uint32_t& built, const uint8_t*& at);
    void CheckSignatures(const UnlinkedTypes::Object& object);

    // Primitives, decoded little-endian. Up to the header's end each is one
    // store read of its exact width; after it they come out of a read-ahead
    // window filled by large reads (see FillAhead), with the same outcome.
    bool Bytes(void* destination, uint32_t count);
    bool U8(uint8_t& value) {
        if (cur_ != end_) {
            value = *cur_++;
            return true;
        }
        return Bytes(&value, 1);
    }
    bool U16(uint16_t& value) { return Fixed<uint16_t, HxStorageIO::GetU16>(value); }
    bool U32(uint32_t& value) { return Fixed<uint32_t, HxStorageIO::GetU32>(value); }
    // A little-endian field of sizeof(T) bytes: from the window when it
    // holds them, else through Bytes, which tops it up or fails.
    template <typename T, T (*Decode)(const uint8_t*)>
    bool Fixed(T& value) {
        uint8_t raw[sizeof(T)];
        const uint8_t* at = cur_;
        if (end_ - cur_ >= static_cast<ptrdiff_t>(sizeof(T))) {
            cur_ += sizeof(T);
        } else {
            if (!Bytes(raw, sizeof(T))) return false;
            at = raw;
        }
        value = Decode(at);
        return true;
    }
    bool I32(int32_t& value);
    bool I64(int64_t& value);
    bool F32(float& value);
    // A str16 into `scratch_`; `length` receives its byte count.
    bool String16(uint32_t& length);
    // A u16 below the string count.
    bool RefIndex(uint32_t& index) {
        uint16_t raw;
        if (!U16(raw) || raw >= table_.Count()) return false;
        index = raw;
        return true;
    }
    bool ReadValue(UnlinkedTypes::Value& value);
    // Appends an operand to a stream with room for it, a text as a use of
    // its name (the object's code names are numbered like the file's strings).
    void PushOperand(UnlinkedTypes::InstructionStream& stream, uint8_t kind, uint32_t payload) {
        if (countCodeOnly_) return;
        if (UnlinkedTypes::InstructionStream::IsText(kind)) {
            UnlinkedTypes::CodeNames& names = *codeNames_;
            if (names.At(payload).IsEmpty()) names.Set(payload, table_.Get(payload));
            names.Use(payload);
        }
        stream.PushReservedOperand(kind, payload);
    }
    bool ReadStringTable();
    // The reader's place in the file.
    uint64_t Position() const { return readAhead_ ? windowAt_ + static_cast<uint64_t>(cur_ - ahead_.Data()) : position_; }

    // Makes at least `count` unread bytes available in the window; false
    // when the file holds fewer (the field would have failed to read) or a
    // store read failed.
    bool FillAhead(uint32_t count);
    // Moves the store by `offset` from the reader's position, as a seek of
    // an unbuffered store would; the window is dropped when the target lies
    // outside it.
    StorageResult SeekFromHere(int64_t offset);

    // Field readers: on failure post `message` as fatal and return false.
    bool Ref(HxFixedString& field, const char* message);
    bool SkipRef(const char* message);
    bool DocString(HxFixedString& field, const char* message);
    bool Fatal(const char* message);
    template <typename... Args>
    void Post(Severity severity, const char* format, Args... args) {
        table_.MakeTouched();
        logger_.PostFileErrorF(fileName_, severity, format, args...);
    }

    // How many of `count` entries of at least `bytesEach` bytes the rest of
    // the file can hold: what may be reserved ahead of reading them.
    uint32_t Plausible(uint32_t count, uint32_t bytesEach) const;

    ErrorLogger& logger_;
    IStore& store_;
    const char* fileName_;
    const char* requested_;
    HxFixedString objectName_;
    bool loadDebugInfo_;
    bool keepDocStrings_;

    CompiledReadStringTable table_;
    HxTArray<char> scratch_;

    // Read-ahead window: bytes [cur_, end_) of ahead_ are the next bytes of
    // the file; the store stands at their end. ahead_'s first byte lies at
    // windowAt_ in the file.
    // Twice the disk store's buffer, so that a refill is mostly one read
    // that lands straight here.
    static constexpr uint32_t kAheadChunk = 128 * 1024;
    bool readAhead_ = false;
    HxTArray<uint8_t> ahead_;
    const uint8_t* cur_ = nullptr;
    const uint8_t* end_ = nullptr;
    uint64_t windowAt_ = 0;
    uint64_t fileSize_ = 0;  // 0: unknown
    uint64_t position_ = 0;  // while there is no window
    uint8_t major_ = 0;
    uint8_t minor_ = 0;
    bool hasVersion_ = false;

    // The names of the object's code, numbered like the file's strings.
    UnlinkedTypes::CodeNames* codeNames_ = nullptr;
    // The code of the function being read.
    UnlinkedTypes::InstructionStream code_;
    // Which opcodes the file's version admits.
    bool opcodeAllowed_[256] = {};
    bool countCodeOnly_ = false;
    bool keepLineNumbers_ = true;

    HxFixedString empty_;
    HxFixedString scriptObject_;
};

}  // namespace Internal
}  // namespace HxScript
