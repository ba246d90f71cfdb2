// Growable array, scatter table, ordered map, B-tree and HxString.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "hxcore/HxCrc.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTBTree.h"
#include "hxcore/HxTOrderedMap.h"
#include "hxcore/HxTScatterTable.h"

namespace {

uint32_t HomeOf(uint32_t key, uint32_t capacity) {
    uint8_t bytes[4] = {uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16), uint8_t(key >> 24)};
    return HxCrc::Crc32(bytes, 4) & (capacity - 1);
}

// The first key above `after` whose home slot in a table of `capacity` is `home`.
uint32_t KeyWithHome(uint32_t home, uint32_t capacity, uint32_t after = 0) {
    for (uint32_t k = after + 1;; ++k)
        if (HomeOf(k, capacity) == home) return k;
}

template <typename K, typename V>
std::vector<K> KeysInSlotOrder(const HxTScatterTable<K, V>& table) {
    std::vector<K> keys;
    table.ForEach([&](const K& k, const V&) { keys.push_back(k); });
    return keys;
}

}  // namespace

// ---- HxTArray ---------------------------------------------------------------

TEST(HxArray, GrowthStartsAtFourThenDoublesOrTakesTheRequest) {
    HxTArray<uint32_t> a;
    EXPECT_EQ(a.Add(10), 0u);
    EXPECT_EQ(a.Capacity(), 4u);
    for (uint32_t i = 1; i < 4; ++i) a.Add(10 + i);
    EXPECT_EQ(a.Add(14), 4u);
    EXPECT_EQ(a.Capacity(), 8u);
    EXPECT_TRUE(a.Reserve(100));
    EXPECT_EQ(a.Capacity(), 100u);
    EXPECT_TRUE(a.Resize(101));
    EXPECT_EQ(a.Capacity(), 200u);
    EXPECT_EQ(a[4], 14u);
    EXPECT_EQ(a[100], 0u);  // value-initialised

    HxTArray<uint32_t> big;
    EXPECT_TRUE(big.Reserve(9));  // the first buffer takes the larger request
    EXPECT_EQ(big.Capacity(), 9u);
}

TEST(HxArray, InsertIntoAFullArrayLeavesTheGapInTheMiddle) {
    HxTArray<uint32_t> a;
    for (uint32_t i = 0; i < 4; ++i) a.Add(i * 10);
    ASSERT_TRUE(a.Insert(2, 15));
    ASSERT_TRUE(a.Insert(0, 1));
    a.RemoveAt(4);
    EXPECT_EQ(std::vector<uint32_t>(a.begin(), a.end()), (std::vector<uint32_t>{1, 0, 10, 15, 30}));
}

TEST(HxArray, ElementsOwningNamesAreCopiedAndReleasedOnce) {
    HxFixedString name("ArrayOwnedName");
    {
        HxTArray<HxFixedString> a;
        for (int i = 0; i < 3; ++i) a.Add(name);
        HxTArray<HxFixedString> b(a);
        b.RemoveAt(1);
        EXPECT_EQ(HxFixedStringRefCount(name), 6u);
        // Relocation on growth moves handles without touching counts.
        for (int i = 0; i < 10; ++i) b.Add(HxFixedString("ArrayOther"));
        b = a;
        EXPECT_EQ(HxFixedStringRefCount(name), 7u);
    }
    EXPECT_EQ(HxFixedStringRefCount(name), 1u);
}

TEST(HxArray, AddingAnOwnElementWhileFullCopiesItBeforeTheBufferMoves) {
    HxTArray<HxFixedString> a;
    for (int i = 0; i < 4; ++i) a.Add(HxFixedString(i == 0 ? "ArraySelfFirst" : "ArraySelfRest"));
    ASSERT_EQ(a.Size(), a.Capacity());
    a.Add(a[0]);
    EXPECT_STREQ(a[4].c_str(), "ArraySelfFirst");
    EXPECT_EQ(HxFixedStringRefCount(a[0]), 2u);
}

// ---- HxTScatterTable --------------------------------------------------------

TEST(HxScatterTable, FirstInsertMakesEightSlotsAndTheNinthKeyDoubles) {
    HxTScatterTable<uint32_t, uint32_t> t;
    EXPECT_EQ(t.Find(1), nullptr);
    for (uint32_t k = 1; k <= 8; ++k) ASSERT_TRUE(t.Insert(k * 7919, k));
    EXPECT_EQ(t.Capacity(), 8u);
    ASSERT_TRUE(t.Insert(9 * 7919, 9));
    EXPECT_EQ(t.Capacity(), 16u);
    EXPECT_EQ(t.Size(), 9u);
    for (uint32_t k = 1; k <= 9; ++k) {
        ASSERT_NE(t.Find(k * 7919), nullptr) << k;
        EXPECT_EQ(*t.Find(k * 7919), k);
    }
}

