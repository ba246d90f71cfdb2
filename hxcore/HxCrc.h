#pragma once
// The checksum of the base library's hash tables: CRC-32 (reflected
// polynomial 0xEDB88320) picks their slots. It starts at 0 and applies no
// final inversion.

#include <array>
#include <cstddef>
#include <cstdint>

namespace HxCrc {

template <typename T, T Poly>
constexpr std::array<T, 256> MakeTable() {
    std::array<T, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        T crc = static_cast<T>(i);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<T>((crc >> 1) ^ Poly) : static_cast<T>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

inline constexpr std::array<uint32_t, 256> kCrc32Table = MakeTable<uint32_t, 0xEDB88320u>();

inline uint32_t Crc32Step(uint32_t crc, uint8_t byte) {
    return (crc >> 8) ^ kCrc32Table[(crc ^ byte) & 0xFF];
}

inline uint32_t Crc32(const void* data, size_t length, uint32_t crc = 0) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) crc = Crc32Step(crc, p[i]);
    return crc;
}

}  // namespace HxCrc
