// The checks of the fuzz targets over every seed of their corpora: examples,
// golden base scripts, their compiled forms and the saved fuzz findings.

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
    // Every example and base script assembles, whole and stripped: the round trips carry them all.
    EXPECT_EQ(compiled, 2 * scripts);
}
