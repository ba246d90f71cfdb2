#pragma once
// Open hash map that chains inside its own slot array.
//
// The hash of a key is CRC-32 over its key bytes: the four bytes of a 32-bit
// key (little-endian), the one byte of an 8-bit key, the low four bytes of a
// HxFixedString's handle. The home slot is hash & (capacity - 1). A chain
// always starts in its home slot: an entry of another chain that sits there
// is moved out when a key of this home arrives. Free slots are found by a
// cursor walking down the array; a full table is rebuilt at twice the size.
// Iteration runs in slot order, which has nothing to do with insertion order.

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "hxcore/HxAssert.h"
#include "hxcore/HxCrc.h"
#include "hxcore/HxFixedString.h"

template <typename K>
struct HxTHash;

template <>
struct HxTHash<uint32_t> {
    static uint32_t Of(uint32_t key) {
        uint8_t bytes[4] = {uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16), uint8_t(key >> 24)};
        return HxCrc::Crc32(bytes, 4);
    }
};
template <>
struct HxTHash<int32_t> {
    static uint32_t Of(int32_t key) { return HxTHash<uint32_t>::Of(static_cast<uint32_t>(key)); }
};
template <>
struct HxTHash<uint8_t> {
    static uint32_t Of(uint8_t key) { return HxCrc::Crc32(&key, 1); }
};
template <>
struct HxTHash<HxFixedString> {
    static uint32_t Of(const HxFixedString& key) {
        return HxTHash<uint32_t>::Of(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key.Handle())));
    }
};
template <>
struct HxTHash<HxFixedStringCS> {
    static uint32_t Of(const HxFixedStringCS& key) {
        return HxTHash<uint32_t>::Of(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key.Handle())));
    }
};

template <typename K, typename V, typename Hash = HxTHash<K>>
class HxTScatterTable {
public:
    HxTScatterTable() = default;
    HxTScatterTable(const HxTScatterTable& other) { CopyFrom(other); }
    HxTScatterTable& operator=(const HxTScatterTable& other) {
        if (this != &other) {
            Destroy();
            CopyFrom(other);
        }
        return *this;
    }
    HxTScatterTable(HxTScatterTable&& other) noexcept { swap(other); }
    HxTScatterTable& operator=(HxTScatterTable&& other) noexcept {
        if (this != &other) {
            Destroy();
            swap(other);
        }
        return *this;
    }
    ~HxTScatterTable() { Destroy(); }

    uint32_t Size() const { return capacity_ - freeCount_; }
    uint32_t Capacity() const { return capacity_; }
    uint32_t ChangeCount() const { return changes_; }

    // Room for `count` entries in all without a rebuild. False only when
    // memory for the rebuild could not be had.
    bool Reserve(uint32_t count) {
        if (count <= capacity_) return true;
        HX_CHECK(count <= 0x80000000u, "Table size overflow");
        uint32_t fresh = capacity_ == 0 ? 8 : capacity_;
        while (fresh < count) fresh *= 2;
        return Rebuild(fresh);
    }

    // Inserts the key, or replaces the value of an equal key already present.
    // False only when memory for a rebuild could not be had.
    bool Insert(const K& key, V value) {
        if (capacity_ == 0 && !Rebuild()) return false;
        for (;;) {
            uint32_t home = Hash::Of(key) & (capacity_ - 1);
            Slot* h = &slots_[home];
            if (h->next == nullptr) {
                new (&h->key) K(key);
                new (&h->value) V(std::move(value));
                h->next = End();
                --freeCount_;
                ++changes_;
                return true;
            }
            for (Slot* s = h; s != End(); s = Next(s)) {
                if (s->key == key) {
                    s->value = std::move(value);
                    return true;
                }
            }
            Slot* f = TakeFreeSlot();
            if (f == nullptr) {
                HX_CHECK(!rebuilding_, "Should not require a rehash while rehashing.");
                if (!Rebuild()) return false;
                continue;
            }
            uint32_t otherHome = Hash::Of(h->key) & (capacity_ - 1);
            if (otherHome != home) {
                // The home slot holds an entry of another chain: move it out.
                Slot* pred = &slots_[otherHome];
                while (Next(pred) != h) pred = Next(pred);
                new (&f->key) K(std::move(h->key));
                new (&f->value) V(std::move(h->value));
                f->next = h->next;
                pred->next = f;
                h->key = key;
                h->value = std::move(value);
                h->next = End();
            } else {
                new (&f->key) K(key);
                new (&f->value) V(std::move(value));
                f->next = h->next;
                h->next = f;
            }
            ++changes_;
            return true;
        }
    }

