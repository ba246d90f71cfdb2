// corvel_fuzz_seeds REPO_DIR OUT_DIR writes the seeds of FuzzChecks.h, as
// inputs of their targets, to OUT_DIR/assembly and OUT_DIR/compiled.

#include "fuzz/FuzzChecks.h"

int main(int argc, char** argv) {
    if (argc != 3) std::fprintf(stderr, "usage: %s REPO_DIR OUT_DIR\n", argv[0]);
    if (argc != 3) return 2;
    bool ok = true;
    for (const FuzzChecks::SeedFile& seed : FuzzChecks::CollectSeedFiles(argv[1])) {
        const std::filesystem::path folder = std::filesystem::path(argv[2]) / (seed.compiled ? "compiled" : "assembly");
        std::filesystem::create_directories(folder);
        std::ofstream out(folder / seed.label, std::ios::binary);
        ok = bool(out << seed.objectName << '\n' << std::string(seed.bytes.begin(), seed.bytes.end())) && ok;
    }
    return ok ? 0 : 1;
}
