#pragma once
// Text building blocks of the disassembly writer: a growable text buffer,
// the spelling of strings, times and values in assembly text, and the two
// output operations that put text into the output store.

#include <cstdint>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptValue.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"

namespace CodeGen {

// Growable byte text that always keeps a terminating zero after its bytes.
class TextBuffer {
public:
    TextBuffer() = default;

    void Append(const char* text);
    void Append(const char* text, uint32_t length);
    void Append(const HxFixedString& text);
    void AppendChar(char c);
    void AppendRepeated(char c, uint32_t count);
    // Decimal numbers, exactly as "%u" and "%d" print them, without the
    // cost of a formatted print.
    void AppendUnsigned(uint32_t value);
    void AppendSigned(int32_t value);
    void AppendF(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    void Clear() { chars_.Clear(); }
    uint32_t Size() const { return chars_.Empty() ? 0 : chars_.Size() - 1; }
    bool Empty() const { return Size() == 0; }
    // The bytes followed by a zero; "" when empty.
    const char* CStr() const { return chars_.Empty() ? "" : chars_.Data(); }
    char Last() const { return Empty() ? '\0' : chars_[Size() - 1]; }

private:
    // Makes room for `extra` more bytes and returns where they go.
    char* Extend(uint32_t extra);

    HxTArray<char> chars_;
};

// Appends the text in double quotes, with tab, line feed, double quote and
// backslash written as two-character escapes; every other byte unchanged.
void EscapeString(const HxFixedString& text, TextBuffer& out);
// Appends a time as the 24-character local-time form ("Thu Dec 03 14:05:09
// 2026"); 0 gives "<unknown>", a time that cannot be converted "<invalid time>".
void FormatTime(int64_t seconds, TextBuffer& out);
// Appends the assembly spelling of a value: None, True/False, "%d", "%f",
// quoted strings, identifiers and type names as they are.
void FormatValue(const HxScript::UnlinkedTypes::Value& value, TextBuffer& out);

// Writes the bytes of a text; true when every byte was accepted.
bool WriteText(IOutput& output, const char* text, uint32_t length);
// Writes the text followed by a line feed, unless it already ends with one
// (an empty text writes a lone line feed). The text and its line feed go out
// in one write, so a failure is seen per block.
bool WriteLine(IOutput& output, TextBuffer& text);

}  // namespace CodeGen
