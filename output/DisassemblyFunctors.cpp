#include "output/DisassemblyFunctors.h"

#include <cstring>

#include "HxScript/HxScriptOpcodes.h"

namespace CodeGen {

namespace {

uint32_t nextLabelNumber = 0;

// Columns of the source-line comment; a tab counts as 4 columns.
constexpr uint32_t kCommentColumn = 80;
constexpr uint32_t kTabWidth = 4;

}  // namespace

HxFixedString CreateLabelName() {
    TextBuffer name;
    name.Append("_label");
    name.AppendUnsigned(nextLabelNumber++);
    return HxFixedString(name.CStr(), name.Size());
}

uint32_t PeekNextLabelNumber() { return nextLabelNumber; }

// ---------------------------------------------------------------------------

ConstructJumpInfoFunctor::ConstructJumpInfoFunctor(LabelMap& labelsByTarget, LabelMap& labelByJump)
    : labelsByTarget_(labelsByTarget), labelByJump_(labelByJump) {}

bool ConstructJumpInfoFunctor::BeginInstruction(uint32_t opcode, uint16_t) {
    ++instructionsBegun_;
    int labelOperand = HxScript::GetLabelOperandIndex(opcode);
    isJump_ = labelOperand >= 0;
    labelOperand_ = isJump_ ? static_cast<uint32_t>(labelOperand) : 0;
    operandIndex_ = 0;
    return true;
}

bool ConstructJumpInfoFunctor::ProcessArgument(const HxScript::UnlinkedTypes::Value& operand) {
    uint32_t k = operandIndex_++;
    if (!isJump_ || k != labelOperand_) return true;
    uint32_t jump = instructionsBegun_ - 1;
    // The distance is signed; the target index wraps like the unsigned index it is.
    uint32_t target = static_cast<uint32_t>(static_cast<int64_t>(jump) + operand.GetInteger());
    HxFixedString label;
    if (const HxFixedString* existing = labelsByTarget_.Find(target)) {
        label = *existing;
    } else {
        label = CreateLabelName();
        bool inserted = labelsByTarget_.Insert(target, label);
        HX_CHECK(inserted, "Out of memory");
    }
    bool inserted = labelByJump_.Insert(jump, label);
    HX_CHECK(inserted, "Out of memory");
    return true;
}

// ---------------------------------------------------------------------------

WriteAssemblyFunctor::WriteAssemblyFunctor(const LabelMap& labelsByTarget, const LabelMap& labelByJump,
                                           const HxTArray<uint32_t>* lineNumbers, uint32_t depth,
                                           HxScript::ErrorLogger* logger, IOutput& output)
    : labelsByTarget_(labelsByTarget),
      labelByJump_(labelByJump),
      lineNumbers_(lineNumbers),
      depth_(depth),
      logger_(logger),
      output_(output) {
    indent_.AppendRepeated('\t', depth);
}

bool WriteAssemblyFunctor::Write(const TextBuffer& text) {
    if (success_ && !WriteText(output_, text.CStr(), text.Size())) success_ = false;
    return success_;
}

bool WriteAssemblyFunctor::BeginInstruction(uint32_t opcode, uint16_t operandCount) {
    if (!success_) return false;
    index_ = instructionsBegun_++;
    opcode_ = opcode;
    operandCount_ = operandCount;
    operandIndex_ = 0;

    if (const HxFixedString* label = labelsByTarget_.Find(index_)) {
        scratch_.Clear();
        scratch_.Append(indent_.CStr(), indent_.Size());
        scratch_.Append(*label);
        scratch_.AppendChar(':');
        if (!WriteLine(output_, scratch_)) {
            logger_->PostFileError(HxScript::TextMessage("Error writing label"), output_.GetFileName().text(),
                                   HxScript::Severity::Fatal);
            success_ = false;
            return false;
        }
    }

    sourceLine_.Clear();
    if (lineNumbers_ == nullptr || lineNumbers_->Empty()) {
        sourceLine_.Append("??");
    } else if (index_ < lineNumbers_->Size()) {
        sourceLine_.AppendUnsigned((*lineNumbers_)[index_]);
    } else {
        sourceLine_.AppendF("%u - past end of debug array", lineNumbers_->Back());
    }

    const char* mnemonic = HxScript::GetOpcodeInfo(opcode).mnemonic;
    scratch_.Clear();
    scratch_.Append(indent_.CStr(), indent_.Size());
    scratch_.AppendChar('\t');
    scratch_.Append(mnemonic);
    if (!Write(scratch_)) return false;
    column_ = kTabWidth * (depth_ + 1) + static_cast<uint32_t>(std::strlen(mnemonic));

    if (operandCount == 0) FinishLine();
    return success_;
}

bool WriteAssemblyFunctor::ProcessArgument(const HxScript::UnlinkedTypes::Value& operand) {
    using HxScript::UnlinkedTypes::ValueKind;
    if (!success_) return false;
    uint32_t k = operandIndex_++;

    scratch_.Clear();
    scratch_.AppendChar(' ');
    const HxFixedString* label = nullptr;
    if (HxScript::GetLabelOperandIndex(opcode_) == static_cast<int>(k)) label = labelByJump_.Find(index_);
    if (label != nullptr) {
        scratch_.Append(*label);
    } else if (HxScript::GetOperandLetter(opcode_, k) == 'N' &&
               (operand.GetKind() == ValueKind::Identifier || operand.GetKind() == ValueKind::String)) {
        // Function, property and type names are written bare, also when the
        // compiled file held them as strings.
        scratch_.Append(operand.GetText());
    } else {
        FormatValue(operand, scratch_);
    }
    if (!Write(scratch_)) return false;
    column_ += scratch_.Size();

    if (operandIndex_ == operandCount_) FinishLine();
    return success_;
}

void WriteAssemblyFunctor::FinishLine() {
    scratch_.Clear();
    if (column_ < kCommentColumn) {
        scratch_.AppendRepeated(' ', kCommentColumn - column_);
    } else {
        scratch_.AppendChar(' ');
    }
    scratch_.Append(" ;@line ");
    scratch_.Append(sourceLine_.CStr(), sourceLine_.Size());
    if (!WriteLine(output_, scratch_)) success_ = false;
}

}  // namespace CodeGen
