// Lexical layer of the assembly reader: token tests, tokenizer, constants,
// unescaping, number limits and the chunked line reader.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/MemoryStores.h"
#include "tool/AssemblyLexer.h"

namespace {

using namespace Assembler;
using HxScript::UnlinkedTypes::Value;
using HxScript::UnlinkedTypes::ValueKind;

std::vector<std::string> Tokens(const std::string& line, int32_t* sourceLine = nullptr) {
    HxTArray<TokenView> tokens;
    TokenView view(line.data(), static_cast<uint32_t>(line.size()));
    TrimLine(view);
    int32_t number = TokenizeLine(view, tokens);
    if (sourceLine) *sourceLine = number;
    std::vector<std::string> out;
    for (const TokenView& t : tokens) out.emplace_back(t.text, t.length);
    return out;
}

int32_t LineNumberOf(const std::string& line) {
    int32_t number = -12345;
    Tokens(line, &number);
    return number;
}

struct Parsed {
    Value value;
    std::string error;
};
Parsed Parse(const std::string& token) {
    Parsed p;
    const char* error = "unset";
    ParseValue(TokenView(token.data(), static_cast<uint32_t>(token.size())), p.value, error);
    p.error = error;
    return p;
}

TEST(AssemblyTokenTests, Identifiers) {
    for (const char* good : {"a", "_", ":", "::temp0", "a#b", "Foo_Bar9", "::State", "x:y:z"})
        EXPECT_TRUE(IsIdentifierToken(good)) << good;
    for (const char* bad : {"", "0a", "#a", "a-b", "a.b", "a[]", "\"a\"", "a b"})
        EXPECT_FALSE(IsIdentifierToken(bad)) << bad;
    // Bytes above 127 are neither letters nor digits.
    EXPECT_FALSE(IsIdentifierToken("caf\xC3\xA9"));
    EXPECT_FALSE(IsIdentifierToken("\xC3\xA9t\xC3\xA9"));
}

TEST(AssemblyTokenTests, TypeNames) {
    for (const char* good : {"Int", "Int[]", "a[]", "::x[]", "Foo#2[]"}) EXPECT_TRUE(IsTypeNameToken(good)) << good;
    for (const char* bad : {"[]", "Int[", "Int[][]", "1[]", "Int]", ""}) EXPECT_FALSE(IsTypeNameToken(bad)) << bad;
}

TEST(AssemblyTokenTests, QuotedUnsignedSigned) {
    EXPECT_TRUE(IsQuotedToken("\"\""));
    EXPECT_TRUE(IsQuotedToken("\"a b\""));
    EXPECT_FALSE(IsQuotedToken("\""));
    EXPECT_FALSE(IsQuotedToken("\"abc"));
    EXPECT_FALSE(IsQuotedToken("abc\""));

    EXPECT_TRUE(IsUnsignedToken("0"));
    EXPECT_TRUE(IsUnsignedToken("0123456789"));
    EXPECT_FALSE(IsUnsignedToken(""));
    EXPECT_FALSE(IsUnsignedToken("+1"));
    EXPECT_FALSE(IsUnsignedToken("1a"));

    EXPECT_TRUE(IsSignedToken("-7"));
    EXPECT_TRUE(IsSignedToken("+7"));
    EXPECT_TRUE(IsSignedToken("7"));
    EXPECT_FALSE(IsSignedToken("-"));
    EXPECT_FALSE(IsSignedToken("+-1"));
    EXPECT_FALSE(IsSignedToken(""));
}

TEST(AssemblyTokenTests, Floats) {
    for (const char* good : {"1.5", "-0.25", "1.0e10", "2.5E-3", "+1.5", "1.5e+3", "0.0"})
        EXPECT_TRUE(IsFloatToken(good)) << good;
    for (const char* bad : {"1.", ".5", "1e5", "1.5e", "1.5e+", "1..5", "1.5.2", "1e5.0", "-.5", "1.x", "1.5E3e"})
        EXPECT_FALSE(IsFloatToken(bad)) << bad;
}

TEST(AssemblyTokenizer, BlanksAndCommentsGiveNoTokens) {
    EXPECT_TRUE(Tokens("").empty());
    EXPECT_TRUE(Tokens(" \t  \t").empty());
    EXPECT_TRUE(Tokens("; just a comment").empty());
    EXPECT_TRUE(Tokens("\t;").empty());
}

TEST(AssemblyTokenizer, SemicolonsAndQuotes) {
    EXPECT_EQ(Tokens("a;b"), std::vector<std::string>{"a"});
    EXPECT_EQ(Tokens("\"a;b\""), std::vector<std::string>{"\"a;b\""});
    EXPECT_EQ(Tokens("x\"y z\"w"), (std::vector<std::string>{"x", "\"y z\"", "w"}));
    EXPECT_EQ(Tokens(".docString \"a\" \"b\""), (std::vector<std::string>{".docString", "\"a\"", "\"b\""}));
    EXPECT_EQ(Tokens("  a \t b  "), (std::vector<std::string>{"a", "b"}));
}

TEST(AssemblyTokenizer, EscapedQuotesAndUnterminatedStrings) {
    // An escaped quote does not end the string.
    EXPECT_EQ(Tokens("\"a\\\"b\" c"), (std::vector<std::string>{"\"a\\\"b\"", "c"}));
    // Two backslashes leave nothing pending, so the quote closes.
    EXPECT_EQ(Tokens("\"a\\\\\"b"), (std::vector<std::string>{"\"a\\\\\"", "b"}));
    // Never closed: one token up to the end of the line, semicolons included.
    EXPECT_EQ(Tokens("x \"abc ; def"), (std::vector<std::string>{"x", "\"abc ; def"}));
    // Ends in a quote that an escape kept open: one token that still looks quoted.
    EXPECT_EQ(Tokens("\"a\\\""), std::vector<std::string>{"\"a\\\""});
    // A blank inside quotes keeps a pending escape alive.
    EXPECT_EQ(Tokens("\"a\\ \" b"), std::vector<std::string>{"\"a\\ \" b"});
    // Outside quotes a backslash is an ordinary character.
    EXPECT_EQ(Tokens("a\\b \\"), (std::vector<std::string>{"a\\b", "\\"}));
}

TEST(AssemblyTokenizer, SourceLineComments) {
    EXPECT_EQ(LineNumberOf("IAdd a b c ;@line 5"), 5);
    EXPECT_EQ(LineNumberOf("IAdd a b c ;@LINE\t5"), 5);
    EXPECT_EQ(LineNumberOf("Noop ;@Line   \t 42 trailing words"), 42);
    EXPECT_EQ(LineNumberOf("Noop ;@line -3"), -3);
    EXPECT_EQ(LineNumberOf("Noop ;@line +8x"), 8);
    EXPECT_EQ(LineNumberOf("Noop ;@line 99999999999"), 2147483647);
    EXPECT_EQ(LineNumberOf("Noop ;@line -99999999999"), -2147483647 - 1);
    EXPECT_EQ(LineNumberOf("Noop ;@line x"), 0);
    // Not the right first word, or nothing after it.
    EXPECT_EQ(LineNumberOf("Noop ;@line5"), 0);
    EXPECT_EQ(LineNumberOf("Noop ; @line 5"), 0);
    EXPECT_EQ(LineNumberOf("Noop ;@lines 5"), 0);
    EXPECT_EQ(LineNumberOf("Noop ;@line"), 0);
    // Inside quotes the semicolon is text.
    EXPECT_EQ(LineNumberOf("Assign a \";@line 7\""), 0);
    // The number is reset by every line.
    EXPECT_EQ(LineNumberOf("Noop"), 0);
}

TEST(AssemblyConstants, KeywordsAndNumbers) {
    EXPECT_EQ(Parse("true").value, Value::MakeBool(true));
    EXPECT_EQ(Parse("False").value, Value::MakeBool(false));
    EXPECT_EQ(Parse("nOnE").value.GetKind(), ValueKind::None);
    EXPECT_EQ(Parse("nOnE").error, "");
    EXPECT_EQ(Parse("-7").value, Value::MakeInteger(-7));
    EXPECT_EQ(Parse("+7").value, Value::MakeInteger(7));
    EXPECT_EQ(Parse("99999999999").value, Value::MakeInteger(2147483647));
    EXPECT_EQ(Parse("-2147483648").value, Value::MakeInteger(-2147483647 - 1));
    EXPECT_EQ(Parse("1.5e3").value, Value::MakeFloat(1500.0f));
    EXPECT_EQ(Parse("-0.25").value, Value::MakeFloat(-0.25f));
    EXPECT_EQ(Parse("0.1").value, Value::MakeFloat(0.1f));
    EXPECT_EQ(Parse("1.0e99").value, Value::MakeFloat(std::numeric_limits<float>::max()));
    EXPECT_EQ(Parse("-1.0e39").value, Value::MakeFloat(-std::numeric_limits<float>::max()));
    for (const char* bad : {"1e5", "0x10", "5.", ".5", "#", "[]", "-", "1.5e"}) {
        Parsed p = Parse(bad);
        EXPECT_EQ(p.error, "Unknown assembly argument") << bad;
        EXPECT_EQ(p.value.GetKind(), ValueKind::None) << bad;
    }
}

TEST(AssemblyConstants, NamesAndStrings) {
    Parsed id = Parse("::temp0");
    EXPECT_EQ(id.value.GetKind(), ValueKind::Identifier);
    EXPECT_STREQ(id.value.GetIdentifier().text(), "::temp0");
    Parsed type = Parse("Int[]");
    EXPECT_EQ(type.value.GetKind(), ValueKind::TypeName);
    EXPECT_STREQ(type.value.GetTypeName().text(), "Int[]");
    EXPECT_EQ(Parse("a-b").error, "Invalid identifier");
    EXPECT_EQ(Parse("Int[][]").error, "Invalid identifier");
    EXPECT_EQ(Parse("\"abc").error, "Malformed quoted string");
    EXPECT_EQ(Parse("\"").error, "Malformed quoted string");

    Parsed empty = Parse("\"\"");
    EXPECT_EQ(empty.value.GetKind(), ValueKind::String);
    EXPECT_STREQ(empty.value.GetString().text(), "");
    EXPECT_STREQ(Parse("\"\\q\"").value.GetString().text(), "?");
    EXPECT_STREQ(Parse("\"a\\\"b\"").value.GetString().text(), "a\"b");
}

TEST(AssemblyConstants, Unescape) {
    EXPECT_STREQ(UnescapeString("\"plain\"").text(), "plain");
    EXPECT_STREQ(UnescapeString("\"a\\nb\\tc\\\\d\\\"e\"").text(), "a\nb\tc\\d\"e");
    EXPECT_STREQ(UnescapeString("\"\\N\\x\"").text(), "??");
    // The escape may swallow the final quote of a token that was never closed.
    EXPECT_STREQ(UnescapeString("\"a\\\"").text(), "a\"");
    EXPECT_STREQ(UnescapeString("notquoted").text(), "");
    EXPECT_STREQ(UnescapeString("\"abc").text(), "");
    // Bytes above 127 pass through.
    EXPECT_STREQ(UnescapeString("\"caf\xC3\xA9\"").text(), "caf\xC3\xA9");
    // Long strings take the heap path.
    std::string longText(1000, 'x');
    longText[500] = '\\';
    longText[501] = 'n';
    std::string expected(longText);
    expected.replace(500, 2, "\n");
    EXPECT_EQ(std::string(UnescapeString(("\"" + longText + "\"").c_str()).text()), expected);
}

TEST(AssemblyConstants, NumberLimits) {
    EXPECT_EQ(ParseUnsigned32("4294967295"), 4294967295u);
    EXPECT_EQ(ParseUnsigned32("4294967296"), 4294967295u);
    EXPECT_EQ(ParseUnsigned32("2147483648"), 2147483648u);
    EXPECT_EQ(ParseUnsigned32("000012"), 12u);
    EXPECT_EQ(ParseSigned64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseSigned64("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(ParseSigned64("-99999999999999999999999"), INT64_MIN);
    EXPECT_EQ(ParseSigned64("1767225600"), 1767225600);
    EXPECT_EQ(ParseSigned32("2147483648"), 2147483647);
}

// ---------------------------------------------------------------------------
// Line reader

// A store whose reads start failing after a number of bytes.
class FailingSource : public TestSupport::MemorySource {
public:
    FailingSource(const std::string& text, uint64_t failAt) : MemorySource(text), failAt_(failAt) {}
    StorageResult Read(uint32_t count, void* destination) override {
        if (read_ + count > failAt_) {
            std::memset(destination, 0, count);
            return StorageResult::Failure;
        }
        read_ += count;
        return MemorySource::Read(count, destination);
    }

private:
    uint64_t failAt_;
    uint64_t read_ = 0;
};

// The byte-at-a-time reading that the chunked reader must match.
std::vector<std::string> ReferenceLines(const std::string& text, size_t failAt = std::string::npos) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (;;) {
        std::string line;
        bool failed = false, atEnd = false;
        for (;;) {
            if (at >= failAt) {
                failed = true;
                break;
            }
            if (at >= text.size()) {
                atEnd = true;
                break;
            }
            char c = text[at++];
            if (c == '\n') break;
            if (c != '\r') line += c;
        }
        if (failed || (atEnd && line.empty())) return lines;
        lines.push_back(line);
        if (atEnd) return lines;
    }
}

std::vector<std::string> ChunkedLines(HxScript::IStore& store) {
    std::vector<std::string> lines;
    EXPECT_TRUE(store.Open("Test"));
    LineReader reader;
    reader.Begin(&store);
    TokenView line;
    while (reader.ReadLine(line)) lines.emplace_back(line.text, line.length);
    // Once finished, it stays finished.
    EXPECT_FALSE(reader.ReadLine(line));
    return lines;
}

TEST(AssemblyLineReader, EndsOfLinesAndFile) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"\n", {""}},
        {"a\nb\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},              // the last line counts without a line feed
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\n\r", {"a"}},                // only a carriage return left: no line
        {"x\ry\n\n\nz", {"xy", "", "", "z"}},
        {"\r\r\n", {""}},
    };
    for (const Case& c : cases) {
        TestSupport::MemorySource store(c.text);
        EXPECT_EQ(ChunkedLines(store), c.lines) << "text: " << c.text;
    }
}

