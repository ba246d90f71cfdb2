#include "hxcore/HxAssert.h"

#include <cstdio>
#include <cstdlib>

void HxInternalFailure(const char* format, ...) {
    std::fflush(stdout);
    std::fputs("Internal error: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}
