// String pool: interning, spelling, null/empty handles, the case-sensitive
// twin with its aliases, saturation, and concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hxcore/HxCrc.h"
#include "hxcore/HxFixedString.h"

namespace {

std::string Lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A name with upper-case letters whose exact text hashes to another pool
// bucket than its lowered text, where the case-insensitive entry lives.
std::string FindName(const char* prefix) {
    for (std::string name = prefix;; name += 'X') {
        const std::string low = Lowered(name);
        if (HxCrc::Crc16(name.data(), name.size()) != HxCrc::Crc16(low.data(), low.size())) return name;
    }
}

}  // namespace

TEST(HxFixedStringPool, FirstSpellingWinsWhileTheEntryLivesAndCountsFollowCopies) {
    {
        HxFixedString a("PoolFoo");
        HxFixedString b("POOLFOO");
        EXPECT_EQ(a.Handle(), b.Handle());
        EXPECT_STREQ(b.c_str(), "PoolFoo");
        HxFixedString& same = b;
        b = same;  // self-assignment changes nothing
        HxFixedString moved(std::move(a));
        EXPECT_TRUE(a.IsEmpty());  // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(HxFixedStringRefCount(b), 2u);
        HxFixedString other("PoolOther");
        moved = other;  // one name loses a reference, the other gains one
        EXPECT_EQ(HxFixedStringRefCount(b), 1u);
        EXPECT_EQ(HxFixedStringRefCount(other), 2u);
        moved = "poolfoo";
        EXPECT_EQ(moved, b);
        EXPECT_EQ(HxFixedStringRefCount(other), 1u);
        moved.Release();
        b.Release();
    }
    HxFixedString c("POOLFOO");  // the entry went with its last reference
    EXPECT_STREQ(c.c_str(), "POOLFOO");
    EXPECT_EQ(HxFixedStringRefCount(c), 1u);
}

TEST(HxFixedStringPool, NullEmptyLengthsAndComparisonWithText) {
    const HxFixedString empty(""), null(static_cast<const char*>(nullptr));
    const char* const nul = nullptr;
    EXPECT_EQ(HxFixedString(), empty);
    EXPECT_NE(null, empty);
    EXPECT_EQ(null.c_str(), nullptr);
    EXPECT_STREQ(null.text(), "");
    EXPECT_TRUE(null.IsEmpty());
    EXPECT_FALSE(empty.IsEmpty());
    EXPECT_TRUE(HxFixedString(HxFixedStringCS(nul)).IsEmpty());
    EXPECT_EQ(HxFixedString(HxFixedStringCS()), empty);

    // With text, ASCII letters ignore case, null equals only null and bytes
    // above 127 are not letters.
    const HxFixedString s("Pool-Compare_1"), hi("Pool\xC4x");
    const struct { const HxFixedString& name; const char* text; bool equal; } rows[] = {
        {null, nul, true},          {null, "", false},           {empty, "", true},           {empty, nul, false},
        {s, "POOL-COMPARE_1", true}, {s, "pool-compare_", false}, {s, "pool-compare_12", false},
        {hi, "POOL\xC4X", true},     {hi, "pool\xE4x", false}};
    for (const auto& r : rows) EXPECT_EQ(r.name == r.text, r.equal) << r.name.text() << " vs " << (r.text ? r.text : "null");
    EXPECT_NE(hi, HxFixedString("Pool\xE4x"));
    EXPECT_TRUE(HxFixedStringCS("PoolExact") == "PoolExact");
    EXPECT_FALSE(HxFixedStringCS("PoolExact") == "poolexact");

    const char line[] = "PoolToken rest of line";  // only the given bytes are read
    EXPECT_STREQ(HxFixedString(line, 9).c_str(), "PoolToken");
    EXPECT_NE(HxFixedString(line, 8), HxFixedString(line, 9));
    EXPECT_EQ(HxFixedStringCS(line, 9), HxFixedStringCS("PoolToken"));
    EXPECT_NE(HxFixedStringCS(line, 9), HxFixedStringCS("POOLTOKEN"));
}

TEST(HxFixedStringPool, ExactStringsInTheirOwnBucketShareAndHoldTheFoldedEntry) {
    const std::string name = FindName("PoolAlias"), lowered = Lowered(name);
    HxFixedString folded(name.c_str());
    {
        // `lower` has its own text in the folded entry's bucket, behind it:
        // folding must still find the older entry first.
        HxFixedStringCS exact(name.c_str()), lower(lowered.c_str());
        EXPECT_STREQ(lower.c_str(), lowered.c_str());
        EXPECT_NE(exact.Handle(), folded.Handle());
        EXPECT_EQ(exact.c_str(), folded.c_str());  // an alias of the folded entry
        EXPECT_EQ(exact.length(), name.size());
        EXPECT_EQ(HxFixedStringCS(name.c_str()), exact);
        EXPECT_EQ(HxFixedString(exact), folded);
        EXPECT_EQ(HxFixedString(lower), folded);  // folded, both are one name
        EXPECT_EQ(HxFixedStringRefCount(folded), 2u);
        folded.Release();  // the alias alone keeps the entry, and frees it when it goes
    }
    HxFixedString fresh(lowered.c_str());
    EXPECT_STREQ(fresh.c_str(), lowered.c_str());
    EXPECT_EQ(HxFixedStringRefCount(fresh), 1u);
    EXPECT_EQ(HxFixedStringCS(lowered.c_str()).Handle(), fresh.Handle());  // the same text is the entry itself
}

TEST(HxFixedStringPool, SaturatedCountSurvivesAnyRelease) {
    HxFixedString first("PoolSaturated");
    { std::vector<HxFixedString> copies(20000, first); }
    EXPECT_EQ(HxFixedStringRefCount(first), 16383u);
    const void* handle = first.Handle();
    first.Release();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(HxFixedString("POOLSATURATED").Handle(), handle);
    HxFixedString later("POOLSATURATED");
    EXPECT_STREQ(later.c_str(), "PoolSaturated");
    EXPECT_EQ(HxFixedStringRefCount(later), 16383u);
}

TEST(HxFixedStringPool, ConcurrentInterningAndReleasingEndsWithRightCounts) {
    const char* spellings[] = {"PoolShared", "POOLSHARED", "poolshared", "pOOLsHARED"};
    const char* transient[] = {"PoolComeAndGo", "POOLCOMEANDGO"};
    HxFixedString anchor("PoolShared");
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < 3000; ++r) {
                HxFixedString s(spellings[(r + t) % 4]);
                HxFixedString copy(s);
                if (s != anchor || std::strcmp(copy.c_str(), "PoolShared") != 0) ++mismatches;
                // Entries that are created and freed over and over.
                HxFixedString a(transient[r % 2]);
                HxFixedString b(transient[(r + 1) % 2]);
                if (a != b) ++mismatches;
                HxFixedStringCS exact(transient[(r + t) % 2]);
                if (HxFixedString(exact) != a) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(HxFixedStringRefCount(anchor), 1u);
    HxFixedString afterwards("POOLCOMEANDGO");
    EXPECT_STREQ(afterwards.c_str(), "POOLCOMEANDGO");  // every earlier entry was freed
    EXPECT_EQ(HxFixedStringRefCount(afterwards), 1u);
}
