// Lexical layer of the assembly reader: token tests, tokenizer, constants,
// unescaping, number limits and the chunked line reader.

#include <gtest/gtest.h>

#include <cstring>
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
using Strings = std::vector<std::string>;

Strings Tokens(const std::string& line, int32_t* sourceLine = nullptr) {
    HxTArray<TokenView> tokens;
    TokenView view(line.data(), static_cast<uint32_t>(line.size()));
    TrimLine(view);
    int32_t number = TokenizeLine(view, tokens);
    if (sourceLine) *sourceLine = number;
    Strings out;
    for (const TokenView& t : tokens) out.emplace_back(t.text, t.length);
    return out;
}

// Parses with the assigning form into `value`, checks that the returning
// form agrees, and gives the error text.
std::string ParseError(const char* token, Value& value) {
    const char* error = "unset";
    const char* returnedError = "unset";
    ParseValue(TokenView(token), value, error);
    EXPECT_EQ(ParseValue(TokenView(token), returnedError), value) << token;
    EXPECT_STREQ(returnedError, error) << token;
    return error;
}

TEST(AssemblyTokenTests, AcceptAndReject) {
    using Test = bool (*)(TokenView);
    const struct {
        Test test;
        std::vector<const char*> good, bad;
    } cases[] = {
        {IsIdentifierToken, {"a", "_", ":", "::temp0", "a#b", "x:y:z"},
         {"", "0a", "#a", "a-b", "a.b", "a[]", "\"a\"", "a b", "caf\xC3\xA9", "\xC3\xA9t\xC3\xA9"}},
        {IsTypeNameToken, {"Int", "Int[]", "::x[]", "Foo#2[]"}, {"[]", "Int[", "Int[][]", "1[]", "Int]", ""}},
        {IsQuotedToken, {"\"\"", "\"a b\""}, {"\"", "\"abc", "abc\""}},
        {IsUnsignedToken, {"0", "0123456789"}, {"", "+1", "1a"}},
        {IsSignedToken, {"-7", "+7", "7"}, {"-", "+-1", ""}},
        {IsFloatToken, {"1.5", "-0.25", "1.0e10", "2.5E-3", "+1.5", "1.5e+3"},
         {"1.", ".5", "1e5", "1.5e", "1.5e+", "1..5", "1.5.2", "1e5.0", "-.5", "1.x", "1.5E3e"}},
    };
    for (const auto& c : cases) {
        for (const char* token : c.good) EXPECT_TRUE(c.test(token)) << token;
        for (const char* token : c.bad) EXPECT_FALSE(c.test(token)) << token;
    }
}

TEST(AssemblyTokenizer, CommentsQuotesAndEscapes) {
    const std::vector<std::pair<std::string, Strings>> cases = {
        {"", {}}, {" \t  \t", {}}, {"\t; just a comment", {}}, {"a;b", {"a"}}, {"  a \t b  ", {"a", "b"}},
        {"x\"y z\"w", {"x", "\"y z\"", "w"}}, {"\"a;b\"", {"\"a;b\""}},
        {"\"a\\\"b\" c", {"\"a\\\"b\"", "c"}},  // an escaped quote does not end the string
        {"\"a\\\\\"b", {"\"a\\\\\"", "b"}},     // two backslashes leave nothing pending
        {"x \"abc ; def", {"x", "\"abc ; def"}},  // never closed: up to the end, semicolons included
        {"\"a\\\"", {"\"a\\\""}}, {"\"a\\ \" b", {"\"a\\ \" b"}},  // a blank keeps an escape pending
        {"a\\b \\", {"a\\b", "\\"}},  // outside quotes a backslash is ordinary
    };
    for (const auto& [line, tokens] : cases) EXPECT_EQ(Tokens(line), tokens) << line;
}

TEST(AssemblyTokenizer, SourceLineComments) {
    const std::vector<std::pair<const char*, int32_t>> cases = {
        {"IAdd a b c ;@LINE\t5", 5}, {"Noop ;@Line   \t 42 trailing words", 42}, {"Noop ;@line -3", -3},
        {"Noop ;@line +8x", 8}, {"Noop ;@line 99999999999", 2147483647}, {"Noop ;@line -99999999999", INT32_MIN},
        {"Noop ;@line x", 0}, {"Noop ;@line5", 0}, {"Noop ; @line 5", 0}, {"Noop ;@lines 5", 0},
        {"Noop ;@line", 0}, {"Assign a \";@line 7\"", 0}, {"Noop", 0},
    };
    for (const auto& [line, number] : cases) {
        int32_t got = -12345;
        Tokens(line, &got);
        EXPECT_EQ(got, number) << line;
    }
}

TEST(AssemblyConstants, ValuesAndErrors) {
    const float maxFloat = std::numeric_limits<float>::max();
    const std::vector<std::pair<const char*, Value>> good = {
        {"true", Value::MakeBool(true)}, {"False", Value::MakeBool(false)}, {"nOnE", Value()},
        {"+7", Value::MakeInteger(7)}, {"99999999999", Value::MakeInteger(INT32_MAX)},
        {"-2147483648", Value::MakeInteger(INT32_MIN)}, {"1.5e3", Value::MakeFloat(1500.0f)},
        {"0.1", Value::MakeFloat(0.1f)}, {"1.0e99", Value::MakeFloat(maxFloat)},
        {"-1.0e39", Value::MakeFloat(-maxFloat)},
        {"::temp0", Value::MakeIdentifier("::temp0")}, {"Int[]", Value::MakeTypeName("Int[]")},
        {"\"\"", Value::MakeString("")}, {"\"\\q\"", Value::MakeString("?")}, {"\"a\\\"b\"", Value::MakeString("a\"b")},
    };
    for (const auto& [token, expected] : good) {
        Value value = Value::MakeInteger(99);
        EXPECT_EQ(ParseError(token, value), "") << token;
        EXPECT_EQ(value, expected) << token;  // kinds compared too
    }
    const std::vector<std::pair<const char*, std::vector<const char*>>> bad = {
        {"Unknown assembly argument", {"1e5", "0x10", "5.", "#", "-"}},
        {"Invalid identifier", {"a-b", "Int[][]"}},
        {"Malformed quoted string", {"\"abc", "\""}},
    };
    for (const auto& [error, tokens] : bad) {
        for (const char* token : tokens) {
            Value value = Value::MakeInteger(99);
            EXPECT_EQ(ParseError(token, value), error) << token;
            EXPECT_EQ(value.GetKind(), ValueKind::None) << token;
        }
    }
}

