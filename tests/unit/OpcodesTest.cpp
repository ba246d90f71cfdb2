#include <gtest/gtest.h>

#include "HxScript/HxScriptOpcodes.h"

using namespace HxScript;

TEST(Opcodes, RowsAreIndexedByOpcode) {
    for (uint32_t i = 0; i < Opcodes::Count; ++i) EXPECT_EQ(GetOpcodeInfo(i).opcode, i);
    EXPECT_EQ(GetOpcodeInfo(48).opcode, Opcodes::Invalid);
    EXPECT_EQ(GetOpcodeInfo(0xFFFFFFFFu).opcode, Opcodes::Invalid);
}

TEST(Opcodes, SpotChecksOfTheTable) {
    struct Row { uint32_t op; const char* mnemonic; const char* signature; uint8_t major, minor; };
    const Row rows[] = {
        {0, "Noop", "", 0, 6},           {1, "IAdd", "SII", 0, 6},        {13, "Assign", "SA", 0, 6},
        {21, "JumpT", "AL", 0, 6},       {23, "CallMethod", "NSS*", 0, 6}, {24, "CallParent", "NS*", 0, 6},
        {25, "CallStatic", "NNS*", 0, 6}, {27, "StrCat", "SQQ", 1, 0},     {29, "PropSet", "NSA", 3, 0},
        {30, "ArrayCreate", "Su", 3, 1}, {34, "ArrayFindElement", "SSAI", 3, 2}, {36, "Is", "SAT", 3, 5},
        {38, "StructGet", "SSN", 3, 7},  {40, "ArrayFindStruct", "SSQAI", 3, 9},
        {46, "ArrayClearElements", "S", 3, 9}, {47, "INVALID", "", 0, 0},
    };
    for (const Row& r : rows) {
        const OpcodeInfo& row = GetOpcodeInfo(r.op);
        EXPECT_STREQ(row.mnemonic, r.mnemonic);
        EXPECT_STREQ(row.signature, r.signature) << r.mnemonic;
        EXPECT_EQ(row.minMajor, r.major) << r.mnemonic;
        EXPECT_EQ(row.minMinor, r.minor) << r.mnemonic;
        EXPECT_STREQ(GetMnemonic(r.op).c_str(), r.mnemonic);
    }
}

TEST(Opcodes, MnemonicLookupIgnoresCaseAndRejectsInvalid) {
    EXPECT_EQ(FindOpcodeByMnemonic("iadd"), 1u);
    EXPECT_EQ(FindOpcodeByMnemonic("IADD"), 1u);
    EXPECT_EQ(FindOpcodeByMnemonic("arrayclearELEMENTS"), 46u);
    EXPECT_EQ(FindOpcodeByMnemonic("INVALID"), Opcodes::Invalid);
    EXPECT_EQ(FindOpcodeByMnemonic("invalid"), Opcodes::Invalid);
    EXPECT_EQ(FindOpcodeByMnemonic("Frobnicate"), Opcodes::Invalid);
    EXPECT_EQ(FindOpcodeByMnemonic(""), Opcodes::Invalid);
    for (uint32_t i = 0; i < Opcodes::Invalid; ++i) EXPECT_EQ(FindOpcodeByMnemonic(GetMnemonic(i)), i);
}

TEST(Opcodes, VersionCheckComparesMajorFirst) {
    EXPECT_FALSE(IsOpcodeAllowedInVersion(42, 3, 8));  // ArrayAddElements needs 3.9
    EXPECT_TRUE(IsOpcodeAllowedInVersion(38, 3, 8));   // StructGet needs 3.7
    for (uint32_t i = 0; i < Opcodes::Invalid; ++i) EXPECT_TRUE(IsOpcodeAllowedInVersion(i, 3, 9)) << i;
    EXPECT_FALSE(IsOpcodeAllowedInVersion(0, 0, 5));
    EXPECT_TRUE(IsOpcodeAllowedInVersion(0, 0, 6));
    EXPECT_TRUE(IsOpcodeAllowedInVersion(27, 1, 0));
    EXPECT_FALSE(IsOpcodeAllowedInVersion(27, 0, 9));
    EXPECT_TRUE(IsOpcodeAllowedInVersion(26, 1, 0));  // higher major, lower minor
    EXPECT_TRUE(IsOpcodeAllowedInVersion(46, 4, 0));
    EXPECT_FALSE(IsOpcodeAllowedInVersion(28, 2, 9));
    EXPECT_FALSE(IsOpcodeAllowedInVersion(Opcodes::Invalid, 3, 9));
    EXPECT_FALSE(IsOpcodeAllowedInVersion(48, 255, 255));
}

TEST(Opcodes, OperandShapeHelpers) {
    EXPECT_EQ(GetFixedOperandCount(0), 0u);
    EXPECT_EQ(GetFixedOperandCount(40), 5u);
    EXPECT_EQ(GetFixedOperandCount(Opcodes::CallMethod), 3u);
    EXPECT_EQ(GetFixedOperandCount(Opcodes::CallParent), 2u);
    EXPECT_EQ(GetFixedOperandCount(Opcodes::CallStatic), 3u);
    for (uint32_t i = 0; i < Opcodes::Count; ++i) {
        bool isCall = i == Opcodes::CallMethod || i == Opcodes::CallParent || i == Opcodes::CallStatic;
        EXPECT_EQ(HasVariableArguments(i), isCall) << i;
        int label = i == Opcodes::Jump ? 0 : (i == Opcodes::JumpT || i == Opcodes::JumpF) ? 1 : -1;
        EXPECT_EQ(GetLabelOperandIndex(i), label) << i;
    }
    EXPECT_EQ(GetOperandLetter(40, 2), 'Q');
    EXPECT_EQ(GetOperandLetter(Opcodes::JumpF, 1), 'L');
    EXPECT_EQ(GetOperandLetter(Opcodes::CallParent, 1), 'S');
    EXPECT_EQ(GetOperandLetter(Opcodes::CallParent, 2), 0);  // the variable part has no letter
    EXPECT_EQ(GetOperandLetter(Opcodes::CallParent, 7), 0);
    EXPECT_EQ(GetOperandLetter(1, 3), 0);
}
