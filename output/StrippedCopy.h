#pragma once
// Stripping a compiled script file without building its model. The file is
// read whole and checked the way the compiled script reader checks it; then
// it is written again from its own bytes: the debug section becomes the
// single byte 0, the string table is the one the model's writer would
// collect (entries equal without regard to case as one, spelled as the pool
// holds them) and every reference of the object record is renumbered into it
// in place. The file written and every message are those of a run through
// the model: the names the model holds are made before any message, since
// a message's text is a name too.
//
// Only the common case is taken: a file of the current version whose object
// loads with no message at all, its empty state first and the static
// functions there before the member functions (as the writer lays them out).
// For anything else Prepare answers false, with nothing posted, written or
// kept, and the model does the work.

#include <cstdint>
#include <memory>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptCompiledReadStringTable.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptIStore.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"
#include "output/CompiledScriptWriter.h"

namespace CodeGen {

class StrippedCopy {
public:
    // `strings` receives the string table of the file written.
    StrippedCopy(HxScript::ErrorLogger& logger, CompiledStringTable& strings);
    ~StrippedCopy();
    StrippedCopy(const StrippedCopy&) = delete;
    StrippedCopy& operator=(const StrippedCopy&) = delete;

    // Reads the file of `objectName` through `store`, which it opens and
    // closes, and checks it. True when the copy can be written; false, with
    // nothing kept, when the model must load the file instead.
    bool Prepare(HxScript::IStore& store, const HxFixedString& objectName);
    // Writes the stripped file to an open output; false once a failure was
    // posted (one fatal message naming the field, as the model's writer).
    bool Write(IOutput& output);
    // To run before a message is posted about the output: makes the names
    // the model would hold, and answers the output's file name as the
    // model's run would show it.
    const char* BeforeMessage(IOutput& output);

private:
    // Sections and records. Each walks the file from `at_` and serves both
    // passes: checking (and noting the names met) before anything is
    // written, then renumbering in place and writing (emit_).
    bool ReadFile();
    bool ReadHeader();
    bool ReadStringTable();
    bool ReadDebugSection();
    bool ReadUserFlags();
    bool ReadObjectTable();
    bool Body();
    bool StructRecord();
    bool VariableRecord(bool member, uint32_t serial);
    bool Value(const char* message);
    bool PropertyRecord();
    bool StateRecord(uint32_t index);
    bool FunctionRecord(const char* message, bool& isStatic);
    bool CheckCode(uint32_t count);
    // One instruction at `at`, renumbered once it is checked; the byte after
    // it, or null when a check fails. `kBounded`: the file may end within
    // the longest instruction.
    template <bool kBounded>
    uint8_t* CheckInstruction(uint8_t* at);
    bool EmitCode(uint32_t count, const char* message);
    bool StateFunction();
    // A record that writing copies whole when it fits: checked (its length
    // noted), or written.
    bool Item(bool (StrippedCopy::*record)());
    bool SameSignature(uint32_t first, uint32_t second) const;
    // Spells the output's strings as the model would, interning nothing.
    bool Resolve();
    // Makes the names the model holds while writing (once): no message may
    // see a pool without them.
    void MakeHeld();
    static void MakeHeldHook(void* copy) { static_cast<StrippedCopy*>(copy)->MakeHeld(); }
    const char* ShownFileName(IOutput& output);
    bool WriteStringTable(CompiledScriptWriter& writer);
    bool WriteUserFlags(CompiledScriptWriter& writer);
    void Drop();

    // Fields: checked to lie in the file, or (emit_) written.
    bool Field(uint32_t width, const char* message);
    bool U8(uint8_t& value, const char* message);
    bool U16(uint32_t& value, const char* message);
    // A bool byte, written as 0 or 1.
    bool Bool(const char* message);
    // A flags byte of which only the bits of `keep` are written.
    bool Flags(uint8_t& value, uint8_t keep, const char* message);
    // A string reference: checked against the table, or written renumbered.
    bool Ref(uint32_t& entry, const char* message);
    // A reference numbered once every string has its index.
    bool LateRef(uint32_t& entry, const char* message);
    // A reference whose string the model keeps and the writer collects.
    bool NameRef(uint32_t& entry, const char* message);
    bool NameRef(const char* message) {
        uint32_t entry;
        return NameRef(entry, message);
    }

    // Output: a field goes into the pending run of bytes, which is appended
    // in one copy while the output's window holds it; a field that does not
    // fit goes to the store on its own, which may fail.
    bool Put(const uint8_t* at, uint32_t width, const char* message) {
        if (output_->AppendFits(pending_ + width)) {
            pending_ += width;
            return true;
        }
        return PutAlone(at, width, message);
    }
    bool PutAlone(const uint8_t* at, uint32_t width, const char* message);
    void FlushPending();

