#pragma once
// The lexical layer of the assembly reader: line reading from a store,
// trimming, tokenizing, the token tests, constants and string unescaping.
//
// Tokens are views into the current line; they stay valid until the next
// line is read. Only what the reader stores gets interned.

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "HxScript/HxScriptIStore.h"
#include "HxScript/HxScriptValue.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"

namespace Assembler {

// What the tokenizer notes of the bytes of a token: the classes of all its
// bytes together, and kKnown when it did (a view made elsewhere has none).
enum TokenClass : uint8_t {
    kTokenNonDigit = 1,  // a byte other than a digit
    kTokenDigit = 2,
    kTokenOther = 8,     // a byte no name holds: not a letter, digit, '_', ':' or '#'
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

namespace HashDetail {

// Eight bytes with the ASCII capitals among them lowered; other bytes stay.
inline uint64_t LowerEight(uint64_t x) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const uint64_t seven = x & kLow7;
    const uint64_t fromA = seven + 0x3F3F3F3F3F3F3F3Full;  // high bit from 'A' on
    const uint64_t pastZ = seven + 0x2525252525252525ull;  // high bit from 'Z' + 1 on
    return x | (((fromA & ~pastZ & ~x) & kHigh) >> 2);
}

inline uint64_t Mix(uint64_t hash, uint64_t word) {
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 32);
}

// Every bit of every word reaches the low bits, which pick the slot.
inline uint32_t Finish(uint64_t hash) {
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    return static_cast<uint32_t>(hash);
}

}  // namespace HashDetail

// The first `count` bytes (at most 8) of the eight at `text`, the others zero.
inline uint64_t LoadPaddedWord(const char* text, uint32_t count) {
    uint64_t word;
    std::memcpy(&word, text, 8);
    if (count >= 8) return word;
    if constexpr (std::endian::native == std::endian::little) return word & ((uint64_t(1) << (8 * count)) - 1);
    return word & ~(~uint64_t(0) >> (8 * count));
}

// The value of 1 to 8 bytes (followed by readable bytes) when all of them
// are decimal digits; false otherwise. Eight bytes at a time.
inline bool PaddedDigitsValue(const char* text, uint32_t count, uint32_t& value) {
    constexpr uint64_t kZeros = 0x3030303030303030ull, kHigh = 0xF0F0F0F0F0F0F0F0ull;
    if (count - 1 >= 8 || std::endian::native != std::endian::little) return false;
    // The digits moved to the top, zero digits before them.
    const uint32_t pad = 8 * (8 - count);
    const uint64_t word = pad == 0 ? LoadPaddedWord(text, 8)
                                   : (LoadPaddedWord(text, count) << pad) | (kZeros >> (64 - pad));
    if ((word & kHigh) != kZeros || ((word + 0x0606060606060606ull) & kHigh) != kZeros) return false;
    uint64_t v = word - kZeros;
    v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFull;
    v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFull;
    v = (v * 10000 + (v >> 32)) & 0xFFFFFFFFull;
    value = static_cast<uint32_t>(v);
    return true;
}

// A hash of a text with its ASCII letters lowered, which names equal without
// regard to case share. Eight bytes at a time.
uint32_t NameHash(const char* text, uint32_t length);
// The same for a text followed by at least 8 readable bytes.
inline uint32_t PaddedNameHash(const char* text, uint32_t length) {
    uint64_t hash = length;
    uint32_t i = 0;
    for (; i + 8 <= length; i += 8) hash = HashDetail::Mix(hash, HashDetail::LowerEight(LoadPaddedWord(text + i, 8)));
    if (i < length) hash = HashDetail::Mix(hash, HashDetail::LowerEight(LoadPaddedWord(text + i, length - i)));
    return HashDetail::Finish(hash);
}

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

// The items of one line (its tokens, its operands), written into room made
// ahead, so that adding one is a plain store. T is trivially copyable.
template <typename T>
class LineList {
public:
    uint32_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }
    const T& operator[](uint32_t i) const { return room_.Data()[i]; }
    const T* Data() const { return room_.Data(); }
    void Clear() { size_ = 0; }
    // Room for `count` items in all; the first Size() of them are kept.
    T* Room(uint32_t count) {
        if (count > room_.Size())
            HX_CHECK(room_.Resize(count > 2 * room_.Size() ? count : 2 * room_.Size()), "Out of memory");
        return room_.Data();
    }
    // The first `count` items of the room are the list.
    void SetSize(uint32_t count) { size_ = count; }
    // Adds one into room made already.
    void Push(const T& item) { room_.Data()[size_++] = item; }
    void Add(const T& item) { Room(size_ + 1)[size_++] = item; }

