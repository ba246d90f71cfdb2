#pragma once
// Loader of assembly text files: reads one ".cas" file line by line and
// fills one object model, checking the grammar and the model's rules as it
// goes. Every problem is posted as "file(line) : severity: text"; reading
// goes on after a bad line and stops only at the end of the file.

#include <cstdint>

#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptILoader.h"
#include "HxScript/HxScriptInstructionStream.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "HxScript/HxScriptValue.h"
#include "HxSystem/HxTSmartPointer.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTOrderedMap.h"
#include "tool/AssemblyLexer.h"

namespace Assembler {

// One row of a directive table: the directive's name in upper case with its
// dot, and one letter per argument (see CheckDirectiveArguments).
struct DirectiveSpec {
    HxFixedString name;
    HxFixedStringCS kinds;
    const char* text;  // the name as printed in messages
    const char* letters;  // the argument letters, as `kinds` holds them
    uint32_t length;   // of the name
    uint64_t lowered[3];  // the name in lower case, zero after its end
};

class AssemblyLoader : public HxScript::ILoader {
public:
    explicit AssemblyLoader(HxScript::ErrorLogger* logger);
    ~AssemblyLoader() override;

    HxScript::ILoader* Clone() const override;
    void SetStore(const HxTSmartPointer<HxScript::IStore>& store) override;
    bool Load(const char* objectName, HxScript::UnlinkedTypes::Object& object) override;

private:
    using Object = HxScript::UnlinkedTypes::Object;
    using Function = HxScript::UnlinkedTypes::Function;
    using FunctionDebugInfo = HxScript::UnlinkedTypes::FunctionDebugInfo;
    using FunctionMap = HxTOrderedMap<HxFixedString, Function>;
    using Value = HxScript::UnlinkedTypes::Value;
    using InstructionStream = HxScript::UnlinkedTypes::InstructionStream;

    enum class FunctionMode { State, Property };

    // Posting, always with the file name and the current line.
    template <typename... Args>
    void Post(HxScript::Severity severity, const char* format, Args... args) {
        logger_->PostFileLineErrorF(store_->GetFileName().text(), currentLine_, severity, format, args...);
    }
    void PostText(const char* text);

    // Directive reading.
    bool ReadDirective(const DirectiveSpec* const* rows, uint32_t count, uint32_t& matched);
    bool ReadEither(const DirectiveSpec& first, const DirectiveSpec& second, uint32_t& matched);
    bool ExpectDirective(const DirectiveSpec& row);
    bool CheckDirectiveArguments(const DirectiveSpec& row);
    bool CheckDirectiveArgumentsFully(const DirectiveSpec& row);

    // Arguments of the directive just read (1 is the first after the name).
    uint32_t ArgCount() const { return tokens_.Size() - 1; }
    TokenView ArgView(uint32_t i) const { return tokens_[i]; }
    HxFixedString Arg(uint32_t i) const { return Name(tokens_[i]); }
    HxFixedString OptionalArg(uint32_t i) const { return i < tokens_.Size() ? Arg(i) : HxFixedString(); }

    // Header, flags and object tables.
    bool ReadInfoBlock(const HxFixedString& objectName, Object& object);
    bool ReadUserFlagsRef(Object& object);
    bool ReadObjectTable(const HxFixedString& objectName, Object& object);
    bool ReadObjectBody(Object& object, const HxFixedString& name, uint32_t argCount, const HxFixedString& second,
                        const HxFixedString& third);
    bool ReadStruct(HxFixedString& name, HxScript::UnlinkedTypes::Struct& record,
                    HxScript::UnlinkedTypes::StructOrder& order);
    bool ReadVariable(const DirectiveSpec& endRow, bool structMode, HxFixedString& name,
                      HxScript::UnlinkedTypes::Variable& variable, Value& initialValue, HxFixedString& docString);
    bool ReadProperty(Object& object, HxFixedString& name, HxScript::UnlinkedTypes::Property& property);
    bool ReadPropertyGroup(Object& object, HxTOrderedMap<HxFixedString, bool>& grouped,
                           HxScript::UnlinkedTypes::PropertyGroup& group);
    void CheckUngroupedProperties(Object& object, const HxTOrderedMap<HxFixedString, bool>& grouped);

