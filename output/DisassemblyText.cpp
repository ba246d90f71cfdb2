#include "output/DisassemblyText.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hxcore/HxAssert.h"

#include "platform/Platform.h"

namespace CodeGen {

TextBuffer::~TextBuffer() { std::free(data_); }

void TextBuffer::Grow(uint32_t extra) {
    uint64_t want = uint64_t(capacity_) * 2;
    if (want < uint64_t(size_) + extra + 1) want = uint64_t(size_) + extra + 1;
    if (want < 64) want = 64;
    HX_CHECK(want <= 0xFFFFFFFFu, "Out of memory");
    auto* grown = static_cast<char*>(std::realloc(data_, static_cast<size_t>(want)));
    HX_CHECK(grown != nullptr, "Out of memory");
    data_ = grown;
    capacity_ = static_cast<uint32_t>(want);
}

void TextBuffer::Append(const HxFixedString& text) {
    const char* bytes = text.c_str();
    if (bytes != nullptr) Append(bytes, text.length());
}

void TextBuffer::AppendUnsigned(uint32_t value) {
    // Two digits a step, from a table of the hundred pairs.
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char digits[10];
    char* end = digits + sizeof(digits);
    char* at = end;
    while (value >= 100) {
        const uint32_t pair = value % 100;
        value /= 100;
        at -= 2;
        at[0] = kPairs[2 * pair];
        at[1] = kPairs[2 * pair + 1];
    }
    if (value >= 10) {
        at -= 2;
        at[0] = kPairs[2 * value];
        at[1] = kPairs[2 * value + 1];
    } else {
        *--at = static_cast<char>('0' + value);
    }
    Append(at, static_cast<uint32_t>(end - at));
}

void TextBuffer::AppendSigned(int32_t value) {
    if (value < 0) {
        AppendChar('-');
        // Negated in unsigned arithmetic, so that INT32_MIN has its magnitude.
        AppendUnsigned(0u - static_cast<uint32_t>(value));
    } else {
        AppendUnsigned(static_cast<uint32_t>(value));
    }
}

void TextBuffer::AppendHex8(uint32_t value) {
    char* at = Extend(8);
    for (int i = 7; i >= 0; --i) {
        at[i] = "0123456789ABCDEF"[value & 15u];
        value >>= 4;
    }
}

void TextBuffer::AppendFloat(float value) {
    // The float's exact binary value, M x 2^E, rounded to six decimals with
    // ties to even, as the C library prints it. Values too large for 64-bit
    // arithmetic, infinities and NaNs go through the library.
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t biased = (bits >> 23) & 0xFFu;
    const uint64_t mantissa = biased != 0 ? (bits & 0x7FFFFFu) | 0x800000u : (bits & 0x7FFFFFu);
    const int exponent = biased != 0 ? int(biased) - 150 : -149;
    if (biased == 0xFFu || exponent > 40) {
        AppendF("%f", static_cast<double>(value));
        return;
    }
    uint64_t whole;
    uint32_t fraction;
    if (exponent >= 0) {
        whole = mantissa << exponent;
        fraction = 0;
    } else {
        const uint32_t shift = static_cast<uint32_t>(-exponent);
        const uint64_t scaled = mantissa * 1000000u;  // below 2^44
        uint64_t millionths = 0;
        if (shift < 64) {
            millionths = scaled >> shift;
            const uint64_t rest = scaled & ((uint64_t(1) << shift) - 1);
            const uint64_t half = uint64_t(1) << (shift - 1);
            if (rest > half || (rest == half && (millionths & 1) != 0)) ++millionths;
        }
        whole = millionths / 1000000u;
        fraction = static_cast<uint32_t>(millionths % 1000000u);
    }
    char digits[32];
    char* end = digits + sizeof digits;
    char* at = end;
    for (int i = 0; i < 6; ++i) {
        *--at = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    *--at = '.';
    do {
        *--at = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    if ((bits >> 31) != 0) *--at = '-';
    Append(at, static_cast<uint32_t>(end - at));
}

void TextBuffer::AppendF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        char* at = Extend(static_cast<uint32_t>(length));
        // The buffer has room for the terminator that vsnprintf writes.
        std::vsnprintf(at, static_cast<size_t>(length) + 1, format, args);
    }
    va_end(args);
}

void EscapeString(const HxFixedString& text, TextBuffer& out) {
    const char* bytes = text.c_str();
    EscapeString(bytes, bytes ? text.length() : 0, out);
}

void EscapeString(const char* bytes, uint32_t length, TextBuffer& out) {
    out.AppendChar('"');
    uint32_t runStart = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const char* escape = nullptr;
        switch (bytes[i]) {
            case '\t': escape = "\\t"; break;
            case '\n': escape = "\\n"; break;
            case '"': escape = "\\\""; break;
            case '\\': escape = "\\\\"; break;
            default: break;
        }
        if (escape == nullptr) continue;
        out.Append(bytes + runStart, i - runStart);
        out.Append(escape, 2);
        runStart = i + 1;
    }
    out.Append(bytes + runStart, length - runStart);
    out.AppendChar('"');
}

void FormatTime(int64_t seconds, TextBuffer& out) {
    if (seconds == 0) {
        out.Append("<unknown>");
        return;
    }
    char buffer[64] = {};
    if (Platform::FormatLocalTime(seconds, buffer)) {
        out.Append(buffer);
    } else {
        out.Append("<invalid time>");
    }
}

void FormatValue(const HxScript::UnlinkedTypes::Value& value, TextBuffer& out) {
    using HxScript::UnlinkedTypes::ValueKind;
    switch (value.GetKind()) {
        case ValueKind::None: out.Append("None"); break;
        case ValueKind::Identifier:
        case ValueKind::TypeName: out.Append(value.GetText()); break;
        case ValueKind::String: EscapeString(value.GetText(), out); break;
        case ValueKind::Integer: out.AppendSigned(value.GetInteger()); break;
        case ValueKind::Float: out.AppendFloat(value.GetFloat()); break;
        case ValueKind::Bool: out.Append(value.GetBool() ? "True" : "False"); break;
        // Resolved variable references belong to linked code and never reach
        // this writer; their index is shown so that such a model is still readable.
        case ValueKind::MemberVariableIndex: out.AppendUnsigned(value.GetMemberVariableIndex()); break;
        case ValueKind::LocalVariableIndex: out.AppendUnsigned(value.GetLocalVariableIndex()); break;
    }
}

bool WriteLine(IOutput& output, TextBuffer& text) {
    if (text.Last() != '\n') text.AppendChar('\n');
    return WriteText(output, text.CStr(), text.Size());
}

}  // namespace CodeGen
