// Win32 implementation of the file, clock, identity and thread calls of the
// operating-system layer. Behaviour matches the POSIX implementation call
// for call, so the tool writes the same bytes and prints the same lines on
// both systems.

#include "platform/Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The layer's own functions share these names with the ANSI/Unicode macros.
#undef GetComputerName
#undef GetUserName

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <ctime>

// Some builds of this compiler's C runtime expand wildcards in the command
// line. The tool sees its arguments as typed: "*" or "-?" is never replaced
// by the names of matching files.
extern "C" {
int _dowildcard = 0;
}

namespace Platform {

namespace {

// Console lines end in a single line feed on every system: standard output
// is switched to binary mode before anything is printed, so the runtime does
// not turn "\n" into "\r\n".
[[maybe_unused]] const bool g_binaryStandardOutput = _setmode(_fileno(stdout), _O_BINARY) != -1;

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle FromHandle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(handle);
}

// Opens with shared read access and the sequential-access hint. Reading
// accepts only disk files; writing also accepts character devices such as
// NUL. Pipes, consoles and directories are refused (a directory does not
// open without backup semantics).
FileHandle OpenChecked(const char* path, DWORD access, DWORD disposition, bool allowDevice) {
    if (path == nullptr || path[0] == '\0') return kInvalidFile;
    HANDLE handle = ::CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kInvalidFile;
    DWORD type = ::GetFileType(handle);
    if (type != FILE_TYPE_DISK && !(allowDevice && type == FILE_TYPE_CHAR)) {
        ::CloseHandle(handle);
        return kInvalidFile;
    }
    return FromHandle(handle);
}

// ctime layout without the line break: "Thu Dec 03 14:05:09 2026".
bool FormatBrokenDownTime(const struct tm& local, char* buffer) {
    static const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) return false;
    long year = static_cast<long>(local.tm_year) + 1900;
    if (year < 0 || year > 9999) return false;
    int n = std::snprintf(buffer, 25, "%s %s %02d %02d:%02d:%02d %04ld", kDays[local.tm_wday],
                          kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                          year);
    return n == 24;
}

}  // namespace

FileHandle OpenForReading(const char* path) { return OpenChecked(path, GENERIC_READ, OPEN_EXISTING, false); }

FileHandle CreateForWriting(const char* path) {
    // CREATE_ALWAYS truncates an existing file.
    return OpenChecked(path, GENERIC_WRITE, CREATE_ALWAYS, true);
}

bool ReadFile(FileHandle file, void* destination, uint32_t count, uint32_t& got) {
    got = 0;
    if (file == kInvalidFile) return false;
    DWORD n = 0;
    if (!::ReadFile(ToHandle(file), destination, count, &n, nullptr)) return false;
    got = n;
    return true;
}

bool WriteFile(FileHandle file, const void* source, uint32_t count, uint32_t& written) {
    written = 0;
    if (file == kInvalidFile) return false;
    if (count == 0) return true;
    DWORD n = 0;
    if (!::WriteFile(ToHandle(file), source, count, &n, nullptr)) return false;
    written = n;
    // A write that accepts nothing would make the callers loop forever.
    return n > 0;
}

bool SeekFile(FileHandle file, int64_t offset, int origin, uint64_t& position) {
    if (file == kInvalidFile) return false;
    DWORD method = origin == 0 ? FILE_BEGIN : origin == 2 ? FILE_END : FILE_CURRENT;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER at;
    at.QuadPart = 0;
    if (!::SetFilePointerEx(ToHandle(file), distance, &at, method)) return false;
    if (at.QuadPart < 0) return false;
    position = static_cast<uint64_t>(at.QuadPart);
    return true;
}

bool GetFileSize(FileHandle file, uint64_t& size) {
    if (file == kInvalidFile) return false;
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(ToHandle(file), &value) || value.QuadPart < 0) return false;
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool CloseFile(FileHandle file) {
    if (file == kInvalidFile) return false;
    return ::CloseHandle(ToHandle(file)) != 0;
}

bool GetFileModifyTime(const char* path, uint64_t& seconds) {
    FileHandle file = OpenForReading(path);
    if (file == kInvalidFile) return false;
    FILETIME written;
    bool ok = ::GetFileTime(ToHandle(file), nullptr, nullptr, &written) != 0;
    CloseFile(file);
    if (!ok) return false;
    // 100-nanosecond ticks since 1601-01-01, made relative to 1970 in
    // unsigned arithmetic.
    constexpr uint64_t kTicksPerSecond = 10000000u;
    constexpr uint64_t kTicksTo1970 = 116444736000000000u;
    uint64_t ticks = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    seconds = (ticks - kTicksTo1970) / kTicksPerSecond;
    return true;
}

bool GetUserName(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return false;
    char name[257];  // the longest user name and its terminator
    DWORD length = sizeof(name);
    if (!::GetUserNameA(name, &length)) return false;
    name[sizeof(name) - 1] = '\0';
    size_t used = std::strlen(name);
    if (used == 0 || used + 1 > size) return false;
    std::memcpy(buffer, name, used + 1);
    return true;
}

bool GetComputerName(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return false;
    // The system's own limit: 15 characters and the terminator. A longer
    // name makes the query fail.
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = sizeof(name);
    if (!::GetComputerNameA(name, &length)) return false;
    name[sizeof(name) - 1] = '\0';
    size_t used = std::strlen(name);
    if (used == 0 || used + 1 > size) return false;
    std::memcpy(buffer, name, used + 1);
    return true;
}

int64_t CurrentTime() { return static_cast<int64_t>(::_time64(nullptr)); }

bool FormatLocalTime(int64_t seconds, char* buffer) {
    // From 1970 to the end of the year 3000, the range of the 64-bit time
    // functions of the C runtime. Checked here because runtimes differ at
    // both ends.
    constexpr int64_t kLastSecond = 32535215999;
    if (buffer == nullptr || seconds < 0 || seconds > kLastSecond) return false;
    __time64_t t = static_cast<__time64_t>(seconds);
    char text[26] = {};
    if (::_ctime64_s(text, sizeof(text), &t) == 0) {
        if (std::strlen(text) < 24) return false;
        std::memcpy(buffer, text, 24);
        buffer[24] = '\0';
        return true;
    }
    // Some runtimes refuse the first second of 1970 in ctime although their
    // local-time conversion accepts it; format that conversion the same way.
    struct tm local;
    if (::_localtime64_s(&local, &t) != 0) return false;
    return FormatBrokenDownTime(local, buffer);
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

void SleepMilliseconds(uint32_t milliseconds) { ::Sleep(milliseconds); }

void PrepareLargeHeap(uint64_t) {}

}  // namespace Platform

