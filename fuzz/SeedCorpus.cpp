// Writes the seed corpora of the fuzz targets from the golden cases and the
// examples:
//   corvel_fuzz_seeds REPO_DIR OUT_DIR
// OUT_DIR/assembly receives every assembly file of a case or example,
// OUT_DIR/compiled every compiled file of a case and the assembled form of
// every assembly seed that assembles. Each seed is the object name on one
// line, then the file (the input form of FuzzChecks.h).

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fuzz/SeedInputs.h"

namespace fs = std::filesystem;
using FuzzChecks::Bytes;

namespace {

bool WriteSeed(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
    return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s REPO_DIR OUT_DIR\n", argv[0]);
        return 2;
    }
    const fs::path repo = argv[1], out = argv[2];
    std::error_code ec;
    fs::create_directories(out / "assembly", ec);
    fs::create_directories(out / "compiled", ec);

    size_t texts = 0, compiled = 0;
    bool ok = true;
    for (const FuzzChecks::SeedFile& seed : FuzzChecks::CollectSeedFiles(repo)) {
        const Bytes input = FuzzChecks::JoinInput(seed.objectName, seed.bytes);
        if (seed.compiled) {
            ok = WriteSeed(out / "compiled" / seed.label, input) && ok;
            ++compiled;
            continue;
        }
        ok = WriteSeed(out / "assembly" / seed.label, input) && ok;
        ++texts;
        FuzzChecks::Converted assembled;
        FuzzChecks::ConvertInto(FuzzChecks::Reader::Text, seed.objectName, seed.bytes, false, assembled);
        if (assembled.ok) {
            ok = WriteSeed(out / "compiled" / (seed.label + ".cex"), FuzzChecks::JoinInput(seed.objectName, assembled.bytes)) && ok;
            ++compiled;
        }
    }
    std::printf("%zu assembly seeds, %zu compiled seeds in %s\n", texts, compiled, out.string().c_str());
    return ok && texts > 0 && compiled > 0 ? 0 : 1;
}
