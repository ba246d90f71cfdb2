#include "tool/AssemblyLexer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdlib>
#include <limits>

namespace Assembler {

using HxScript::UnlinkedTypes::Value;

namespace {

constexpr bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline char ToLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool IsIdentifierStart(char c) { return IsAsciiLetter(c) || c == '_' || c == ':'; }
constexpr bool IsIdentifierChar(char c) { return IsIdentifierStart(c) || IsDigit(c) || c == '#'; }

inline TokenView Slice(TokenView t, uint32_t from, uint32_t to) { return TokenView(t.text + from, to - from); }

uint32_t FindChar(TokenView t, char c, uint32_t from = 0) {
    for (uint32_t i = from; i < t.length; ++i)
        if (t[i] == c) return i;
    return kHxInvalidIndex;
}

// Magnitude of a run of digits starting at `at`, stopping at `limit`.
uint64_t ParseMagnitude(TokenView t, uint32_t at, uint64_t limit) {
    uint64_t value = 0;
    for (uint32_t i = at; i < t.length && IsDigit(t[i]); ++i) {
        value = value * 10 + static_cast<uint64_t>(t[i] - '0');
        if (value >= limit) return limit;
    }
    return value;
}

}  // namespace

bool EqualsNoCase(TokenView token, const char* text) {
    uint32_t i = 0;
    for (; i < token.length; ++i) {
        if (text[i] == '\0' || ToLower(token[i]) != ToLower(text[i])) return false;
    }
    return text[i] == '\0';
}

using HashDetail::LowerEight;

uint32_t NameHash(const char* text, uint32_t length) {
    uint64_t hash = length;
    uint32_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, text + i, 8);
        hash = HashDetail::Mix(hash, LowerEight(word));
    }
    if (i < length) {
        uint64_t word = 0;
        std::memcpy(&word, text + i, length - i);
        hash = HashDetail::Mix(hash, LowerEight(word));
    }
    return HashDetail::Finish(hash);
}

bool IsIdentifierToken(TokenView token) {
    if (token.Empty() || !IsIdentifierStart(token[0])) return false;
    if (token.classes & kTokenKnown) return (token.classes & kTokenOther) == 0;
    for (uint32_t i = 1; i < token.length; ++i)
        if (!IsIdentifierChar(token[i])) return false;
    return true;
}

bool IsQuotedToken(TokenView token) {
    return token.length >= 2 && token[0] == '"' && token[token.length - 1] == '"';
}

bool IsUnsignedToken(TokenView token) {
    if (token.Empty()) return false;
    if (token.classes & kTokenKnown) return (token.classes & ~(kTokenKnown | kTokenDigit)) == 0;
    for (uint32_t i = 0; i < token.length; ++i)
        if (!IsDigit(token[i])) return false;
    return true;
}

bool IsSignedToken(TokenView token) {
    if (!token.Empty() && (token[0] == '+' || token[0] == '-')) return IsUnsignedToken(Slice(token, 1, token.length));
    return IsUnsignedToken(token);
}

bool IsFloatToken(TokenView token) {
    uint32_t dot = FindChar(token, '.');
    if (dot == kHxInvalidIndex || dot == 0 || dot == token.length - 1) return false;
    if (!IsSignedToken(Slice(token, 0, dot))) return false;
    uint32_t exponent = kHxInvalidIndex;
    for (uint32_t i = 0; i < token.length; ++i) {
        if (token[i] == 'e' || token[i] == 'E') {
            exponent = i;
            break;
        }
    }
    uint32_t fractionEnd = token.length;
    if (exponent != kHxInvalidIndex) {
        if (!IsSignedToken(Slice(token, exponent + 1, token.length))) return false;
        fractionEnd = exponent;
    }
    // The prefix test above rules out an exponent before the dot.
    return fractionEnd > dot && IsUnsignedToken(Slice(token, dot + 1, fractionEnd));
}

bool IsTypeNameToken(TokenView token) {
    if (token.length >= 3 && token[token.length - 2] == '[' && token[token.length - 1] == ']')
        return IsIdentifierToken(Slice(token, 0, token.length - 2));
    return IsIdentifierToken(token);
}

uint32_t ParseUnsigned32(TokenView digits) {
    return static_cast<uint32_t>(ParseMagnitude(digits, 0, 0xFFFFFFFFull));
}

