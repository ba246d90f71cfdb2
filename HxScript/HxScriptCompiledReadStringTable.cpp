#include "HxScript/HxScriptCompiledReadStringTable.h"

#include <cstdlib>

#include "HxSystem/HxStorageIO.h"

namespace HxScript {
namespace Internal {

namespace {
// Every empty entry points here instead of taking block space.
const char kEmptyText[1] = {0};

inline char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
}  // namespace

void CompiledReadStringTable::Clear() {
    entries_.Clear();
    for (char* block : blocks_) std::free(block);
    blocks_.Clear();
    current_ = nullptr;
    blockUsed_ = kBlockSize;
}

char* CompiledReadStringTable::Allocate(uint32_t length) {
    const uint32_t need = length + 1;
    if (need > kBlockSize) {
        // Too long for a shared block: held whole in a block of its own. The
        // current block stays open for the entries that follow.
        char* own = static_cast<char*>(std::malloc(need));
        if (own == nullptr) return nullptr;
        if (blocks_.Add(own) == kHxInvalidIndex) {
            std::free(own);
            return nullptr;
        }
        return own;
    }
    if (current_ == nullptr || kBlockSize - blockUsed_ < need) {
        char* block = static_cast<char*>(std::malloc(kBlockSize));
        if (block == nullptr) return nullptr;
        if (blocks_.Add(block) == kHxInvalidIndex) {
            std::free(block);
            return nullptr;
        }
        current_ = block;
        blockUsed_ = 0;
    }
    char* at = current_ + blockUsed_;
    blockUsed_ += need;
    return at;
}

bool CompiledReadStringTable::Read(HxStorage& store, uint64_t& bytesRead, uint64_t bytesLeft) {
    Clear();
    uint8_t raw[2];
    if (store.Read(2, raw) != StorageResult::Success) return false;
    bytesRead += 2;
    const uint32_t count = HxStorageIO::GetU16(raw);
    if (count == 0) return true;

    // Each entry takes at least its two length bytes: never reserve for more
    // entries than the rest of the file can hold.
    uint64_t plausible = count;
    if (bytesLeft != 0) {
        const uint64_t fit = bytesLeft > 2 ? (bytesLeft - 2) / 2 : 0;
        if (fit < plausible) plausible = fit;
    }
    if (plausible != 0 && !entries_.Reserve(static_cast<uint32_t>(plausible))) return false;

    for (uint32_t i = 0; i < count; ++i) {
        if (store.Read(2, raw) != StorageResult::Success) return false;
        bytesRead += 2;
        const uint32_t length = HxStorageIO::GetU16(raw);
        const char* text = kEmptyText;
        if (length != 0) {
            char* at = Allocate(length);
            if (at == nullptr) return false;
            if (store.Read(length, at) != StorageResult::Success) return false;
            bytesRead += length;
            at[length] = 0;
            text = at;
        }
        if (entries_.Add(Entry{text, length, HxFixedString(static_cast<const char*>(nullptr))}) ==
            kHxInvalidIndex)
            return false;
    }
    return true;
}

const HxFixedString& CompiledReadStringTable::Get(uint32_t index) {
    Entry& entry = entries_[index];
    if (entry.name.IsEmpty()) entry.name = HxFixedString(entry.text, entry.length);
    return entry.name;
}

bool CompiledReadStringTable::EqualsName(uint32_t index, const HxFixedString& name) const {
    const Entry& entry = entries_[index];
    if (!entry.name.IsEmpty()) return entry.name == name;
    if (name.IsEmpty() || name.length() != entry.length) return false;
    const char* other = name.c_str();
    for (uint32_t i = 0; i < entry.length; ++i)
        if (FoldAscii(entry.text[i]) != FoldAscii(other[i])) return false;
    return true;
}

}  // namespace Internal
}  // namespace HxScript
