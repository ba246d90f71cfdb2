#pragma once
// The operand and constant type of the object model: a kind and a payload.

#include <cstdint>
#include <utility>

#include "hxcore/HxFixedString.h"

namespace HxScript {
namespace UnlinkedTypes {

enum class ValueKind : uint32_t {
    None = 0,
    Identifier = 1,
    String = 2,
    Integer = 3,
    Float = 4,
    Bool = 5,
    MemberVariableIndex = 6,
    LocalVariableIndex = 7,
    TypeName = 8,
};

class Value {
public:
    Value() = default;  // None
    static Value MakeNone() { return Value(); }
    static Value MakeIdentifier(const HxFixedString& text) { return Value(ValueKind::Identifier, text); }
    static Value MakeString(const HxFixedString& text) { return Value(ValueKind::String, text); }
    static Value MakeTypeName(const HxFixedString& text) { return Value(ValueKind::TypeName, text); }
    // The same, taking over a text that the caller no longer needs.
    static Value MakeIdentifier(HxFixedString&& text) { return Value(ValueKind::Identifier, std::move(text)); }
    static Value MakeString(HxFixedString&& text) { return Value(ValueKind::String, std::move(text)); }
    static Value MakeTypeName(HxFixedString&& text) { return Value(ValueKind::TypeName, std::move(text)); }
    static Value MakeInteger(int32_t v) { Value r; r.kind_ = ValueKind::Integer; r.integer_ = v; return r; }
    static Value MakeFloat(float v) { Value r; r.kind_ = ValueKind::Float; r.float_ = v; return r; }
    static Value MakeBool(bool v) { Value r; r.kind_ = ValueKind::Bool; r.bool_ = v; return r; }
    static Value MakeMemberVariableIndex(uint32_t v) { Value r; r.kind_ = ValueKind::MemberVariableIndex; r.index_ = v; return r; }
    static Value MakeLocalVariableIndex(uint32_t v) { Value r; r.kind_ = ValueKind::LocalVariableIndex; r.index_ = v; return r; }

    ValueKind GetKind() const { return kind_; }
    bool HasText() const {
        return kind_ == ValueKind::Identifier || kind_ == ValueKind::String || kind_ == ValueKind::TypeName;
    }

    // Typed readers: never fail; the wrong kind gives "", 0, false or 0xFFFFFFFF.
    HxFixedString GetIdentifier() const { return kind_ == ValueKind::Identifier ? text_ : HxFixedString(); }
    HxFixedString GetString() const { return kind_ == ValueKind::String ? text_ : HxFixedString(); }
    HxFixedString GetTypeName() const { return kind_ == ValueKind::TypeName ? text_ : HxFixedString(); }
    int32_t GetInteger() const { return kind_ == ValueKind::Integer ? integer_ : 0; }
    float GetFloat() const { return kind_ == ValueKind::Float ? float_ : 0.0f; }
    bool GetBool() const { return kind_ == ValueKind::Bool && bool_; }
    uint32_t GetMemberVariableIndex() const { return kind_ == ValueKind::MemberVariableIndex ? index_ : 0xFFFFFFFFu; }
    uint32_t GetLocalVariableIndex() const { return kind_ == ValueKind::LocalVariableIndex ? index_ : 0xFFFFFFFFu; }
    // The text of an Identifier, String or TypeName ("" otherwise), without a copy.
    const HxFixedString& GetText() const { return text_; }

    void swap(Value& other) noexcept;
    // Same kind and payload; texts compare as interned names, floats by bits.
    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

private:
    Value(ValueKind kind, const HxFixedString& text) : text_(text), kind_(kind) {}
    Value(ValueKind kind, HxFixedString&& text) : text_(std::move(text)), kind_(kind) {}

    // The handle first and the kind beside the payload: 16 bytes, not 24.
    // Code is stored as millions of these.
    HxFixedString text_;
    ValueKind kind_ = ValueKind::None;
    union {
        int32_t integer_ = 0;
        float float_;
        bool bool_;
        uint32_t index_;
    };
};

static_assert(sizeof(Value) <= 16, "operands are stored by the million: keep Value at two words");

}  // namespace UnlinkedTypes
}  // namespace HxScript
