#pragma once
// Text building blocks of the disassembly writer: a growable text buffer,
// the spelling of strings, times and values in assembly text, and the two
// output operations that put text into the output store.

#include <cstdint>
#include <cstring>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptValue.h"
#include "hxcore/HxCopy.h"
#include "hxcore/HxFixedString.h"

namespace CodeGen {

// Growable byte text, with room for a terminating zero after its bytes.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    void Append(const char* text) {
        if (text != nullptr) Append(text, static_cast<uint32_t>(std::strlen(text)));
    }
    void Append(const char* text, uint32_t length) {
        if (length == 0) return;
        HxCopyBytes(Extend(length), text, length);
    }
    void Append(const HxFixedString& text);
    void AppendChar(char c) { *Extend(1) = c; }
    void AppendRepeated(char c, uint32_t count) {
        if (count != 0) std::memset(Extend(count), c, count);
    }
    // Decimal numbers, exactly as "%u" and "%d" print them, without the
    // cost of a formatted print.
    void AppendUnsigned(uint32_t value);
    void AppendSigned(int32_t value);
    // Eight hexadecimal digits in capitals, as "%08X" prints them.
    void AppendHex8(uint32_t value);
    // A float exactly as "%f" prints it (six decimals, correctly rounded).
    void AppendFloat(float value);
    void AppendF(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    void Clear() { size_ = 0; }
    uint32_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }
    // The bytes followed by a zero; "" when empty. The zero is put there
    // now: there is always room for it.
    const char* CStr() const {
        if (data_ == nullptr) return "";
        data_[size_] = '\0';
        return data_;
    }
    char Last() const { return size_ == 0 ? '\0' : data_[size_ - 1]; }

private:
    // Makes room for `extra` more bytes (and a zero after them) and returns
    // where they go.
    char* Extend(uint32_t extra) {
        if (capacity_ - size_ <= extra) Grow(extra);
        char* at = data_ + size_;
        size_ += extra;
        return at;
    }
    void Grow(uint32_t extra);

    char* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

// Appends the text in double quotes, with tab, line feed, double quote and
// backslash written as two-character escapes; every other byte unchanged.
void EscapeString(const HxFixedString& text, TextBuffer& out);
void EscapeString(const char* text, uint32_t length, TextBuffer& out);
// Appends a time as the 24-character local-time form ("Thu Dec 03 14:05:09
// 2026"); 0 gives "<unknown>", a time that cannot be converted "<invalid time>".
void FormatTime(int64_t seconds, TextBuffer& out);
// Appends the assembly spelling of a value: None, True/False, "%d", "%f",
// quoted strings, identifiers and type names as they are.
void FormatValue(const HxScript::UnlinkedTypes::Value& value, TextBuffer& out);

// Writes the bytes of a text; true when every byte was accepted.
inline bool WriteText(IOutput& output, const char* text, uint32_t length) {
    if (length == 0) return true;
    return output.Append(text, length) == StorageResult::Success;
}
// Writes the text followed by a line feed, unless it already ends with one
// (an empty text writes a lone line feed). The text and its line feed go out
// in one write, so a failure is seen per block.
bool WriteLine(IOutput& output, TextBuffer& text);

}  // namespace CodeGen
