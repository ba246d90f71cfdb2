// libFuzzer entry of one fuzz target, built once per target with
// CORVEL_FUZZ_CHECK naming its check of FuzzChecks.h. A fault found is printed
// and aborts, a crash to libFuzzer; analysis reports go to /dev/null.

#include "fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzChecks::gPrintReports = std::freopen("/dev/null", "w", stdout) != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = FuzzChecks::CORVEL_FUZZ_CHECK(FuzzChecks::SplitInput(data, size));
    if (problem.empty()) return 0;
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
}
