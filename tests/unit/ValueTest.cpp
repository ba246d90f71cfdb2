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
        const ValueKind k = v.GetKind();
        EXPECT_EQ(v.GetIdentifier() == none, k != ValueKind::Identifier);
        EXPECT_EQ(v.GetString() == none, k != ValueKind::String);
        EXPECT_EQ(v.GetTypeName() == none, k != ValueKind::TypeName);
        EXPECT_EQ(v.GetInteger() == 0, k != ValueKind::Integer);
        EXPECT_EQ(v.GetFloat() == 0.0f, k != ValueKind::Float);
        EXPECT_EQ(v.GetBool(), k == ValueKind::Bool);
        EXPECT_EQ(v.GetMemberVariableIndex() == 0xFFFFFFFFu, k != ValueKind::MemberVariableIndex);
        EXPECT_EQ(v.GetLocalVariableIndex() == 0xFFFFFFFFu, k != ValueKind::LocalVariableIndex);
    }
}

TEST(Value, EqualityNeedsSameKindAndPayloadWithFloatsByBits) {
    float nan = std::numeric_limits<float>::quiet_NaN(), otherNan;
    const uint32_t bits = 0x7FC00001u;
    std::memcpy(&otherNan, &bits, sizeof(bits));
    EXPECT_EQ(Value::MakeIdentifier("Foo"), Value::MakeIdentifier("FOO"));  // names ignore case
    EXPECT_EQ(Value::MakeFloat(nan), Value::MakeFloat(nan));  // so that round trips are exact
    const Value different[][2] = {
        {Value::MakeIdentifier("Foo"), Value::MakeString("Foo")}, {Value::MakeString("Foo"), Value::MakeTypeName("Foo")},
        {Value::MakeInteger(0), Value()},                         {Value::MakeInteger(0), Value::MakeFloat(0.0f)},
        {Value::MakeBool(true), Value::MakeBool(false)},          {Value::MakeFloat(0.0f), Value::MakeFloat(-0.0f)},
        {Value::MakeMemberVariableIndex(2), Value::MakeLocalVariableIndex(2)},
        {Value::MakeLocalVariableIndex(2), Value::MakeLocalVariableIndex(3)},
        {Value::MakeInteger(1), Value::MakeInteger(2)},         {Value::MakeString("Foo"), Value::MakeString("Fo")},
        {Value::MakeFloat(nan), Value::MakeFloat(otherNan)},
    };
    for (const auto& pair : different) EXPECT_NE(pair[0], pair[1]);
}

TEST(Value, SwapExchangesKindTextAndPayload) {
    HxFixedString text("ValueTestUniqueText");
    Value a = Value::MakeString(text), b = Value::MakeFloat(2.25f);
    a.swap(b);
    EXPECT_EQ(a, Value::MakeFloat(2.25f));
    EXPECT_EQ(b, Value::MakeString(text));
    EXPECT_EQ(HxFixedStringRefCount(text), 2u);
}
