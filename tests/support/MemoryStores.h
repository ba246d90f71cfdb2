#pragma once
// Test doubles: a source over bytes in memory, an output that collects bytes (failing every byte after the
// first FailAfter count), and a logger that keeps each line.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptIStore.h"

namespace TestSupport {

// What both sides share: the bytes, a position, the file name and the flags.
template <typename Store>
class MemoryStore : public Store {
public:
    explicit MemoryStore(const char* fileName, std::vector<uint8_t> bytes = {})
        : bytes_(std::move(bytes)), fileName_(fileName) {}

    uint64_t GetSize() override { return isOpen_ && good_ ? bytes_.size() : 0; }
    uint64_t GetPosition() override { return isOpen_ && good_ ? position_ : ~uint64_t(0); }
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        int64_t at = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::End ? int64_t(bytes_.size()) : int64_t(position_);
        if (!isOpen_ || !good_ || endOfFile_ || (at += offset) < 0) return StorageResult::Failure;
        position_ = uint64_t(at);
        return StorageResult::Success;
    }
    void Close() override { isOpen_ = false; }
    const HxFixedString& GetFileName() const override { return fileName_; }
    bool IsOpen() const override { return isOpen_; }
    bool IsGood() const override { return good_; }

protected:
    std::vector<uint8_t> bytes_;
    HxFixedString fileName_;
    uint64_t position_ = 0;
    bool isOpen_ = false, good_ = false, endOfFile_ = false;
};

class MemorySource : public MemoryStore<HxScript::IStore> {
public:
    explicit MemorySource(std::vector<uint8_t> bytes, const char* fileName = "Test.cas")
        : MemoryStore(fileName, std::move(bytes)) {}
    MemorySource(const std::string& text, const char* fileName = "Test.cas")
        : MemoryStore(fileName, std::vector<uint8_t>(text.begin(), text.end())) {}

    StorageResult Read(uint32_t count, void* destination) override {
        std::memset(destination, 0, count);
        if (!isOpen_ || !good_ || endOfFile_) return StorageResult::Failure;
        const uint64_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
        const uint64_t n = count < available ? count : available;
        if (n != 0) std::memcpy(destination, bytes_.data() + position_, size_t(n));
        position_ += n;
        endOfFile_ = n < count;
        return endOfFile_ ? StorageResult::Failure : StorageResult::Success;
    }
    bool Open(const char*) override {
        if (!isOpen_) isOpen_ = good_ = true, endOfFile_ = false, position_ = 0;
        return good_;
    }
    bool IsEndOfFile() const override { return endOfFile_; }
};

class MemoryOutput : public MemoryStore<CodeGen::IOutput> {
public:
    explicit MemoryOutput(const char* fileName = "Test.cex") : MemoryStore(fileName) {}

    StorageResult Write(uint32_t count, const void* source) override {
        for (uint32_t i = 0; i < count && isOpen_ && good_; ++i) {
            good_ = written_++ < failAfter_;
            if (good_ && position_ >= bytes_.size()) bytes_.resize(size_t(position_) + 1);
            if (good_) bytes_[size_t(position_++)] = static_cast<const uint8_t*>(source)[i];
        }
        return isOpen_ && good_ ? StorageResult::Success : StorageResult::Failure;
    }
    bool Open(const char*) override {
        if (!isOpen_) isOpen_ = good_ = true, bytes_.clear(), position_ = 0;
        return good_;
    }
    void FailAfter(uint64_t count) { failAfter_ = count; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::string Text() const { return std::string(bytes_.begin(), bytes_.end()); }

private:
    uint64_t written_ = 0, failAfter_ = ~uint64_t(0);
};

// An output that, as the disk stores do, names its file when it opens it and
// lends the free room of a small buffer as its append window, handing the
// buffered bytes on (failing where the output fails) when a write does not
// fit there, and before a seek, a position query or closing. A window of 0
// bytes lends none.
class WindowedOutput : public MemoryOutput {
public:
    WindowedOutput(const char* fileName, uint32_t window)
        : MemoryOutput(nullptr), name_(fileName), size_(window < 256 ? window : 256) {}

    StorageResult Write(uint32_t count, const void* source) override {
        StorageResult result = Flush() ? MemoryOutput::Write(count, source) : StorageResult::Failure;
        Lend();
        return result;
    }
    uint64_t GetPosition() override {
        const bool flushed = Flush();
        Lend();
        return flushed ? MemoryOutput::GetPosition() : ~uint64_t(0);
    }
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        StorageResult result = Flush() ? MemoryOutput::Seek(offset, origin) : StorageResult::Failure;
        Lend();
        return result;
    }
    bool Open(const char* objectName) override {
        fileName_ = HxFixedString(name_.c_str());
        const bool ok = MemoryOutput::Open(objectName);
        Lend();
        return ok;
    }
    void Close() override {
        Flush();
        MemoryOutput::Close();
    }

private:
    bool Flush() {
        const uint32_t used = static_cast<uint32_t>(appendAt_ - buffer_);
        appendAt_ = appendEnd_ = buffer_;
        return used == 0 || MemoryOutput::Write(used, buffer_) == StorageResult::Success;
    }
    void Lend() {
        appendAt_ = buffer_;
        appendEnd_ = IsOpen() && IsGood() ? buffer_ + size_ : buffer_;
    }

    std::string name_;
    uint8_t buffer_[256];
    uint32_t size_;
};

class RecordingLogger : public HxScript::ErrorLogger {
public:
    explicit RecordingLogger(const char* name = "CorvelAssembler") : ErrorLogger(name) {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.push_back(text.text());
    }

    std::vector<std::string> lines;
};

}  // namespace TestSupport
