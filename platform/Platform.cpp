// POSIX implementation of the file, clock and identity calls of the
// operating-system layer.

#include "platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#if defined(__linux__) && defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#endif
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <vector>

namespace Platform {

namespace {

// Opens without blocking (a FIFO would otherwise wait for a writer), accepts
// only regular files and character devices, then makes the descriptor
// blocking again for the reads and writes that follow.
FileHandle OpenChecked(const char* path, int flags, bool allowDevice) {
    if (path == nullptr || path[0] == '\0') return kInvalidFile;
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kInvalidFile;
    struct stat info;
    bool accepted = ::fstat(fd, &info) == 0 &&
                    (S_ISREG(info.st_mode) || (allowDevice && S_ISCHR(info.st_mode)));
    int fileFlags = accepted ? ::fcntl(fd, F_GETFL) : -1;
    if (fileFlags < 0 || ::fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) < 0) {
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

}  // namespace

FileHandle OpenForReading(const char* path) {
    FileHandle fd = OpenChecked(path, O_RDONLY, false);
    if (fd != kInvalidFile) {
#if defined(POSIX_FADV_SEQUENTIAL)
        (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    }
    return fd;
}

FileHandle CreateForWriting(const char* path) {
    // Character devices are allowed so that output can go to a device such
    // as /dev/null through a link; directories and FIFOs are refused.
    return OpenChecked(path, O_WRONLY | O_CREAT | O_TRUNC, true);
}

bool ReadFile(FileHandle file, void* destination, uint32_t count, uint32_t& got) {
    got = 0;
    if (file == kInvalidFile) return false;
    ssize_t n;
    do {
        n = ::read(file, destination, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    got = static_cast<uint32_t>(n);
    return true;
}

bool WriteFile(FileHandle file, const void* source, uint32_t count, uint32_t& written) {
    written = 0;
    if (file == kInvalidFile) return false;
    if (count == 0) return true;
    ssize_t n;
    do {
        n = ::write(file, source, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    written = static_cast<uint32_t>(n);
    // A write that accepts nothing would loop forever in the callers; the
    // system reports a full device this way on some file systems.
    return n > 0;
}

bool SeekFile(FileHandle file, int64_t offset, int origin, uint64_t& position) {
    if (file == kInvalidFile) return false;
    int whence = origin == 0 ? SEEK_SET : origin == 2 ? SEEK_END : SEEK_CUR;
    off_t at = ::lseek(file, static_cast<off_t>(offset), whence);
    if (at < 0) return false;
    position = static_cast<uint64_t>(at);
    return true;
}

bool GetFileSize(FileHandle file, uint64_t& size) {
    if (file == kInvalidFile) return false;
    struct stat info;
    if (::fstat(file, &info) != 0) return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool CloseFile(FileHandle file) {
    if (file == kInvalidFile) return false;
    // close() must not be retried after EINTR on Linux: the descriptor is gone.
    return ::close(file) == 0;
}

bool GetFileModifyTime(const char* path, uint64_t& seconds) {
    FileHandle fd = OpenForReading(path);
    if (fd == kInvalidFile) return false;
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0;
    CloseFile(fd);
    if (!ok) return false;
    // Through the 100-nanosecond count since 1601 and back, in unsigned
    // arithmetic, so a time before 1970 comes out the same way everywhere.
    constexpr uint64_t kTicksPerSecond = 10000000u;
    constexpr uint64_t kTicksTo1970 = 116444736000000000u;
    uint64_t ticks = static_cast<uint64_t>(static_cast<int64_t>(info.st_mtim.tv_sec)) * kTicksPerSecond +
                     kTicksTo1970 + static_cast<uint64_t>(info.st_mtim.tv_nsec / 100);
    seconds = (ticks - kTicksTo1970) / kTicksPerSecond;
    return true;
}

bool GetUserName(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return false;
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 16384u);
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc;
    for (;;) {
        rc = ::getpwuid_r(::geteuid(), &entry, scratch.data(), scratch.size(), &found);
        if (rc != ERANGE || scratch.size() >= (1u << 20)) break;
        scratch.resize(scratch.size() * 2);
    }
    if (rc != 0 || found == nullptr || found->pw_name == nullptr) return false;
    size_t length = std::strlen(found->pw_name);
    if (length == 0 || length + 1 > size) return false;
    std::memcpy(buffer, found->pw_name, length + 1);
    return true;
}

bool GetComputerName(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return false;
    char name[256 + 1];
    if (::gethostname(name, sizeof(name) - 1) != 0) return false;
    name[sizeof(name) - 1] = '\0';
    size_t length = std::strlen(name);
    if (length == 0 || length + 1 > size) return false;
    std::memcpy(buffer, name, length + 1);
    return true;
}

int64_t CurrentTime() { return static_cast<int64_t>(::time(nullptr)); }

bool FormatLocalTime(int64_t seconds, char* buffer) {
    // The same range of times the 64-bit C runtime of the original target
    // converts: from 1970 up to the end of the year 3000.
    constexpr int64_t kLastSecond = 32535215999;
    if (buffer == nullptr || seconds < 0 || seconds > kLastSecond) return false;
    time_t t = static_cast<time_t>(seconds);
    struct tm local;
    if (::localtime_r(&t, &local) == nullptr) return false;
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

void PrepareLargeHeap(uint64_t bytes) {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kLargePage = uintptr_t(2) << 20;
    if (bytes < 2 * kLargePage || bytes > (uint64_t(1) << 32)) return;
    // Large blocks in the heap too (up to the most every 64-bit C library
    // accepts), and a heap that never shrinks.
    constexpr size_t kMostInHeap = size_t(32) << 20;
    if (mallopt(M_MMAP_THRESHOLD, kMostInHeap) == 0 || mallopt(M_TRIM_THRESHOLD, 1 << 30) == 0) return;
    // Where the heap's free room begins. A block that fills the room up to
    // the next large page boundary is kept for good (it is never touched, so
    // it takes no memory): the room after it starts on a boundary, and none
    // of it stays in small pages.
    static void* padding = nullptr;
    if (padding != nullptr) return;
    // (The probe is larger than any block given back so far, and the header
    // written after it falls before the boundary.)
    constexpr size_t kProbe = size_t(256) << 10;
    void* probe = std::malloc(kProbe);
    if (probe == nullptr) return;
    const uintptr_t room = reinterpret_cast<uintptr_t>(probe);
    std::free(probe);
    uintptr_t boundary = (room + kLargePage - 1) & ~(kLargePage - 1);
    if (boundary - room < kProbe + 64) boundary += kLargePage;
    padding = std::malloc(boundary - room - 32);
    // Blocks as large as the run needs in all make the heap grow by that
    // much now; given back, they are the free room the run allocates from.
    // Each stays below the size the library would map on its own instead,
    // and as large as it can: the header the library writes after a block
    // keeps the large page it falls in from being one.
    constexpr size_t kPiece = kMostInHeap - (size_t(1) << 20);
    constexpr uint32_t kMostPieces = (uint64_t(1) << 32) / kPiece + 1;
    char* pieces[kMostPieces];
    size_t sizes[kMostPieces];
    uint32_t count = 0;
    for (uint64_t left = bytes; left != 0 && count < kMostPieces; ++count) {
        sizes[count] = static_cast<size_t>(left < kPiece ? left : kPiece);
        pieces[count] = static_cast<char*>(std::malloc(sizes[count]));
        if (pieces[count] == nullptr) break;
        left -= sizes[count];
    }
    // Pieces that follow each other (a block's header apart) are one range.
    for (uint32_t i = 0; i < count;) {
        uint32_t last = i;
        while (last + 1 < count && pieces[last + 1] >= pieces[last] + sizes[last] &&
               pieces[last + 1] <= pieces[last] + sizes[last] + 64)
            ++last;
        const uintptr_t start = (reinterpret_cast<uintptr_t>(pieces[i]) + kLargePage - 1) & ~(kLargePage - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(pieces[last]) + sizes[last]) & ~(kLargePage - 1);
        if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
        i = last + 1;
    }
    while (count != 0) std::free(pieces[--count]);
#else
    (void)bytes;
#endif
}

}  // namespace Platform
