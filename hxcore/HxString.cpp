#include "hxcore/HxString.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Length of `text`, but not looking past `limit` bytes.
uint32_t BoundedLength(const char* text, uint32_t limit) {
    if (text == nullptr) return 0;
    const void* end = std::memchr(text, '\0', limit);
    if (end != nullptr) return static_cast<uint32_t>(static_cast<const char*>(end) - text);
    return limit;
}

uint32_t TextLength(const char* text, uint32_t maxLength) {
    if (text == nullptr) return 0;
    if (maxLength == HxString::kWholeText) {
        size_t n = std::strlen(text);
        return n > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<uint32_t>(n);
    }
    return BoundedLength(text, maxLength);
}

void WarnCut() {
    std::fputs("HxString::Set(): Could not allocate full amount of memory asked for with aiMaxLen.\n", stderr);
}

}  // namespace

HxString::HxString(const char* text, uint32_t maxLength) { Set(text, maxLength); }

HxString::HxString(const HxString& other) { Set(other.c_str(), other.Length()); }

HxString::HxString(HxString&& other) noexcept { swap(other); }

HxString::~HxString() { std::free(buffer_); }

HxString& HxString::operator=(const HxString& other) {
    if (this != &other) Set(other.c_str(), other.Length());
    return *this;
}

HxString& HxString::operator=(HxString&& other) noexcept {
    if (this != &other) {
        Clear();
        std::free(buffer_);
        buffer_ = nullptr;
        capacity_ = 0;
        swap(other);
    }
    return *this;
}

void HxString::swap(HxString& other) noexcept {
    char* b = buffer_;
    buffer_ = other.buffer_;
    other.buffer_ = b;
    uint16_t l = length_;
    length_ = other.length_;
    other.length_ = l;
    uint16_t c = capacity_;
    capacity_ = other.capacity_;
    other.capacity_ = c;
}

uint32_t HxString::Length() const {
    if (length_ == kMeasure && buffer_ != nullptr) return static_cast<uint32_t>(std::strlen(buffer_));
    return length_;
}

void HxString::Clear() {
    if (buffer_ != nullptr) buffer_[0] = '\0';
    length_ = 0;
}

bool HxString::Store(uint32_t at, const char* text, uint32_t maxLength) {
    uint32_t count = TextLength(text, maxLength);
    uint64_t needed = uint64_t(at) + (maxLength == kWholeText ? count : maxLength) + 1;
    if (needed > kMaxCapacity) needed = kMaxCapacity;
    char* old = nullptr;
    if (needed > capacity_) {
        char* fresh = static_cast<char*>(std::malloc(static_cast<size_t>(needed)));
        if (fresh == nullptr) return false;
        if (at > 0) std::memcpy(fresh, buffer_, at);
        // The old buffer lives until the copy is done: the text may be in it.
        old = buffer_;
        buffer_ = fresh;
        capacity_ = static_cast<uint16_t>(needed);
    }
    const uint32_t room = capacity_ - 1u - at;
    if (count > room) {
        count = room;
        WarnCut();
    }
    if (count > 0) std::memmove(buffer_ + at, text, count);
    buffer_[at + count] = '\0';
    length_ = static_cast<uint16_t>(at + count);
    std::free(old);
    return true;
}

bool HxString::Set(const char* text, uint32_t maxLength) { return Store(0, text, maxLength); }

bool HxString::Append(const char* text, uint32_t maxLength) { return Store(Length(), text, maxLength); }

bool HxString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = FormatV(format, args);
    va_end(args);
    return ok;
}

bool HxString::FormatV(const char* format, va_list args) {
    char text[kFormatBuffer];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0) text[0] = '\0';
    return Set(text);
}

bool HxString::operator==(const char* other) const {
    return std::strcmp(c_str(), other != nullptr ? other : "") == 0;
}
