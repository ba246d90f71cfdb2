// The checks of the fuzz targets over every seed: examples, golden base scripts, saved fuzz
// findings and the compiled forms, whole and stripped, of every example and base script.

#include <gtest/gtest.h>

#include "fuzz/FuzzChecks.h"

TEST(SeedChecks, EverySeedPassesTheChecksOfItsTargets) {
    size_t scripts = 0, compiled = 0;
    for (const auto& seed : FuzzChecks::CollectSeedFiles(std::filesystem::path(__FILE__).parent_path() / "../..")) {
        SCOPED_TRACE(seed.label);
        const FuzzChecks::Input in{seed.objectName, seed.bytes};
        EXPECT_EQ(seed.compiled ? FuzzChecks::CheckCompiledReader(in) : FuzzChecks::CheckAssemblyReader(in), "");
        EXPECT_EQ(seed.compiled ? FuzzChecks::CheckCompiledRoundTrip(in) : FuzzChecks::CheckAssemblyRoundTrip(in), "");
        (seed.compiled ? compiled : scripts) += seed.label.rfind("fuzz_", 0) != 0;
    }
    EXPECT_EQ(compiled, 2 * scripts);  // every example and base script assembles
}
