#include "HxScript/HxScriptCompiledReadStringTable.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>


namespace HxScript {
namespace Internal {

namespace {
// Every empty entry points here instead of taking block space.
const char kEmptyText[3] = {0, 0, 0};

inline char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Eight bytes with their ASCII capitals made small (each byte on its own).
inline uint64_t LowerEight(uint64_t x) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const uint64_t seven = x & kLow7;
    const uint64_t atLeastA = seven + 0x3F3F3F3F3F3F3F3Full;  // top bit: 'A' or above
    const uint64_t aboveZ = seven + 0x2525252525252525ull;    // top bit: above 'Z'
    return x | (((atLeastA & ~aboveZ & ~x) & kHigh) >> 2);
}

// A hash of a text that does not tell ASCII letter cases apart, eight bytes
// at a time.
uint32_t FoldedHash(const char* text, uint32_t length) {
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ length;
    uint32_t k = 0;
    for (; k + 8 <= length; k += 8) {
        uint64_t x;
        std::memcpy(&x, text + k, 8);
        hash = (hash ^ LowerEight(x)) * 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 32;
    }
    if (k < length) {
        uint64_t x = 0;
        std::memcpy(&x, text + k, length - k);
        hash = (hash ^ LowerEight(x)) * 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 32;
    }
    return static_cast<uint32_t>(hash);
}
}  // namespace

void CompiledReadStringTable::Clear() {
    entries_.Clear();
    EndDeferring();
    for (char* block : blocks_) std::free(block);
    blocks_.Clear();
    current_ = nullptr;
    blockUsed_ = kBlockSize;
}

void CompiledReadStringTable::DropTexts() {
    // Entries touched but never made stay unmade: nothing can see them now.
    EndDeferring();
    for (Entry& entry : entries_) entry.text = nullptr;
    for (char* block : blocks_) std::free(block);
    blocks_.Clear();
    current_ = nullptr;
    blockUsed_ = kBlockSize;
}

char* CompiledReadStringTable::Allocate(uint32_t length) {
    const uint32_t need = 2 + length + 1;
    if (need > kBlockSize) {
        // Too long for a shared block: held whole in a block of its own. The
        // current block stays open for the entries that follow.
        char* own = static_cast<char*>(std::malloc(need));
        if (own == nullptr) return nullptr;
        if (blocks_.Add(own) == kHxInvalidIndex) {
            std::free(own);
            return nullptr;
        }
        return own;
    }
    if (current_ == nullptr || kBlockSize - blockUsed_ < need) {
        char* block = static_cast<char*>(std::malloc(kBlockSize));
        if (block == nullptr) return nullptr;
        if (blocks_.Add(block) == kHxInvalidIndex) {
            std::free(block);
            return nullptr;
        }
        current_ = block;
        blockUsed_ = 0;
    }
    char* at = current_ + blockUsed_;
    blockUsed_ += need;
    return at;
}

char* CompiledReadStringTable::Append(uint32_t length) {
    char* text = const_cast<char*>(kEmptyText + 2);
    if (length != 0) {
        char* room = Allocate(length);
        if (room == nullptr) return nullptr;
        room[0] = static_cast<char>(length & 0xFF);
        room[1] = static_cast<char>(length >> 8);
        text = room + 2;
        text[length] = 0;
    }
    if (entries_.Emplace(text) == kHxInvalidIndex)
        return nullptr;
    return text;
}

void CompiledReadStringTable::InternText(Entry& entry) { entry.name = HxFixedString(entry.text, LengthOf(entry)); }

void CompiledReadStringTable::Intern(uint32_t index) {
    if (deferring_) {
        // The group's first entry is made first, as it would have been.
        uint32_t& first = firstTouched_.Data()[classOf_.Data()[index]];
        if (first == kNone) {
            first = index;
        } else if (first != index && entries_.Data()[first].name.IsEmpty()) {
            InternText(entries_.Data()[first]);
        }
    }
    InternText(entries_.Data()[index]);
}

void CompiledReadStringTable::EndDeferring() {
    deferring_ = false;
    classOf_.Clear();
    firstTouched_.Clear();
    touched_.Clear();
    seen_.Clear();
}

void CompiledReadStringTable::MakeTouchedNow() {
    for (uint32_t group : touched_) {
        Entry& first = entries_.Data()[firstTouched_.Data()[group]];
        if (first.name.IsEmpty()) InternText(first);
    }
    touched_.Clear();
}

bool CompiledReadStringTable::DeferTouched() {
    const uint32_t count = entries_.Size();
    // Open addressing over the entries by a hash of their letters in one
    // case, at most two thirds full. A slot holds an entry's index plus one
    // (0: free; a table has at most 65535 entries) in its low half and the
    // top half of the entry's hash in its high half, so that a probe looks
    // at another entry's text only when their hashes agree that far.
    uint32_t size = 16;
    while (size < count + count / 2) size *= 2;
    std::unique_ptr<uint32_t[]> slotRoom(new (std::nothrow) uint32_t[size]);
    if (!slotRoom || count > 0xFFFFu || !classOf_.Resize(count) || !firstTouched_.Resize(count) ||
        !seen_.Resize(count + 1))
        return false;
    uint32_t* const slots = slotRoom.get();
    std::memset(slots, 0, sizeof(uint32_t) * size);
    std::memset(seen_.Data(), 0, count);
    seen_.Data()[count] = 1;
    if (count != 0) std::memset(firstTouched_.Data(), 0xFF, sizeof(uint32_t) * count);
    for (uint32_t i = 0; i < count; ++i) {
        const Entry& entry = entries_.Data()[i];
        const uint32_t length = LengthOf(entry);
        const uint32_t hash = FoldedHash(entry.text, length);
        const uint32_t tag = hash & 0xFFFF0000u;
        uint32_t group = i;
        for (uint32_t at = (hash ^ (hash >> 15)) & (size - 1);; at = (at + 1) & (size - 1)) {
            const uint32_t slot = slots[at];
            if (slot == 0) {
                slots[at] = tag | (i + 1);
                break;
            }
            if ((slot & 0xFFFF0000u) != tag) continue;
            const uint32_t other = (slot & 0xFFFFu) - 1;
            const Entry& known = entries_.Data()[other];
            if (LengthOf(known) == length) {
                uint32_t k = 0;
                while (k < length && FoldAscii(known.text[k]) == FoldAscii(entry.text[k])) ++k;
                if (k == length) {
                    group = other;
                    break;
                }
            }
        }
        classOf_.Data()[i] = group;
    }
    deferring_ = true;
    return true;
}

bool CompiledReadStringTable::EqualsName(uint32_t index, const HxFixedString& name) const {
    const Entry& entry = entries_[index];
    if (!entry.name.IsEmpty()) return entry.name == name;
    const uint32_t length = LengthOf(entry);
    if (name.IsEmpty() || name.length() != length) return false;
    const char* other = name.c_str();
    for (uint32_t i = 0; i < length; ++i)
        if (FoldAscii(entry.text[i]) != FoldAscii(other[i])) return false;
    return true;
}

}  // namespace Internal
}  // namespace HxScript