TEST(AssemblyLineReader, MatchesByteReadingAcrossChunkBoundaries) {
    std::mt19937 random(7);
    const char alphabet[] = {'a', 'b', ' ', '\t', '\r', '\n', '"', ';'};
    for (int round = 0; round < 12; ++round) {
        // Sizes around one and two chunks, with lines long enough to span them.
        size_t size = LineReader::kChunkSize * (1 + round % 3) + (random() % 200) - 100;
        std::string text(size, 'a');
        const unsigned lineFeedOdds = round < 6 ? 40 : 70000;
        for (char& c : text) {
            unsigned r = random() % lineFeedOdds;
            c = r == 0 ? '\n' : alphabet[random() % 5];
        }
        TestSupport::MemorySource store(text);
        EXPECT_EQ(ChunkedLines(store), ReferenceLines(text)) << "round " << round;
    }
}

TEST(AssemblyLineReader, FailedReadLosesTheLineItFallsIn) {
    std::string text = "first\nsecond\n" + std::string(LineReader::kChunkSize, 'x') + "\nlast\n";
    // The first chunk reads fine; the read of the second chunk fails, which
    // takes away the long line that spans the boundary and all after it.
    FailingSource store(text, LineReader::kChunkSize);
    EXPECT_EQ(ChunkedLines(store), (std::vector<std::string>{"first", "second"}));

    FailingSource failsAtOnce("abc\n", 0);
    EXPECT_TRUE(ChunkedLines(failsAtOnce).empty());
}

TEST(AssemblyLineReader, NoStoreReadsNothing) {
    LineReader reader;
    reader.Begin(nullptr);
    TokenView line;
    EXPECT_FALSE(reader.ReadLine(line));
}

}  // namespace
