#include "HxSystem/HxStorage.h"

#include <cstdlib>
#include <cstring>

HxStorage::~HxStorage() { SetWriteBuffer(0); }

bool HxStorage::SetWriteBuffer(uint32_t capacity) {
    appendEnd_ = appendAt_;
    if (writeBuffer_ != nullptr) {
        std::free(writeBuffer_->start);
        std::free(writeBuffer_);
        writeBuffer_ = nullptr;
    }
    buffered_ = false;
    if (capacity == 0) return true;

    auto* buffer = static_cast<WriteBuffer*>(std::malloc(sizeof(WriteBuffer)));
    auto* memory = static_cast<uint8_t*>(std::malloc(capacity));
    if (buffer == nullptr || memory == nullptr) {
        std::free(buffer);
        std::free(memory);
        return false;
    }
    buffer->capacity = capacity;
    buffer->start = memory;
    buffer->cursor = memory;
    writeBuffer_ = buffer;
    buffered_ = true;
    return true;
}

StorageResult HxStorage::FlushWriteBuffer() {
    if (writeBuffer_ == nullptr) return StorageResult::Success;
    uint32_t pending = static_cast<uint32_t>(writeBuffer_->cursor - writeBuffer_->start);
    if (pending == 0) return StorageResult::Success;
    // The buffered bytes go to the store's own Write, with buffering off for
    // that one call so the store does not put them back into the buffer.
    bool wasBuffered = buffered_;
    buffered_ = false;
    StorageResult result = Write(pending, writeBuffer_->start);
    writeBuffer_->cursor = writeBuffer_->start;
    buffered_ = wasBuffered;
    return result;
}

StorageResult HxStorage::WriteBuffered(uint32_t count, const void* source) {
    if (!IsBuffered()) return Write(count, source);
    uint32_t used = static_cast<uint32_t>(writeBuffer_->cursor - writeBuffer_->start);
    if (writeBuffer_->capacity - used < count) {
        StorageResult flushed = FlushWriteBuffer();
        if (flushed != StorageResult::Success) return flushed;
        if (writeBuffer_->capacity < count) return StorageResult::Failure;
    }
    if (count != 0) {
        std::memcpy(writeBuffer_->cursor, source, count);
        writeBuffer_->cursor += count;
    }
    return StorageResult::Success;
}
