#include "output/DisassemblyText.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/Platform.h"

namespace CodeGen {

char* TextBuffer::Extend(uint32_t extra) {
    uint32_t old = Size();
    bool grown = chars_.Resize(old + extra + 1);
    HX_CHECK(grown, "Out of memory");
    chars_[old + extra] = '\0';
    return chars_.Data() + old;
}

void TextBuffer::Append(const char* text) {
    if (text != nullptr) Append(text, static_cast<uint32_t>(std::strlen(text)));
}

void TextBuffer::Append(const char* text, uint32_t length) {
    if (length == 0) return;
    std::memcpy(Extend(length), text, length);
}

void TextBuffer::Append(const HxFixedString& text) {
    const char* bytes = text.c_str();
    if (bytes != nullptr) Append(bytes, text.length());
}

void TextBuffer::AppendChar(char c) { *Extend(1) = c; }

void TextBuffer::AppendRepeated(char c, uint32_t count) {
    if (count == 0) return;
    std::memset(Extend(count), c, count);
}

void TextBuffer::AppendUnsigned(uint32_t value) {
    char digits[10];
    uint32_t count = 0;
    do {
        digits[sizeof(digits) - 1 - count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    Append(digits + sizeof(digits) - count, count);
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
    out.AppendChar('"');
    const char* bytes = text.c_str();
    uint32_t length = bytes ? text.length() : 0;
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
        case ValueKind::Float: out.AppendF("%f", static_cast<double>(value.GetFloat())); break;
        case ValueKind::Bool: out.Append(value.GetBool() ? "True" : "False"); break;
        // Resolved variable references belong to linked code and never reach
        // this writer; their index is shown so that such a model is still readable.
        case ValueKind::MemberVariableIndex: out.AppendUnsigned(value.GetMemberVariableIndex()); break;
        case ValueKind::LocalVariableIndex: out.AppendUnsigned(value.GetLocalVariableIndex()); break;
    }
}

bool WriteText(IOutput& output, const char* text, uint32_t length) {
    if (length == 0) return true;
    return output.Write(length, text) == StorageResult::Success;
}

bool WriteLine(IOutput& output, TextBuffer& text) {
    if (text.Last() != '\n') text.AppendChar('\n');
    return WriteText(output, text.CStr(), text.Size());
}

}  // namespace CodeGen
