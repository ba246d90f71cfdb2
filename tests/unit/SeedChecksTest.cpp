// The checks of the fuzz targets over every seed: examples, golden base scripts, saved fuzz
// findings and the compiled forms, whole and stripped, of every example and base script.

#include <gtest/gtest.h>

#include <cstring>

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

// The round trips rely on the model comparison: one small edit anywhere, even
// in the first instruction or in one entry of a list, must show.
TEST(SeedChecks, TheModelComparisonSeesOneEditAnywhere) {
    const std::string rich = FuzzChecks::ReadWholeFile(std::filesystem::path(__FILE__).parent_path() / "../golden/base/rich.cas");
    const auto load = [](const std::string& text, FuzzChecks::Result& out) {
        FuzzChecks::LoadInto(FuzzChecks::Reader::Text, "Bar", FuzzChecks::Bytes(text.begin(), text.end()), out);
        ASSERT_TRUE(out.ok) << out.log.all;
    };
    FuzzChecks::Result base, same;
    load(rich, base);
    load(rich, same);
    EXPECT_EQ(FuzzChecks::Differences(*base.object, *same.object), "");
    const std::pair<const char*, const char*> edits[] = {
        {"CompareLT ok n 10", "CompareGT ok n 10"}, {".param seed Int", ".param seed Float"},
        {".local ::b Bool", ".local ::b Int"},      {".flag Top 31", ".flag Top 30"}};
    for (const auto& [from, to] : edits) {
        std::string text = rich;
        text.replace(text.find(from), std::strlen(from), to);
        FuzzChecks::Result edited;
        load(text, edited);
        EXPECT_NE(FuzzChecks::Differences(*base.object, *edited.object), "") << to;
    }
}