TEST(HxScatterTable, ReplacingAValueKeepsTheCount) {
    HxTScatterTable<uint32_t, uint32_t> t;
    const uint32_t a = KeyWithHome(3, 8);
    const uint32_t b = KeyWithHome(3, 8, a);  // same chain, second place
    t.Insert(a, 1);
    t.Insert(b, 2);
    t.Insert(b, 20);
    t.Insert(a, 10);
    EXPECT_EQ(t.Size(), 2u);
    EXPECT_EQ(*t.Find(a), 10u);
    EXPECT_EQ(*t.Find(b), 20u);
}

TEST(HxScatterTable, KeyInAnotherChainsHomeSlotMovesOut) {
    // a and b share home slot 2; b lands in the first free slot the cursor
    // finds, slot 7. c's home is slot 7, so b must move out to slot 6.
    HxTScatterTable<uint32_t, uint32_t> t;
    const uint32_t a = KeyWithHome(2, 8);
    const uint32_t b = KeyWithHome(2, 8, a);
    const uint32_t c = KeyWithHome(7, 8);
    t.Insert(a, 1);
    t.Insert(b, 2);
    EXPECT_EQ(KeysInSlotOrder(t), (std::vector<uint32_t>{a, b}));
    t.Insert(c, 3);
    EXPECT_EQ(KeysInSlotOrder(t), (std::vector<uint32_t>{a, b, c}));  // slots 2, 6, 7
    EXPECT_EQ(*t.Find(a), 1u);
    EXPECT_EQ(*t.Find(b), 2u);
    EXPECT_EQ(*t.Find(c), 3u);
    EXPECT_TRUE(t.Remove(b));
    EXPECT_EQ(*t.Find(c), 3u);
}

TEST(HxScatterTable, RemoveKeepsTheRestOfAChainFindable) {
    HxTScatterTable<uint32_t, uint32_t> t;
    std::vector<uint32_t> chain;
    uint32_t k = 0;
    for (int i = 0; i < 4; ++i) chain.push_back(k = KeyWithHome(5, 8, k));
    for (uint32_t i = 0; i < 4; ++i) t.Insert(chain[i], i);

    EXPECT_TRUE(t.Remove(chain[0]));  // the chain's head
    EXPECT_FALSE(t.Remove(chain[0]));
    EXPECT_TRUE(t.Remove(chain[2]));  // the middle
    EXPECT_EQ(t.Size(), 2u);
    EXPECT_EQ(t.Find(chain[2]), nullptr);
    EXPECT_EQ(*t.Find(chain[1]), 1u);
    EXPECT_EQ(*t.Find(chain[3]), 3u);
}

TEST(HxScatterTable, MatchesAModelThroughRandomChanges) {
    HxTScatterTable<uint32_t, uint32_t> t;
    std::vector<std::pair<bool, uint32_t>> model(300, {false, 0});
    std::mt19937 rng(7);
    for (int step = 0; step < 20000; ++step) {
        uint32_t key = rng() % 300;
        if (rng() % 3 == 0) {
            EXPECT_EQ(t.Remove(key), model[key].first);
            model[key].first = false;
        } else {
            uint32_t v = rng();
            t.Insert(key, v);
            model[key] = {true, v};
        }
    }
    uint32_t present = 0;
    for (uint32_t key = 0; key < 300; ++key) {
        const uint32_t* v = t.Find(key);
        ASSERT_EQ(v != nullptr, model[key].first) << key;
        if (v) {
            EXPECT_EQ(*v, model[key].second);
        }
        present += model[key].first;
    }
    EXPECT_EQ(t.Size(), present);
}

TEST(HxScatterTable, NamesAreFoundWhateverTheirCase) {
    HxTScatterTable<HxFixedString, uint32_t> t;
    t.Insert(HxFixedString("TableName"), 1);
    ASSERT_NE(t.Find(HxFixedString("TABLENAME")), nullptr);
    EXPECT_EQ(*t.Find(HxFixedString("tablename")), 1u);
    EXPECT_EQ(t.Find(HxFixedString("TableNam")), nullptr);
}

// ---- HxTOrderedMap ----------------------------------------------------------

TEST(HxOrderedMap, KeepsInsertionOrderAndPositionOnReplace) {
    HxTOrderedMap<HxFixedString, uint32_t> m;
    char name[32];
    for (uint32_t i = 0; i < 40; ++i) {
        std::snprintf(name, sizeof name, "MapKey%u", (i * 17) % 40);
        m.Set(HxFixedString(name), i);
    }
    m.Set(HxFixedString("MAPKEY0"), 1000);  // replaced in place
    EXPECT_FALSE(m.Add(HxFixedString("mapkey17"), 5));
    ASSERT_EQ(m.Size(), 40u);
    uint32_t i = 0;
    for (const auto& e : m) {
        std::snprintf(name, sizeof name, "MapKey%u", (i * 17) % 40);
        EXPECT_EQ(e.key, HxFixedString(name));
        EXPECT_EQ(e.value, i == 0 ? 1000u : i);
        ++i;
    }
}

