#pragma once
// The primitive encoding shared by every file format of the tool: integers
// of 8, 16, 32 and 64 bits, 32-bit IEEE floats and one-byte bools, all
// little-endian whatever the host; strings as a 16-bit length and exactly
// that many bytes. Each value is one Read or Write of its exact width.

#include <cstdint>
#include <cstring>

#include "HxSystem/HxStorage.h"
#include "hxcore/HxFixedString.h"

namespace HxStorageIO {

// Little-endian packing into and out of memory, for writers and readers that
// work on byte buffers.
inline void PutU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline void PutU64(uint8_t* p, uint64_t v) { PutU32(p, uint32_t(v)); PutU32(p + 4, uint32_t(v >> 32)); }
inline uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t GetU64(const uint8_t* p) { return uint64_t(GetU32(p)) | (uint64_t(GetU32(p + 4)) << 32); }

inline StorageResult WriteU8(HxStorage& store, uint8_t value) { return store.Append(&value, 1); }
inline StorageResult WriteU16(HxStorage& store, uint16_t value) {
    uint8_t bytes[2];
    PutU16(bytes, value);
    return store.Append(bytes, 2);
}
inline StorageResult WriteU32(HxStorage& store, uint32_t value) {
    uint8_t bytes[4];
    PutU32(bytes, value);
    return store.Append(bytes, 4);
}
inline StorageResult WriteI32(HxStorage& store, int32_t value) { return WriteU32(store, static_cast<uint32_t>(value)); }
inline StorageResult WriteU64(HxStorage& store, uint64_t value) {
    uint8_t bytes[8];
    PutU64(bytes, value);
    return store.Append(bytes, 8);
}
inline StorageResult WriteI64(HxStorage& store, int64_t value) { return WriteU64(store, static_cast<uint64_t>(value)); }
inline StorageResult WriteF32(HxStorage& store, float value) {
    uint32_t bits;
    static_assert(sizeof(bits) == sizeof(value), "float must be 32 bits");
    std::memcpy(&bits, &value, sizeof(bits));
    return WriteU32(store, bits);
}
inline StorageResult WriteBool(HxStorage& store, bool value) { return WriteU8(store, value ? 1 : 0); }
// A 16-bit length and the bytes; Failure when the text is longer than 65535.
StorageResult WriteString16(HxStorage& store, const char* text, uint32_t length);
StorageResult WriteString16(HxStorage& store, const HxFixedString& text);

StorageResult ReadU8(HxStorage& store, uint8_t& value);
StorageResult ReadU16(HxStorage& store, uint16_t& value);
StorageResult ReadU32(HxStorage& store, uint32_t& value);
StorageResult ReadI32(HxStorage& store, int32_t& value);
StorageResult ReadU64(HxStorage& store, uint64_t& value);
StorageResult ReadI64(HxStorage& store, int64_t& value);
StorageResult ReadF32(HxStorage& store, float& value);
StorageResult ReadBool(HxStorage& store, bool& value);
// Reads the length and the bytes and interns them; a failed read returns
// that read's result.
StorageResult ReadString16(HxStorage& store, HxFixedString& text);
StorageResult ReadString32(HxStorage& store, HxFixedString& text);

}  // namespace HxStorageIO
