#pragma once
// Byte stores: every file the tool reads or writes goes through one. A store
// knows nothing about the format of its bytes.

#include <cstdint>
#include <cstring>

#include "HxSystem/HxIntrusiveRefCounted.h"
#include "hxcore/HxCopy.h"

enum class StorageResult : uint32_t { Success = 0, Failure = 1, Unsupported = 2 };

// Any value other than Begin and End seeks from the current position.
enum class SeekOrigin : uint32_t { Begin = 0, Current = 1, End = 2 };

// Optional buffer through which the primitive writers put values; the disk
// stores of the tool are never given one.
struct WriteBuffer {
    uint32_t capacity = 0;
    uint8_t* start = nullptr;
    uint8_t* cursor = nullptr;
};

class HxStorage : public HxIntrusiveRefCounted {
public:
    ~HxStorage() override;

    virtual uint64_t GetSize() = 0;
    // All bits set on failure.
    virtual uint64_t GetPosition() = 0;
    virtual StorageResult Seek(int64_t offset, SeekOrigin origin) = 0;
    // Fills the destination with zeros first, whatever happens next.
    virtual StorageResult Read(uint32_t count, void* destination) = 0;
    virtual StorageResult Write(uint32_t count, const void* source) = 0;

    // Installs a write buffer of `capacity` bytes (owned by the storage) and
    // turns buffered writing on; 0 removes it. Buffered bytes are passed to
    // Write by FlushWriteBuffer and before a value that does not fit.
    bool SetWriteBuffer(uint32_t capacity);
    StorageResult FlushWriteBuffer();
    WriteBuffer* GetWriteBuffer() { return writeBuffer_; }
    bool IsBuffered() const { return buffered_ && writeBuffer_ != nullptr; }

    // Writes through the buffer when one is installed, else straight to Write.
    StorageResult WriteBuffered(uint32_t count, const void* source);

    // True when `count` bytes would be appended without a call. An empty
    // write always goes through Write, which may refuse it.
    bool AppendFits(uint32_t count) const { return count - 1u < static_cast<uint32_t>(appendEnd_ - appendAt_); }
    // Writes exactly as WriteBuffered does, but bytes that fit the store's
    // append window are copied there without a call. A store lends that
    // window only where its Write would copy the bytes into its own buffer
    // anyway, so the outcome is the same, failures included.
    StorageResult Append(const void* source, uint32_t count) {
        if (AppendFits(count)) {
            HxCopyBytes(appendAt_, source, count);
            appendAt_ += count;
            return StorageResult::Success;
        }
        return WriteBuffered(count, source);
    }

protected:
    // The append window: free room in the store's own buffer. Empty unless
    // the store opens it, and closed whenever a write buffer is installed.
    uint8_t* appendAt_ = nullptr;
    uint8_t* appendEnd_ = nullptr;

private:
    WriteBuffer* writeBuffer_ = nullptr;
    bool buffered_ = false;
};
