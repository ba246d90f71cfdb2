#include "HxScript/HxScriptCompiledOperands.h"

namespace HxScript {
namespace CompiledOperands {

namespace {
constexpr uint8_t kValidKinds[] = {Format::kKindNone,    Format::kKindIdentifier, Format::kKindString,
                                   Format::kKindInteger, Format::kKindFloat,      Format::kKindBool,
                                   Format::kKindTypeName};
}  // namespace

OpcodeShapes::OpcodeShapes() {
    for (uint32_t opcode = 0; opcode < Opcodes::Invalid; ++opcode) {
        const char* signature = GetOpcodeInfo(opcode).signature;
        OpcodeShape& shape = shapes[opcode];
        for (uint32_t p = 0; signature[p] != 0 && p < 8; ++p) {
            const char letter = signature[p];
            if (letter == '*') {
                shape.callArguments = true;
                break;
            }
            for (uint8_t kind : kValidKinds)
                if (KindAdmitted(letter, kind, 0)) shape.kinds[p] |= uint16_t(1u << kind);
            shape.nonNegative[p] = letter == 'u';
            shape.identifierAs[p] = letter == 'N'   ? Format::kKindString
                                    : letter == 'T' ? Format::kKindTypeName
                                                    : Format::kKindIdentifier;
            shape.fixed = p + 1;
        }
    }
}

const OpcodeShapes kShapes;

}  // namespace CompiledOperands
}  // namespace HxScript