int32_t ParseSigned32(TokenView text) {
    bool negative = false;
    uint32_t at = 0;
    if (at < text.length && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    uint64_t magnitude = ParseMagnitude(text, at, negative ? 2147483648ull : 2147483647ull);
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

int64_t ParseSigned64(TokenView text) {
    bool negative = false;
    uint32_t at = 0;
    if (at < text.length && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    const uint64_t largest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t magnitude = ParseMagnitude(text, at, negative ? largest + 1 : largest);
    if (!negative) return static_cast<int64_t>(magnitude);
    if (magnitude == largest + 1) return std::numeric_limits<int64_t>::min();
    return -static_cast<int64_t>(magnitude);
}

void TrimLine(TokenView& line) {
    uint32_t from = 0, to = line.length;
    while (from < to && IsBlank(line[from])) ++from;
    while (to > from && IsBlank(line[to - 1])) --to;
    line = Slice(line, from, to);
}

namespace {

// What a byte means outside quotes: the delimiters, and for the other bytes
// their token class. A backslash outside quotes is an ordinary character.
enum ByteRole : uint8_t { kBlank = 0x10, kQuote = 0x20, kSemicolon = 0x40 };

struct ByteRoles {
    uint8_t of[256] = {};
    constexpr ByteRoles() {
        for (unsigned c = 0; c < 256; ++c) {
            const char ch = static_cast<char>(c);
            of[c] = IsDigit(ch) ? kTokenDigit : IsIdentifierChar(ch) ? kTokenNonDigit : kTokenNonDigit | kTokenOther;
        }
        of[static_cast<uint8_t>(' ')] = kBlank;
        of[static_cast<uint8_t>('\t')] = kBlank;
        of[static_cast<uint8_t>('"')] = kQuote;
        of[static_cast<uint8_t>(';')] = kSemicolon;
    }
};
constexpr ByteRoles kRoles;
constexpr uint8_t kDelimiters = kBlank | kQuote | kSemicolon;

// The number of a ";@line" comment that starts at `at`, 0 when the comment is
// something else.
int32_t CommentLineNumber(TokenView line, uint32_t at) {
    uint32_t wordEnd = at;
    while (wordEnd < line.length && !IsBlank(line[wordEnd])) ++wordEnd;
    if (wordEnd == line.length || !EqualsNoCase(Slice(line, at, wordEnd), ";@line")) return 0;
    while (wordEnd < line.length && IsBlank(line[wordEnd])) ++wordEnd;
    return ParseSigned32(Slice(line, wordEnd, line.length));
}

}  // namespace

namespace {

// The end of a quoted token that starts at `start`: one past its closing
// quote, or the line's end when it is never closed. Blanks and semicolons are
// text inside quotes and leave a pending escape alone; a backslash toggles
// it; anything else clears it.
inline uint32_t QuotedTokenEnd(const char* text, uint32_t start, uint32_t length) {
    uint32_t i = start + 1;
    bool escapePending = false;
    for (; i < length; ++i) {
        const char c = text[i];
        if (c == '"') {
            if (!escapePending) return i + 1;
            escapePending = false;
        } else if (c == '\\') {
            escapePending = !escapePending;
        } else if (!IsBlank(c) && c != ';') {
            escapePending = false;
        }
    }
    return length;
}

// The end of an unquoted token that starts at `start`: its first delimiter
// or the line's end; `classes` gathers the classes of its bytes.
inline uint32_t UnquotedTokenEnd(const char* text, uint32_t start, uint32_t length, uint8_t& classes) {
    uint32_t i = start;
    for (; i < length; ++i) {
        const uint8_t current = kRoles.of[static_cast<uint8_t>(text[i])];
        if (current & kDelimiters) break;
        classes |= current;
    }
    return i;
}

// QuotedTokenEnd for a line followed by readable bytes: the bytes up to the
// first quote or backslash are skipped sixteen at a time, since none of them
// changes the escape state.
inline uint32_t PaddedQuotedTokenEnd(const char* text, uint32_t start, uint32_t length) {
#if defined(__SSE2__)
    for (uint32_t at = start + 1; at < length; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const uint32_t hits = static_cast<uint32_t>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')))));
        if (hits == 0) continue;
        const uint32_t hit = at + static_cast<uint32_t>(__builtin_ctz(hits));
        if (hit >= length) return length;
        if (text[hit] == '"') return hit + 1;
        return QuotedTokenEnd(text, hit - 1, length);
    }
    return length;
#else
    return QuotedTokenEnd(text, start, length);
#endif
}


}  // namespace

int32_t TokenizeLine(TokenView line, HxTArray<TokenView>& tokens) {
    tokens.Clear();
    const char* text = line.text;
    const uint32_t length = line.length;
    uint32_t i = 0;
    while (i < length) {
        const uint8_t role = kRoles.of[static_cast<uint8_t>(text[i])];
        if (role == kBlank) {
            ++i;
            continue;
        }
        if (role == kSemicolon) return CommentLineNumber(line, i);
        if (role == kQuote) {
            // Text right after the closing quote starts a new token; an
            // unterminated quoted token goes out as it is.
            const uint32_t start = i;
            i = QuotedTokenEnd(text, start, length);
            tokens.Add(TokenView(text + start, i - start));
            continue;
        }
        // An unquoted token: the classes of its bytes on the way.
        const uint32_t start = i;
        uint8_t classes = kTokenKnown;
        i = UnquotedTokenEnd(text, start, length, classes);
        TokenView token(text + start, i - start);
        token.classes = classes;
        tokens.Add(token);
    }
    return 0;
}



namespace TokenizeDetail {

uint32_t RareToken(const char* text, uint32_t length, uint32_t at, bool windowStart, TokenView* tokens,
                   uint32_t& count) {
    if (text[at] == '"') {
        uint32_t end = PaddedQuotedTokenEnd(text, at, length);
        // An unterminated token ends where the trimmed line ends.
        if (end == length)
            while (end > at + 1 && IsBlank(text[end - 1])) --end;
        tokens[count++] = TokenView(text + at, end - at);
        return end;
    }
    // The next window starts with the token, unless it is longer than a
    // window and goes byte by byte.
    if (!windowStart) return at;
    uint8_t classes = kTokenKnown;
    const uint32_t i = UnquotedTokenEnd(text, at, length, classes);
    TokenView token(text + at, i - at);
    token.classes = classes;
    tokens[count++] = token;
    return i;
}

}  // namespace TokenizeDetail


uint32_t UnescapeInto(TokenView token, char* out) {
    const uint32_t last = token.length - 1;
    uint32_t n = 0;
    for (uint32_t i = 1; i < last; ++i) {
        // The text up to the next backslash goes over as it is.
        const void* found = std::memchr(token.text + i, '\\', last - i);
        const uint32_t run = found != nullptr ? static_cast<uint32_t>(static_cast<const char*>(found) - token.text) - i
                                              : last - i;
        std::memcpy(out + n, token.text + i, run);
        n += run;
        i += run;
        if (i == last) break;
        char c = token[i];
        if (c == '\\') {
            // The escaped character may be the closing quote itself when the
            // token was never closed and just happens to end in a quote.
            const char next = token[++i];
            switch (next) {
                case '"': c = '"'; break;
                case '\\': c = '\\'; break;
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                default: c = '?'; break;
            }
        }
        out[n++] = c;
    }
    return n;
}

HxFixedString UnescapeString(TokenView token) {
    if (!IsQuotedToken(token)) return HxFixedString();
    const uint32_t last = token.length - 1;
    if (FindChar(Slice(token, 1, last), '\\') == kHxInvalidIndex) return HxFixedString(token.text + 1, last - 1);

    // The result is never longer than the token; short ones stay on the stack.
    char small[256];
    HxTArray<char> large;
    char* out = small;
    if (token.length > sizeof(small)) {
        large.Resize(token.length);
        out = large.Data();
    }
    return HxFixedString(out, UnescapeInto(token, out));
}

namespace {

double StrtodFloat(TokenView token);

// A float token as strtod reads it, when that needs no more than one exact
// double operation: at most 15 digits (exact in a double) scaled by a power
// of ten up to 10^22 (exact too), so that the one rounding is strtod's.
// False when the token needs strtod.
bool ParseShortFloat(TokenView token, double& value) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    uint32_t i = 0;
    bool negative = false;
    if (token[0] == '+' || token[0] == '-') negative = token[i++] == '-';
    uint64_t digits = 0;
    int count = 0, scale = 0;
    for (; i < token.length && IsDigit(token[i]); ++i, ++count) digits = digits * 10 + static_cast<uint64_t>(token[i] - '0');
    if (i < token.length && token[i] == '.') {
        for (++i; i < token.length && IsDigit(token[i]); ++i, ++count, --scale)
            digits = digits * 10 + static_cast<uint64_t>(token[i] - '0');
    }
    if (count > 15) return false;
    if (i < token.length && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < token.length && (token[i] == '+' || token[i] == '-')) negativeExponent = token[i++] == '-';
        int exponent = 0;
        for (; i < token.length && IsDigit(token[i]); ++i)
            if (exponent < 1000) exponent = exponent * 10 + (token[i] - '0');
        scale += negativeExponent ? -exponent : exponent;
    }
    if (i != token.length || scale < -22 || scale > 22) return false;
    double result = static_cast<double>(digits);
    result = scale < 0 ? result / kPowers[-scale] : result * kPowers[scale];
    value = negative ? -result : result;
    return true;
}

float ParseFloat(TokenView token) {
    double wide;
    if (!ParseShortFloat(token, wide)) wide = StrtodFloat(token);
    // Beyond the float range the value stops at the largest float, as
    // integers stop at their limits: an infinity would be written back as
    // text ("inf") that no assembly file can hold.
    const float largest = std::numeric_limits<float>::max();
    if (wide > static_cast<double>(largest)) return largest;
    if (wide < -static_cast<double>(largest)) return -largest;
    return static_cast<float>(wide);
}

double StrtodFloat(TokenView token) {
    char small[64];
    HxTArray<char> large;
    char* text = small;
    if (token.length >= sizeof(small)) {
        large.Resize(token.length + 1);
        text = large.Data();
    }
    std::memcpy(text, token.text, token.length);
    text[token.length] = '\0';
    return std::strtod(text, nullptr);
}

}  // namespace

ValueToken ClassifyValue(TokenView token) {
    ValueToken result;
    if ((token.classes & kTokenKnown) && (token.classes & ~(kTokenKnown | kTokenDigit)) == 0) {
        // Digits only: the common integer.
        result.kind = ValueToken::Integer;
        result.integer = ParseSigned32(token);
    } else if ((token.length == 4 || token.length == 5) &&
               (EqualsNoCase(token, "TRUE") || EqualsNoCase(token, "FALSE"))) {
        result.kind = ValueToken::Bool;
        result.flag = token.length == 4;
    } else if (token.length == 4 && EqualsNoCase(token, "NONE")) {
        result.kind = ValueToken::None;
    } else if (!token.Empty() && token[0] == '"') {
        if (IsQuotedToken(token)) {
            result.kind = ValueToken::String;
        } else {
            result.kind = ValueToken::Bad;
            result.error = "Malformed quoted string";
        }
    } else if (!token.Empty() && IsIdentifierStart(token[0])) {
        if (IsIdentifierToken(token)) {
            result.kind = ValueToken::Identifier;
        } else if (IsTypeNameToken(token)) {
            result.kind = ValueToken::TypeName;
        } else {
            result.kind = ValueToken::Bad;
            result.error = "Invalid identifier";
        }
    } else if (IsFloatToken(token)) {
        result.kind = ValueToken::Float;
        result.number = ParseFloat(token);
    } else if (IsSignedToken(token)) {
        result.kind = ValueToken::Integer;
        result.integer = ParseSigned32(token);
    } else {
        result.kind = ValueToken::Bad;
        result.error = "Unknown assembly argument";
    }
    return result;
}

Value ParseValue(TokenView token, const char*& errorText) {
    // Every branch returns a freshly made value, which lands in the caller's
    // variable without a copy: names are the common case and each copy of
    // one costs a reference count update.
    const ValueToken parsed = ClassifyValue(token);
    errorText = parsed.error;
    switch (parsed.kind) {
        case ValueToken::Bool: return Value::MakeBool(parsed.flag);
        case ValueToken::String: return Value::MakeString(UnescapeString(token));
        case ValueToken::Identifier: return Value::MakeIdentifier(HxFixedString(token.text, token.length));
        case ValueToken::TypeName: return Value::MakeTypeName(HxFixedString(token.text, token.length));
        case ValueToken::Integer: return Value::MakeInteger(parsed.integer);
        case ValueToken::Float: return Value::MakeFloat(parsed.number);
        case ValueToken::None:
        case ValueToken::Bad: break;
    }
    return Value::MakeNone();
}

void ParseValue(TokenView token, Value& value, const char*& errorText) { value = ParseValue(token, errorText); }

// ---------------------------------------------------------------------------

void LineReader::Begin(HxScript::IStore* store) {
    store_ = store;
    begin_ = end_ = noReturnUntil_ = 0;
    remaining_ = 0;
    failed_ = false;
    atFileStart_ = false;
    if (store_ == nullptr) return;
    const uint64_t size = store_->GetSize();
    uint64_t position = store_->GetPosition();
    if (position == ~uint64_t(0)) position = 0;
    remaining_ = size > position ? size - position : 0;
    atFileStart_ = position == 0;
}

bool LineReader::Refill() {
    if (failed_ || remaining_ == 0 || store_->IsEndOfFile()) return false;
    char* data = buffer_.Data();
    if (begin_ > 0) {
        std::memmove(data, data + begin_, end_ - begin_);
        end_ -= begin_;
        noReturnUntil_ -= begin_;
        begin_ = 0;
    }
    const uint32_t usable = buffer_.Size() == 0 ? 0 : buffer_.Size() - kPadding;
    if (end_ == usable) {
        // A small file gets a buffer of its own size: a fresh buffer is
        // zero-filled, and every page of it touched costs a page fault.
        const uint32_t first = remaining_ < kChunkSize ? static_cast<uint32_t>(remaining_) + 1 : kChunkSize;
        const uint32_t grown = usable == 0 ? first : usable * 2;
        if (grown <= usable || grown + kPadding < grown || !buffer_.Resize(grown + kPadding)) {
            failed_ = true;
            return false;
        }
        data = buffer_.Data();
    }
    const uint64_t room = buffer_.Size() - kPadding - end_;
    const uint32_t count = static_cast<uint32_t>(room < remaining_ ? room : remaining_);
    if (store_->Read(count, data + end_) != StorageResult::Success) {
        failed_ = true;
        return false;
    }
    const uint32_t oldEnd = end_;
    end_ += count;
    remaining_ -= count;
    if (noReturnUntil_ == oldEnd) FindReturn(oldEnd);
    return true;
}

void LineReader::FindReturn(uint32_t from) {
    const void* cr = from < end_ ? std::memchr(buffer_.Data() + from, '\r', end_ - from) : nullptr;
    noReturnUntil_ = cr != nullptr ? static_cast<uint32_t>(static_cast<const char*>(cr) - buffer_.Data()) : end_;
}

// Windows editors often begin a UTF-8 file with EF BB BF. The first chunk
// holds the first three bytes of any file that has them, so a mark is never
// split; a refill that fails is left for ReadLine to find.
void LineReader::SkipByteOrderMark() {
    atFileStart_ = false;
    if (end_ - begin_ < 3 && !Refill()) return;
    if (end_ - begin_ >= 3 && std::memcmp(buffer_.Data() + begin_, "\xEF\xBB\xBF", 3) == 0) begin_ += 3;
}

bool LineReader::ReadLineSlowly(TokenView& line) {
    if (store_ == nullptr) return false;
    if (atFileStart_) SkipByteOrderMark();
    uint32_t scanned = 0;  // bytes after begin_ known to hold no line feed
    for (;;) {
        char* data = buffer_.Data();
        const uint32_t from = begin_ + scanned;
        const void* feed = from < end_ ? std::memchr(data + from, '\n', end_ - from) : nullptr;
        uint32_t lineEnd;
        if (feed != nullptr) {
            lineEnd = static_cast<uint32_t>(static_cast<const char*>(feed) - data);
        } else {
            scanned = end_ - begin_;
            if (Refill()) continue;
            if (failed_) {
                // The read that failed falls inside this line: it is lost.
                begin_ = end_;
                return false;
            }
            if (begin_ == end_) return false;
            lineEnd = end_;
        }
        // Drop carriage returns in place; the bytes are consumed anyway.
        uint32_t kept = lineEnd;
        const bool hadReturn = noReturnUntil_ < lineEnd;
        if (hadReturn) {
            kept = noReturnUntil_;
            for (uint32_t i = kept; i < lineEnd; ++i)
                if (data[i] != '\r') data[kept++] = data[i];
        }
        line = TokenView(data + begin_, kept - begin_);
        const bool atEnd = feed == nullptr;
        begin_ = atEnd ? end_ : lineEnd + 1;
        if (hadReturn || noReturnUntil_ < begin_) FindReturn(begin_);
        // An unterminated last line counts unless nothing but carriage returns was left.
        return !atEnd || line.length != 0;
    }
}

}  // namespace Assembler
