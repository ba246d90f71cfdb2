#pragma once
// The two instruction walkers of the disassembly writer: one assigns labels
// to jump targets, the other writes one text line per instruction.

#include <cstdint>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptInstructionStream.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTScatterTable.h"
#include "output/DisassemblyText.h"

namespace CodeGen {

// Instruction index to label name.
using LabelMap = HxTScatterTable<uint32_t, HxFixedString>;

// Creates the next label name, "_label%u". The counter is process-wide and
// never reset, so labels are unique over everything written by one run.
HxFixedString CreateLabelName();
// The number the next label will get.
uint32_t PeekNextLabelNumber();

// First walk over a function's code: every jump target gets a label (one per
// target, shared by all jumps to it) and every jump learns the label of its target.
class ConstructJumpInfoFunctor : public HxScript::UnlinkedTypes::InstructionStream::InstructionFunctor {
public:
    ConstructJumpInfoFunctor(LabelMap& labelsByTarget, LabelMap& labelByJump);

    bool BeginInstruction(uint32_t opcode, uint16_t operandCount) override;
    bool ProcessArgument(const HxScript::UnlinkedTypes::Value& operand) override;

    uint32_t GetInstructionCount() const { return instructionsBegun_; }

private:
    LabelMap& labelsByTarget_;
    LabelMap& labelByJump_;
    uint32_t instructionsBegun_ = 0;
    bool isJump_ = false;
    uint32_t labelOperand_ = 0;
    uint32_t operandIndex_ = 0;
};

// Second walk: writes each instruction as a line at `depth` tabs, preceded by
// the label line of a jump target, with its operands, padded to column 80
// (a tab counts 4 columns) and ended by the source-line comment.
class WriteAssemblyFunctor : public HxScript::UnlinkedTypes::InstructionStream::InstructionFunctor {
public:
    // `lineNumbers` may be null (no debug information).
    WriteAssemblyFunctor(const LabelMap& labelsByTarget, const LabelMap& labelByJump,
                         const HxTArray<uint32_t>* lineNumbers, uint32_t depth, HxScript::ErrorLogger* logger,
                         IOutput& output);

    bool BeginInstruction(uint32_t opcode, uint16_t operandCount) override;
    bool ProcessArgument(const HxScript::UnlinkedTypes::Value& operand) override;

    bool Succeeded() const { return success_; }

private:
    bool Write(const TextBuffer& text);
    void FinishLine();

    const LabelMap& labelsByTarget_;
    const LabelMap& labelByJump_;
    const HxTArray<uint32_t>* lineNumbers_;
    uint32_t depth_;
    HxScript::ErrorLogger* logger_;
    IOutput& output_;
    bool success_ = true;
    uint32_t instructionsBegun_ = 0;
    uint32_t index_ = 0;
    uint32_t opcode_ = 0;
    uint16_t operandCount_ = 0;
    uint32_t operandIndex_ = 0;
    uint32_t column_ = 0;
    TextBuffer indent_;
    TextBuffer sourceLine_;
    TextBuffer scratch_;
};

}  // namespace CodeGen
