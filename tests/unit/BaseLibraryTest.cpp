// The string pool and the containers, where no run of the tool shows what
// they do: case-sensitive twins, saturated counts, threads, growth, hashing.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hxcore/HxFixedString.h"
#include "hxcore/HxString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTBTree.h"
#include "hxcore/HxTOrderedMap.h"
#include "hxcore/HxTScatterTable.h"

namespace {

// With thousands of names alive in the buckets: the spelling interned first
// is shown while its entry lives; the exact twin of that text shares the
// entry as an alias, one differing in case has an entry of its own.
TEST(StringPool, FirstSpellingWinsAndTheCaseSensitiveTwinSharesIt) {
    std::vector<std::string> names;
    std::vector<HxFixedString> held;
    for (int i = 0; i < 5000; ++i) held.emplace_back(names.emplace_back("Pool_" + std::to_string(i * 7919)).c_str());
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string upper = "POOL_" + names[i].substr(5), lower = "pool_" + names[i].substr(5);
        {
            HxFixedStringCS exact(names[i].c_str()), other(lower.c_str());
            HxFixedString again(upper.c_str());
            ASSERT_TRUE(again == held[i] && !(again != held[i]) && exact != other && HxFixedString(other) == held[i] &&
                        exact == HxFixedStringCS(names[i].c_str()));
            ASSERT_STREQ(again.c_str(), names[i].c_str());
            ASSERT_EQ(exact.c_str(), held[i].c_str());
            ASSERT_STREQ(other.c_str(), lower.c_str());
            again.Release(), held[i].Release();  // the alias alone keeps the entry, and frees it when it goes
        }
        ASSERT_STREQ(HxFixedString(upper.c_str()).c_str(), upper.c_str());
    }
    HxFixedString a("PoolCopied"), b("PoolAssigned"), moved(std::move(held[0] = a));
    moved = b;  // one name loses a reference, the other gains one
    EXPECT_TRUE(HxFixedStringRefCount(a) == 1 && HxFixedStringRefCount(b) == 2 && held[0].IsEmpty());
    // Null equals only null; "" is an entry; ASCII letters alone ignore case.
    const HxFixedString null(static_cast<const char*>(nullptr)), high("Pool\xC4x");
    EXPECT_TRUE(null.IsEmpty() && null == static_cast<const char*>(nullptr) && null != "" && null != HxFixedString());
    EXPECT_TRUE(HxFixedString() == "" && !HxFixedString().IsEmpty() && HxFixedString() != static_cast<const char*>(nullptr));
    EXPECT_TRUE(HxFixedStringCS(static_cast<const char*>(nullptr)) != "" && HxFixedStringCS("") != static_cast<const char*>(nullptr));
    EXPECT_TRUE(high == "POOL\xC4X" && high != "pool\xE4x" && HxFixedString("Pool-1") != "pool-");
    EXPECT_STREQ(HxFixedString("PoolToken rest", 9).c_str(), "PoolToken");  // only the given bytes are read

    // Entries of every length to past the longest kept in slabs, every other
    // one freed and its room taken by another text: each keeps its own bytes.
    std::vector<std::string> texts(2 * 600);
    std::vector<HxFixedString> live(2 * 600);
    for (int n = 0; n < 600; ++n) live[n] = (texts[n] = std::string(n, char('A' + n % 26)) + "!").c_str();
    for (int n = 1; n < 600; n += 2) live[n].Release();
    for (int n = 599; n > 0; n -= 2) live[600 + n] = (texts[600 + n] = std::string(n, char('a' + n % 23)) + "?").c_str();
    for (size_t i = 0; i < live.size(); ++i) {
        if (live[i].IsEmpty()) continue;
        ASSERT_STREQ(live[i].c_str(), texts[i].c_str()) << i;
    }
}

