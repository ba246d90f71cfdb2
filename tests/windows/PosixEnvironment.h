#pragma once
// setenv and unsetenv over the C runtime of Windows, for tests that pin the
// time zone. The runtime reads TZ once, so both re-read it with _tzset.

#if defined(_WIN32)
#include <cstdlib>
#include <ctime>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    int rc = _putenv_s(name, value) == 0 ? 0 : -1;
    _tzset();
    return rc;
}

inline int unsetenv(const char* name) {
    int rc = _putenv_s(name, "") == 0 ? 0 : -1;
    _tzset();
    return rc;
}
#endif
