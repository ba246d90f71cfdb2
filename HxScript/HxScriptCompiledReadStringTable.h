#pragma once
// The string table of a compiled script file as its reader holds it: the
// raw bytes of every entry, copied with their length before them and a
// terminating zero after them into blocks of 4096 bytes, and one interned
// name per entry that is made only when a kept field first refers to the
// entry. Entries that nothing kept refers to (the debug records of other
// objects, skipped names) are never interned.
//
// An entry longer than 4093 bytes does not fit a block; it gets a block of
// its own, sized to hold it whole.

#include <cstdint>

#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"

namespace HxScript {
namespace Internal {

class CompiledReadStringTable {
public:
    static constexpr uint32_t kBlockSize = 4096;

    CompiledReadStringTable() = default;
    CompiledReadStringTable(const CompiledReadStringTable&) = delete;
    CompiledReadStringTable& operator=(const CompiledReadStringTable&) = delete;
    ~CompiledReadStringTable() { Clear(); }

    // Drops every entry and frees the blocks.
    void Clear();
    // Frees the raw bytes and keeps the names made so far; after it only
    // names already made may be asked for. Ends DeferTouched.
    void DropTexts();

    // Room for `count` entries, read next.
    bool Reserve(uint32_t count) { return count == 0 || entries_.Reserve(count); }
    // Appends an entry of `length` bytes and returns where its bytes go (a
    // zero follows them); null when memory is short.
    char* Append(uint32_t length);

    uint32_t Count() const { return entries_.Size(); }
    bool IsValid(uint32_t index) const { return index < entries_.Size(); }

    // Raw bytes of a valid entry (zero-terminated) and their length.
    const char* Text(uint32_t index) const { return entries_[index].text; }
    uint32_t Length(uint32_t index) const { return LengthOf(entries_[index]); }

    // The interned name of a valid entry, made on first use and reused.
    const HxFixedString& Get(uint32_t index) {
        Entry& entry = entries_.Data()[index];
        if (entry.name.IsEmpty()) Intern(index);
        return entry.name;
    }

    // Code that keeps nothing reads an entry: interned as by Get, unless
    // DeferTouched is on.
    void Touch(uint32_t index) {
        if (!deferring_) {
            Get(index);
        } else if (seen_.Data()[index] == 0) {
            // Only an entry's first touch can make a difference.
            seen_.Data()[index] = 1;
            if (!entries_.Data()[index].name.IsEmpty()) return;
            uint32_t& first = firstTouched_.Data()[classOf_.Data()[index]];
            if (first == kNone) {
                first = index;
                touched_.Add(classOf_.Data()[index]);
            }
        }
    }
    // From now on a touched entry is interned only when it could make a
    // difference: a name is spelled as the first entry interned among those
    // equal to it without regard to case, so each such group of entries
    // keeps the entry touched or asked for first, and that entry is made
    // before any other of its group and before MakeTouched. What is never
    // made is never seen. Needs the texts; false when memory is short.
    bool DeferTouched();
    // A byte per entry, not zero once the entry was touched, and one more
    // past the last, always set; null when DeferTouched is off.
    const uint8_t* TouchMarks() const { return deferring_ ? seen_.Data() : nullptr; }
    // Interns the first touched entry of every group touched so far: before
    // anything else interns a text that could equal one (a message).
    void MakeTouched() {
        if (touched_.Size() != 0) MakeTouchedNow();
    }
    bool IsInterned(uint32_t index) const { return !entries_[index].name.IsEmpty(); }
    // While DeferTouched is on: the group of a valid entry, named by the
    // group's first entry in table order.
    uint32_t GroupOf(uint32_t index) const { return classOf_.Data()[index]; }

    // True when a valid entry spells `name` without regard to ASCII letter
    // case, the comparison names use; interns nothing.
    bool EqualsName(uint32_t index, const HxFixedString& name) const;

    uint32_t BlockCount() const { return blocks_.Size(); }

private:
    // The bytes of an entry are preceded by their length (two bytes, little-
    // endian) and followed by a zero, so that an entry is two words.
    struct Entry {
        const char* text;
        HxFixedString name{static_cast<const char*>(nullptr)};  // null handle until first use
    };
    static uint32_t LengthOf(const Entry& entry) {
        const auto* at = reinterpret_cast<const unsigned char*>(entry.text);
        return uint32_t(at[-2]) | (uint32_t(at[-1]) << 8);
    }
    // Room for `length` bytes, their length before them and a terminator
    // after them; null when memory is short.
    char* Allocate(uint32_t length);
    void Intern(uint32_t index);
    static void InternText(Entry& entry);
    void MakeTouchedNow();
    void EndDeferring();

    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    bool deferring_ = false;
    HxTArray<uint32_t> classOf_;       // per entry: the first entry equal to it without regard to case
    HxTArray<uint32_t> firstTouched_;  // per group (by its first entry): the entry made first, or kNone
    HxTArray<uint32_t> touched_;       // groups whose first entry may not be made yet
    HxTArray<uint8_t> seen_;           // per entry: touched before; one more, set

    HxTArray<Entry> entries_;
    HxTArray<char*> blocks_;
    uint32_t blockUsed_ = kBlockSize;  // bytes used in the last ordinary block
    char* current_ = nullptr;          // the last ordinary block
};

}  // namespace Internal
}  // namespace HxScript
