#pragma once
// The operands of compiled code as they stand in a file, for the code that
// checks or rewrites instructions straight from the file's bytes: which
// kinds each fixed operand of an opcode admits, how many payload bytes each
// kind takes, and the longest an instruction can be.

#include <cstdint>

#include "HxScript/HxScriptCompiledFormat.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxSystem/HxStorageIO.h"

namespace HxScript {
namespace CompiledOperands {

namespace Format = CompiledFormat;

// The most bytes one instruction can take: its opcode, five fixed operands,
// a call's count and the most call arguments, five bytes each at the most.
inline constexpr uint32_t kLongestInstruction = 1 + 5 * 5 + 5 + 5 * Format::kMaxCallArguments;

// Whether an operand's kind byte is admitted at a signature letter of a fixed
// operand; `payload` holds an Integer's bits.
inline bool KindAdmitted(char letter, uint8_t kind, uint32_t payload) {
    const bool nonNegative = static_cast<int32_t>(payload) >= 0;
    switch (letter) {
        case 'S': return kind == Format::kKindIdentifier;
        case 'I': return kind == Format::kKindInteger || kind == Format::kKindIdentifier;
        case 'F': return kind == Format::kKindFloat || kind == Format::kKindIdentifier;
        case 'u': return (kind == Format::kKindInteger && nonNegative) || kind == Format::kKindIdentifier;
        case 'L': return kind == Format::kKindInteger;
        case 'N':
        case 'Q': return kind == Format::kKindString || kind == Format::kKindIdentifier;
        case 'T': return kind == Format::kKindTypeName || kind == Format::kKindIdentifier;
        case 'A': return true;
        case '*': return kind == Format::kKindInteger && nonNegative;
        default: return false;
    }
}

// The operands of an opcode as the common case reads them: for each fixed
// operand the kind bytes it admits (a bit each), whether an Integer there
// must not be negative, and the kind that an Identifier there becomes; then
// whether a call's argument count and arguments follow. The rules are those
// of KindAdmitted, for the kinds an operand can have.
struct OpcodeShape {
    uint32_t fixed = 0;
    bool callArguments = false;
    uint16_t kinds[8] = {};
    bool nonNegative[8] = {};
    uint8_t identifierAs[8] = {};
};

struct OpcodeShapes {
    OpcodeShape shapes[Opcodes::Invalid];
    OpcodeShapes();
};
extern const OpcodeShapes kShapes;

// One operand at `at`: its kind byte, and as payload the string entry of a
// text or the bits of a number or bool. Answers the byte after it, or null
// for a kind or text entry that cannot be.
inline const uint8_t* DecodeOperand(const uint8_t* at, uint32_t textLimit, uint8_t& kind, uint32_t& payload) {
    kind = *at++;
    switch (kind) {
        case Format::kKindNone: payload = 0; return at;
        case Format::kKindIdentifier:
        case Format::kKindString:
        case Format::kKindTypeName:
            payload = HxStorageIO::GetU16(at);
            return payload < textLimit ? at + 2 : nullptr;
        case Format::kKindInteger:
        case Format::kKindFloat: payload = HxStorageIO::GetU32(at); return at + 4;
        case Format::kKindBool: payload = *at != 0 ? 1u : 0u; return at + 1;
        default: return nullptr;
    }
}

// Payload bytes of each operand kind byte; kNoKind for a kind that cannot be.
inline constexpr uint8_t kNoKind = 0xFF;
struct PayloadSizes {
    uint8_t of[256];
    constexpr PayloadSizes() : of() {
        for (uint32_t kind = 0; kind < 256; ++kind) of[kind] = kNoKind;
        of[Format::kKindNone] = 0;
        of[Format::kKindIdentifier] = of[Format::kKindString] = of[Format::kKindTypeName] = 2;
        of[Format::kKindInteger] = of[Format::kKindFloat] = 4;
        of[Format::kKindBool] = 1;
    }
};
inline constexpr PayloadSizes kPayloadSizes;
inline constexpr uint32_t kTextKinds =
    (1u << Format::kKindIdentifier) | (1u << Format::kKindString) | (1u << Format::kKindTypeName);

}  // namespace CompiledOperands
}  // namespace HxScript
