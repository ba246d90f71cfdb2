#pragma once
// Constants of the compiled script file shared by its writer and its reader.
// Layout, in order: header, string table, debug section, user flag table,
// object table. Every multi-byte field is little-endian.

#include <cstdint>

namespace HxScript {
namespace CompiledFormat {

inline constexpr uint32_t kMagic = 0xFA57C0DEu;
inline constexpr uint8_t kWriteMajor = 3;
inline constexpr uint8_t kWriteMinor = 9;
inline constexpr uint8_t kMinMajor = 3;
inline constexpr uint16_t kGameId = 2;
inline constexpr uint32_t kMaxCallArguments = 511;

// Value kind bytes that may appear in a file.
inline constexpr uint8_t kKindNone = 0;
inline constexpr uint8_t kKindIdentifier = 1;
inline constexpr uint8_t kKindString = 2;
inline constexpr uint8_t kKindInteger = 3;
inline constexpr uint8_t kKindFloat = 4;
inline constexpr uint8_t kKindBool = 5;
inline constexpr uint8_t kKindTypeName = 8;

// Property flags byte.
inline constexpr uint8_t kPropertyReadable = 1;
inline constexpr uint8_t kPropertyWritable = 2;
inline constexpr uint8_t kPropertyAuto = 4;
// Function flags byte.
inline constexpr uint8_t kFunctionStatic = 1;
inline constexpr uint8_t kFunctionNative = 2;

// True when a file of version (major, minor) has the fields of version (a, b).
constexpr bool VersionAtLeast(uint8_t major, uint8_t minor, uint8_t a, uint8_t b) {
    return major > a || (major == a && minor >= b);
}
// Version gates.
constexpr bool HasConstFlags(uint8_t major, uint8_t minor) { return VersionAtLeast(major, minor, 3, 3); }
constexpr bool HasPropertyGroups(uint8_t major, uint8_t minor) { return VersionAtLeast(major, minor, 3, 4); }
constexpr bool HasStructs(uint8_t major, uint8_t minor) { return VersionAtLeast(major, minor, 3, 7); }
constexpr bool HasMemberDocStrings(uint8_t major, uint8_t minor) { return VersionAtLeast(major, minor, 3, 8); }

}  // namespace CompiledFormat
}  // namespace HxScript
