#pragma once
// Growable character string with a 16-bit length and a 16-bit capacity: at
// most 65535 bytes with the terminator, so at most 65534 characters. A text
// that does not fit is cut, with a warning on standard error.

#include <cstdarg>
#include <cstdint>

class HxString {
public:
    // "No limit" for the maxLength arguments: take the text's own length.
    static constexpr uint32_t kWholeText = 0xFFFFFFFFu;
    // Largest buffer, terminator included.
    static constexpr uint32_t kMaxCapacity = 0xFFFFu;
    // Stored length meaning "65535 or more: measure it".
    static constexpr uint16_t kMeasure = 0xFFFFu;
    // Formatting goes through a buffer of this many bytes.
    static constexpr uint32_t kFormatBuffer = 4096;

    HxString() = default;
    HxString(const char* text, uint32_t maxLength = kWholeText);  // NOLINT(google-explicit-constructor)
    HxString(const HxString& other);
    HxString(HxString&& other) noexcept;
    ~HxString();

    HxString& operator=(const HxString& other);
    HxString& operator=(HxString&& other) noexcept;
    HxString& operator=(const char* text) {
        Set(text);
        return *this;
    }

    // Copies at most `maxLength` characters of `text` (up to its terminator).
    // False only when memory could not be had; the string is unchanged then.
    bool Set(const char* text, uint32_t maxLength = kWholeText);
    // Appends at most `maxLength` characters of `text`.
    bool Append(const char* text, uint32_t maxLength = kWholeText);
    // printf-style; at most 4095 characters come out.
    bool Format(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    bool FormatV(const char* format, va_list args);

    void Clear();

    // Never null: "" when nothing was stored.
    const char* c_str() const { return buffer_ ? buffer_ : ""; }
    uint32_t Length() const;
    uint32_t Capacity() const { return capacity_; }
    bool IsEmpty() const { return Length() == 0; }

    bool operator==(const char* other) const;
    bool operator!=(const char* other) const { return !(*this == other); }

    void swap(HxString& other) noexcept;

private:
    // Writes at most `maxLength` characters of `text` from offset `at` on,
    // keeping the first `at` characters.
    bool Store(uint32_t at, const char* text, uint32_t maxLength);

    char* buffer_ = nullptr;
    uint16_t length_ = 0;
    uint16_t capacity_ = 0;
};