    // States, functions and code.
    bool ReadStateTable(Object& object, bool& emptyStateInstalled);
    bool ReadState(Object& object, HxFixedString& stateName, FunctionMap& functions, FunctionMap& statics);
    bool ReadFunction(FunctionMode mode, HxFixedString& name, Function& function, FunctionDebugInfo& record);
    // Appends the next instruction (a Noop when the line is in error) with
    // its source line; false at the end of the code.
    bool ReadInstruction(InstructionStream& stream, int32_t& sourceLine);
    uint32_t LookupMnemonic(TokenView token);
    // Parses one operand token of an instruction into line_.
    void ParseOperand(TokenView token, uint32_t k, bool isLabel);
    // The bits of the float a token of up to 16 bytes (followed by readable
    // bytes) was last read as, when it was read as one: code repeats its
    // constants, and a token always reads the same way.
    struct FloatSlot {
        uint64_t first;
        uint64_t second;
        uint32_t length;  // 0 while the slot is empty
        uint32_t bits;
    };
    static constexpr uint32_t kFloatBits = 8;
    FloatSlot& FloatSlotOf(TokenView token, uint64_t& first, uint64_t& second);
    bool KnownFloat(TokenView token, uint32_t& bits);
    // Looks up or adds the entry of a text in the object's code names and
    // counts one more use of it.
    uint32_t UseCodeName(const char* text, uint32_t length, uint32_t hash);
    // The same for a text followed by at least 8 readable bytes.
    uint32_t UsePaddedCodeName(const char* text, uint32_t length);
    uint32_t UseCodeName(const HxFixedString& name);
    // The same for the text of a quoted token, its escapes resolved.
    uint32_t UseStringCodeName(TokenView token);
    void ForgetCodeNames();
    // Whether the code names still use an entry this reader made (each was
    // used when it was made): without a look at the entry while none has
    // lost its last user.
    bool InUse(uint32_t entry) const { return !codeNames_->AnyReleased() || codeNames_->Uses(entry) != 0; }
    void CheckInstructionArguments(uint32_t opcode, HxTArray<char>& errorText);
    // True when CheckInstructionArguments would find nothing wrong.
    bool InstructionArgumentsFit(uint32_t opcode) const;
    void ResolveJumpLabels(const HxFixedString& functionName, InstructionStream& stream, FunctionDebugInfo& record);
    // Takes the record's contents.
    void AddFunctionDebugInfo(Object& object, FunctionDebugInfo& record);
    void CheckStateSignatures(Object& object);

    HxScript::ErrorLogger* logger_;
    HxTSmartPointer<HxScript::IStore> store_;
    uint32_t currentLine_ = 0;

    // The operands of the instruction line being read: kind, payload (a
    // code name entry for a text, the bits of a number), and for the label
    // operand of a jump its name, which stays out of the code names until
    // the label is resolved.
    struct LineOperand {
        uint8_t kind;
        uint32_t payload;
    };
    LineList<LineOperand> line_;
    HxFixedString lineLabel_;
    uint32_t lineLabelAt_ = kHxInvalidIndex;  // position of the label operand in line_
    // The jumps of the function being read: where each label operand sits
    // and the label it names.
    struct PendingLabel {
        uint32_t instruction;
        uint32_t operand;
        HxFixedString name;
    };
    HxTArray<PendingLabel> pendingLabels_;
    // The source line of each instruction of the function being read.
    HxTArray<uint32_t> sourceLines_;
    // The names of a line in error, held until the next instruction line is
    // parsed, as long as its operands would have lived.
    HxTArray<HxFixedString> heldFailed_;

