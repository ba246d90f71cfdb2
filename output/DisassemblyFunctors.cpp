#include "output/DisassemblyFunctors.h"

#include <cstring>

#include "HxScript/HxScriptOpcodes.h"

namespace CodeGen {

using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::ValueKind;

namespace {

uint32_t nextLabelNumber = 0;

// Columns of the source-line comment; a tab counts as 4 columns.
constexpr uint32_t kCommentColumn = 80;
constexpr uint32_t kTabWidth = 4;

// What the line writer needs of each opcode, looked up once.
struct OpcodeShapes {
    const char* mnemonic[256];
    uint32_t mnemonicLength[256];
    int labelOperand[256];
    char letters[256][8];  // signature letters of the fixed operands, 0 beyond
    OpcodeShapes() {
        for (uint32_t op = 0; op < 256; ++op) {
            const HxScript::OpcodeInfo& info = HxScript::GetOpcodeInfo(op);
            mnemonic[op] = info.mnemonic;
            mnemonicLength[op] = static_cast<uint32_t>(std::strlen(info.mnemonic));
            labelOperand[op] = HxScript::GetLabelOperandIndex(op);
            for (uint32_t k = 0; k < 8; ++k) letters[op][k] = HxScript::GetOperandLetter(op, k);
        }
    }
    char Letter(uint32_t opcode, uint32_t k) const { return k < 8 ? letters[opcode][k] : 0; }
};

const OpcodeShapes& Shapes() {
    static const OpcodeShapes shapes;
    return shapes;
}

}  // namespace

uint32_t PeekNextLabelNumber() { return nextLabelNumber; }

HxFixedString CreateLabelName() {
    TextBuffer name;
    name.Append("_label");
    name.AppendUnsigned(nextLabelNumber++);
    return HxFixedString(name.CStr(), name.Size());
}

// ---------------------------------------------------------------------------
// Labels

uint32_t CodeLabels::Create() {
    TextBuffer name;
    name.Append("_label");
    name.AppendUnsigned(nextLabelNumber++);
    // A label shows as the pool spells it: a name of the script that equals
    // it without regard to case gives it its spelling, as interning would.
    const char* spelling = HxFixedStringFindSpelling(name.CStr(), name.Size());
    const char* text = spelling != nullptr ? spelling : name.CStr();
    for (uint32_t i = 0; i < name.Size(); ++i) texts_.Add(text[i]);
    texts_.Add('\0');
    textAt_.Add(texts_.Size());
    return textAt_.Size() - 2;
}

void CodeLabels::Build(const InstructionStream& code) {
    const uint32_t count = code.GetInstructionCount();
    byTarget_.Clear();
    byJump_.Clear();
    HX_CHECK(byTarget_.Resize(count + 1) && byJump_.Resize(count), "Out of memory");
    std::memset(byTarget_.Data(), 0xFF, sizeof(uint32_t) * (count + 1));
    if (count != 0) std::memset(byJump_.Data(), 0xFF, sizeof(uint32_t) * count);
    outside_.Clear();
    texts_.Clear();
    textAt_.Clear();
    textAt_.Add(0);

    const OpcodeShapes& shapes = Shapes();
    const uint32_t* records = code.Records();
    const uint8_t* kinds = code.Kinds();
    const uint32_t* payloads = code.Payloads();
    uint32_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t opcode = InstructionStream::OpcodeOf(records[i]);
        const uint32_t operands = InstructionStream::CountOf(records[i]);
        const int labelOperand = shapes.labelOperand[opcode];
        if (labelOperand >= 0 && static_cast<uint32_t>(labelOperand) < operands) {
            const uint32_t k = at + static_cast<uint32_t>(labelOperand);
            const int32_t distance =
                kinds[k] == uint8_t(ValueKind::Integer) ? static_cast<int32_t>(payloads[k]) : 0;
            // The distance is signed; the target index wraps like the unsigned index it is.
            const uint32_t target = static_cast<uint32_t>(static_cast<int64_t>(i) + distance);
            uint32_t label;
            if (target <= count) {
                if (byTarget_[target] == kNone) byTarget_[target] = Create();
                label = byTarget_[target];
            } else if (const uint32_t* known = outside_.Find(target)) {
                label = *known;
            } else {
                label = Create();
                HX_CHECK(outside_.Insert(target, label), "Out of memory");
            }
            byJump_[i] = label;
        }
        at += operands;
    }
}

// ---------------------------------------------------------------------------
// Lines

void CodeTextWriter::LookUpTexts(const HxScript::UnlinkedTypes::CodeNames& names, HxTArray<TextRef>& texts) {
    texts.Clear();
    HX_CHECK(texts.Reserve(names.Size()), "Out of memory");
    for (uint32_t i = 0; i < names.Size(); ++i) {
        const char* text = names.At(i).c_str();
        texts.Add(TextRef{text != nullptr ? text : "", text != nullptr ? names.At(i).length() : 0u});
    }
}