TEST(HxOrderedMap, RemoveClosesTheGapAndReindexes) {
    HxTOrderedMap<uint32_t, uint32_t> m;
    for (uint32_t k = 0; k < 12; ++k) m.Set(100 + k, k);
    EXPECT_TRUE(m.Remove(103));
    EXPECT_FALSE(m.Contains(103));
    for (uint32_t k = 0; k < 12; ++k) EXPECT_EQ(m.IndexOf(100 + k), k < 3 ? k : k == 3 ? kHxInvalidIndex : k - 1);
    m.Set(103, 3);  // comes back at the end
    EXPECT_EQ(m.IndexOf(103), 11u);
}

TEST(HxOrderedMap, RemoveByTheStoredKeyItself) {
    HxTOrderedMap<HxFixedString, uint32_t> m;
    m.Set(HxFixedString("MapSelfA"), 1);
    m.Set(HxFixedString("MapSelfB"), 2);
    m.Set(HxFixedString("MapSelfC"), 3);
    EXPECT_TRUE(m.Remove(m.At(0).key));
    EXPECT_FALSE(m.Contains(HxFixedString("MapSelfA")));
    ASSERT_TRUE(m.Contains(HxFixedString("MapSelfB")));
    EXPECT_EQ(m.IndexOf(HxFixedString("MapSelfB")), 0u);
    EXPECT_EQ(*m.Find(HxFixedString("MapSelfC")), 3u);
}

// ---- HxTBTree ---------------------------------------------------------------

TEST(HxBTree, SplitsAtTheFifteenthKeyIntoSevenMiddleSeven) {
    HxTBTree<uint32_t> t;
    for (uint32_t k = 1; k <= 14; ++k) EXPECT_TRUE(t.Insert(k));
    EXPECT_EQ(t.Height(), 1u);
    EXPECT_EQ(t.NodeCount(), 1u);
    EXPECT_EQ(t.KeyPlaces(), 14u);
    bool added = true;
    t.Insert(5, &added);
    EXPECT_FALSE(added);
    EXPECT_EQ(t.Size(), 14u);

    t.Insert(15, &added);
    EXPECT_TRUE(added);
    EXPECT_EQ(t.Height(), 2u);
    EXPECT_EQ(t.NodeCount(), 3u);
    EXPECT_EQ(t.KeyPlaces(), 42u);
    EXPECT_EQ(t.Size(), 15u);

    // 7 + 7 in the leaves: the next 7 keys on the right fit without a split.
    for (uint32_t k = 16; k <= 22; ++k) t.Insert(k);
    EXPECT_EQ(t.NodeCount(), 3u);
    t.Insert(23);
    EXPECT_EQ(t.NodeCount(), 4u);

    std::vector<uint32_t> seen;
    t.ForEach([&](uint32_t k) { seen.push_back(k); });
    ASSERT_EQ(seen.size(), 23u);
    for (uint32_t i = 0; i < 23; ++i) EXPECT_EQ(seen[i], i + 1);
}

TEST(HxBTree, MatchesASetThroughRandomInsertsAndRemoves) {
    HxTBTree<uint32_t> t;
    std::set<uint32_t> model;
    std::mt19937 rng(11);
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 3000; ++i) {
            uint32_t k = rng() % 5000;
            bool added = false;
            ASSERT_TRUE(t.Insert(k, &added));
            EXPECT_EQ(added, model.insert(k).second);
        }
        for (int i = 0; i < 3000; ++i) {
            uint32_t k = rng() % 5000;
            ASSERT_EQ(t.Remove(k), model.erase(k) == 1) << k;
        }
        ASSERT_EQ(t.Size(), model.size());
        std::vector<uint32_t> seen;
        t.ForEach([&](uint32_t k) { seen.push_back(k); });
        ASSERT_EQ(seen, std::vector<uint32_t>(model.begin(), model.end()));
        for (uint32_t k = 0; k < 5000; k += 7) ASSERT_EQ(t.Contains(k), model.count(k) == 1);
        // Every node but the root holds at least 7 keys.
        ASSERT_LE(t.NodeCount(), t.Size() / 7 + 1);
    }
    for (uint32_t k : model) ASSERT_TRUE(t.Remove(k));
    EXPECT_EQ(t.Size(), 0u);
    EXPECT_EQ(t.NodeCount(), 0u);
    EXPECT_EQ(t.Height(), 0u);
}

