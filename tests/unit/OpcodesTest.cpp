#include <gtest/gtest.h>

#include <utility>

#include "HxScript/HxScriptOpcodes.h"

using namespace HxScript;

TEST(Opcodes, TableRowsAndMnemonicLookup) {
    for (uint32_t i = 0; i < Opcodes::Count; ++i) EXPECT_EQ(GetOpcodeInfo(i).opcode, i);
    EXPECT_EQ(GetOpcodeInfo(48).opcode, Opcodes::Invalid);
    EXPECT_EQ(GetOpcodeInfo(0xFFFFFFFFu).opcode, Opcodes::Invalid);
    // Rows at the version steps and the call signatures.
    struct Row { uint32_t op; const char* mnemonic; const char* signature; uint8_t major, minor; };
    const Row rows[] = {{0, "Noop", "", 0, 6},           {23, "CallMethod", "NSS*", 0, 6}, {24, "CallParent", "NS*", 0, 6},
                        {25, "CallStatic", "NNS*", 0, 6}, {27, "StrCat", "SQQ", 1, 0},     {29, "PropSet", "NSA", 3, 0},
                        {30, "ArrayCreate", "Su", 3, 1},  {34, "ArrayFindElement", "SSAI", 3, 2}, {36, "Is", "SAT", 3, 5},
                        {38, "StructGet", "SSN", 3, 7},   {46, "ArrayClearElements", "S", 3, 9}, {47, "INVALID", "", 0, 0}};
    for (const Row& r : rows) {
        const OpcodeInfo& row = GetOpcodeInfo(r.op);
        EXPECT_STREQ(row.mnemonic, r.mnemonic);
        EXPECT_STREQ(row.signature, r.signature) << r.mnemonic;
        EXPECT_EQ((std::pair{row.minMajor, row.minMinor}), (std::pair{r.major, r.minor})) << r.mnemonic;
    }
    for (uint32_t i = 0; i < Opcodes::Invalid; ++i) EXPECT_EQ(FindOpcodeByMnemonic(GetMnemonic(i)), i);
    EXPECT_EQ(FindOpcodeByMnemonic("arrayclearELEMENTS"), 46u);
    for (const char* unknown : {"INVALID", "invalid", "Frobnicate", ""})
        EXPECT_EQ(FindOpcodeByMnemonic(unknown), Opcodes::Invalid) << unknown;
}

TEST(Opcodes, VersionCheckComparesMajorFirst) {
    struct Row { uint32_t op; uint8_t major, minor; bool allowed; };
    const Row rows[] = {{42, 3, 8, false}, {38, 3, 8, true}, {0, 0, 5, false}, {0, 0, 6, true},
                        {27, 1, 0, true},  {27, 0, 9, false}, {26, 1, 0, true},  {46, 4, 0, true},
                        {28, 2, 9, false}, {Opcodes::Invalid, 3, 9, false}, {48, 255, 255, false}};
    for (const Row& r : rows) EXPECT_EQ(IsOpcodeAllowedInVersion(r.op, r.major, r.minor), r.allowed) << r.op;
    for (uint32_t i = 0; i < Opcodes::Invalid; ++i) EXPECT_TRUE(IsOpcodeAllowedInVersion(i, 3, 9)) << i;
}

TEST(Opcodes, OperandShapeHelpers) {
    for (uint32_t i = 0; i < Opcodes::Count; ++i) {
        const bool isCall = i == Opcodes::CallMethod || i == Opcodes::CallParent || i == Opcodes::CallStatic;
        EXPECT_EQ(HasVariableArguments(i), isCall) << i;
        const int label = i == Opcodes::Jump ? 0 : (i == Opcodes::JumpT || i == Opcodes::JumpF) ? 1 : -1;
        EXPECT_EQ(GetLabelOperandIndex(i), label) << i;
    }
    EXPECT_EQ(GetFixedOperandCount(0), 0u);
    EXPECT_EQ(GetFixedOperandCount(40), 5u);
    EXPECT_EQ(GetFixedOperandCount(Opcodes::CallParent), 2u);
    EXPECT_EQ(GetOperandLetter(40, 2), 'Q');
    EXPECT_EQ(GetOperandLetter(Opcodes::CallParent, 1), 'S');
    EXPECT_EQ(GetOperandLetter(Opcodes::CallParent, 2), 0);  // the variable part has no letter
    EXPECT_EQ(GetOperandLetter(1, 3), 0);
}
