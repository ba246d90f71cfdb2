#pragma once
// The lexical layer of the assembly reader: line reading from a store,
// trimming, tokenizing, the token tests, constants and string unescaping.
//
// Tokens are views into the current line; they stay valid until the next
// line is read. Only what the reader stores gets interned.

#include <cstdint>
#include <cstring>

#include "HxScript/HxScriptIStore.h"
#include "HxScript/HxScriptValue.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"

namespace Assembler {

// What the tokenizer notes of the bytes of a token: the classes of all its
// bytes together, and kKnown when it did (a view made elsewhere has none).
enum TokenClass : uint8_t {
    kTokenLetter = 1,  // A-Z, a-z, '_' and ':': what may start an identifier
    kTokenDigit = 2,
    kTokenHash = 4,    // '#'
    kTokenOther = 8,   // any other byte
    kTokenKnown = 0x80,
};

// A run of bytes inside a line (no terminator).
struct TokenView {
    const char* text = "";
    uint32_t length = 0;
    // Set by TokenizeLine for an unquoted token: the classes of its bytes.
    uint8_t classes = 0;

    TokenView() = default;
    TokenView(const char* t, uint32_t n) : text(t), length(n) {}
    TokenView(const char* zeroTerminated)  // NOLINT(google-explicit-constructor)
        : text(zeroTerminated), length(static_cast<uint32_t>(std::strlen(zeroTerminated))) {}

    char operator[](uint32_t i) const { return text[i]; }
    bool Empty() const { return length == 0; }
};

// Compares without regard to ASCII letter case.
bool EqualsNoCase(TokenView token, const char* text);

// A hash of a text with its ASCII letters lowered, which names equal without
// regard to case share. Eight bytes at a time.
uint32_t NameHash(const char* text, uint32_t length);

// Token tests. Bytes above 127 are neither letters nor digits.
bool IsIdentifierToken(TokenView token);
bool IsQuotedToken(TokenView token);
bool IsUnsignedToken(TokenView token);
bool IsSignedToken(TokenView token);
bool IsFloatToken(TokenView token);
bool IsTypeNameToken(TokenView token);

// Decimal conversions that stop at the limits of their type. The signed ones
// accept an optional sign; all of them stop at the first non-digit.
uint32_t ParseUnsigned32(TokenView digits);
int32_t ParseSigned32(TokenView text);
int64_t ParseSigned64(TokenView text);

// Removes spaces and tabs from both ends.
void TrimLine(TokenView& line);

// Splits a trimmed line into tokens (each non-empty, each a view into the
// line) and returns the number of a ";@line" comment, 0 when there is none.
int32_t TokenizeLine(TokenView line, HxTArray<TokenView>& tokens);

// The same for a line that may have blanks at both ends and is followed by
// at least 64 readable bytes (as the lines of a LineReader are).
int32_t TokenizePaddedLine(TokenView line, HxTArray<TokenView>& tokens);

// The text between the quotes with its escapes resolved; "" when the token
// is not a quoted string.
HxFixedString UnescapeString(TokenView token);
// The same into `out`, which has room for the token's length; returns the
// length of the text. The token must be a quoted string.
uint32_t UnescapeInto(TokenView token, char* out);

// What a token is as a constant or operand, and its number where it is one.
struct ValueToken {
    enum Kind : uint8_t { None, Bool, String, Identifier, TypeName, Integer, Float, Bad };
    Kind kind = None;
    bool flag = false;        // Bool
    int32_t integer = 0;      // Integer
    float number = 0.0f;      // Float
    const char* error = "";   // Bad: what is wrong with it
};
ValueToken ClassifyValue(TokenView token);

// Converts a token to a constant. On failure the value is None and
// `errorText` names the problem; otherwise `errorText` is "".
void ParseValue(TokenView token, HxScript::UnlinkedTypes::Value& value, const char*& errorText);
// The same, returning the value: no default value is made and replaced.
HxScript::UnlinkedTypes::Value ParseValue(TokenView token, const char*& errorText);

// Reads a store line by line. The file is taken in large chunks, but the
// result is the same as reading it byte by byte: carriage returns vanish, a
// line feed ends a line, the last line counts without a line feed, and a
// failed read loses the line it falls in and every line after it. A UTF-8
// byte order mark at the very start of the file is skipped (the first line
// is still line 1); the same three bytes anywhere else are text.
class LineReader {
public:
    // Starts reading the store from its current position; null reads nothing.
    // A byte order mark is looked for only when that position is the start.
    void Begin(HxScript::IStore* store);
    // The next line, without its line feed; false at the end of the file
    // (when nothing is left) or after a failed read.
    bool ReadLine(TokenView& line);

    static constexpr uint32_t kChunkSize = 64 * 1024;
    // Readable bytes kept after the buffered ones, so that a line can be
    // looked at in blocks that run past its end.
    static constexpr uint32_t kPadding = 64;

private:
    bool Refill();
    // Notes where the first carriage return at or after `from` is.
    void FindReturn(uint32_t from);
    void SkipByteOrderMark();

    HxScript::IStore* store_ = nullptr;
    HxTArray<char> buffer_;
    uint32_t begin_ = 0;      // first unconsumed byte
    uint32_t end_ = 0;        // one past the last buffered byte
    uint32_t noReturnUntil_ = 0;  // the first carriage return at or after begin_, or end_
    uint64_t remaining_ = 0;  // bytes of the file not yet buffered
    bool failed_ = false;
    bool atFileStart_ = false;  // no line read yet, and reading began at byte 0
};

}  // namespace Assembler
