#include "tool/DiskStores.h"

#include <cstring>

namespace Assembler {

namespace {

constexpr uint64_t kNoPosition = ~uint64_t(0);

void Append(HxTArray<char>& out, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) out.Add(text[i]);
}

void Terminate(HxTArray<char>& out) { out.Add('\0'); }

int PlatformOrigin(SeekOrigin origin) {
    switch (static_cast<uint32_t>(origin)) {
        case 0: return 0;
        case 2: return 2;
        default: return 1;  // every other value seeks from the current position
    }
}

}  // namespace

void MakePathFormName(const char* objectName, const char* extension, HxTArray<char>& fileName) {
    fileName.Clear();
    if (objectName == nullptr) objectName = "";
    for (const char* p = objectName; *p != '\0'; ++p) fileName.Add(*p == ':' ? Platform::kPathSeparator : *p);
    Append(fileName, extension, std::strlen(extension));
    Terminate(fileName);
}

void MakeShortFormName(const char* objectName, const char* extension, HxTArray<char>& fileName) {
    fileName.Clear();
    if (objectName == nullptr) objectName = "";
    const char* lastColon = std::strrchr(objectName, ':');
    const char* start = lastColon ? lastColon + 1 : objectName;
    Append(fileName, start, std::strlen(start));
    Append(fileName, extension, std::strlen(extension));
    Terminate(fileName);
}

// ---------------------------------------------------------------------------
// Input

DiskSource_Win32::DiskSource_Win32() : fileName_() {}

DiskSource_Win32::~DiskSource_Win32() { Close(); }

bool DiskSource_Win32::Open(const char* objectName) {
    if (isOpen_) return good_;

    // Both attempts are always made when the first fails, even when an
    // object name without ':' makes them the same name.
    HxTArray<char> name;
    MakePathFormName(objectName, GetExtension(), name);
    Platform::FileHandle file = Platform::OpenForReading(name.Data());
    if (file == Platform::kInvalidFile) {
        MakeShortFormName(objectName, GetExtension(), name);
        file = Platform::OpenForReading(name.Data());
    }
    fileName_ = HxFixedString(name.Data());

    if (file != Platform::kInvalidFile) {
        file_ = file;
        isOpen_ = true;
        good_ = true;
        bufferPos_ = bufferFill_ = 0;
    } else {
        good_ = false;
    }
    return good_;
}

void DiskSource_Win32::Close() {
    if (!isOpen_) return;
    Platform::CloseFile(file_);
    file_ = Platform::kInvalidFile;
    isOpen_ = false;
    bufferPos_ = bufferFill_ = 0;
}

uint64_t DiskSource_Win32::GetSize() {
    if (!isOpen_ || !good_) return 0;
    uint64_t size = 0;
    return Platform::GetFileSize(file_, size) ? size : 0;
}

uint64_t DiskSource_Win32::GetPosition() {
    if (!isOpen_ || !good_) return kNoPosition;
    uint64_t position = 0;
    if (!Platform::SeekFile(file_, 0, 1, position)) return kNoPosition;
    // The file is ahead of the reader by the bytes still in the buffer.
    return position - Buffered();
}

StorageResult DiskSource_Win32::Seek(int64_t offset, SeekOrigin origin) {
    if (!isOpen_ || !good_ || endOfFile_) return StorageResult::Failure;
    int platformOrigin = PlatformOrigin(origin);
    if (platformOrigin == 1) {
        // Relative to where the reader is, not to where the file pointer is.
        if (__builtin_sub_overflow(offset, static_cast<int64_t>(Buffered()), &offset)) return StorageResult::Failure;
    }
    uint64_t position = 0;
    // On failure the file pointer has not moved, so the buffer stays valid.
    if (!Platform::SeekFile(file_, offset, platformOrigin, position)) return StorageResult::Failure;
    bufferPos_ = bufferFill_ = 0;
    return StorageResult::Success;
}