    // The object's code names by text without regard to case: open
    // addressing over (hash, entry), eight bytes a slot so that the table
    // stays small; the text is the entry's own, looked at on an equal hash
    // (the entry is looked at then anyway, to count the use). A slot whose
    // entry has died is free for reuse.
    struct NameSlot {
        uint32_t hash;
        uint32_t entry;
    };
    HxScript::UnlinkedTypes::CodeNames* codeNames_ = nullptr;
    InstructionStream code_;  // the code of the function being read
    HxTArray<NameSlot> nameSlots_;
    uint32_t nameSlotsUsed_ = 0;
    uint32_t firstNameSlots_ = 64;  // the size of the table when it is made
    // The entries of recently used spellings of up to 8 bytes, exactly as
    // written, by a hash of their word: a name written again the same way
    // finds its live entry without the case-blind hash and probing. Nearly
    // every name code repeats is this short, and a slot of one word takes
    // sixteen bytes, so the table holds many of them in little room.
    static constexpr uint32_t kSpellingLength = 8;
    struct SpellingSlot {
        uint64_t word;
        uint32_t lengthAfter;  // the length plus one; 0 while the slot is empty
        uint32_t entry;
    };
    // 2^11 slots for a text of 1 MiB or more, 2^8 for a smaller one, which
    // has few names and need not touch the room of many.
    uint32_t spellingShift_ = 64 - 8;  // 64 less the bits of a slot's number
    HxTArray<SpellingSlot> spellings_;
    uint32_t UseCodeNameByHash(const char* text, uint32_t length);
    // The slot of a spelling of up to 8 bytes (followed by at least 8
    // readable bytes), and the word it is compared by.
    const SpellingSlot& SpellingSlotOf(const char* text, uint32_t length, uint64_t& word) const;
    // A token (followed by readable bytes) as a pool name: the handle of the
    // live code name last used with this exact spelling when there is one
    // (interning would answer that very entry), otherwise interned.
    HxFixedString Name(TokenView token) const;
    HxTArray<char> unescaped_;

    // Scratch kept across lines and functions so that reading allocates
    // only while the buffers grow.
    LineReader reader_;
    TokenList tokens_;
    HxTArray<char> messageText_;
    // The jump labels of the function being read, by pool entry: open
    // addressing over (entry, instruction); a slot of an earlier function
    // counts as free. The handles keep the names alive until the next
    // function, as the labels' own handles did.
    struct LabelSlot {
        const void* entry;
        uint32_t target;
        uint32_t generation;
    };
    HxTArray<LabelSlot> labelSlots_;
    HxTArray<HxFixedString> labelNames_;
    uint32_t labelGeneration_ = 1;
    // False when the label is defined already.
    bool AddLabel(const HxFixedString& name, uint32_t target);
    const uint32_t* FindLabel(const HxFixedString& name) const;
    void ClearLabels();

    // The object name as given to Load, for the messages that quote it.
    const char* objectNameText_ = "";
    // Function debug records by function name: the newest record's position,
    // and for each record the position of the previous one of the same name.
    // Open addressing over (hash of the name's pool entry, position), eight
    // bytes a slot; a slot is the name's when the record at its position
    // holds the name, which it does as long as the slot is in use.
    struct DebugSlot {
        uint32_t hash;
        uint32_t position;  // kHxInvalidIndex for a free slot
    };
    HxTArray<DebugSlot> debugIndex_;
    uint32_t debugIndexUsed_ = 0;
    HxTArray<uint32_t> debugChain_;
    // The slot of a name among the records: where it is, or the free slot
    // where it would go.
    DebugSlot& DebugSlotOf(const HxFixedString& name, const HxTArray<FunctionDebugInfo>& records);
    void ClearDebugIndex();

    // The opcodes of recently seen mnemonic spellings, so that a code line
    // needs no string interning to find its opcode.
    struct MnemonicSlot {
        uint64_t words[3] = {};  // the spelling, zero after its end
        uint32_t length = kHxInvalidIndex;
        uint32_t opcode = 0;
    };
    MnemonicSlot mnemonicCache_[128];
    // The position of the label operand of each opcode, -1 for none.
    int8_t labelOperands_[HxScript::Opcodes::Invalid] = {};
    // What each opcode takes, for the check of a line that is right: the
    // operand kinds each of its first letters accepts (bit k for kind k,
    // bit 15 for an integer that is not negative), how many operands it
    // needs and whether more may follow. `simple` is false for a signature
    // that only the full check reads.
    struct OperandRules {
        uint16_t accepts[8];
        uint8_t needed;
        bool more;
        bool simple;
    };
    OperandRules operandRules_[HxScript::Opcodes::Invalid] = {};
    HxTArray<FloatSlot> floats_;  // made with the first float read
};

}  // namespace Assembler
