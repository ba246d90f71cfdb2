#pragma once
// The code part of the disassembly: labels for jump targets and one text
// line per instruction.

#include <cstdint>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptInstructionStream.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTScatterTable.h"
#include "output/DisassemblyText.h"

namespace CodeGen {

// The number the next label will get. Labels are "_label%u" with a
// process-wide counter that is never reset, so they are unique over
// everything written by one run.
uint32_t PeekNextLabelNumber();
// Takes the next label number and gives its name as the pool spells it.
HxFixedString CreateLabelName();

// The labels of one function's code: every jump target gets one (shared by
// all jumps to it), numbered in the order of the jumps, and every jump knows
// the label of its target. All are made before the first line is written,
// so a backward jump finds its label already placed.
class CodeLabels {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    void Build(const HxScript::UnlinkedTypes::InstructionStream& code);
    // Label (position in creation order) of the instruction at `index`
    // (the instruction count stands for the end of the code), or kNone.
    uint32_t AtTarget(uint32_t index) const { return byTarget_[index]; }
    // Label that the jump at `index` leads to, or kNone.
    uint32_t OfJump(uint32_t index) const { return byJump_[index]; }
    // The label's text as the string pool shows it.
    const char* Text(uint32_t label) const { return texts_.Data() + textAt_[label]; }
    uint32_t Length(uint32_t label) const { return textAt_[label + 1] - textAt_[label] - 1; }

private:
    uint32_t Create();

    HxTArray<uint32_t> byTarget_;  // instruction count + 1 entries
    HxTArray<uint32_t> byJump_;
    HxTScatterTable<uint32_t, uint32_t> outside_;  // targets beyond the code
    HxTArray<char> texts_;                         // every label's text and a zero
    HxTArray<uint32_t> textAt_;                    // where each text starts, and the end
};

// Writes each instruction of a function as a line at `depth` tabs, preceded
// by the label line of a jump target, with its operands, padded to column 80
// (a tab counts 4 columns) and ended by the source-line comment. Every piece
// (label line, mnemonic, each operand, line end) is one write. The first
// failed write ends the walk; a failed label line is reported here.
class CodeTextWriter {
public:
    // The text of each entry of a code names table, looked up once.
    struct TextRef {
        const char* text;
        uint32_t length;
    };
    static void LookUpTexts(const HxScript::UnlinkedTypes::CodeNames& names, HxTArray<TextRef>& texts);

    // `lineNumbers` may be null (no debug information). `texts` holds the
    // texts of `names` (LookUpTexts); code over another table spells its
    // texts through it.
    CodeTextWriter(const CodeLabels& labels, const HxTArray<uint16_t>* lineNumbers, uint32_t depth,
                   HxScript::ErrorLogger* logger, IOutput& output,
                   const HxScript::UnlinkedTypes::CodeNames* names = nullptr, const TextRef* texts = nullptr);

    // False when a write failed.
    bool Write(const HxScript::UnlinkedTypes::InstructionStream& code);

private:
    bool Put(const TextBuffer& text) { return WriteText(output_, text.CStr(), text.Size()); }
    void AppendOperand(const HxScript::UnlinkedTypes::InstructionStream& code, uint32_t at, char letter);
    TextRef TextOf(const HxScript::UnlinkedTypes::InstructionStream& code, uint32_t payload) const {
        if (code.Names() == names_) return texts_[payload];
        const HxFixedString& name = code.TextOf(payload);
        const char* text = name.c_str();
        return TextRef{text != nullptr ? text : "", text != nullptr ? name.length() : 0u};
    }

    const CodeLabels& labels_;
    const HxTArray<uint16_t>* lineNumbers_;
    uint32_t depth_;
    HxScript::ErrorLogger* logger_;
    IOutput& output_;
    const HxScript::UnlinkedTypes::CodeNames* names_;
    const TextRef* texts_;
    TextBuffer piece_;         // the pieces of one instruction's lines
    HxTArray<uint32_t> ends_;  // where each piece ends in piece_
    TextBuffer sourceLine_;
};

}  // namespace CodeGen
