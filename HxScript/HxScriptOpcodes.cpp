#include "HxScript/HxScriptOpcodes.h"

#include "hxcore/HxTScatterTable.h"

namespace HxScript {

// Indexed by opcode number: row i describes opcode i.
const OpcodeInfo Internal::kOpcodeTable[Opcodes::Count] = {
    {0, "Noop", "", 0, 6},
    {1, "IAdd", "SII", 0, 6},
    {2, "FAdd", "SFF", 0, 6},
    {3, "ISubtract", "SII", 0, 6},
    {4, "FSubtract", "SFF", 0, 6},
    {5, "IMultiply", "SII", 0, 6},
    {6, "FMultiply", "SFF", 0, 6},
    {7, "IDivide", "SII", 0, 6},
    {8, "FDivide", "SFF", 0, 6},
    {9, "IMod", "SII", 0, 6},
    {10, "Not", "SA", 0, 6},
    {11, "INegate", "SI", 0, 6},
    {12, "FNegate", "SF", 0, 6},
    {13, "Assign", "SA", 0, 6},
    {14, "Cast", "SA", 0, 6},
    {15, "CompareEQ", "SAA", 0, 6},
    {16, "CompareLT", "SAA", 0, 6},
    {17, "CompareLTE", "SAA", 0, 6},
    {18, "CompareGT", "SAA", 0, 6},
    {19, "CompareGTE", "SAA", 0, 6},
    {20, "Jump", "L", 0, 6},
    {21, "JumpT", "AL", 0, 6},
    {22, "JumpF", "AL", 0, 6},
    {23, "CallMethod", "NSS*", 0, 6},
    {24, "CallParent", "NS*", 0, 6},
    {25, "CallStatic", "NNS*", 0, 6},
    {26, "Return", "A", 0, 6},
    {27, "StrCat", "SQQ", 1, 0},
    {28, "PropGet", "NSS", 3, 0},
    {29, "PropSet", "NSA", 3, 0},
    {30, "ArrayCreate", "Su", 3, 1},
    {31, "ArrayLength", "SS", 3, 1},
    {32, "ArrayGetElement", "SSI", 3, 1},
    {33, "ArraySetElement", "SIA", 3, 1},
    {34, "ArrayFindElement", "SSAI", 3, 2},
    {35, "ArrayRFindElement", "SSAI", 3, 2},
    {36, "Is", "SAT", 3, 5},
    {37, "StructCreate", "S", 3, 7},
    {38, "StructGet", "SSN", 3, 7},
    {39, "StructSet", "SNA", 3, 7},
    {40, "ArrayFindStruct", "SSQAI", 3, 9},
    {41, "ArrayRFindStruct", "SSQAI", 3, 9},
    {42, "ArrayAddElements", "SAI", 3, 9},
    {43, "ArrayInsertElement", "SAI", 3, 9},
    {44, "ArrayRemoveLastElement", "S", 3, 9},
    {45, "ArrayRemoveElements", "SII", 3, 9},
    {46, "ArrayClearElements", "S", 3, 9},
    {47, "INVALID", "", 0, 0},
};

namespace {

using Internal::kOpcodeTable;

// Interned mnemonics and the mnemonic-to-opcode map, built on first use and
// kept for the life of the process. Deliberately never destroyed, so that
// lookups stay valid during static destruction and the string pool never sees
// these references released after it has gone.
struct MnemonicTables {
    HxFixedString mnemonics[Opcodes::Count];
    HxTScatterTable<HxFixedString, uint32_t> byMnemonic;

    MnemonicTables() {
        for (uint32_t i = 0; i < Opcodes::Count; ++i) {
            mnemonics[i] = HxFixedString(kOpcodeTable[i].mnemonic);
            if (i == Opcodes::Invalid) continue;  // the end marker is no mnemonic
            bool inserted = byMnemonic.Insert(mnemonics[i], i);
            HX_CHECK(inserted, "Out of memory");
        }
    }
};

const MnemonicTables& Tables() {
    static const MnemonicTables* tables = new MnemonicTables();
    return *tables;
}

uint32_t SignatureLength(const char* signature) {
    uint32_t n = 0;
    while (signature[n] != '\0') ++n;
    return n;
}

}  // namespace

const HxFixedString& GetMnemonic(uint32_t opcode) {
    return Tables().mnemonics[opcode < Opcodes::Count ? opcode : Opcodes::Invalid];
}

uint32_t FindOpcodeByMnemonic(const HxFixedString& mnemonic) {
    const uint32_t* found = Tables().byMnemonic.Find(mnemonic);
    return found ? *found : Opcodes::Invalid;
}

bool IsOpcodeAllowedInVersion(uint32_t opcode, uint8_t major, uint8_t minor) {
    if (opcode >= Opcodes::Invalid) return false;
    const OpcodeInfo& row = kOpcodeTable[opcode];
    if (major != row.minMajor) return major > row.minMajor;
    return minor >= row.minMinor;
}

uint32_t GetFixedOperandCount(uint32_t opcode) {
    const char* signature = GetOpcodeInfo(opcode).signature;
    uint32_t n = 0;
    while (signature[n] != '\0' && signature[n] != '*') ++n;
    return n;
}

bool HasVariableArguments(uint32_t opcode) {
    const char* signature = GetOpcodeInfo(opcode).signature;
    uint32_t length = SignatureLength(signature);
    return length > 0 && signature[length - 1] == '*';
}

int GetLabelOperandIndex(uint32_t opcode) {
    switch (opcode) {
        case Opcodes::Jump:
            return 0;
        case Opcodes::JumpT:
        case Opcodes::JumpF:
            return 1;
        default:
            return -1;
    }
}

char GetOperandLetter(uint32_t opcode, uint32_t k) {
    const char* signature = GetOpcodeInfo(opcode).signature;
    for (uint32_t i = 0; signature[i] != '\0'; ++i) {
        if (signature[i] == '*') return 0;
        if (i == k) return signature[i];
    }
    return 0;
}

}  // namespace HxScript