CodeTextWriter::CodeTextWriter(const CodeLabels& labels, const HxTArray<uint16_t>* lineNumbers, uint32_t depth,
                               HxScript::ErrorLogger* logger, IOutput& output,
                               const HxScript::UnlinkedTypes::CodeNames* names, const TextRef* texts)
    : labels_(labels),
      lineNumbers_(lineNumbers),
      depth_(depth),
      logger_(logger),
      output_(output),
      names_(texts != nullptr ? names : nullptr),
      texts_(texts) {}

void CodeTextWriter::AppendOperand(const InstructionStream& code, uint32_t at, char letter) {
    const uint8_t kind = code.Kinds()[at];
    const uint32_t payload = code.Payloads()[at];
    switch (static_cast<ValueKind>(kind)) {
        case ValueKind::None: piece_.Append("None", 4); break;
        case ValueKind::Identifier:
        case ValueKind::TypeName: {
            const TextRef text = TextOf(code, payload);
            piece_.Append(text.text, text.length);
            break;
        }
        case ValueKind::String: {
            // Function, property and type names are written bare, also when
            // the compiled file held them as strings.
            const TextRef text = TextOf(code, payload);
            if (letter == 'N')
                piece_.Append(text.text, text.length);
            else
                EscapeString(text.text, text.length, piece_);
            break;
        }
        case ValueKind::Integer: piece_.AppendSigned(static_cast<int32_t>(payload)); break;
        case ValueKind::Float: {
            float value;
            std::memcpy(&value, &payload, sizeof value);
            piece_.AppendFloat(value);
            break;
        }
        case ValueKind::Bool: piece_.Append(payload != 0 ? "True" : "False"); break;
        // Resolved variable references belong to linked code and never reach
        // this writer; their index is shown so that such a model is still readable.
        case ValueKind::MemberVariableIndex:
        case ValueKind::LocalVariableIndex: piece_.AppendUnsigned(payload); break;
    }
}

bool CodeTextWriter::Write(const InstructionStream& code) {
    const OpcodeShapes& shapes = Shapes();
    const uint32_t count = code.GetInstructionCount();
    const uint32_t* records = code.Records();
    const bool noLines = lineNumbers_ == nullptr || lineNumbers_->Empty();
    uint32_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t opcode = InstructionStream::OpcodeOf(records[i]);
        const uint32_t operands = InstructionStream::CountOf(records[i]);
        // The pieces of the lines of one instruction, each one write: the
        // label line, the mnemonic, each operand, the line's end.
        piece_.Clear();
        ends_.Clear();

        const uint32_t label = labels_.AtTarget(i);
        const bool labelled = label != CodeLabels::kNone;
        if (labelled) {
            piece_.AppendRepeated('\t', depth_);
            piece_.Append(labels_.Text(label), labels_.Length(label));
            piece_.Append(":\n", 2);
            ends_.Add(piece_.Size());
        }

        sourceLine_.Clear();
        if (noLines) {
            sourceLine_.Append("??", 2);
        } else if (i < lineNumbers_->Size()) {
            sourceLine_.AppendUnsigned((*lineNumbers_)[i]);
        } else {
            sourceLine_.AppendUnsigned(lineNumbers_->Back());
            sourceLine_.Append(" - past end of debug array");
        }

        piece_.AppendRepeated('\t', depth_ + 1);
        piece_.Append(shapes.mnemonic[opcode], shapes.mnemonicLength[opcode]);
        ends_.Add(piece_.Size());
        // Tabs count 4 columns.
        uint32_t column = kTabWidth * (depth_ + 1) + shapes.mnemonicLength[opcode];

        const int labelOperand = shapes.labelOperand[opcode];
        for (uint32_t k = 0; k < operands; ++k, ++at) {
            const uint32_t start = piece_.Size();
            piece_.AppendChar(' ');
            const uint32_t target = static_cast<int>(k) == labelOperand ? labels_.OfJump(i) : CodeLabels::kNone;
            if (target != CodeLabels::kNone)
                piece_.Append(labels_.Text(target), labels_.Length(target));
            else
                AppendOperand(code, at, shapes.Letter(opcode, k));
            ends_.Add(piece_.Size());
            column += piece_.Size() - start;
        }

        if (column < kCommentColumn)
            piece_.AppendRepeated(' ', kCommentColumn - column);
        else
            piece_.AppendChar(' ');
        piece_.Append(" ;@line ", 8);
        piece_.Append(sourceLine_.CStr(), sourceLine_.Size());
        piece_.AppendChar('\n');
        ends_.Add(piece_.Size());

        // When the output's window holds all the pieces they go in one copy,
        // as each of them would have fitted in its turn; otherwise each is
        // one write, and the first that fails ends the walk.
        if (output_.AppendFits(piece_.Size())) {
            output_.Append(piece_.CStr(), piece_.Size());
            continue;
        }
        uint32_t from = 0;
        for (uint32_t p = 0; p < ends_.Size(); ++p) {
            if (!WriteText(output_, piece_.CStr() + from, ends_[p] - from)) {
                if (p == 0 && labelled)
                    logger_->PostFileError(HxScript::TextMessage("Error writing label"),
                                           output_.GetFileName().text(), HxScript::Severity::Fatal);
                return false;
            }
            from = ends_[p];
        }
    }
    return true;
}

}  // namespace CodeGen
