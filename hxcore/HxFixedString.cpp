#include "hxcore/HxFixedString.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "hxcore/HxAssert.h"
#include "platform/Platform.h"

// The string pool: 65536 bucket chains, one per 16-bit hash value, guarded by
// 128 reader/writer spin locks (bucket b uses lock b % 128). An entry is a
// header followed by the text and its terminator, carved from a slab (see
// "entry memory" below).
//
// The lock array and the chunk table of the bucket heads are
// constant-initialised to zero, so they exist before any
// static initialiser of another file interns its names, and they live until
// the process ends. Entries still referenced at exit are simply left behind.

namespace HxInternal {

struct PoolEntry {
    PoolEntry* next;              // next entry of the same bucket, null at the end
    std::atomic<uint32_t> flags;  // count (bits 0-13), alias (14), wide (15), bucket (16-31)
    uint32_t length;              // characters without the terminator
    // The text and its terminator follow the header; an alias holds instead
    // the pointer to the entry that holds its text.
};
static_assert(sizeof(PoolEntry) == 16, "an entry's header is two words");

}  // namespace HxInternal

using HxInternal::PoolEntry;

namespace {

constexpr uint32_t kCountMask = 0x3FFFu;
constexpr uint32_t kCountSaturated = 0x3FFFu;
constexpr uint32_t kAliasBit = 1u << 14;
constexpr uint32_t kWideBit = 1u << 15;
constexpr uint32_t kBucketShift = 16;
constexpr uint32_t kBucketCount = 65536;
constexpr uint32_t kLockCount = 128;
constexpr uint32_t kWriterBit = 0x80000000u;
constexpr uint32_t kQuickBackoffAttempts = 10000;

std::atomic<uint32_t> g_locks[kLockCount];

// The bucket heads live in chunks of 16, allocated the first time one of
// their buckets gains an entry. A flat array of 65536 heads would be touched
// all over by the few hundred names interned at start-up, one page fault per
// 4 KiB page, which was most of the start-up cost of a run on a small script.
constexpr uint32_t kChunkShift = 4;
constexpr uint32_t kChunkBuckets = 1u << kChunkShift;
std::atomic<PoolEntry**> g_chunks[kBucketCount / kChunkBuckets];

// The head of a bucket for reading: null when its chunk does not exist yet.
inline PoolEntry* BucketHead(uint32_t bucket) {
    PoolEntry** chunk = g_chunks[bucket >> kChunkShift].load(std::memory_order_acquire);
    return chunk != nullptr ? chunk[bucket & (kChunkBuckets - 1)] : nullptr;
}

// The head of a bucket for changing it, its chunk created when missing; null
// only when memory runs out. The caller holds the bucket's write lock; the
// chunk itself is published with a compare-exchange, since the buckets of one
// chunk are guarded by different locks.
PoolEntry** BucketLink(uint32_t bucket) {
    std::atomic<PoolEntry**>& slot = g_chunks[bucket >> kChunkShift];
    PoolEntry** chunk = slot.load(std::memory_order_acquire);
    if (chunk == nullptr) {
        auto** fresh = static_cast<PoolEntry**>(std::calloc(kChunkBuckets, sizeof(PoolEntry*)));
        if (fresh == nullptr) return nullptr;
        if (slot.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
            chunk = fresh;
        } else {
            std::free(static_cast<void*>(fresh));  // another thread was first; `chunk` is its
        }
    }
    return &chunk[bucket & (kChunkBuckets - 1)];
}

// ASCII-only lowering: what tolower does in the default "C" locale. Bytes
// above 127 are left alone.
constexpr struct LowerTable {
    unsigned char map[256];
    constexpr LowerTable() : map() {
        for (unsigned i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
    }
} kLower;

inline char* TextOf(PoolEntry* e) { return reinterpret_cast<char*>(e + 1); }
inline PoolEntry*& TargetOf(PoolEntry* e) { return *reinterpret_cast<PoolEntry**>(e + 1); }

inline PoolEntry* Resolve(PoolEntry* e) {
    while (e->flags.load(std::memory_order_relaxed) & kAliasBit) e = TargetOf(e);
    return e;
}

// ---- spin locks -------------------------------------------------------------

void Backoff(uint32_t& attempt) {
    Platform::SleepMilliseconds(attempt < kQuickBackoffAttempts ? 0 : 1);
    if (attempt < kQuickBackoffAttempts) ++attempt;
}

std::atomic<uint32_t>& LockFor(uint32_t bucket) { return g_locks[bucket % kLockCount]; }

void LockRead(std::atomic<uint32_t>& lock, uint32_t& attempt) {
    for (;;) {
        uint32_t word = lock.load(std::memory_order_relaxed);
        if ((word & kWriterBit) == 0 &&
            lock.compare_exchange_weak(word, word + 1, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        Backoff(attempt);
    }
}

void UnlockRead(std::atomic<uint32_t>& lock) { lock.fetch_sub(1, std::memory_order_release); }

// Succeeds only while the caller is the one reader.
bool TryUpgrade(std::atomic<uint32_t>& lock) {
    uint32_t expected = 1;
    return lock.compare_exchange_strong(expected, kWriterBit, std::memory_order_acquire, std::memory_order_relaxed);
}

void LockWrite(std::atomic<uint32_t>& lock) {
    uint32_t attempt = 0;
    for (;;) {
        uint32_t expected = 0;
        if (lock.compare_exchange_weak(expected, kWriterBit, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        Backoff(attempt);
    }
}

void UnlockWrite(std::atomic<uint32_t>& lock) { lock.store(0, std::memory_order_release); }

// ---- entry memory -----------------------------------------------------------
//
// Entries are carved from 64 KiB slabs in steps of 8 bytes: a pointer bump
// instead of a heap call and no heap header per entry, which a run that
// interns tens of thousands of names feels in time and in memory. A released
// entry goes on the free list of its size and is the next entry of that size
// handed out, so a run that makes and drops names does not grow. Entries
// over 512 bytes are heap blocks of their own. Slabs are never given back;
// each links to the one before it, so all stay reachable to the end.
// Under AddressSanitizer every entry is a heap block of its own, so that its
// checks see each one.

#if defined(__SANITIZE_ADDRESS__)
#define HX_POOL_HEAP_ENTRIES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HX_POOL_HEAP_ENTRIES 1
#endif
#endif

#if !defined(HX_POOL_HEAP_ENTRIES)
constexpr size_t kSlabBytes = 64 * 1024;
constexpr size_t kSlabStep = 8;
constexpr size_t kLargestSlabEntry = 512;

struct FreeBlock {
    FreeBlock* next;
};

std::atomic<uint32_t> g_slabLock;
FreeBlock* g_freeBySize[kLargestSlabEntry / kSlabStep + 1];
char* g_slabAt = nullptr;
char* g_slabEnd = nullptr;
void* g_lastSlab = nullptr;
#endif

void* AllocateEntry(size_t bytes) {
#if !defined(HX_POOL_HEAP_ENTRIES)
    if (bytes <= kLargestSlabEntry) {
        const size_t size = (bytes + kSlabStep - 1) & ~(kSlabStep - 1);
        LockWrite(g_slabLock);
        FreeBlock*& free = g_freeBySize[size / kSlabStep];
        void* block = free;
        if (block != nullptr) {
            free = free->next;
        } else {
            if (static_cast<size_t>(g_slabEnd - g_slabAt) < size) {
                char* slab = static_cast<char*>(std::malloc(kSlabBytes));
                if (slab == nullptr) {
                    UnlockWrite(g_slabLock);
                    return nullptr;
                }
                *reinterpret_cast<void**>(slab) = g_lastSlab;
                g_lastSlab = slab;
                g_slabAt = slab + 2 * kSlabStep;
                g_slabEnd = slab + kSlabBytes;
            }
            block = g_slabAt;
            g_slabAt += size;
        }
        UnlockWrite(g_slabLock);
        return block;
    }
#endif
    return std::malloc(bytes);
}

// `bytes` is what AllocateEntry was asked for.
void FreeEntry(void* block, size_t bytes) {
#if !defined(HX_POOL_HEAP_ENTRIES)
    if (bytes <= kLargestSlabEntry) {
        const size_t size = (bytes + kSlabStep - 1) & ~(kSlabStep - 1);
        LockWrite(g_slabLock);
        FreeBlock*& free = g_freeBySize[size / kSlabStep];
        free = new (block) FreeBlock{free};
        UnlockWrite(g_slabLock);
        return;
    }
#else
    (void)bytes;
#endif
    std::free(block);
}

inline size_t TextEntryBytes(uint32_t length) { return sizeof(PoolEntry) + size_t(length) + 1; }
constexpr size_t kAliasEntryBytes = sizeof(PoolEntry) + sizeof(PoolEntry*);

// ---- counts -----------------------------------------------------------------

void AddRef(PoolEntry* e) {
    uint32_t f = e->flags.load(std::memory_order_relaxed);
    for (;;) {
        if ((f & kCountMask) == kCountSaturated) return;
        if (e->flags.compare_exchange_weak(f, f + 1, std::memory_order_relaxed)) return;
    }
}

void ReleaseEntry(PoolEntry* e) {
    for (;;) {
        uint32_t f = e->flags.load(std::memory_order_relaxed);
        for (;;) {
            uint32_t count = f & kCountMask;
            if (count == kCountSaturated) return;
            if (count <= 1) break;
            if (e->flags.compare_exchange_weak(f, f - 1, std::memory_order_release, std::memory_order_relaxed))
                return;
        }
        // Possibly the last reference: only under the bucket's write lock may
        // the entry leave its chain, so no reader can be handing it out.
        const uint32_t bucket = f >> kBucketShift;
        std::atomic<uint32_t>& lock = LockFor(bucket);
        LockWrite(lock);
        f = e->flags.load(std::memory_order_acquire);
        if ((f & kCountMask) != 1) {
            // Someone took a reference meanwhile: an ordinary decrement.
            const uint32_t count = f & kCountMask;
            if (count > 1 && count != kCountSaturated) e->flags.fetch_sub(1, std::memory_order_release);
            UnlockWrite(lock);
            return;
        }
        PoolEntry** link = BucketLink(bucket);  // exists: the entry is in it
        while (link != nullptr && *link != nullptr && *link != e) link = &(*link)->next;
        if (link != nullptr && *link == e) *link = e->next;
        UnlockWrite(lock);

        PoolEntry* target = (f & kAliasBit) ? TargetOf(e) : nullptr;
        const size_t bytes = target != nullptr ? kAliasEntryBytes : TextEntryBytes(e->length);
        e->~PoolEntry();
        FreeEntry(e, bytes);
        if (target == nullptr) return;
        e = target;  // the alias's reference on its target goes too
    }
}

// ---- entries ----------------------------------------------------------------

PoolEntry* NewTextEntry(const char* text, uint32_t length, uint32_t bucket) {
    void* mem = AllocateEntry(TextEntryBytes(length));
    if (mem == nullptr) return nullptr;
    PoolEntry* e = new (mem) PoolEntry;
    e->next = nullptr;
    e->flags.store(1u | (bucket << kBucketShift), std::memory_order_relaxed);
    e->length = length;
    char* dst = TextOf(e);
    std::memcpy(dst, text, length);
    dst[length] = '\0';
    return e;
}

// The alias takes over the caller's reference on `target`.
PoolEntry* NewAliasEntry(PoolEntry* target, uint32_t bucket) {
    void* mem = AllocateEntry(kAliasEntryBytes);
    if (mem == nullptr) return nullptr;
    PoolEntry* e = new (mem) PoolEntry;
    e->next = nullptr;
    e->flags.store(1u | kAliasBit | (bucket << kBucketShift), std::memory_order_relaxed);
    e->length = 0;
    TargetOf(e) = target;
    return e;
}

// Eight bytes with the ASCII capitals among them lowered; other bytes stay.
inline uint64_t LowerEight(uint64_t x) {
    const uint64_t seven = x & 0x7F7F7F7F7F7F7F7Full;
    const uint64_t fromA = seven + 0x3F3F3F3F3F3F3F3Full;  // high bit from 'A' on
    const uint64_t pastZ = seven + 0x2525252525252525ull;  // high bit from 'Z' + 1 on
    return x | (((fromA & ~pastZ & ~x) & 0x8080808080808080ull) >> 2);
}

// The bucket of a text: a 16-bit hash of its bytes, eight at a time, with
// the capitals lowered first when `fold` is set. Texts that differ only in
// letter case share the folded bucket; a text without capitals has the same
// bucket both ways.
template <bool fold>
uint32_t BucketOf(const char* text, uint32_t length) {
    uint64_t hash = length;
    const auto mix = [&hash](uint64_t word) {
        if (fold) word = LowerEight(word);
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    };
    if (length >= 8) {
        // Whole words, then the last eight bytes (which may overlap).
        uint64_t word;
        for (uint32_t i = 0; i + 8 < length; i += 8) {
            std::memcpy(&word, text + i, 8);
            mix(word);
        }
        std::memcpy(&word, text + length - 8, 8);
        mix(word);
    } else if (length >= 4) {
        uint32_t first, last;
        std::memcpy(&first, text, 4);
        std::memcpy(&last, text + length - 4, 4);
        mix(uint64_t(first) | uint64_t(last) << 32);
    } else if (length > 0) {
        const auto byte = [text](uint32_t i) { return uint64_t(static_cast<unsigned char>(text[i])); };
        mix(byte(0) | byte(length / 2) << 8 | byte(length - 1) << 16);
    }
    hash *= 0xFF51AFD7ED558CCDull;
    return static_cast<uint32_t>(hash >> 48);
}

inline bool EqualNoCase(const char* a, const char* b, uint32_t length) {
    if (std::memcmp(a, b, length) == 0) return true;
    for (uint32_t i = 0; i < length; ++i)
        if (kLower.map[static_cast<unsigned char>(a[i])] != kLower.map[static_cast<unsigned char>(b[i])]) return false;
    return true;
}

// Walks a bucket for the case-insensitive match: an 8-bit entry with its own
// text. Aliases are skipped (their target lives in its own bucket).
PoolEntry* FindNoCase(uint32_t bucket, const char* text, uint32_t length) {
    for (PoolEntry* e = BucketHead(bucket); e != nullptr; e = e->next) {
        uint32_t f = e->flags.load(std::memory_order_relaxed);
        if (f & (kAliasBit | kWideBit)) continue;
        if (e->length == length && EqualNoCase(TextOf(e), text, length)) return e;
    }
    return nullptr;
}

// Walks a bucket for the exact match, following aliases to their text.
PoolEntry* FindExact(uint32_t bucket, const char* text, uint32_t length) {
    for (PoolEntry* e = BucketHead(bucket); e != nullptr; e = e->next) {
        PoolEntry* r = Resolve(e);
        if (r->flags.load(std::memory_order_relaxed) & kWideBit) continue;
        if (r->length == length && std::memcmp(TextOf(r), text, length) == 0) return e;
    }
    return nullptr;
}

PoolEntry* InternNoCase(const char* text, uint32_t length, uint32_t bucket) {
    std::atomic<uint32_t>& lock = LockFor(bucket);
    uint32_t attempt = 0;
    for (;;) {
        LockRead(lock, attempt);
        if (PoolEntry* e = FindNoCase(bucket, text, length)) {
            AddRef(e);
            UnlockRead(lock);
            return e;
        }
        if (TryUpgrade(lock)) {
            PoolEntry** head = BucketLink(bucket);
            PoolEntry* e = head != nullptr ? NewTextEntry(text, length, bucket) : nullptr;
            if (e != nullptr) {
                e->next = *head;
                *head = e;
            }
            UnlockWrite(lock);
            return e;
        }
        UnlockRead(lock);
        Backoff(attempt);
    }
}

PoolEntry* InternExact(const char* text, uint32_t length, uint32_t bucket) {
    std::atomic<uint32_t>& lock = LockFor(bucket);
    uint32_t attempt = 0;
    LockRead(lock, attempt);
    if (PoolEntry* e = FindExact(bucket, text, length)) {
        AddRef(e);
        UnlockRead(lock);
        return e;
    }
    UnlockRead(lock);

    // The case-insensitive entry decides whether the text can be shared.
    const uint32_t lowered = BucketOf<true>(text, length);
    PoolEntry* folded = InternNoCase(text, length, lowered);
    if (folded == nullptr) return nullptr;

    LockWrite(lock);
    PoolEntry* result = FindExact(bucket, text, length);  // another thread may have been quicker
    bool keepFolded = false;
    if (result != nullptr) {
        AddRef(result);
    } else if (std::memcmp(TextOf(folded), text, length) == 0) {
        // Same text in another bucket (in the same bucket the walk above
        // would have found it): an alias that keeps our reference on it.
        PoolEntry** head = BucketLink(bucket);
        result = head != nullptr ? NewAliasEntry(folded, bucket) : nullptr;
        if (result != nullptr) {
            result->next = *head;
            *head = result;
            keepFolded = true;
        }
    } else {
        // In a shared bucket the case-insensitive entry must stay the first
        // case-insensitive match, so this one goes behind it.
        PoolEntry** link = lowered == bucket ? &folded->next : BucketLink(bucket);
        result = link != nullptr ? NewTextEntry(text, length, bucket) : nullptr;
        if (result != nullptr) {
            result->next = *link;
            *link = result;
        }
    }
    UnlockWrite(lock);
    if (!keepFolded) ReleaseEntry(folded);
    return result;
}

PoolEntry* EmptyEntry() {
    // The pool's own reference keeps the "" entry alive for the whole run.
    static PoolEntry* const entry = InternNoCase("", 0, 0);
    return entry;
}

PoolEntry* InternNoCaseN(const char* text, uint32_t length) {
    if (text == nullptr) return nullptr;
    return InternNoCase(text, length, BucketOf<true>(text, length));
}

PoolEntry* InternNoCaseZ(const char* text) {
    if (text == nullptr) return nullptr;
    return InternNoCaseN(text, static_cast<uint32_t>(std::strlen(text)));
}

PoolEntry* InternExactN(const char* text, uint32_t length) {
    if (text == nullptr) return nullptr;
    return InternExact(text, length, BucketOf<false>(text, length));
}

PoolEntry* InternExactZ(const char* text) {
    if (text == nullptr) return nullptr;
    return InternExactN(text, static_cast<uint32_t>(std::strlen(text)));
}

const char* EntryText(PoolEntry* e) { return e ? TextOf(Resolve(e)) : nullptr; }
uint32_t EntryLength(PoolEntry* e) { return e ? Resolve(e)->length : 0; }

void Retain(PoolEntry* e) {
    if (e) AddRef(e);
}
void Drop(PoolEntry*& e) {
    PoolEntry* old = e;
    e = nullptr;
    if (old) ReleaseEntry(old);
}

// Points a handle at `fresh`, which already carries the reference the handle
// needs, and drops the reference of the entry it held.
void Reseat(PoolEntry*& slot, PoolEntry* fresh) {
    PoolEntry* old = slot;
    slot = fresh;
    Drop(old);
}

int CompareNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        int ca = kLower.map[static_cast<unsigned char>(*a)];
        int cb = kLower.map[static_cast<unsigned char>(*b)];
        if (ca != cb || ca == 0) return ca - cb;
    }
}

}  // namespace

// ---- HxFixedString ----------------------------------------------------------

HxFixedString::HxFixedString() : entry_(EmptyEntry()) { Retain(entry_); }
HxFixedString::HxFixedString(const char* text) : entry_(InternNoCaseZ(text)) {}
HxFixedString::HxFixedString(const char* text, uint32_t length) : entry_(InternNoCaseN(text, length)) {}
HxFixedString::HxFixedString(const HxFixedStringCS& other)
    : entry_(other.entry_ ? InternNoCaseN(EntryText(other.entry_), EntryLength(other.entry_)) : nullptr) {}
HxFixedString::HxFixedString(const HxFixedString& other) : entry_(other.entry_) { Retain(entry_); }
void HxFixedString::Unref(PoolEntry* entry) { ReleaseEntry(entry); }

HxFixedString& HxFixedString::operator=(const HxFixedString& other) {
    if (entry_ != other.entry_) {
        Retain(other.entry_);
        Reseat(entry_, other.entry_);
    }
    return *this;
}

HxFixedString& HxFixedString::operator=(HxFixedString&& other) noexcept {
    if (this != &other) Reseat(entry_, std::exchange(other.entry_, nullptr));
    return *this;
}

HxFixedString& HxFixedString::operator=(const char* text) {
    Reseat(entry_, InternNoCaseZ(text));
    return *this;
}

void HxFixedString::swap(HxFixedString& other) noexcept { std::swap(entry_, other.entry_); }

const char* HxFixedString::c_str() const { return EntryText(entry_); }
uint32_t HxFixedString::length() const { return EntryLength(entry_); }

bool HxFixedString::operator==(const char* other) const {
    if (entry_ == nullptr || other == nullptr) return entry_ == nullptr && other == nullptr;
    return CompareNoCase(EntryText(entry_), other) == 0;
}

// ---- HxFixedStringCS --------------------------------------------------------

HxFixedStringCS::HxFixedStringCS() : entry_(EmptyEntry()) { Retain(entry_); }
HxFixedStringCS::HxFixedStringCS(const char* text) : entry_(InternExactZ(text)) {}
HxFixedStringCS::HxFixedStringCS(const char* text, uint32_t length) : entry_(InternExactN(text, length)) {}
HxFixedStringCS::HxFixedStringCS(const HxFixedStringCS& other) : entry_(other.entry_) { Retain(entry_); }

HxFixedStringCS& HxFixedStringCS::operator=(const HxFixedStringCS& other) {
    if (entry_ != other.entry_) {
        Retain(other.entry_);
        Reseat(entry_, other.entry_);
    }
    return *this;
}

HxFixedStringCS& HxFixedStringCS::operator=(HxFixedStringCS&& other) noexcept {
    if (this != &other) Reseat(entry_, std::exchange(other.entry_, nullptr));
    return *this;
}

HxFixedStringCS& HxFixedStringCS::operator=(const char* text) {
    Reseat(entry_, InternExactZ(text));
    return *this;
}

void HxFixedStringCS::swap(HxFixedStringCS& other) noexcept { std::swap(entry_, other.entry_); }

const char* HxFixedStringCS::c_str() const { return EntryText(entry_); }
uint32_t HxFixedStringCS::length() const { return EntryLength(entry_); }

bool HxFixedStringCS::operator==(const char* other) const {
    if (entry_ == nullptr || other == nullptr) return entry_ == nullptr && other == nullptr;
    return std::strcmp(EntryText(entry_), other) == 0;
}

// ---- introspection ----------------------------------------------------------

uint32_t HxFixedStringRefCount(const HxFixedString& s) {
    auto* e = static_cast<PoolEntry*>(const_cast<void*>(s.Handle()));
    return e ? (e->flags.load(std::memory_order_relaxed) & kCountMask) : 0;
}

void HxFixedStringRetain(const HxFixedString& s, uint32_t count) {
    auto* e = static_cast<PoolEntry*>(const_cast<void*>(s.Handle()));
    if (e == nullptr || count == 0) return;
    uint32_t f = e->flags.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t held = f & kCountMask;
        if (held == kCountSaturated) return;
        const uint32_t raised = kCountSaturated - held < count ? kCountSaturated : held + count;
        if (e->flags.compare_exchange_weak(f, (f & ~kCountMask) | raised, std::memory_order_relaxed)) return;
    }
}

void HxFixedStringRelease(const HxFixedString& s, uint32_t count) {
    auto* e = static_cast<PoolEntry*>(const_cast<void*>(s.Handle()));
    if (e == nullptr || count == 0) return;
    uint32_t f = e->flags.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t held = f & kCountMask;
        if (held == kCountSaturated) return;
        // The handle's own reference stays, so the entry survives this.
        HX_CHECK(held > count, "Bad refcount");
        if (e->flags.compare_exchange_weak(f, f - count, std::memory_order_release, std::memory_order_relaxed)) return;
    }
}

const char* HxFixedStringFindSpelling(const char* text, uint32_t length) {
    const uint32_t bucket = BucketOf<true>(text, length);
    std::atomic<uint32_t>& lock = LockFor(bucket);
    uint32_t attempt = 0;
    LockRead(lock, attempt);
    PoolEntry* e = FindNoCase(bucket, text, length);
    UnlockRead(lock);
    return e != nullptr ? TextOf(e) : nullptr;
}
