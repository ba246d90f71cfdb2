// libFuzzer entry of one fuzz target. The build compiles this file once per
// target with CORVEL_FUZZ_CHECK naming the check of FuzzChecks.h to run; a
// check that finds a fault prints it and aborts, which libFuzzer records as
// a crash together with the input. With CORVEL_FUZZ_HEAP_CHECK the heap is
// metered too: a reader whose live heap grows out of proportion to its input
// is a finding as well.

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "fuzz/FuzzChecks.h"

#ifndef CORVEL_FUZZ_CHECK
#error "CORVEL_FUZZ_CHECK must name the check to run"
#endif

namespace {

std::atomic<bool> gMetering{false};
std::atomic<int64_t> gLive{0}, gPeak{0};

void MallocHook(const volatile void*, size_t size) {
    if (!gMetering.load(std::memory_order_relaxed)) return;
    const int64_t now = gLive.fetch_add(int64_t(size), std::memory_order_relaxed) + int64_t(size);
    for (int64_t peak = gPeak.load(std::memory_order_relaxed);
         now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed);) {
    }
}

void FreeHook(const volatile void* p) {
    if (gMetering.load(std::memory_order_relaxed)) {
        gLive.fetch_sub(int64_t(__sanitizer_get_allocated_size(const_cast<const void*>(p))), std::memory_order_relaxed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
    // The checks print analysis reports; libFuzzer reports on standard error.
    if (std::freopen("/dev/null", "w", stdout) != nullptr) FuzzChecks::PrintReports() = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzChecks::Input input = FuzzChecks::SplitInput(data, size);
    gLive = 0;
    gPeak = 0;
    gMetering = true;
    std::string problem = FuzzChecks::CORVEL_FUZZ_CHECK(input);
    gMetering = false;
#ifdef CORVEL_FUZZ_HEAP_CHECK
    // Two loads of the input, each holding a model, messages and scratch: a
    // generous multiple of the input, but nothing that grows faster than it.
    const int64_t limit = (int64_t(4) << 20) + 128 * int64_t(size);
    if (problem.empty() && gPeak.load() > limit) {
        problem = "heap peak of " + std::to_string(gPeak.load()) + " bytes for " + std::to_string(size) + " bytes of input";
    }
#endif
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
