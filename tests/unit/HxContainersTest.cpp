// Growable array, scatter table, ordered map, B-tree and HxString.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hxcore/HxCrc.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTBTree.h"
#include "hxcore/HxTOrderedMap.h"
#include "hxcore/HxTScatterTable.h"

namespace {

// The first key above `after` whose home slot in a table of 8 slots is `home`.
uint32_t KeyWithHome(uint32_t home, uint32_t after = 0) {
    for (uint32_t k = after + 1;; ++k) {
        uint8_t b[4] = {uint8_t(k), uint8_t(k >> 8), uint8_t(k >> 16), uint8_t(k >> 24)};
        if ((HxCrc::Crc32(b, 4) & 7) == home) return k;
    }
}

}  // namespace

TEST(HxArray, InsertIntoAFullBufferGrowthAndValueInitialisation) {
    HxTArray<uint32_t> a;
    for (uint32_t i = 0; i < 4; ++i) a.Add(i * 10);
    ASSERT_TRUE(a.Insert(2, 15));  // full: the gap is left while the buffer moves
    ASSERT_TRUE(a.Insert(0, 1));
    a.RemoveAt(4);
    EXPECT_EQ(std::vector<uint32_t>(a.begin(), a.end()), (std::vector<uint32_t>{1, 0, 10, 15, 30}));
    EXPECT_TRUE(a.Resize(101));  // past twice the capacity: the request is taken
    EXPECT_EQ(a[4], 30u);
    EXPECT_EQ(a[100], 0u);
    HxTArray<uint32_t> big;
    EXPECT_TRUE(big.Reserve(9));  // the first buffer takes a request above 4
    EXPECT_EQ(big.Capacity(), 9u);
}

TEST(HxArray, NameElementsAreCountedThroughCopiesRelocationAndSelfAdd) {
    HxFixedString name("ArrayOwnedName");
    {
        HxTArray<HxFixedString> a;
        for (int i = 0; i < 4; ++i) a.Add(name);
        a.Add(a[0]);  // full: the element is copied before the buffer moves
        EXPECT_STREQ(a[4].c_str(), "ArrayOwnedName");
        HxTArray<HxFixedString> b(a);
        b.RemoveAt(1);
        for (int i = 0; i < 10; ++i) b.Add(HxFixedString("ArrayOther"));  // relocation keeps counts
        EXPECT_EQ(HxFixedStringRefCount(name), 10u);
        b = a;
        EXPECT_EQ(HxFixedStringRefCount(name), 11u);
    }
    EXPECT_EQ(HxFixedStringRefCount(name), 1u);
}

TEST(HxScatterTable, AStrangerInAHomeSlotMovesOut) {
    // a and b share home slot 2; b takes the first free slot the cursor finds,
    // slot 7. c's home is slot 7, so b must move out to slot 6.
    HxTScatterTable<uint32_t, uint32_t> t;  // eight slots
    const uint32_t a = KeyWithHome(2), b = KeyWithHome(2, a), c = KeyWithHome(7);
    t.Insert(a, 1);
    t.Insert(b, 2);
    t.Insert(c, 3);
    std::vector<uint32_t> slots;
    t.ForEach([&](uint32_t k, uint32_t) { slots.push_back(k); });
    EXPECT_EQ(slots, (std::vector<uint32_t>{a, b, c}));  // slots 2, 6, 7
    EXPECT_TRUE(t.Remove(a));  // the chain's head: b moves into the home slot
    EXPECT_FALSE(t.Remove(a));
    EXPECT_EQ(*t.Find(b), 2u);
    EXPECT_EQ(*t.Find(c), 3u);
}

TEST(HxOrderedMap, MatchesAModelThroughRandomChanges) {
    // Also the scatter table's insert, replace and remove, through many chains and rebuilds.
    HxTOrderedMap<uint32_t, uint32_t> m;
    std::vector<std::pair<uint32_t, uint32_t>> model;  // in insertion order
    std::mt19937 rng(7);
    for (int step = 0; step < 20000; ++step) {
        uint32_t key = rng() % 300;
        auto at = std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == key; });
        if (rng() % 3 == 0) {
            ASSERT_EQ(m.Remove(key), at != model.end());
            if (at != model.end()) model.erase(at);
        } else {
            uint32_t v = rng();
            m.Set(key, v);
            if (at != model.end()) at->second = v;  // replaced in place
            else model.emplace_back(key, v);
        }
    }
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    for (const auto& e : m) seen.emplace_back(e.key, e.value);
    ASSERT_EQ(seen, model);
    for (uint32_t i = 0; i < model.size(); ++i) EXPECT_EQ(m.IndexOf(model[i].first), i);
    for (uint32_t key = 0; key < 300; ++key) {
        auto same = [&](const auto& e) { return e.first == key; };
        EXPECT_EQ(m.Contains(key), std::any_of(model.begin(), model.end(), same)) << key;
    }
}