StorageResult DiskSource_Win32::Read(uint32_t count, void* destination) {
    auto* out = static_cast<uint8_t*>(destination);
    // The destination holds zeros wherever no byte of the file lands in it.
    if (!isOpen_ || !good_ || endOfFile_) {
        if (count != 0) std::memset(out, 0, count);
        return StorageResult::Failure;
    }

    uint32_t remaining = count;
    while (remaining > 0 && good_) {
        if (Buffered() > 0) {
            uint32_t take = remaining < Buffered() ? remaining : Buffered();
            std::memcpy(out, buffer_ + bufferPos_, take);
            bufferPos_ += take;
            out += take;
            remaining -= take;
            continue;
        }
        uint32_t got = 0;
        bool ok;
        if (remaining >= kBufferSize) {
            // Large reads go straight into the destination.
            ok = Platform::ReadFile(file_, out, remaining, got);
            out += got;
            remaining -= got;
        } else {
            ok = Platform::ReadFile(file_, buffer_, kBufferSize, got);
            bufferPos_ = 0;
            bufferFill_ = got;
        }
        if (!ok) good_ = false;
        if (got == 0) {
            endOfFile_ = true;
            break;
        }
    }
    if (remaining != 0) std::memset(out, 0, remaining);
    return !good_ || endOfFile_ ? StorageResult::Failure : StorageResult::Success;
}

// ---------------------------------------------------------------------------
// Output

DiskOutput_Win32::DiskOutput_Win32() : fileName_() { appendAt_ = appendEnd_ = buffer_; }

DiskOutput_Win32::~DiskOutput_Win32() { Close(); }

bool DiskOutput_Win32::Open(const char* objectName) {
    if (isOpen_) return good_;
    HxTArray<char> name;
    MakeFileName(objectName, name);
    fileName_ = HxFixedString(name.Data());
    Platform::FileHandle file = Platform::CreateForWriting(name.Data());
    if (file != Platform::kInvalidFile) {
        file_ = file;
        isOpen_ = true;
        good_ = true;
        appendAt_ = buffer_;
    } else {
        good_ = false;
    }
    OpenWindow();
    return good_;
}

void DiskOutput_Win32::Close() {
    if (!isOpen_) return;
    if (good_) Flush();
    // A delayed write error can show up only now; the run must hear of it.
    if (!Platform::CloseFile(file_)) good_ = false;
    file_ = Platform::kInvalidFile;
    isOpen_ = false;
    appendAt_ = buffer_;
    OpenWindow();
}

bool DiskOutput_Win32::WriteThrough(const uint8_t* bytes, uint32_t count) {
    while (count > 0) {
        uint32_t written = 0;
        if (!Platform::WriteFile(file_, bytes, count, written)) {
            good_ = false;
            OpenWindow();
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

bool DiskOutput_Win32::Flush() {
    uint32_t pending = Used();
    appendAt_ = buffer_;
    OpenWindow();
    return WriteThrough(buffer_, pending);
}

uint64_t DiskOutput_Win32::GetSize() {
    if (!isOpen_ || !good_) return 0;
    if (!Flush()) return 0;
    uint64_t size = 0;
    return Platform::GetFileSize(file_, size) ? size : 0;
}

uint64_t DiskOutput_Win32::GetPosition() {
    if (!isOpen_ || !good_) return kNoPosition;
    uint64_t position = 0;
    if (!Platform::SeekFile(file_, 0, 1, position)) return kNoPosition;
    // The buffered bytes are already written as far as the writer knows.
    return position + Used();
}

StorageResult DiskOutput_Win32::Seek(int64_t offset, SeekOrigin origin) {
    if (!isOpen_ || !good_) return StorageResult::Failure;
    if (!Flush()) return StorageResult::Failure;
    uint64_t position = 0;
    return Platform::SeekFile(file_, offset, PlatformOrigin(origin), position) ? StorageResult::Success
                                                                                : StorageResult::Failure;
}

StorageResult DiskOutput_Win32::Write(uint32_t count, const void* source) {
    if (!isOpen_ || !good_) return StorageResult::Failure;
    const auto* bytes = static_cast<const uint8_t*>(source);
    if (count > kBufferSize - Used()) {
        if (!Flush()) return StorageResult::Failure;
        if (count >= kBufferSize) return WriteThrough(bytes, count) ? StorageResult::Success : StorageResult::Failure;
    }
    if (count != 0) {
        std::memcpy(appendAt_, bytes, count);
        appendAt_ += count;
    }
    return StorageResult::Success;
}

void AssemblyDiskOutput_Win32::MakeFileName(const char* objectName, HxTArray<char>& fileName) const {
    MakeShortFormName(objectName, ".cas", fileName);
}

void ByteCodeDiskOutput_Win32::MakeFileName(const char* objectName, HxTArray<char>& fileName) const {
    MakeShortFormName(objectName, ".cex", fileName);
}

}  // namespace Assembler
