#pragma once
// Copies of a few bytes without a library call: the writers append texts of
// a handful of bytes millions of times, where a call costs more than the copy.

#include <cstdint>
#include <cstring>

// Copies `count` bytes; the ranges must not overlap.
inline void HxCopyBytes(void* destination, const void* source, uint32_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    if (count >= 8 && count <= 16) {
        // Two eight-byte moves that overlap in the middle.
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + count - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + count - 8, &tail, 8);
    } else if (count >= 4 && count < 8) {
        uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + count - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + count - 4, &tail, 4);
    } else if (count < 4) {
        for (uint32_t i = 0; i < count; ++i) to[i] = from[i];
    } else {
        std::memcpy(to, from, count);
    }
}
