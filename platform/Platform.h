#pragma once
// The operating-system layer: the few file, clock, identity and thread calls
// the tool needs, over POSIX (Platform.cpp, PlatformThread.cpp) or Win32
// (PlatformWin32.cpp). Nothing above this folder calls the system directly.

#include <cstdint>

namespace Platform {

// kPathSeparator separates directories in the path form of an object name
// (every ':' of the name becomes one).
#if defined(_WIN32)
// A Win32 HANDLE held as an integer; -1 is INVALID_HANDLE_VALUE.
using FileHandle = intptr_t;
inline constexpr char kPathSeparator = '\\';
#else
using FileHandle = int;
inline constexpr char kPathSeparator = '/';
#endif
inline constexpr FileHandle kInvalidFile = -1;

// Opens an existing regular file for reading, shared with other readers,
// with a hint for sequential access. kInvalidFile on failure (a directory
// does not open).
FileHandle OpenForReading(const char* path);
// Creates a file for writing, truncating an existing one. kInvalidFile on failure.
FileHandle CreateForWriting(const char* path);
// Reads up to `count` bytes; `got` is 0 at the end of the file. False on a
// system failure.
bool ReadFile(FileHandle file, void* destination, uint32_t count, uint32_t& got);
// Writes up to `count` bytes; `written` says how many were accepted. False
// on a system failure.
bool WriteFile(FileHandle file, const void* source, uint32_t count, uint32_t& written);
// origin: 0 from the start, 2 from the end, anything else from the current
// position. `position` receives the new position.
bool SeekFile(FileHandle file, int64_t offset, int origin, uint64_t& position);
bool GetFileSize(FileHandle file, uint64_t& size);
// False when the system reports a failure (such as a delayed write error).
bool CloseFile(FileHandle file);
// Last-write time of a file in whole seconds since 1970-01-01 00:00:00 UTC.
bool GetFileModifyTime(const char* path, uint64_t& seconds);

// Login name of the current user; false when it cannot be had or does not
// fit `size` bytes with its terminator.
bool GetUserName(char* buffer, uint32_t size);
// Name of this computer; false when it cannot be had or does not fit `size`
// bytes with its terminator.
bool GetComputerName(char* buffer, uint32_t size);

// Seconds since 1970-01-01 00:00:00 UTC.
int64_t CurrentTime();
// The time as local time in the 24-character ctime form without its line
// break ("Thu Dec 03 14:05:09 2026"), into a buffer of at least 25 bytes.
// False when the time cannot be represented.
bool FormatLocalTime(int64_t seconds, char* buffer);

// Readies the heap for a run that is about to allocate up to about `bytes`
// in many small blocks: it grows by that much at once, on memory that the
// system may back with large pages, and is not given back while the process
// runs (blocks too large for the heap by default come from it too). Far
// fewer page faults, at the price of resident memory growing in steps of a
// large page. Once a process; does nothing where that cannot be had, and
// for less than two large pages.
void PrepareLargeHeap(uint64_t bytes);

uint32_t CurrentThreadId();
// 0 yields the processor.
void SleepMilliseconds(uint32_t milliseconds);

}  // namespace Platform
