#pragma once
// The instruction set: one constant table of 48 rows (opcodes 0 to 46 and the
// end marker INVALID, 47) with each opcode's mnemonic, operand signature
// letters and the minimum compiled-file version that may contain it.

#include <cstdint>

#include "hxcore/HxFixedString.h"

namespace HxScript {

using Opcode = uint8_t;

namespace Opcodes {
inline constexpr uint32_t Noop = 0;
inline constexpr uint32_t Jump = 20;
inline constexpr uint32_t JumpT = 21;
inline constexpr uint32_t JumpF = 22;
inline constexpr uint32_t CallMethod = 23;
inline constexpr uint32_t CallParent = 24;
inline constexpr uint32_t CallStatic = 25;
inline constexpr uint32_t Invalid = 47;
inline constexpr uint32_t Count = 48;  // rows in the table, INVALID included
}  // namespace Opcodes

// The most operands an instruction may have, and the most arguments a call may have.
inline constexpr uint32_t kMaxInstructionArguments = 511;

struct OpcodeInfo {
    uint32_t opcode;
    const char* mnemonic;
    const char* signature;  // operand letters; "" for none
    uint8_t minMajor;
    uint8_t minMinor;
};

namespace Internal {
extern const OpcodeInfo kOpcodeTable[Opcodes::Count];
}

// Row of the table for opcodes 0 to 47; larger values give the INVALID row.
inline const OpcodeInfo& GetOpcodeInfo(uint32_t opcode) {
    return Internal::kOpcodeTable[opcode < Opcodes::Count ? opcode : Opcodes::Invalid];
}
// The mnemonic as an interned string.
const HxFixedString& GetMnemonic(uint32_t opcode);
// Opcode of a mnemonic, compared without regard to case; INVALID (47) when
// unknown. "INVALID" itself is not a mnemonic.
uint32_t FindOpcodeByMnemonic(const HxFixedString& mnemonic);
// True when an opcode below 47 may appear in a file of the given version.
bool IsOpcodeAllowedInVersion(uint32_t opcode, uint8_t major, uint8_t minor);
// Number of signature letters before a '*' (the whole length when none).
uint32_t GetFixedOperandCount(uint32_t opcode);
// True for the calls, whose signature ends in '*'.
bool HasVariableArguments(uint32_t opcode);
// Index of the label operand of a jump (0 for Jump, 1 for JumpT and JumpF);
// -1 for every other opcode.
int GetLabelOperandIndex(uint32_t opcode);
// The signature letter at operand position k, or 0 past the signature
// (including the variable part of a call).
char GetOperandLetter(uint32_t opcode, uint32_t k);

}  // namespace HxScript