TEST(HxBTree, SpentNodesAreReusedBeforeNewOnes) {
    HxTBTree<uint32_t> t;
    for (uint32_t k = 0; k < 500; ++k) t.Insert(k);
    const uint32_t nodes = t.NodeCount() + t.FreeNodeCount();
    for (uint32_t k = 0; k < 500; k += 2) t.Remove(k);
    EXPECT_GT(t.FreeNodeCount(), 0u);
    EXPECT_EQ(t.NodeCount() + t.FreeNodeCount(), nodes);
    for (uint32_t k = 0; k < 500; k += 2) t.Insert(k);
    EXPECT_EQ(t.NodeCount() + t.FreeNodeCount(), nodes);

    t.Clear();
    EXPECT_EQ(t.Size(), 0u);
    EXPECT_EQ(t.KeyPlaces(), 0u);
    EXPECT_EQ(t.FreeNodeCount(), nodes);
    for (uint32_t k = 0; k < 500; ++k) t.Insert(k);
    EXPECT_EQ(t.NodeCount() + t.FreeNodeCount(), nodes);
}

TEST(HxBTree, NamesAreOrderedByAddressAndHeldCounted) {
    std::vector<HxFixedString> names;
    char buf[32];
    for (int i = 0; i < 100; ++i) {
        std::snprintf(buf, sizeof buf, "TreeName%d", i);
        names.emplace_back(buf);
    }
    {
        HxTBTree<HxFixedString> t;
        for (const auto& n : names) t.Insert(n);
        t.Insert(HxFixedString("TREENAME5"));  // the same name
        EXPECT_EQ(t.Size(), 100u);
        EXPECT_TRUE(t.Contains(HxFixedString("treename42")));
        uintptr_t last = 0;
        t.ForEach([&](const HxFixedString& n) {
            EXPECT_LT(last, reinterpret_cast<uintptr_t>(n.Handle()));
            last = reinterpret_cast<uintptr_t>(n.Handle());
        });
        EXPECT_TRUE(t.Remove(HxFixedString("TreeName7")));
        EXPECT_EQ(HxFixedStringRefCount(names[7]), 1u);
        EXPECT_EQ(HxFixedStringRefCount(names[8]), 2u);
    }
    for (const auto& n : names) EXPECT_EQ(HxFixedStringRefCount(n), 1u);
}

// ---- HxString ---------------------------------------------------------------

TEST(HxStringTest, SetAppendAndMaximumLength) {
    HxString s;
    EXPECT_STREQ(s.c_str(), "");
    ASSERT_TRUE(s.Set("abcdef", 3));
    EXPECT_STREQ(s.c_str(), "abc");
    EXPECT_EQ(s.Capacity(), 4u);
    ASSERT_TRUE(s.Append("XYZ"));
    ASSERT_TRUE(s.Append("12345", 2));
    EXPECT_STREQ(s.c_str(), "abcXYZ12");
    EXPECT_EQ(s.Length(), 8u);
    ASSERT_TRUE(s.Set("short", 10));  // the buffer follows the maximum
    EXPECT_EQ(s.Capacity(), 11u);

    // Text from the string's own buffer, in place and across a reallocation.
    s.Set("0123456789");
    s.Set(s.c_str() + 4);
    EXPECT_STREQ(s.c_str(), "456789");
    s.Append(s.c_str());
    EXPECT_STREQ(s.c_str(), "456789456789");
}

TEST(HxStringTest, LongTextIsCutTo65534WithAWarning) {
    const std::string warning =
        "HxString::Set(): Could not allocate full amount of memory asked for with aiMaxLen.\n";
    const std::string longText(70000, 'q');
    HxString s;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(s.Set(longText.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning);
    EXPECT_EQ(s.Length(), 65534u);
    EXPECT_EQ(s.Capacity(), 65535u);

    // Exactly 65534 fits without a word, and so does a short text with a
    // large maximum.
    testing::internal::CaptureStderr();
    s.Set(longText.c_str(), 65534);
    HxString u;
    u.Set("tiny", 100000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(s.Length(), 65534u);
    EXPECT_STREQ(u.c_str(), "tiny");

    // Appending past the limit is cut the same way.
    HxString t(std::string(65000, 'a').c_str());
    testing::internal::CaptureStderr();
    t.Append(std::string(1000, 'b').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning);
    EXPECT_EQ(t.Length(), 65534u);
    EXPECT_EQ(t.c_str()[65000], 'b');
}

TEST(HxStringTest, FormatStopsAt4095Characters) {
    HxString s;
    ASSERT_TRUE(s.Format("%s-%d", "value", 42));
    EXPECT_STREQ(s.c_str(), "value-42");
    const std::string wide(5000, 'w');
    ASSERT_TRUE(s.Format("%s", wide.c_str()));
    EXPECT_EQ(s.Length(), 4095u);
}