    V* Find(const K& key) {
        if (capacity_ == 0) return nullptr;
        Slot* s = &slots_[Hash::Of(key) & (capacity_ - 1)];
        if (s->next == nullptr) return nullptr;
        for (; s != End(); s = Next(s))
            if (s->key == key) return &s->value;
        return nullptr;
    }
    const V* Find(const K& key) const { return const_cast<HxTScatterTable*>(this)->Find(key); }
    bool Contains(const K& key) const { return Find(key) != nullptr; }

    bool Remove(const K& key) {
        if (capacity_ == 0) return false;
        uint32_t home = Hash::Of(key) & (capacity_ - 1);
        Slot* h = &slots_[home];
        if (h->next == nullptr) return false;
        Slot* pred = nullptr;
        for (Slot* s = h; s != End(); pred = s, s = Next(s)) {
            if (!(s->key == key)) continue;
            if (pred == nullptr && s->next != End()) {
                // Chain head: pull the second entry into the home slot.
                Slot* n = s->next;
                s->key = std::move(n->key);
                s->value = std::move(n->value);
                s->next = n->next;
                FreeSlot(n);
            } else {
                if (pred != nullptr) pred->next = s->next;
                FreeSlot(s);
            }
            ++changes_;
            return true;
        }
        return false;
    }

    void Clear() {
        for (uint32_t i = 0; i < capacity_; ++i)
            if (slots_[i].next != nullptr) FreeSlot(&slots_[i]);
        freeCount_ = capacity_;
        cursor_ = capacity_;
        ++changes_;
    }

    // Calls f(key, value) for every entry, in slot order.
    template <typename F>
    void ForEach(F&& f) const {
        for (uint32_t i = 0; i < capacity_; ++i)
            if (slots_[i].next != nullptr) f(slots_[i].key, slots_[i].value);
    }

    void swap(HxTScatterTable& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(capacity_, other.capacity_);
        std::swap(freeCount_, other.freeCount_);
        std::swap(cursor_, other.cursor_);
        std::swap(changes_, other.changes_);
    }

private:
    struct Slot {
        union { K key; };
        union { V value; };
        Slot* next;  // null: free; End(): last of its chain
        Slot() {}
        ~Slot() {}
    };

    static Slot* End() {
        static Slot* const marker = reinterpret_cast<Slot*>(&EndMarkerStorage);
        return marker;
    }
    static inline char EndMarkerStorage = 0;

    Slot* Next(Slot* s) const {
        Slot* n = s->next;
        HX_CHECK(n == End() || (n >= slots_ && n < slots_ + capacity_), "Scatter table has been trashed.");
        return n;
    }

    Slot* TakeFreeSlot() {
        if (freeCount_ == 0) return nullptr;
        do {
            cursor_ = cursor_ == 0 ? capacity_ - 1 : cursor_ - 1;
        } while (slots_[cursor_].next != nullptr);
        --freeCount_;
        return &slots_[cursor_];
    }

    void FreeSlot(Slot* s) {
        s->key.~K();
        s->value.~V();
        s->next = nullptr;
        ++freeCount_;
    }

    // Moves every entry into a table of `fresh` slots (0: twice as many).
    bool Rebuild(uint32_t fresh = 0) {
        HX_CHECK(capacity_ < 0x80000000u, "Table size overflow");
        if (fresh == 0) fresh = capacity_ == 0 ? 8 : capacity_ * 2;
        HX_CHECK((fresh & (fresh - 1)) == 0, "Invalid table size");
        Slot* old = slots_;
        uint32_t oldCapacity = capacity_;
        // Zeroed memory: every slot starts free (a null next), and no slot's
        // bytes are ever read before they are written.
        Slot* mem = static_cast<Slot*>(std::calloc(fresh, sizeof(Slot)));
        if (mem == nullptr) return false;
        slots_ = mem;
        capacity_ = fresh;
        freeCount_ = fresh;
        cursor_ = fresh;
        ++changes_;
        rebuilding_ = true;
        for (uint32_t i = 0; i < oldCapacity; ++i) {
            if (old[i].next == nullptr) continue;
            bool ok = Insert(old[i].key, std::move(old[i].value));
            HX_CHECK(ok, "Should not fail to allocate while re-hashing");
            old[i].key.~K();
            old[i].value.~V();
        }
        rebuilding_ = false;
        std::free(static_cast<void*>(old));
        return true;
    }

    void Destroy() {
        if (slots_ == nullptr) return;
        Clear();
        std::free(static_cast<void*>(slots_));
        slots_ = nullptr;
        capacity_ = freeCount_ = cursor_ = 0;
    }

    void CopyFrom(const HxTScatterTable& other) {
        other.ForEach([this](const K& k, const V& v) { Insert(k, v); });
    }

    Slot* slots_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t freeCount_ = 0;
    uint32_t cursor_ = 0;
    uint32_t changes_ = 0;
    bool rebuilding_ = false;
};