TEST(HxOrderedMap, NamesIgnoreCaseAndRemoveTakesTheStoredKeyItself) {
    HxTOrderedMap<HxFixedString, uint32_t> m;
    for (const char* n : {"MapE", "MapB", "MapF", "MapA"}) m.Set(HxFixedString(n), 1);
    EXPECT_FALSE(m.Add(HxFixedString("mapf"), 5));
    EXPECT_TRUE(m.Remove(m.At(2).key));  // unindexed before its entry goes
    EXPECT_FALSE(m.Contains(HxFixedString("MapF")));
    EXPECT_EQ(m.IndexOf(HxFixedString("MAPA")), 2u);
}

TEST(HxBTree, SplitsAtTheFifteenthKeyIntoSevenMiddleSeven) {
    HxTBTree<uint32_t> t;
    for (uint32_t k = 1; k <= 14; ++k) EXPECT_TRUE(t.Insert(k));
    EXPECT_EQ(t.Height(), 1u);
    bool added = true;
    t.Insert(5, &added);
    EXPECT_FALSE(added);
    t.Insert(15, &added);
    EXPECT_TRUE(added);
    EXPECT_EQ(t.Height(), 2u);
    EXPECT_EQ(t.KeyPlaces(), 42u);
    for (uint32_t k = 16; k <= 22; ++k) t.Insert(k);  // 7 + 7: the right leaf takes 7 more
    EXPECT_EQ(t.NodeCount(), 3u);
    t.Insert(23);
    EXPECT_EQ(t.NodeCount(), 4u);
    EXPECT_EQ(t.Size(), 23u);
}

TEST(HxBTree, MatchesASetThroughRandomChangesCountsNamesAndReusesSpentNodes) {
    std::vector<HxFixedString> names;  // ordered by address, relocated as raw bytes
    for (int i = 0; i < 5000; ++i) names.emplace_back(("TreeName" + std::to_string(i)).c_str());
    std::set<const void*> model;
    std::mt19937 rng(11);
    {
        HxTBTree<HxFixedString> t;
        for (int round = 0; round < 6; ++round) {
            for (int i = 0; i < 3000; ++i) {
                const HxFixedString& k = names[rng() % 5000];
                bool added = false;
                ASSERT_TRUE(t.Insert(k, &added));
                EXPECT_EQ(added, model.insert(k.Handle()).second);
            }
            for (int i = 0; i < 3000; ++i) {
                const HxFixedString& k = names[rng() % 5000];
                ASSERT_EQ(t.Remove(k), model.erase(k.Handle()) == 1) << k.text();
            }
            std::vector<const void*> seen;
            t.ForEach([&](const HxFixedString& k) { seen.push_back(k.Handle()); });
            ASSERT_EQ(seen, std::vector<const void*>(model.begin(), model.end()));
            for (uint32_t i = 0; i < 5000; i += 7) {
                ASSERT_EQ(t.Contains(names[i]), model.count(names[i].Handle()) == 1);
                ASSERT_EQ(HxFixedStringRefCount(names[i]), 1 + model.count(names[i].Handle()));
            }
            ASSERT_LE(t.NodeCount(), t.Size() / 7 + 1);  // every node but the root holds 7 or more
        }
        const uint32_t nodes = t.NodeCount() + t.FreeNodeCount();
        for (const HxFixedString& k : names) t.Remove(k);
        EXPECT_EQ(t.Height(), 0u);
        EXPECT_EQ(t.FreeNodeCount(), nodes);
        for (uint32_t i = 0; i < 500; ++i) t.Insert(names[i]);  // from the free list, not the heap
        EXPECT_EQ(t.NodeCount() + t.FreeNodeCount(), nodes);
        t.Clear();
        EXPECT_EQ(t.KeyPlaces(), 0u);
        EXPECT_EQ(t.FreeNodeCount(), nodes);
        t.Insert(names[0]);  // released with the tree
    }
    for (const auto& n : names) ASSERT_EQ(HxFixedStringRefCount(n), 1u);
}

TEST(HxStringTest, OwnTextFormatLimitAndTheCutAt65534) {
    HxString s;
    s.Set("0123456789");  // text from the string's own buffer, in place and reallocated
    s.Set(s.c_str() + 4);
    s.Append(s.c_str());
    ASSERT_TRUE(s.Append("abc", 2));
    EXPECT_STREQ(s.c_str(), "456789456789ab");
    ASSERT_TRUE(s.Format("%s", std::string(5000, 'w').c_str()));
    EXPECT_EQ(s.Length(), 4095u);

    const std::string warning = "HxString::Set(): Could not allocate full amount of memory asked for with aiMaxLen.\n";
    const std::string longText(70000, 'q');
    testing::internal::CaptureStderr();
    ASSERT_TRUE(s.Set(longText.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning);
    EXPECT_EQ(s.Length(), 65534u);
    EXPECT_EQ(s.Capacity(), 65535u);
    testing::internal::CaptureStderr();  // exactly 65534, or a short text with a large maximum: no word
    s.Set(longText.c_str(), 65534);
    HxString u;
    u.Set("tiny", 100000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_STREQ(u.c_str(), "tiny");
    EXPECT_EQ(s.Length(), 65534u);
    HxString t(std::string(65000, 'a').c_str());
    testing::internal::CaptureStderr();
    t.Append(std::string(1000, 'b').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning);
    EXPECT_EQ(t.Length(), 65534u);
    EXPECT_EQ(t.c_str()[65000], 'b');
}
