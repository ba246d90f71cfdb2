// libFuzzer entry of one fuzz target. The build compiles this file once per
// target with CORVEL_FUZZ_CHECK naming the check of FuzzChecks.h to run; a
// check that finds a fault prints it and aborts, which libFuzzer records as
// a crash together with the input.

#include <cstdio>
#include <cstdlib>

#include "fuzz/FuzzChecks.h"

#ifndef CORVEL_FUZZ_CHECK
#error "CORVEL_FUZZ_CHECK must name the check to run"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = FuzzChecks::CORVEL_FUZZ_CHECK(FuzzChecks::SplitInput(data, size));
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
