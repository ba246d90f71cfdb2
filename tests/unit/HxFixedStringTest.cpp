// String pool: interning, spelling, null/empty handles, the case-sensitive
// twin with its aliases, saturation, and concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hxcore/HxCrc.h"
#include "hxcore/HxFixedString.h"

namespace {

uint16_t RawHash(const std::string& s) { return HxCrc::Crc16(s.data(), s.size()); }
uint16_t LoweredHash(const std::string& s) {
    std::string l = s;
    for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return RawHash(l);
}

// A name with upper-case letters whose exact and lowered hashes pick the
// same bucket (or, with `same` false, different buckets). The hash is linear,
// so a collision needs the right set of upper-case places: try subsets of
// twenty letters.
std::string FindName(const char* prefix, bool same) {
    const std::string base = std::string(prefix) + "abcdefghijklmnopqrst";
    const size_t first = base.size() - 20;
    for (uint32_t mask = 1; mask < (1u << 20); ++mask) {
        std::string name = base;
        for (size_t i = 0; i < 20; ++i)
            if (mask & (1u << i)) name[first + i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[first + i])));
        if ((RawHash(name) == LoweredHash(name)) == same) return name;
    }
    return std::string();
}

}  // namespace

TEST(HxFixedStringPool, FirstSpellingWinsWhileTheEntryLives) {
    {
        HxFixedString a("PoolFoo");
        HxFixedString b("POOLFOO");
        EXPECT_EQ(a, b);
        EXPECT_EQ(a.Handle(), b.Handle());
        EXPECT_STREQ(b.c_str(), "PoolFoo");
        EXPECT_EQ(HxFixedStringRefCount(a), 2u);
        a.Release();
        EXPECT_TRUE(a.IsEmpty());
        EXPECT_STREQ(b.c_str(), "PoolFoo");  // still alive through b
        EXPECT_EQ(HxFixedStringRefCount(b), 1u);
    }
    HxFixedString c("POOLFOO");
    EXPECT_STREQ(c.c_str(), "POOLFOO");
    EXPECT_EQ(HxFixedStringRefCount(c), 1u);
}

TEST(HxFixedStringPool, NullAndEmptyAreDifferent) {
    HxFixedString def;
    HxFixedString empty("");
    HxFixedString null(static_cast<const char*>(nullptr));

    EXPECT_EQ(def, empty);
    EXPECT_NE(null, def);
    EXPECT_EQ(null.c_str(), nullptr);
    EXPECT_STREQ(null.text(), "");
    EXPECT_TRUE(null.IsEmpty());
    EXPECT_FALSE(empty.IsEmpty());
    EXPECT_EQ(empty.length(), 0u);

    EXPECT_TRUE(empty == "");
    EXPECT_FALSE(empty == static_cast<const char*>(nullptr));
    EXPECT_TRUE(null == static_cast<const char*>(nullptr));
    EXPECT_FALSE(null == "");

    // The shared "" entry outlives every default-constructed handle.
    { HxFixedString a, b; }
    EXPECT_EQ(HxFixedString(), empty);
    EXPECT_TRUE(HxFixedString(HxFixedStringCS(static_cast<const char*>(nullptr))).IsEmpty());
    EXPECT_EQ(HxFixedString(HxFixedStringCS()), def);
}

TEST(HxFixedStringPool, CompareWithCharacterStringIgnoresOnlyAsciiCase) {
    HxFixedString s("Pool-Compare_1");
    EXPECT_TRUE(s == "POOL-COMPARE_1");
    EXPECT_FALSE(s == "pool-compare_");
    EXPECT_FALSE(s == "pool-compare_12");

    // Bytes above 127 are not letters: no case folding for them.
    HxFixedString hi("Pool\xC4x");
    EXPECT_TRUE(hi == "POOL\xC4X");
    EXPECT_FALSE(hi == "pool\xE4x");
    EXPECT_NE(hi, HxFixedString("Pool\xE4x"));

    HxFixedStringCS cs("PoolExact");
    EXPECT_TRUE(cs == "PoolExact");
    EXPECT_FALSE(cs == "poolexact");
}

TEST(HxFixedStringPool, LengthTakingConstructorsReadOnlyTheGivenBytes) {
    const char line[] = "PoolToken rest of line";
    HxFixedString token(line, 9);
    EXPECT_STREQ(token.c_str(), "PoolToken");
    EXPECT_EQ(token, HxFixedString("pooltoken"));
    EXPECT_NE(HxFixedString(line, 8), token);  // a prefix is another name
    EXPECT_EQ(HxFixedStringCS(line, 9), HxFixedStringCS("PoolToken"));
    EXPECT_NE(HxFixedStringCS(line, 9), HxFixedStringCS("POOLTOKEN"));
}

