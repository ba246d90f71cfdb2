// The checks of the fuzz targets over every seed: examples, golden base scripts, saved fuzz
// findings and the compiled forms, whole and stripped, of every example and base script.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <random>

#include "fuzz/FuzzChecks.h"

TEST(SeedChecks, EverySeedPassesTheChecksOfItsTargets) {
    size_t scripts = 0, compiled = 0;
    for (const auto& seed : FuzzChecks::CollectSeedFiles(std::filesystem::path(__FILE__).parent_path() / "../..")) {
        SCOPED_TRACE(seed.label);
        const FuzzChecks::Input in{seed.objectName, seed.bytes};
        EXPECT_EQ(seed.compiled ? FuzzChecks::CheckCompiledReader(in) : FuzzChecks::CheckAssemblyReader(in), "");
        EXPECT_EQ(seed.compiled ? FuzzChecks::CheckCompiledRoundTrip(in) : FuzzChecks::CheckAssemblyRoundTrip(in), "");
        if (seed.compiled) {
            EXPECT_EQ(FuzzChecks::CheckStrippedCopy(in, 1u << 20), "");  // every byte
            // What this tool writes is stripped straight from its bytes.
            EXPECT_TRUE(seed.label.rfind("fuzz_", 0) == 0 || FuzzChecks::TakesStrippedCopy(in));
        }
        (seed.compiled ? compiled : scripts) += seed.label.rfind("fuzz_", 0) != 0;
    }
    EXPECT_EQ(compiled, 2 * scripts);  // every example and base script assembles
}

// The round trips rely on the model comparison: one small edit anywhere, even
// in the first instruction or in one entry of a list, must show.
TEST(SeedChecks, TheModelComparisonSeesOneEditAnywhere) {
    const std::string rich = FuzzChecks::ReadWholeFile(std::filesystem::path(__FILE__).parent_path() / "../golden/base/rich.cas");
    const auto load = [](const std::string& text, FuzzChecks::Result& out) {
        FuzzChecks::LoadInto(FuzzChecks::Reader::Text, "Bar", FuzzChecks::Bytes(text.begin(), text.end()), out);
        ASSERT_TRUE(out.ok) << out.log.all;
    };
    FuzzChecks::Result base, same;
    load(rich, base);
    load(rich, same);
    EXPECT_EQ(FuzzChecks::Differences(*base.object, *same.object), "");
    const std::pair<const char*, const char*> edits[] = {
        {"CompareLT ok n 10", "CompareGT ok n 10"}, {".param seed Int", ".param seed Float"},
        {".local ::b Bool", ".local ::b Int"},      {".flag Top 31", ".flag Top 30"}};
    for (const auto& [from, to] : edits) {
        std::string text = rich;
        text.replace(text.find(from), std::strlen(from), to);
        FuzzChecks::Result edited;
        load(text, edited);
        EXPECT_NE(FuzzChecks::Differences(*base.object, *edited.object), "") << to;
    }
}

namespace {

using FuzzChecks::Bytes;

uint32_t U16At(const Bytes& b, size_t at) { return at + 1 < b.size() ? b[at] | b[at + 1] << 8 : 0; }

// Where the string table of a compiled file ends and its object table starts.
void Layout(const Bytes& b, size_t& tableEnd, size_t& objectsAt) {
    size_t at = 16;
    for (int i = 0; i < 3; ++i) at += 2 + U16At(b, at);
    const uint32_t strings = U16At(b, at);
    at += 2;
    for (uint32_t i = 0; i < strings; ++i) at += 2 + U16At(b, at);
    tableEnd = at;
    if (at < b.size() && b[at++] != 0) {
        at += 8;
        for (uint32_t n = U16At(b, at), i = (at += 2, 0); i < n; ++i) at += 9 + 2 * U16At(b, at + 7);
        for (uint32_t n = U16At(b, at), i = (at += 2, 0); i < n; ++i) at += 12 + 2 * U16At(b, at + 10);
        for (uint32_t n = U16At(b, at), i = (at += 2, 0); i < n; ++i) at += 6 + 2 * U16At(b, at + 4);
    }
    objectsAt = at + 2 + 3 * U16At(b, at);
}

// The file with `text` appended to its string table; its index goes to `index`.
Bytes WithString(const Bytes& file, const std::string& text, uint32_t& index) {
    size_t tableEnd, objectsAt;
    Layout(file, tableEnd, objectsAt);
    size_t countAt = 16;
    for (int i = 0; i < 3; ++i) countAt += 2 + U16At(file, countAt);
    Bytes out(file.begin(), file.begin() + long(tableEnd));
    index = U16At(file, countAt);
    out[countAt] = uint8_t(index + 1), out[countAt + 1] = uint8_t((index + 1) >> 8);
    out.push_back(uint8_t(text.size())), out.push_back(0);
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), file.begin() + long(tableEnd), file.end());
    return out;
}

