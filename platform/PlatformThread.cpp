#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/Platform.h"

namespace Platform {

uint32_t CurrentThreadId() {
    // The kernel's thread id: unique among live threads, like the Windows one.
    static thread_local uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

void SleepMilliseconds(uint32_t milliseconds) {
    if (milliseconds == 0) {
        ::sched_yield();
        return;
    }
    timespec wait{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

}  // namespace Platform