    // Names met while checking, by group (entries equal without regard to
    // case): the model makes a group's name from the entry it meets first
    // (Touch), keeps it while writing (Hold) and numbers it in the order of
    // its writer's walk (Collect).
    uint32_t GroupOf(uint32_t entry) const { return table_.GroupOf(entry); }
    void Touch(uint32_t entry);
    void Hold(uint32_t entry);
    void Collect(uint32_t entry);
    // A string the writer adds that may stand in no entry: the empty string
    // or ScriptObject, equal to the entries of `group` (kNone: none); its
    // index goes to `index`.
    void CollectMarker(uint32_t marker, uint32_t group, uint32_t& index);
    void Name(uint32_t entry);
    bool IsEmptyEntry(uint32_t entry) const { return table_.Length(entry) == 0; }
    bool EqualsRequested(uint32_t entry) const;

    HxScript::ErrorLogger& logger_;
    CompiledStringTable& strings_;
    const char* requested_ = "";

    std::unique_ptr<uint8_t[]> file_;
    uint8_t* at_ = nullptr;
    uint8_t* end_ = nullptr;
    bool emit_ = false;

    HxScript::Internal::CompiledReadStringTable table_;
    uint32_t count_ = 0;
    bool allowed_[256] = {};

    // Per group, as long as checking lasts.
    std::unique_ptr<uint32_t[]> first_;          // entry touched first
    std::unique_ptr<uint16_t[]> marks_;          // see kHeld and the name-set bits
    std::unique_ptr<uint32_t[]> inContainer_;    // serial of the struct, state or order last holding it
    std::unique_ptr<uint32_t[]> staticIn_;       // serial of the state last holding it as static
    std::unique_ptr<uint32_t[]> firstFunction_;  // offset of the member function it first named
    std::unique_ptr<uint32_t[]> outOfGroup_;     // index in the output's table, once collected
    std::unique_ptr<uint16_t[]> outOfEntry_;     // per entry: the same, once named
    uint32_t nextOut_ = 0;
    uint32_t emptyGroup_ = 0;         // the groups of "", "ScriptObject" and the object's name, or kNone
    uint32_t scriptObjectGroup_ = 0;
    uint32_t requestedGroup_ = 0;
    uint32_t emptyOut_ = 0;
    HxTArray<uint32_t> itemLengths_;  // bytes of each property and state function, in file order
    uint32_t itemIndex_ = 0;
    HxTArray<uint32_t> late_;         // offsets of the references LateRef left
    uint32_t serial_ = 0;
    HxTArray<uint32_t> touched_;      // groups in the order first touched
    HxTArray<uint32_t> collected_;    // groups (and two markers) in the writer's order
    HxTArray<uint32_t> typeNames_;    // entries of type-name initial values, collected last
    HxTArray<uint32_t> autoVars_;     // entries of auto properties' variables
    HxTArray<uint32_t> userFlags_;    // entry << 8 | bit index

    const uint8_t* strings16_[3] = {};  // the header's three strings
    uint32_t lengths16_[3] = {};
    int64_t compileTime_ = 0;
    uint32_t nameEntry_ = 0;
    uint8_t* bodyAt_ = nullptr;
    bool parentIsScriptObject_ = false;

    // What the model would hold while writing: made at once for the header
    // and the parent, the names of the table only before a message.
    HxScript::UnlinkedTypes::Object header_;  // header strings; the parent when it is ScriptObject
    HxFixedString scriptObject_{static_cast<const char*>(nullptr)};
    char scriptObjectText_[13] = {};
    HxTArray<HxFixedString> held_;
    bool madeHeld_ = false;
    // The spelling of each group the model keeps (the pool's, or that of the
    // entry met first); the output's strings in index order; its user flags
    // as index << 8 | bit.
    std::unique_ptr<const char*[]> spelled_;
    struct Spelling {
        const char* text;
        uint32_t length;
    };
    HxTArray<Spelling> spellings_;
    HxTArray<uint32_t> flags_;
    uint32_t objectNameOut_ = 0;
    const char* fileNameShown_ = nullptr;
    uint32_t scriptObjectOut_ = 0;

    IOutput* output_ = nullptr;
    CompiledScriptWriter* writer_ = nullptr;
    const uint8_t* pendingAt_ = nullptr;
    uint32_t pending_ = 0;
};

}  // namespace CodeGen
