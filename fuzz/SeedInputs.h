#pragma once
// The input files of the golden cases and the examples, for the fuzz seed
// corpora and for the tests that run the fuzz checks over the same inputs.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzChecks.h"

namespace FuzzChecks {

struct SeedFile {
    std::string label;       // unique, usable as a file name
    std::string objectName;  // the object the file is loaded for
    Bytes bytes;
    bool compiled = false;   // a compiled file (else assembly text)
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace Internal {

inline Bytes FromHex(const std::vector<std::string>& lines) {
    Bytes bytes;
    for (std::string line : lines) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        for (std::string word; words >> word;) bytes.push_back(uint8_t(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

// The input files of one golden case, each with the object named on the
// case's command line (or its own stem when the case names none).
inline void ReadCaseFiles(const std::filesystem::path& path, std::vector<SeedFile>& out) {
    std::istringstream lines(ReadWholeFile(path));
    std::string line, keyword, argument, object;
    std::vector<std::string> content;
    std::vector<SeedFile> found;
    auto finish = [&]() {
        std::filesystem::path name(argument);
        const bool text = keyword == "@file" || keyword == "@file-noeol";
        if ((text || keyword == "@file-hex") && (name.extension() == ".cas" || name.extension() == ".cex")) {
            SeedFile seed;
            seed.label = path.stem().string() + "_" + argument;
            for (char& c : seed.label) c = std::isalnum(uint8_t(c)) || c == '.' ? c : '_';
            seed.objectName = name.stem().string();
            seed.compiled = name.extension() == ".cex";
            if (text) {
                for (size_t i = 0; i < content.size(); ++i) {
                    seed.bytes.insert(seed.bytes.end(), content[i].begin(), content[i].end());
                    if (keyword == "@file" || i + 1 < content.size()) seed.bytes.push_back('\n');
                }
            } else {
                seed.bytes = FromHex(content);
            }
            found.push_back(seed);
        }
        content.clear();
    };
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '@' && line.rfind("@@", 0) != 0) {
            finish();
            keyword = line.substr(0, line.find(' '));
            argument = line.size() > keyword.size() ? line.substr(keyword.size() + 1) : "";
            if (keyword == "@args") {
                std::istringstream words(argument);
                for (std::string word; words >> word;) {
                    if (word[0] != '-' && word[0] != '/' && word[0] != '"' && object.empty()) object = word;
                }
            }
            keyword = keyword == "@args" ? "" : keyword;
            continue;
        }
        content.push_back(!line.empty() && line[0] == '@' ? line.substr(1) : line);
    }
    finish();
    for (SeedFile& seed : found) {
        if (!object.empty()) seed.objectName = object;
        out.push_back(seed);
    }
}

}  // namespace Internal

// Every assembly and compiled file of the golden cases and every example,
// in a fixed order.
inline std::vector<SeedFile> CollectSeedFiles(const std::filesystem::path& repo) {
    std::vector<SeedFile> seeds;
    std::vector<std::filesystem::path> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(repo / "tests/golden/cases", ec)) {
        if (entry.path().extension() == ".case") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) Internal::ReadCaseFiles(path, seeds);

    paths.clear();
    for (const auto& entry : std::filesystem::directory_iterator(repo / "examples", ec)) {
        if (entry.path().extension() == ".cas") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        const std::string text = ReadWholeFile(path);
        seeds.push_back({"example_" + path.filename().string(), path.stem().string(), Bytes(text.begin(), text.end()),
                         false});
    }
    return seeds;
}

// The saved inputs of one fuzz target (fuzz/regressions/TARGET), in a fixed order.
inline std::vector<std::filesystem::path> RegressionInputs(const std::filesystem::path& repo, const char* target) {
    std::vector<std::filesystem::path> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(repo / "fuzz/regressions" / target, ec)) {
        if (entry.is_regular_file()) paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace FuzzChecks