TEST(HxFixedStringPool, CopyMoveAndAssignKeepCountsRight) {
    HxFixedString a("PoolCounted");
    HxFixedString b(a);
    HxFixedString& same = b;
    b = same;
    b = a;  // same pointer: nothing happens
    EXPECT_EQ(HxFixedStringRefCount(a), 2u);

    HxFixedString moved(std::move(b));
    EXPECT_TRUE(b.IsEmpty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(HxFixedStringRefCount(a), 2u);

    HxFixedString other("PoolOther");
    moved = other;  // a loses one, other gains one
    EXPECT_EQ(HxFixedStringRefCount(a), 1u);
    EXPECT_EQ(HxFixedStringRefCount(other), 2u);
    moved = "POOLCOUNTED";
    EXPECT_EQ(moved, a);
    EXPECT_EQ(HxFixedStringRefCount(a), 2u);
    EXPECT_EQ(HxFixedStringRefCount(other), 1u);
}

TEST(HxFixedStringPool, CaseSensitiveTwinKeepsSpellingsApart) {
    HxFixedStringCS lower("PoolTwin");
    HxFixedStringCS upper("POOLTWIN");
    EXPECT_NE(lower, upper);
    EXPECT_STREQ(lower.c_str(), "PoolTwin");
    EXPECT_STREQ(upper.c_str(), "POOLTWIN");
    EXPECT_EQ(HxFixedStringCS("PoolTwin"), lower);

    // Folded, both are one name, shown in the first spelling.
    HxFixedString fromLower(lower);
    HxFixedString fromUpper(upper);
    EXPECT_EQ(fromLower, fromUpper);
    EXPECT_STREQ(fromUpper.c_str(), "PoolTwin");
}

TEST(HxFixedStringPool, ExactStringSharesTheTextOfTheFoldedEntry) {
    const std::string name = FindName("PoolAlias", false);
    HxFixedString folded(name.c_str());
    ASSERT_EQ(HxFixedStringRefCount(folded), 1u);
    {
        HxFixedStringCS exact(name.c_str());
        // The exact string lives in its own bucket and refers to the folded
        // entry, holding a reference on it.
        EXPECT_NE(exact.Handle(), folded.Handle());
        EXPECT_EQ(exact.c_str(), folded.c_str());
        EXPECT_EQ(exact.length(), name.size());
        EXPECT_EQ(HxFixedStringRefCount(folded), 2u);
        HxFixedStringCS again(name.c_str());
        EXPECT_EQ(again, exact);
        EXPECT_EQ(HxFixedStringRefCount(folded), 2u);
        EXPECT_EQ(HxFixedString(exact), folded);
    }
    EXPECT_EQ(HxFixedStringRefCount(folded), 1u);
}

TEST(HxFixedStringPool, ExactStringAloneKeepsItsFoldedEntryAlive) {
    const std::string name = FindName("PoolLone", false);
    std::string shouted = name;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    {
        HxFixedStringCS exact(name.c_str());
        HxFixedString folded(shouted.c_str());
        EXPECT_STREQ(folded.c_str(), name.c_str());
    }
    // Both gone, the folded entry went with the last reference.
    HxFixedString fresh(shouted.c_str());
    EXPECT_STREQ(fresh.c_str(), shouted.c_str());
    EXPECT_EQ(HxFixedStringRefCount(fresh), 1u);
}

TEST(HxFixedStringPool, SharedBucketKeepsTheFoldedEntryFirst) {
    // A name whose exact and lowered hashes collide: its exact entry, its
    // folded entry and any other spelling all live in one bucket.
    const std::string name = FindName("PoolSame", true);
    ASSERT_FALSE(name.empty());
    std::string lowered = name;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    HxFixedString folded(lowered.c_str());
    HxFixedStringCS exact(name.c_str());
    EXPECT_STREQ(exact.c_str(), name.c_str());
    EXPECT_NE(exact.Handle(), folded.Handle());

    // Folding must still find the first entry, not the newer exact one.
    HxFixedString again(name.c_str());
    EXPECT_EQ(again, folded);
    EXPECT_STREQ(again.c_str(), lowered.c_str());
    EXPECT_EQ(HxFixedString(exact), folded);

    // The exact lowered text is the folded entry itself.
    HxFixedStringCS exactLowered(lowered.c_str());
    EXPECT_EQ(exactLowered.Handle(), folded.Handle());
    EXPECT_EQ(HxFixedStringCS(name.c_str()), exact);
}

TEST(HxFixedStringPool, SaturatedCountSurvivesAnyRelease) {
    HxFixedString first("PoolSaturated");
    {
        std::vector<HxFixedString> copies(20000, first);
        EXPECT_EQ(HxFixedStringRefCount(first), 16383u);
    }
    EXPECT_EQ(HxFixedStringRefCount(first), 16383u);
    const void* handle = first.Handle();
    first.Release();
    for (int i = 0; i < 100; ++i) {
        HxFixedString x("POOLSATURATED");
        EXPECT_EQ(x.Handle(), handle);
    }
    HxFixedString later("POOLSATURATED");
    EXPECT_EQ(later.Handle(), handle);
    EXPECT_STREQ(later.c_str(), "PoolSaturated");
    EXPECT_EQ(HxFixedStringRefCount(later), 16383u);
}

TEST(HxFixedStringPool, ConcurrentInterningAndReleasingEndsWithRightCounts) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    const char* spellings[] = {"PoolShared", "POOLSHARED", "poolshared", "pOOLsHARED"};
    const char* transient[] = {"PoolComeAndGo", "POOLCOMEANDGO"};

    HxFixedString anchor("PoolShared");
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
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
