#include "HxSystem/HxStorageIO.h"

#include <cstdlib>
#include <cstring>

namespace HxStorageIO {

namespace {

template <uint32_t Width>
StorageResult Take(HxStorage& store, uint8_t (&bytes)[Width]) {
    return store.Read(Width, bytes);
}

// Reads `length` bytes and interns them. Short texts stay on the stack.
StorageResult ReadText(HxStorage& store, uint32_t length, HxFixedString& text) {
    if (length == 0) {
        text = HxFixedString();
        return StorageResult::Success;
    }
    char local[256];
    char* buffer = local;
    if (length >= sizeof(local)) {
        if (length == 0xFFFFFFFFu) return StorageResult::Failure;
        buffer = static_cast<char*>(std::malloc(size_t(length) + 1));
        if (buffer == nullptr) return StorageResult::Failure;
    }
    StorageResult result = store.Read(length, buffer);
    if (result == StorageResult::Success) {
        buffer[length] = '\0';
        text = HxFixedString(buffer, length);
    }
    if (buffer != local) std::free(buffer);
    return result;
}

}  // namespace

StorageResult WriteString16(HxStorage& store, const char* text, uint32_t length) {
    if (length > 0xFFFFu) return StorageResult::Failure;
    StorageResult result = WriteU16(store, static_cast<uint16_t>(length));
    if (result != StorageResult::Success || length == 0) return result;
    return store.Append(text, length);
}

StorageResult WriteString16(HxStorage& store, const HxFixedString& text) {
    return WriteString16(store, text.text(), text.IsEmpty() ? 0 : text.length());
}

StorageResult ReadU8(HxStorage& store, uint8_t& value) {
    uint8_t bytes[1];
    StorageResult result = Take(store, bytes);
    value = bytes[0];
    return result;
}

StorageResult ReadU16(HxStorage& store, uint16_t& value) {
    uint8_t bytes[2];
    StorageResult result = Take(store, bytes);
    value = GetU16(bytes);
    return result;
}

StorageResult ReadU32(HxStorage& store, uint32_t& value) {
    uint8_t bytes[4];
    StorageResult result = Take(store, bytes);
    value = GetU32(bytes);
    return result;
}

StorageResult ReadI32(HxStorage& store, int32_t& value) {
    uint32_t raw;
    StorageResult result = ReadU32(store, raw);
    value = static_cast<int32_t>(raw);
    return result;
}

StorageResult ReadU64(HxStorage& store, uint64_t& value) {
    uint8_t bytes[8];
    StorageResult result = Take(store, bytes);
    value = GetU64(bytes);
    return result;
}

StorageResult ReadI64(HxStorage& store, int64_t& value) {
    uint64_t raw;
    StorageResult result = ReadU64(store, raw);
    value = static_cast<int64_t>(raw);
    return result;
}

StorageResult ReadF32(HxStorage& store, float& value) {
    uint32_t bits;
    StorageResult result = ReadU32(store, bits);
    std::memcpy(&value, &bits, sizeof(value));
    return result;
}

StorageResult ReadBool(HxStorage& store, bool& value) {
    uint8_t raw;
    StorageResult result = ReadU8(store, raw);
    value = raw != 0;
    return result;
}

StorageResult ReadString16(HxStorage& store, HxFixedString& text) {
    uint16_t length;
    StorageResult result = ReadU16(store, length);
    if (result != StorageResult::Success) return result;
    return ReadText(store, length, text);
}

StorageResult ReadString32(HxStorage& store, HxFixedString& text) {
    uint32_t length;
    StorageResult result = ReadU32(store, length);
    if (result != StorageResult::Success) return result;
    return ReadText(store, length, text);
}

}  // namespace HxStorageIO
