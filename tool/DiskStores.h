#pragma once
// Byte stores over disk files. An input store opens the file of an object
// name for reading, an output store creates it for writing; the assembly
// variants use the extension ".cas", the compiled-script variants ".cex".
//
// File names for an object name N:
// - path form: N with every ':' turned into Platform::kPathSeparator ('/',
//   or '\' on Windows);
// - short form: the part of N after its last ':' (N itself without one).
// Input tries the path form plus extension, then the short form plus
// extension; output is always the short form plus extension, in the current
// directory.
//
// Both sides buffer internally. Reads and writes behave exactly as if every
// call went straight to the file: the end-of-file and failure rules are the
// same, positions count every byte. A buffered write that fails when it is
// finally flushed (at Seek, GetSize, Close or destruction, or when the
// buffer fills) makes that operation fail and leaves IsGood() false: after
// Close, IsGood() tells whether the whole file reached the disk.

#include <cstdint>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptIStore.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"
#include "platform/Platform.h"

namespace Assembler {

class DiskSource_Win32 : public HxScript::IStore {
public:
    DiskSource_Win32();
    ~DiskSource_Win32() override;

    uint64_t GetSize() override;
    uint64_t GetPosition() override;
    StorageResult Seek(int64_t offset, SeekOrigin origin) override;
    StorageResult Read(uint32_t count, void* destination) override;

    bool Open(const char* objectName) override;
    void Close() override;
    const HxFixedString& GetFileName() const override { return fileName_; }
    bool IsOpen() const override { return isOpen_; }
    bool IsGood() const override { return good_; }
    bool IsEndOfFile() const override { return endOfFile_; }

    virtual const char* GetExtension() const = 0;

    static constexpr uint32_t kBufferSize = 64 * 1024;

private:
    uint32_t Buffered() const { return bufferFill_ - bufferPos_; }

    HxFixedString fileName_;
    Platform::FileHandle file_ = Platform::kInvalidFile;
    bool isOpen_ = false;
    bool good_ = false;
    bool endOfFile_ = false;
    // Bytes read ahead from the file: [bufferPos_, bufferFill_) are unread.
    uint32_t bufferPos_ = 0;
    uint32_t bufferFill_ = 0;
    uint8_t buffer_[kBufferSize];
};

class AssemblyDiskSource_Win32 : public DiskSource_Win32 {
public:
    const char* GetExtension() const override { return ".cas"; }
};

class ByteCodeDiskSource_Win32 : public DiskSource_Win32 {
public:
    const char* GetExtension() const override { return ".cex"; }
};

class DiskOutput_Win32 : public CodeGen::IOutput {
public:
    DiskOutput_Win32();
    ~DiskOutput_Win32() override;

    uint64_t GetSize() override;
    uint64_t GetPosition() override;
    StorageResult Seek(int64_t offset, SeekOrigin origin) override;
    StorageResult Write(uint32_t count, const void* source) override;

    bool Open(const char* objectName) override;
    // Writes the buffered bytes and closes the file; a failure on the way
    // leaves IsGood() false.
    void Close() override;
    const HxFixedString& GetFileName() const override { return fileName_; }
    bool IsOpen() const override { return isOpen_; }
    bool IsGood() const override { return good_; }

    // Fills `fileName` with the zero-terminated name of the file to create
    // for an object name.
    virtual void MakeFileName(const char* objectName, HxTArray<char>& fileName) const = 0;

    static constexpr uint32_t kBufferSize = 64 * 1024;

private:
    // Hands the buffered bytes to the file; false (and good_ cleared) when
    // the system refuses them.
    bool Flush();
    bool WriteThrough(const uint8_t* bytes, uint32_t count);
    // The bytes in the buffer: the append window starts right after them.
    uint32_t Used() const { return static_cast<uint32_t>(appendAt_ - buffer_); }
    // Lends the free room of the buffer as the append window while writes
    // would land there: the file is open and healthy and no write buffer
    // sits in front of the store.
    void OpenWindow() {
        appendEnd_ = isOpen_ && good_ && GetWriteBuffer() == nullptr ? buffer_ + kBufferSize : appendAt_;
    }

    HxFixedString fileName_;
    Platform::FileHandle file_ = Platform::kInvalidFile;
    bool isOpen_ = false;
    bool good_ = false;
    uint8_t buffer_[kBufferSize];
};

class AssemblyDiskOutput_Win32 : public DiskOutput_Win32 {
public:
    void MakeFileName(const char* objectName, HxTArray<char>& fileName) const override;
};

class ByteCodeDiskOutput_Win32 : public DiskOutput_Win32 {
public:
    void MakeFileName(const char* objectName, HxTArray<char>& fileName) const override;
};

// The two names an object name gives, each followed by `extension`, as
// zero-terminated texts.
void MakePathFormName(const char* objectName, const char* extension, HxTArray<char>& fileName);
void MakeShortFormName(const char* objectName, const char* extension, HxTArray<char>& fileName);

}  // namespace Assembler