TEST(StringPool, SaturatedCountsSurviveAnyReleaseAndThreadsLoseNoCount) {
    HxFixedString first("PoolSaturated");
    { std::vector<HxFixedString> copies(20000, first); }
    EXPECT_EQ(HxFixedStringRefCount(first), 16383u);
    first.Release();
    EXPECT_STREQ(HxFixedString("POOLSATURATED").c_str(), "PoolSaturated");

    const char* spellings[] = {"PoolShared", "POOLSHARED", "poolshared", "pOOLsHARED"};
    const char* transient[] = {"PoolComeAndGo", "POOLCOMEANDGO"};
    HxFixedString anchor("PoolShared");
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < 3000; ++r) {
                HxFixedString s(spellings[(r + t) % 4]), copy(s);
                HxFixedString a(transient[r % 2]), b(transient[(r + 1) % 2]);  // made and freed over and over
                if (s != anchor || std::strcmp(copy.c_str(), "PoolShared") != 0 || a != b ||
                    HxFixedString(HxFixedStringCS(transient[(r + t) % 2])) != a)
                    ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(HxFixedStringRefCount(anchor), 1u);
    EXPECT_STREQ(HxFixedString("POOLCOMEANDGO").c_str(), "POOLCOMEANDGO");  // every earlier entry was freed
}

TEST(Containers, ArraysGrowFromFourByDoublingAndKeepNameCounts) {
    HxTArray<uint32_t> a;
    std::vector<uint32_t> capacities;
    for (uint32_t i = 0; i < 4; ++i) a.Add(i * 10), capacities.push_back(a.Capacity());
    ASSERT_TRUE(a.Insert(2, 15));  // full: the gap is left while the buffer moves
    a.RemoveAt(4);
    capacities.push_back(a.Capacity());
    ASSERT_TRUE(a.Reserve(100));
    capacities.push_back(a.Capacity());
    EXPECT_EQ(capacities, (std::vector<uint32_t>{4, 4, 4, 4, 8, 100}));
    EXPECT_EQ(std::vector<uint32_t>(a.begin(), a.end()), (std::vector<uint32_t>{0, 10, 15, 20}));

    HxFixedString name("ArrayOwnedName");
    {
        HxTArray<HxFixedString> names;
        for (int i = 0; i < 4; ++i) names.Add(name);
        names.Add(names[0]);  // full: the element is copied before the buffer moves
        HxTArray<HxFixedString> other(names);
        other.RemoveAt(1);
        for (int i = 0; i < 10; ++i) other.Add(HxFixedString("ArrayOther"));  // moved as raw bytes
        EXPECT_EQ(HxFixedStringRefCount(name), 10u);
    }
    EXPECT_EQ(HxFixedStringRefCount(name), 1u);
}

// By the CRC-32 of their bytes, 5 and 9 have home 2 of 8 slots, 4 has 7; in 16 slots 1 to 9 have their own.
TEST(Containers, ScatterTablesHashByCrcMoveForeignEntriesAndDouble) {
    const auto slots = [](const HxTScatterTable<uint32_t, uint32_t>& t) {
        std::vector<uint32_t> keys;
        t.ForEach([&keys](uint32_t k, uint32_t) { keys.push_back(k); });
        return keys;
    };
    HxTScatterTable<uint32_t, uint32_t> t;
    t.Insert(5, 1);
    t.Insert(9, 2);  // takes slot 7, the first free one below the cursor
    t.Insert(4, 3);  // its home holds 9 of another chain: 9 moves to slot 6
    EXPECT_EQ(slots(t), (std::vector<uint32_t>{5, 9, 4}));
    t.Insert(9, 7);  // replaced in place
    EXPECT_TRUE(t.Remove(5) && !t.Remove(5));  // the chain's head: 9 moves into the home slot
    EXPECT_EQ((std::vector<uint32_t>{t.Size(), *t.Find(9), *t.Find(4)}), (std::vector<uint32_t>{2, 7, 3}));
    HxTScatterTable<uint32_t, uint32_t> d;
    for (uint32_t k = 1; k <= 8; ++k) d.Insert(k, k);
    EXPECT_EQ(d.Capacity(), 8u);
    d.Insert(9, 9);
    EXPECT_EQ(d.Capacity(), 16u);
    EXPECT_EQ(slots(d), (std::vector<uint32_t>{5, 1, 4, 7, 9, 2, 6, 3, 8}));

    HxTOrderedMap<HxFixedString, uint32_t> m;  // insertion order, whatever the hashes
    for (const char* key : {"MapE", "MapB", "MapF", "MapA"}) m.Set(key, 1);
    EXPECT_TRUE(!m.Add("MAPE", 2) && m.Add("MapC", 3) && m.IndexOf("mapf") == 2);
    std::string order;
    for (const auto& e : m) order += std::string(e.key.text()) + std::to_string(e.value);
    EXPECT_EQ(order, "MapE1MapB1MapF1MapA1MapC3");
}