// The last entry of the string table.
std::string LastString(const Bytes& b) {
    size_t at = 16;
    for (int i = 0; i < 3; ++i) at += 2 + U16At(b, at);
    std::string last;
    for (uint32_t n = U16At(b, at), i = (at += 2, 0); i < n; ++i, at += 2 + U16At(b, at))
        last.assign(b.begin() + long(at) + 2, b.begin() + long(at) + 2 + U16At(b, at));
    return last;
}

// The index of a string in the table, or -1.
int IndexOfString(const Bytes& b, const std::string& text) {
    size_t at = 16;
    for (int i = 0; i < 3; ++i) at += 2 + U16At(b, at);
    for (uint32_t n = U16At(b, at), i = (at += 2, 0); i < n; ++i, at += 2 + U16At(b, at))
        if (std::string(b.begin() + long(at) + 2, b.begin() + long(at) + 2 + U16At(b, at)) == text) return int(i);
    return -1;
}

std::string OtherCase(std::string text) {
    for (char& c : text) c = std::isalpha(static_cast<unsigned char>(c)) ? char(c ^ 0x20) : c;
    return text;
}

}  // namespace

// Stripping straight from the bytes agrees with the model on files that take
// its less common ways: several objects (the one wanted first, last, or
// spelled in another letter case, which groups it with the entry of its
// name), another object named like one of the object's strings in another
// case, a record of another object whose size leads nowhere, a string of the
// object equal to the output's file name or to a message, a function whose
// signature differs from the empty state's, and damage anywhere.
TEST(SeedChecks, TheStrippedCopyAgreesOnObjectTablesAndDamage) {
    std::mt19937 random(7);
    size_t copies = 0, mismatches = 0;
    for (const auto& seed : FuzzChecks::CollectSeedFiles(std::filesystem::path(__FILE__).parent_path() / "../..")) {
        if (!seed.compiled || seed.label.rfind("fuzz_", 0) == 0) continue;
        SCOPED_TRACE(seed.label);
        // Another object named in another case than one of the object's
        // strings, met first, spells that string in the table written.
        std::vector<Bytes> files;
        for (const std::string& other : {std::string("Zz_other"), OtherCase(seed.objectName), OtherCase(LastString(seed.bytes))}) {
            uint32_t name;
            const Bytes file = WithString(seed.bytes, other, name);
            size_t tableEnd, objectsAt;
            Layout(file, tableEnd, objectsAt);
            const Bytes head(file.begin(), file.begin() + long(objectsAt)), record(file.begin() + long(objectsAt) + 2, file.end());
            Bytes renamed = record;
            renamed[0] = uint8_t(name), renamed[1] = uint8_t(name >> 8);
            for (bool wantedFirst : {true, false}) {
                Bytes two = head;
                two.push_back(2), two.push_back(0);
                const Bytes& first = wantedFirst ? record : renamed;
                two.insert(two.end(), first.begin(), first.end());
                const Bytes& second = wantedFirst ? renamed : record;
                two.insert(two.end(), second.begin(), second.end());
                files.push_back(two);
                EXPECT_TRUE(FuzzChecks::TakesStrippedCopy({seed.objectName, two})) << other << wantedFirst;
                if (wantedFirst) continue;
                for (uint8_t size : {0, 3, 0xFF}) {  // the first record's size
                    Bytes bad = two;
                    for (int k = 0; k < 4; ++k) bad[objectsAt + 4 + k] = size;
                    files.push_back(bad);
                }
            }
        }
        // The object's doc string spelled like the output's file name or a
        // message in another case: a failing write shows it so. One of a
        // single zero byte is left to the model.
        for (const std::string& doc : {OtherCase(seed.objectName + ".cex"), OtherCase("Error writing magic number"),
                                       std::string(1, '\0')}) {
            uint32_t index;
            Bytes file = WithString(seed.bytes, doc, index);
            size_t tableEnd, objectsAt;
            Layout(file, tableEnd, objectsAt);
            file[objectsAt + 10] = uint8_t(index), file[objectsAt + 11] = uint8_t(index >> 8);
            EXPECT_EQ(FuzzChecks::CheckStrippedCopy({seed.objectName, file}, 1u << 20), "");
            EXPECT_EQ(FuzzChecks::TakesStrippedCopy({seed.objectName, file}), doc[0] != 0);
        }
        // The function Fill of state Busy returning an Int, where the empty
        // state's Fill returns None: refused, so written by neither.
        const int busy = IndexOfString(seed.bytes, "Busy"), fill = IndexOfString(seed.bytes, "Fill");
        const int other = IndexOfString(seed.bytes, "Int");
        const uint8_t record[] = {uint8_t(busy), uint8_t(busy >> 8), 1, 0, uint8_t(fill), uint8_t(fill >> 8)};
        const auto found = std::search(seed.bytes.begin(), seed.bytes.end(), std::begin(record), std::end(record));
        if (busy >= 0 && fill >= 0 && other >= 0 && found != seed.bytes.end()) {
            Bytes mismatched = seed.bytes;
            const size_t returnAt = size_t(found - seed.bytes.begin()) + 6;
            mismatched[returnAt] = uint8_t(other), mismatched[returnAt + 1] = uint8_t(other >> 8);
            EXPECT_EQ(FuzzChecks::CheckStrippedCopy({seed.objectName, mismatched}, 4), "");
            EXPECT_FALSE(FuzzChecks::TakesStrippedCopy({seed.objectName, mismatched}));
            ++mismatches;
        }
        for (int k = 0; k < 40; ++k) {  // bytes flipped, set, nudged or in another letter case
            Bytes damaged = files[size_t(k) % files.size()];
            for (int edits = 1 + int(random() % 3); edits > 0; --edits) {
                const size_t at = random() % damaged.size();
                const uint32_t pick = random() % 4;
                if (pick == 0) damaged[at] ^= uint8_t(1u << (random() % 8));
                if (pick == 1) damaged[at] = std::array<uint8_t, 8>{0, 1, 2, 3, 8, 9, 0x80, 0xFF}[random() % 8];
                if (pick == 2 && at + 1 < damaged.size()) damaged[at] += 1;
                for (size_t i = at; pick == 3 && i < std::min(damaged.size(), at + 20); ++i)
                    damaged[i] ^= std::isalpha(damaged[i]) ? 0x20 : 0;
            }
            files.push_back(damaged);
        }
        for (const Bytes& file : files) {
            EXPECT_EQ(FuzzChecks::CheckStrippedCopy({seed.objectName, file}, 16), "");
            copies += FuzzChecks::StripInto({seed.objectName, file}, true, ~0ull, 0).ok;
        }
        // Many single edits, whole writes only: two bytes copied from elsewhere
        // (a reference to another name, or a kind byte), or a byte set.
        for (int k = 0; k < 300; ++k) {
            Bytes edited = seed.bytes;
            const size_t at = random() % (edited.size() - 1), from = random() % (edited.size() - 1);
            if (k % 2 == 0) {
                edited[at] = edited[from], edited[at + 1] = edited[from + 1];
            } else {
                edited[at] = std::array<uint8_t, 8>{0, 1, 2, 3, 4, 5, 8, 0xFF}[random() % 8];
            }
            const FuzzChecks::Input in{seed.objectName, edited};
            EXPECT_TRUE(FuzzChecks::StripInto(in, true, ~0ull, 0) == FuzzChecks::StripInto(in, false, ~0ull, 0)) << k;
        }
    }
    EXPECT_GT(copies, 100u);  // most of them are written
    EXPECT_GE(mismatches, 2u);  // the rich script, whole and stripped
}
