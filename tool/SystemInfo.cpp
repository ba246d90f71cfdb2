#include "tool/SystemInfo.h"

#include "platform/Platform.h"

namespace Assembler {

HxFixedString GetCurrentUserName() {
    char name[257];
    if (!Platform::GetUserName(name, sizeof(name))) return HxFixedString("<unknown user>");
    return HxFixedString(name);
}

HxFixedString GetCurrentComputerName() {
    // Room for 15 characters and the terminator, as the name query of the
    // original target gives: a longer name counts as a failure.
    char name[16];
    if (!Platform::GetComputerName(name, sizeof(name))) return HxFixedString("<unknown computer>");
    return HxFixedString(name);
}

uint64_t GetFileModifyTime(const char* fileName) {
    uint64_t seconds = 0;
    if (fileName == nullptr || !Platform::GetFileModifyTime(fileName, seconds)) return 0;
    return seconds;
}

}  // namespace Assembler
