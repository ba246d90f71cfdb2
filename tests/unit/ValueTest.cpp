#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "HxScript/HxScriptValue.h"

using HxScript::UnlinkedTypes::Value;
using HxScript::UnlinkedTypes::ValueKind;

TEST(Value, WrongReaderGivesNeutralResult) {
    const Value values[] = {Value(), Value::MakeIdentifier("x"), Value::MakeString("s"), Value::MakeInteger(7),
                            Value::MakeFloat(1.5f), Value::MakeBool(true), Value::MakeMemberVariableIndex(3),
                            Value::MakeLocalVariableIndex(4), Value::MakeTypeName("Int")};
    const HxFixedString none("");
    for (const Value& v : values) {
        ValueKind k = v.GetKind();
        EXPECT_EQ(v.GetIdentifier() == none, k != ValueKind::Identifier);
        EXPECT_EQ(v.GetString() == none, k != ValueKind::String);
        EXPECT_EQ(v.GetTypeName() == none, k != ValueKind::TypeName);
        EXPECT_EQ(v.GetInteger() == 0, k != ValueKind::Integer);
        EXPECT_EQ(v.GetFloat() == 0.0f, k != ValueKind::Float);
        EXPECT_EQ(v.GetBool(), k == ValueKind::Bool);
        EXPECT_EQ(v.GetMemberVariableIndex() == 0xFFFFFFFFu, k != ValueKind::MemberVariableIndex);
        EXPECT_EQ(v.GetLocalVariableIndex() == 0xFFFFFFFFu, k != ValueKind::LocalVariableIndex);
    }
    EXPECT_FALSE(Value::MakeBool(false).GetBool());
}

TEST(Value, EqualityNeedsSameKindAndPayload) {
    EXPECT_EQ(Value(), Value::MakeNone());
    EXPECT_EQ(Value::MakeIdentifier("Foo"), Value::MakeIdentifier("FOO"));  // names ignore case
    EXPECT_NE(Value::MakeIdentifier("Foo"), Value::MakeString("Foo"));
    EXPECT_NE(Value::MakeString("Foo"), Value::MakeTypeName("Foo"));
    EXPECT_NE(Value::MakeInteger(0), Value());
    EXPECT_NE(Value::MakeInteger(0), Value::MakeFloat(0.0f));
    EXPECT_NE(Value::MakeMemberVariableIndex(2), Value::MakeLocalVariableIndex(2));
    EXPECT_NE(Value::MakeBool(true), Value::MakeBool(false));
    // Floats by bit pattern, so that round trips are exact.
    float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Value::MakeFloat(nan), Value::MakeFloat(nan));
    EXPECT_NE(Value::MakeFloat(0.0f), Value::MakeFloat(-0.0f));
    uint32_t bits = 0x7FC00001u;
    float otherNan;
    std::memcpy(&otherNan, &bits, sizeof(bits));
    EXPECT_NE(Value::MakeFloat(nan), Value::MakeFloat(otherNan));
}

TEST(Value, CopySwapAndKindChangeManageTheString) {
    HxFixedString text("ValueTestUniqueText");
    uint32_t base = HxFixedStringRefCount(text);
    {
        Value a = Value::MakeString(text);
        Value b = a;
        EXPECT_EQ(HxFixedStringRefCount(text), base + 2);
        b = Value::MakeInteger(5);  // changing the kind releases the text
        EXPECT_EQ(HxFixedStringRefCount(text), base + 1);
        Value c = Value::MakeFloat(2.25f);
        a.swap(c);
        EXPECT_EQ(a.GetFloat(), 2.25f);
        EXPECT_EQ(c.GetString(), text);
        EXPECT_EQ(HxFixedStringRefCount(text), base + 1);
    }
    EXPECT_EQ(HxFixedStringRefCount(text), base);
}
