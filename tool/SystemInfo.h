#pragma once
// Facts about the machine and the files of a run, for stamping an object
// that carries no information block of its own.

#include <cstdint>

#include "hxcore/HxFixedString.h"

namespace Assembler {

// The login name of the current user, or "<unknown user>".
HxFixedString GetCurrentUserName();
// The name of this computer, or "<unknown computer>" (also when the name has
// 16 characters or more).
HxFixedString GetCurrentComputerName();
// The last-write time of an existing file in seconds since 1970-01-01
// 00:00:00 UTC; 0 when it cannot be opened or its time cannot be read.
uint64_t GetFileModifyTime(const char* fileName);

}  // namespace Assembler
