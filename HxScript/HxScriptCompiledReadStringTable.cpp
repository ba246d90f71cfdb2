#include "HxScript/HxScriptCompiledReadStringTable.h"

#include <cstdlib>


namespace HxScript {
namespace Internal {

namespace {
// Every empty entry points here instead of taking block space.
const char kEmptyText[3] = {0, 0, 0};

inline char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
}  // namespace

void CompiledReadStringTable::Clear() {
    entries_.Clear();
    for (char* block : blocks_) std::free(block);
    blocks_.Clear();
    current_ = nullptr;
    blockUsed_ = kBlockSize;
}

void CompiledReadStringTable::DropTexts() {
    for (Entry& entry : entries_) entry.text = nullptr;
    for (char* block : blocks_) std::free(block);
    blocks_.Clear();
    current_ = nullptr;
    blockUsed_ = kBlockSize;
}

char* CompiledReadStringTable::Allocate(uint32_t length) {
    const uint32_t need = 2 + length + 1;
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

char* CompiledReadStringTable::Append(uint32_t length) {
    char* text = const_cast<char*>(kEmptyText + 2);
    if (length != 0) {
        char* room = Allocate(length);
        if (room == nullptr) return nullptr;
        room[0] = static_cast<char>(length & 0xFF);
        room[1] = static_cast<char>(length >> 8);
        text = room + 2;
        text[length] = 0;
    }
    if (entries_.Add(Entry{text, HxFixedString(static_cast<const char*>(nullptr))}) == kHxInvalidIndex)
        return nullptr;
    return text;
}

void CompiledReadStringTable::Intern(Entry& entry) { entry.name = HxFixedString(entry.text, LengthOf(entry)); }

bool CompiledReadStringTable::EqualsName(uint32_t index, const HxFixedString& name) const {
    const Entry& entry = entries_[index];
    if (!entry.name.IsEmpty()) return entry.name == name;
    const uint32_t length = LengthOf(entry);
    if (name.IsEmpty() || name.length() != length) return false;
    const char* other = name.c_str();
    for (uint32_t i = 0; i < length; ++i)
        if (FoldAscii(entry.text[i]) != FoldAscii(other[i])) return false;
    return true;
}

}  // namespace Internal
}  // namespace HxScript