// Through random insertions and removals a tree holds what a set holds, in
// address order, every node but the root at least half full.
TEST(Containers, BTreesMatchASetAndReuseSpentNodes) {
    bool added = false;
    std::vector<HxFixedString> names;  // ordered by address, moved as raw bytes
    for (int i = 0; i < 5000; ++i) names.emplace_back(("TreeName" + std::to_string(i)).c_str());
    std::set<const void*> model;
    std::mt19937 rng(11);
    {
        HxTBTree<HxFixedString> tree;
        for (int round = 0; round < 6; ++round) {
            for (int i = 0; i < 3000; ++i) {
                const HxFixedString& k = names[rng() % 5000];
                ASSERT_TRUE(tree.Insert(k, &added));
                ASSERT_EQ(added, model.insert(k.Handle()).second);
                const HxFixedString& r = names[rng() % 5000];
                ASSERT_EQ(tree.Remove(r), model.erase(r.Handle()) == 1);
            }
            std::vector<const void*> seen;
            tree.ForEach([&](const HxFixedString& k) { seen.push_back(k.Handle()); });
            ASSERT_EQ(seen, std::vector<const void*>(model.begin(), model.end()));
            for (uint32_t i = 0; i < 5000; i += 7)
                ASSERT_EQ(tree.Contains(names[i]) + 1, HxFixedStringRefCount(names[i]));
            ASSERT_LE(tree.NodeCount(), tree.Size() / 7 + 1);  // every node but the root holds 7 or more
        }
        const uint32_t nodes = tree.NodeCount() + tree.FreeNodeCount();
        for (const HxFixedString& k : names) tree.Remove(k);
        EXPECT_EQ(tree.Height(), 0u);
        for (uint32_t i = 0; i < 500; ++i) tree.Insert(names[i]);  // from the free list, not the heap
        EXPECT_EQ(tree.NodeCount() + tree.FreeNodeCount(), nodes);
    }
    for (const auto& n : names) ASSERT_EQ(HxFixedStringRefCount(n), 1u);
}

// 65534 characters fit; more is cut with a warning, also when appended.
TEST(Containers, ShortStringsStopAt65534Characters) {
    const std::string longText(70000, 'q'),
        warning = "HxString::Set(): Could not allocate full amount of memory asked for with aiMaxLen.\n";
    HxString s, t(longText.c_str(), 65000);
    EXPECT_TRUE(s.IsEmpty());
    testing::internal::CaptureStderr();
    s.Set(longText.c_str(), 65534);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    t.Append(std::string(1000, 'b').c_str());
    s.Set(longText.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning + warning);
    EXPECT_EQ((std::vector<uint32_t>{s.Length(), s.Capacity(), t.Length()}), (std::vector<uint32_t>{65534, 65535, 65534}));
    EXPECT_TRUE(t.c_str()[65000] == 'b' && !s.IsEmpty());
    HxString grown("a");  // outgrowing its buffer keeps what it held
    EXPECT_TRUE(grown.Append("bc") && std::strcmp(grown.c_str(), "abc") == 0);
}

}  // namespace
