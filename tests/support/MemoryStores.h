#pragma once
// In-memory stores for tests: a source over a byte vector and an output that
// collects bytes, with an optional failure after a number of bytes written.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptIStore.h"

namespace TestSupport {

class MemorySource : public HxScript::IStore {
public:
    explicit MemorySource(std::vector<uint8_t> bytes, const char* fileName = "Test.cas")
        : bytes_(std::move(bytes)), fileName_(fileName) {}
    MemorySource(const std::string& text, const char* fileName = "Test.cas")
        : bytes_(text.begin(), text.end()), fileName_(fileName) {}

    uint64_t GetSize() override { return isOpen_ && good_ ? bytes_.size() : 0; }
    uint64_t GetPosition() override { return isOpen_ && good_ ? position_ : ~uint64_t(0); }
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        if (!isOpen_ || !good_ || endOfFile_) return StorageResult::Failure;
        int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::End ? int64_t(bytes_.size()) : int64_t(position_);
        int64_t target = base + offset;
        if (target < 0) return StorageResult::Failure;
        position_ = uint64_t(target);
        return StorageResult::Success;
    }
    StorageResult Read(uint32_t count, void* destination) override {
        std::memset(destination, 0, count);
        if (!isOpen_ || !good_ || endOfFile_) return StorageResult::Failure;
        uint64_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
        uint64_t n = count < available ? count : available;
        if (n) std::memcpy(destination, bytes_.data() + position_, size_t(n));
        position_ += n;
        if (n < count) {
            endOfFile_ = true;
            return StorageResult::Failure;
        }
        return StorageResult::Success;
    }
    bool Open(const char*) override {
        if (isOpen_) return good_;
        if (failOpen_) { good_ = false; return false; }
        isOpen_ = good_ = true;
        endOfFile_ = false;
        position_ = 0;
        ++openCount_;
        return true;
    }
    void Close() override { isOpen_ = false; }
    const HxFixedString& GetFileName() const override { return fileName_; }
    bool IsOpen() const override { return isOpen_; }
    bool IsGood() const override { return good_; }
    bool IsEndOfFile() const override { return endOfFile_; }

    void SetFailOpen(bool fail) { failOpen_ = fail; }
    int OpenCount() const { return openCount_; }

private:
    std::vector<uint8_t> bytes_;
    HxFixedString fileName_;
    uint64_t position_ = 0;
    bool isOpen_ = false, good_ = false, endOfFile_ = false, failOpen_ = false;
    int openCount_ = 0;
};

class MemoryOutput : public CodeGen::IOutput {
public:
    explicit MemoryOutput(const char* fileName = "Test.cex") : fileName_(fileName) {}

    uint64_t GetSize() override { return isOpen_ && good_ ? bytes_.size() : 0; }
    uint64_t GetPosition() override { return isOpen_ && good_ ? position_ : ~uint64_t(0); }
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        if (!isOpen_ || !good_) return StorageResult::Failure;
        int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::End ? int64_t(bytes_.size()) : int64_t(position_);
        int64_t target = base + offset;
        if (target < 0) return StorageResult::Failure;
        position_ = uint64_t(target);
        return StorageResult::Success;
    }
    StorageResult Write(uint32_t count, const void* source) override {
        if (!isOpen_ || !good_) return StorageResult::Failure;
        const auto* p = static_cast<const uint8_t*>(source);
        for (uint32_t i = 0; i < count; ++i) {
            if (written_ >= failAfter_) { good_ = false; return StorageResult::Failure; }
            if (position_ >= bytes_.size()) bytes_.resize(size_t(position_) + 1);
            bytes_[size_t(position_++)] = p[i];
            ++written_;
        }
        return StorageResult::Success;
    }
    bool Open(const char* objectName) override {
        if (isOpen_) return good_;
        openedName_ = objectName ? objectName : "";
        if (failOpen_) { good_ = false; return false; }
        isOpen_ = good_ = true;
        bytes_.clear();
        position_ = 0;
        return true;
    }
    void Close() override { isOpen_ = false; }
    const HxFixedString& GetFileName() const override { return fileName_; }
    bool IsOpen() const override { return isOpen_; }
    bool IsGood() const override { return good_; }

    // Every byte written after the first `count` fails.
    void FailAfter(uint64_t count) { failAfter_ = count; }
    void SetFailOpen(bool fail) { failOpen_ = fail; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::string Text() const { return std::string(bytes_.begin(), bytes_.end()); }
    const std::string& OpenedName() const { return openedName_; }

private:
    HxFixedString fileName_;
    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0, written_ = 0, failAfter_ = ~uint64_t(0);
    bool isOpen_ = false, good_ = false, failOpen_ = false;
    std::string openedName_;
};

}  // namespace TestSupport
