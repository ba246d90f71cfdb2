#include "HxScript/HxScriptValue.h"

#include <cstring>
#include <utility>

namespace HxScript {
namespace UnlinkedTypes {

void Value::swap(Value& other) noexcept {
    std::swap(kind_, other.kind_);
    text_.swap(other.text_);
    // The payload is a plain union: exchange its bytes whatever member is live.
    uint32_t mine;
    uint32_t theirs;
    static_assert(sizeof(integer_) == sizeof(uint32_t), "payload is one 32-bit word");
    std::memcpy(&mine, &integer_, sizeof(mine));
    std::memcpy(&theirs, &other.integer_, sizeof(theirs));
    std::memcpy(&integer_, &theirs, sizeof(theirs));
    std::memcpy(&other.integer_, &mine, sizeof(mine));
}

bool Value::operator==(const Value& other) const {
    if (kind_ != other.kind_) return false;
    switch (kind_) {
        case ValueKind::None:
            return true;
        case ValueKind::Identifier:
        case ValueKind::String:
        case ValueKind::TypeName:
            return text_ == other.text_;
        case ValueKind::Integer:
            return integer_ == other.integer_;
        case ValueKind::Float: {
            // By bit pattern: a NaN equals itself and -0 differs from +0, so a
            // round trip through a file must reproduce the exact bits.
            uint32_t a;
            uint32_t b;
            std::memcpy(&a, &float_, sizeof(a));
            std::memcpy(&b, &other.float_, sizeof(b));
            return a == b;
        }
        case ValueKind::Bool:
            return bool_ == other.bool_;
        case ValueKind::MemberVariableIndex:
        case ValueKind::LocalVariableIndex:
            return index_ == other.index_;
    }
    return false;
}

}  // namespace UnlinkedTypes
}  // namespace HxScript