TEST(AssemblyConstants, UnescapeAndNumberLimits) {
    const std::string longText(600, 'x');  // long enough for the heap path
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"a\\nb\\tc\\\\d\\\"e\"", "a\nb\tc\\d\"e"}, {"\"\\N\\x\"", "??"},
        {"\"a\\\"", "a\""},  // the escape may swallow the final quote
        {"notquoted", ""}, {"\"abc", ""}, {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
        {"\"" + longText + "\\n" + longText + "\"", longText + "\n" + longText},
    };
    for (const auto& [token, text] : cases) EXPECT_EQ(std::string(UnescapeString(token.c_str()).text()), text) << token;

    EXPECT_EQ(ParseUnsigned32("4294967295"), 4294967295u);
    EXPECT_EQ(ParseUnsigned32("4294967296"), 4294967295u);
    EXPECT_EQ(ParseUnsigned32("000012"), 12u);
    EXPECT_EQ(ParseSigned64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseSigned64("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(ParseSigned64("-99999999999999999999999"), INT64_MIN);
    EXPECT_EQ(ParseSigned32("2147483648"), 2147483647);
}

// ---------------------------------------------------------------------------
// Line reader

// A store whose reads start failing after a number of bytes.
class FailingSource : public TestSupport::MemorySource {
public:
    FailingSource(const std::string& text, uint64_t failAt) : MemorySource(text), left_(failAt) {}
    StorageResult Read(uint32_t count, void* destination) override {
        if (count > left_) return StorageResult::Failure;
        left_ -= count;
        return MemorySource::Read(count, destination);
    }

private:
    uint64_t left_;
};

// The byte-at-a-time reading that the chunked reader must match.
Strings ReferenceLines(const std::string& text) {
    Strings lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') lines.push_back(line), line.clear();
        else if (c != '\r') line += c;
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

Strings ChunkedLines(HxScript::IStore* store) {
    Strings lines;
    EXPECT_TRUE(!store || store->Open("Test"));
    LineReader reader;
    reader.Begin(store);
    TokenView line;
    while (reader.ReadLine(line)) lines.emplace_back(line.text, line.length);
    EXPECT_FALSE(reader.ReadLine(line));  // once finished, it stays finished
    return lines;
}

TEST(AssemblyLineReader, EndsOfLinesAndFile) {
    const std::vector<std::pair<std::string, Strings>> cases = {
        {"", {}}, {"\n", {""}}, {"a\nb", {"a", "b"}},  // the last line counts without a line feed
        {"a\r\nb\r\n", {"a", "b"}}, {"a\r\n\r", {"a"}},     // only a carriage return left: no line
        {"x\ry\n\n\nz", {"xy", "", "", "z"}}, {"\r\r\n", {""}},
    };
    for (const auto& [text, lines] : cases) {
        TestSupport::MemorySource store(text);
        EXPECT_EQ(ChunkedLines(&store), lines) << "text: " << text;
    }
    EXPECT_TRUE(ChunkedLines(nullptr).empty());
}

// Files at and around the chunk size (a smaller file gets a buffer of its
// own size) and lines longer than a chunk, which make the buffer grow.
TEST(AssemblyLineReader, MatchesByteReadingAtEverySize) {
    const uint32_t chunk = LineReader::kChunkSize;
    std::mt19937 random(7);
    std::vector<size_t> sizes = {1, 2, 500, chunk - 1, chunk, chunk + 1, 3 * chunk + 7};
    for (int round = 0; round < 12; ++round) sizes.push_back(chunk * (1 + round % 3) + (random() % 200) - 100);
    for (size_t size : sizes) {
        for (unsigned lineFeedOdds : {40u, 70000u}) {
            std::string text(size, 'a');
            for (char& c : text) c = random() % lineFeedOdds == 0 ? '\n' : "ab \t\r"[random() % 5];
            for (bool finalFeed : {false, true}) {
                if (finalFeed) text.back() = '\n';
                TestSupport::MemorySource store(text);
                EXPECT_EQ(ChunkedLines(&store), ReferenceLines(text)) << "size " << size << " odds " << lineFeedOdds;
            }
        }
    }
}

TEST(AssemblyLineReader, FailedReadLosesTheLineItFallsIn) {
    // The read of the second chunk fails, which takes away the long line
    // that spans the boundary and all after it.
    FailingSource store("first\nsecond\n" + std::string(LineReader::kChunkSize, 'x') + "\nlast\n",
                        LineReader::kChunkSize);
    EXPECT_EQ(ChunkedLines(&store), (Strings{"first", "second"}));
    FailingSource failsAtOnce("abc\n", 0);
    EXPECT_TRUE(ChunkedLines(&failsAtOnce).empty());
}

}  // namespace
