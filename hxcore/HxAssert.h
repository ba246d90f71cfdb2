#pragma once
// Internal consistency checks of the base library. They guard against
// programming errors and damaged memory, never against bad input: a failed
// check prints its message on standard error and stops the program.

#include <cstdarg>

[[noreturn]] void HxInternalFailure(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#define HX_CHECK(condition, ...)                     \
    do {                                             \
        if (!(condition)) HxInternalFailure(__VA_ARGS__); \
    } while (0)