private:
    HxTArray<T> room_;
    uint32_t size_ = 0;
};
using TokenList = LineList<TokenView>;

// Removes spaces and tabs from both ends.
void TrimLine(TokenView& line);

// Splits a trimmed line into tokens (each non-empty, each a view into the
// line) and returns the number of a ";@line" comment, 0 when there is none.
int32_t TokenizeLine(TokenView line, HxTArray<TokenView>& tokens);

namespace TokenizeDetail {

constexpr bool IsBlankByte(char c) { return c == ' ' || c == '\t'; }

#if defined(__SSE2__)
// Masks of the bytes of up to 64 bytes of text, bit k for byte k: blanks,
// quotes and semicolons, digits, and the bytes a name may hold.
struct LineMasks {
    uint64_t blank = 0, special = 0, digit = 0, name = 0;
};

inline uint32_t Bits(__m128i compared) { return static_cast<uint32_t>(_mm_movemask_epi8(compared)); }

// The masks of the 16 bytes at `text`.
inline void MaskChunk(const char* text, uint32_t& blank, uint32_t& special, uint32_t& digit, uint32_t& name) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    // A byte in a range of n from `low`: moved so that `low` lands on
    // -128, it is below -128 + n (signed).
    const __m128i fromZero = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - '0')));
    const __m128i digits = _mm_cmplt_epi8(fromZero, _mm_set1_epi8(-128 + 10));
    const __m128i digitOrColon = _mm_cmplt_epi8(fromZero, _mm_set1_epi8(-128 + 11));  // ':' follows '9'
    const __m128i fromA = _mm_add_epi8(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x80 - 'a'));
    const __m128i letter = _mm_cmplt_epi8(fromA, _mm_set1_epi8(-128 + 26));
    const __m128i marks = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')),
                                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8('#')));
    const __m128i names = _mm_or_si128(_mm_or_si128(letter, digitOrColon), marks);
    const __m128i blanks = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                                        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')));
    const __m128i specials = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                          _mm_cmpeq_epi8(bytes, _mm_set1_epi8(';')));
    blank = Bits(blanks);
    special = Bits(specials);
    digit = Bits(digits);
    name = Bits(names);
}

// The masks of the 16 bytes at `text + at` added to `m` at bit `at`; called
// with constant places, so that each shift is a constant.
inline void AddChunkMasks(const char* text, uint32_t at, LineMasks& m) {
    uint32_t blank, special, digit, name;
    MaskChunk(text + at, blank, special, digit, name);
    m.blank |= uint64_t(blank) << at;
    m.special |= uint64_t(special) << at;
    m.digit |= uint64_t(digit) << at;
    m.name |= uint64_t(name) << at;
}

// The masks of the first `length` bytes (1 to 64) of a text followed by
// readable bytes up to 64 in all; the bits past `length` are whatever the
// bytes there give. Each block at its own fixed place.
inline void MaskLine(const char* text, uint32_t length, LineMasks& m) {
    m = LineMasks{};
    AddChunkMasks(text, 0, m);
    if (length > 16) AddChunkMasks(text, 16, m);
    if (length > 32) AddChunkMasks(text, 32, m);
    if (length > 48) AddChunkMasks(text, 48, m);
}
#endif

// The number of a ";@line" comment that starts at `at` of a line followed by
// readable bytes, as CommentLineNumber finds it.
inline int32_t PaddedCommentLineNumber(const char* text, uint32_t length, uint32_t at) {
    constexpr uint64_t kWord = uint64_t(';') | uint64_t('@') << 8 | uint64_t('l') << 16 | uint64_t('i') << 24 |
                               uint64_t('n') << 32 | uint64_t('e') << 40;
    if (at + 6 >= length || !IsBlankByte(text[at + 6])) return 0;
    uint64_t word;
    std::memcpy(&word, text + at, 8);
    if ((HashDetail::LowerEight(word) & 0xFFFFFFFFFFFFull) != kWord) return 0;
    uint32_t i = at + 7;
    while (i < length && IsBlankByte(text[i])) ++i;
    uint32_t value;
    if (PaddedDigitsValue(text + i, length - i, value)) return static_cast<int32_t>(value);
    return ParseSigned32(TokenView(text + i, length - i));
}

