#pragma once
// Map that iterates in insertion order: an HxTArray of entries indexed by an
// HxTScatterTable from key to position. Replacing the value of a key that is
// already present keeps the entry where it is. Keyed by HxFixedString it
// compares names without regard to letter case.
//
// Every map of the script object model is one of these, which makes every
// output of the tool follow the order of its input.

#include <cstdint>
#include <utility>

#include "hxcore/HxTArray.h"
#include "hxcore/HxTScatterTable.h"

template <typename K, typename V>
class HxTOrderedMap {
public:
    struct Entry {
        K key;
        V value;
    };

    uint32_t Size() const { return entries_.Size(); }
    bool Empty() const { return entries_.Empty(); }

    V* Find(const K& key) {
        const uint32_t* at = index_.Find(key);
        return at ? &entries_[*at].value : nullptr;
    }
    const V* Find(const K& key) const {
        const uint32_t* at = index_.Find(key);
        return at ? &entries_[*at].value : nullptr;
    }
    bool Contains(const K& key) const { return index_.Find(key) != nullptr; }
    // Room for `count` entries in all, so that adding them moves none.
    void Reserve(uint32_t count) {
        entries_.Reserve(count);
        index_.Reserve(count);
    }
    // Position of the key in iteration order, or kHxInvalidIndex.
    uint32_t IndexOf(const K& key) const {
        const uint32_t* at = index_.Find(key);
        return at ? *at : kHxInvalidIndex;
    }

    // Inserts the key at the end, or replaces the value of the key in place.
    // Returns the stored value.
    V& Set(const K& key, V value) {
        if (uint32_t* at = index_.Find(key)) {
            entries_[*at].value = std::move(value);
            return entries_[*at].value;
        }
        uint32_t position = entries_.Add(Entry{key, std::move(value)});
        HX_CHECK(position != kHxInvalidIndex, "Out of memory");
        index_.Insert(key, position);
        return entries_[position].value;
    }

    // Inserts only when the key is absent; false (and nothing changes) when present.
    bool Add(const K& key, V value) {
        if (index_.Find(key) != nullptr) return false;
        Set(key, std::move(value));
        return true;
    }

    bool Remove(const K& key) {
        const uint32_t* at = index_.Find(key);
        if (at == nullptr) return false;
        uint32_t position = *at;
        // Unindex first: `key` may be the stored key that RemoveAt destroys.
        index_.Remove(key);
        entries_.RemoveAt(position);
        for (uint32_t i = position; i < entries_.Size(); ++i) index_.Insert(entries_[i].key, i);
        return true;
    }

    void Clear() {
        entries_.Clear();
        index_.Clear();
    }

    Entry& At(uint32_t position) { return entries_[position]; }
    const Entry& At(uint32_t position) const { return entries_[position]; }

    Entry* begin() { return entries_.begin(); }
    Entry* end() { return entries_.end(); }
    const Entry* begin() const { return entries_.begin(); }
    const Entry* end() const { return entries_.end(); }

    void swap(HxTOrderedMap& other) noexcept {
        entries_.swap(other.entries_);
        index_.swap(other.index_);
    }

private:
    HxTArray<Entry> entries_;
    HxTScatterTable<K, uint32_t> index_;
};
