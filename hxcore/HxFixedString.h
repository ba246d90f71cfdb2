#pragma once
// Interned strings. Every name in the tool is a one-pointer handle into one
// process-wide pool; equal texts share one entry, so copies cost an atomic
// increment and comparisons are pointer comparisons.
//
// HxFixedString interns without regard to ASCII letter case: "Foo" and "FOO"
// are the same handle, and the spelling interned first is the one shown while
// the entry lives. HxFixedStringCS interns with exact comparison.

#include <cstddef>
#include <cstdint>

namespace HxInternal {
struct PoolEntry;
}

class HxFixedStringCS;

class HxFixedString {
public:
    // The interned empty text "" (a real entry, not the null handle).
    HxFixedString();
    // Interns a zero-terminated text; a null pointer gives the null handle.
    HxFixedString(const char* text);  // NOLINT(google-explicit-constructor)
    // Interns the first `length` bytes of `text` (which need no terminator).
    HxFixedString(const char* text, uint32_t length);
    explicit HxFixedString(const HxFixedStringCS& other);
    HxFixedString(const HxFixedString& other);
    HxFixedString(HxFixedString&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }
    ~HxFixedString() {
        if (entry_ != nullptr) Unref(entry_);
    }

    HxFixedString& operator=(const HxFixedString& other);
    HxFixedString& operator=(HxFixedString&& other) noexcept;
    HxFixedString& operator=(const char* text);

    void swap(HxFixedString& other) noexcept;
    // Drops the reference and leaves the null handle.
    void Release() {
        HxInternal::PoolEntry* old = entry_;
        entry_ = nullptr;
        if (old != nullptr) Unref(old);
    }

    // The entry's text; null for the null handle.
    const char* c_str() const;
    // The text, or "" for the null handle: for printing and comparing.
    const char* text() const { const char* t = c_str(); return t ? t : ""; }
    uint32_t length() const;
    // True only for the null handle.
    bool IsEmpty() const { return entry_ == nullptr; }

    bool operator==(const HxFixedString& other) const { return entry_ == other.entry_; }
    bool operator!=(const HxFixedString& other) const { return entry_ != other.entry_; }
    // Case-insensitive comparison with a character string (ASCII letters
    // ignore case, other bytes compare exactly). Null equals only null.
    bool operator==(const char* other) const;
    bool operator!=(const char* other) const { return !(*this == other); }

    // The handle's identity: the key bytes of hash tables.
    const void* Handle() const { return entry_; }

private:
    friend class HxFixedStringCS;
    // Gives back one reference to an entry.
    static void Unref(HxInternal::PoolEntry* entry);
    HxInternal::PoolEntry* entry_;
};

class HxFixedStringCS {
public:
    HxFixedStringCS();
    HxFixedStringCS(const char* text);  // NOLINT(google-explicit-constructor)
    HxFixedStringCS(const char* text, uint32_t length);
    HxFixedStringCS(const HxFixedStringCS& other);
    HxFixedStringCS(HxFixedStringCS&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }
    ~HxFixedStringCS() {
        if (entry_ != nullptr) Unref(entry_);
    }

    HxFixedStringCS& operator=(const HxFixedStringCS& other);
    HxFixedStringCS& operator=(HxFixedStringCS&& other) noexcept;
    HxFixedStringCS& operator=(const char* text);

    void swap(HxFixedStringCS& other) noexcept;
    void Release() {
        HxInternal::PoolEntry* old = entry_;
        entry_ = nullptr;
        if (old != nullptr) Unref(old);
    }

    const char* c_str() const;
    const char* text() const { const char* t = c_str(); return t ? t : ""; }
    uint32_t length() const;
    bool IsEmpty() const { return entry_ == nullptr; }

    bool operator==(const HxFixedStringCS& other) const { return entry_ == other.entry_; }
    bool operator!=(const HxFixedStringCS& other) const { return entry_ != other.entry_; }
    // Exact, byte-for-byte comparison. Null equals only null.
    bool operator==(const char* other) const;
    bool operator!=(const char* other) const { return !(*this == other); }

    const void* Handle() const { return entry_; }

private:
    friend class HxFixedString;
    static void Unref(HxInternal::PoolEntry* entry) { HxFixedString::Unref(entry); }
    HxInternal::PoolEntry* entry_;
};

// Pool introspection for tests: the reference count of the entry behind a
// handle (0 for the null handle). Saturates at 16383.
uint32_t HxFixedStringRefCount(const HxFixedString& s);

// The text under which the pool holds a string equal to the given one without
// regard to case, or null when it holds none: what interning the text would
// show, without making an entry. Valid while the entry lives.
const char* HxFixedStringFindSpelling(const char* text, uint32_t length);

// Takes `count` more references to the entry behind a handle in one step, as
// `count` copies of the handle would (the count saturates at 16383 all the
// same). A table that stands for many holders of one name keeps the pool's
// count as those holders would leave it.
void HxFixedStringRetain(const HxFixedString& s, uint32_t count);
// Gives back `count` references taken with HxFixedStringRetain; the handle
// itself keeps its own.
void HxFixedStringRelease(const HxFixedString& s, uint32_t count);