// The rarer tokens of a padded line, kept out of the loop over the common
// ones: a quoted token at `at`, or an unquoted token there that runs past its
// window. Adds the token and answers where the next window starts.
#if defined(__GNUC__)
[[gnu::noinline]]
#endif
uint32_t RareToken(const char* text, uint32_t length, uint32_t at, bool windowStart, TokenView* tokens,
                   uint32_t& count);

}  // namespace TokenizeDetail

// The same for a line that may have blanks at both ends and is followed by
// at least 64 readable bytes (as the lines of a LineReader are).
inline int32_t TokenizePaddedLine(TokenView line, TokenList& tokens) {
    using namespace TokenizeDetail;
    const char* text = line.text;
    const uint32_t length = line.length;
#if defined(__SSE2__)
    // The line is looked at 64 bytes at a time; a window ends early at a
    // quoted token and where a token runs past it.
    int32_t lineNumber = 0;
    uint32_t base = 0;
    uint32_t count = 0;
    while (base < length) {
        // A window adds at most 64 tokens.
        TokenView* out = tokens.Room(count + 64);
        const char* window = text + base;
        const uint32_t n = length - base < 64 ? length - base : 64;
        LineMasks m;
        MaskLine(window, n, m);
        const uint64_t valid = n == 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1;
        // Past the end counts as a delimiter, so that the last token ends.
        const uint64_t delimiter = m.blank | m.special | ~valid;
        uint64_t pending = valid & ~m.blank;
        uint32_t next = base + 64;
        while (pending != 0) {
            const uint64_t bit = pending & (0 - pending);
            const uint64_t after = delimiter & (0 - bit);
            if ((bit & m.special) != 0 || after == 0) {
                const uint32_t at = base + static_cast<uint32_t>(__builtin_ctzll(bit));
                if (text[at] == ';') {
                    // A comment ends the line; most are ";@line" ones.
                    lineNumber = PaddedCommentLineNumber(text, length, at);
                    next = length;
                    break;
                }
                next = RareToken(text, length, at, bit == 1, out, count);
                break;
            }
            const uint64_t endBit = after & (0 - after);
            const uint64_t range = endBit - bit;
            const uint32_t start = static_cast<uint32_t>(__builtin_ctzll(bit));
            TokenView token(window + start, static_cast<uint32_t>(__builtin_ctzll(endBit)) - start);
            token.classes = static_cast<uint8_t>(kTokenKnown | ((range & ~m.digit) ? kTokenNonDigit : kTokenDigit) |
                                                 ((range & ~m.name) ? kTokenOther : 0));
            out[count++] = token;
            pending &= 0 - endBit;
        }
        base = next;
    }
    tokens.SetSize(count);
    return lineNumber;
#else
    TokenView trimmed = line;
    TrimLine(trimmed);
    HxTArray<TokenView> plain;
    const int32_t lineNumber = TokenizeLine(trimmed, plain);
    TokenView* out = tokens.Room(plain.Size());
    for (uint32_t i = 0; i < plain.Size(); ++i) out[i] = plain[i];
    tokens.SetSize(plain.Size());
    return lineNumber;
#endif
}

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
    bool ReadLine(TokenView& line) {
#if defined(__SSE2__)
        // A line that ends within the next 64 buffered bytes and holds no
        // carriage return, found sixteen bytes at a time.
        if (!atFileStart_) {
            const char* data = buffer_.Data();
            for (uint32_t at = begin_; at < end_ && at < begin_ + 64; at += 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
                const uint32_t feeds = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
                if (feeds == 0) continue;
                const uint32_t lineEnd = at + static_cast<uint32_t>(__builtin_ctz(feeds));
                if (lineEnd >= end_ || noReturnUntil_ < lineEnd) break;
                line = TokenView(data + begin_, lineEnd - begin_);
                begin_ = lineEnd + 1;
                return true;
            }
        }
#endif
        return ReadLineSlowly(line);
    }

    // Twice the buffer of a disk store: a read of that store asks for more
    // than its buffer holds, which it hands straight to the file instead of
    // copying it through the buffer.
    static constexpr uint32_t kChunkSize = 128 * 1024;
    // Readable bytes kept after the buffered ones, so that a line can be
    // looked at in blocks that run past its end.
    static constexpr uint32_t kPadding = 64;

private:
    bool ReadLineSlowly(TokenView& line);
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
