// Runs golden case files (see FORMAT.md) against the CorvelAssembler binary.
//
//   corvel_golden [--update] BINARY CASEFILE...
//
// Each case runs in a fresh temporary directory with TZ=UTC and LC_ALL=C.
// CORVEL_GOLDEN_LAUNCHER in the environment names a program that runs the
// binary (found through PATH), such as wine for a Windows executable.
// The exit status, standard output and the named output files are compared
// with the case; a mismatch prints a unified-style diff. With --update (or
// CORVEL_GOLDEN_UPDATE=1 in the environment) the @exit, @stdout, @output and
// @output-hex sections are rewritten from what the binary did, and
// everything else in the file is kept as it was.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutSeconds = 60;
constexpr size_t kHexPerLine = 16;

// ---------------------------------------------------------------------------
// Case files

struct Section {
    std::string keyword;             // "args", "exit", "file", ...
    std::string argument;            // the rest of the section line
    std::string header;              // the section line as written
    std::vector<std::string> lines;  // content lines, "@@" already unescaped
};

struct CaseFile {
    std::vector<std::string> preamble;
    std::vector<Section> sections;
};

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool ReadWholeFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return true;
}

bool WriteWholeFile(const fs::path& path, const std::string& bytes) {
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

bool ParseCase(const std::string& text, CaseFile& result, std::string& error) {
    Section* current = nullptr;
    for (const std::string& line : SplitLines(text)) {
        if (!line.empty() && line[0] == '@' && (line.size() < 2 || line[1] != '@')) {
            Section section;
            section.header = line;
            size_t blank = line.find_first_of(" \t");
            section.keyword = line.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
            if (blank != std::string::npos) {
                size_t first = line.find_first_not_of(" \t", blank);
                size_t last = line.find_last_not_of(" \t");
                if (first != std::string::npos) section.argument = line.substr(first, last - first + 1);
            }
            result.sections.push_back(section);
            current = &result.sections.back();
            continue;
        }
        std::string content = line.size() >= 2 && line[0] == '@' ? line.substr(1) : line;
        if (current == nullptr) {
            result.preamble.push_back(line);
        } else {
            current->lines.push_back(content);
        }
    }

    static const char* const kKnown[] = {"args", "exit", "file", "file-noeol", "file-hex", "dir",
                                         "stdout", "output", "output-hex", "no-output"};
    for (const Section& s : result.sections) {
        if (std::find_if(std::begin(kKnown), std::end(kKnown), [&](const char* k) { return s.keyword == k; }) ==
            std::end(kKnown)) {
            error = "unknown section line \"" + s.header + "\"";
            return false;
        }
        bool takesName = s.keyword != "args" && s.keyword != "exit" && s.keyword != "stdout";
        if (takesName) {
            if (s.argument.empty()) {
                error = "section \"" + s.header + "\" needs a file name";
                return false;
            }
            if (s.argument[0] == '/' || s.argument.find("..") != std::string::npos) {
                error = "file name \"" + s.argument + "\" must stay inside the working directory";
                return false;
            }
        }
        bool hasContent = s.keyword == "file" || s.keyword == "file-noeol" || s.keyword == "file-hex" ||
                          s.keyword == "stdout" || s.keyword == "output" || s.keyword == "output-hex";
        if (!hasContent) {
            for (const std::string& l : s.lines) {
                if (l.find_first_not_of(" \t\r") != std::string::npos) {
                    error = "section \"" + s.header + "\" takes no content, found \"" + l + "\"";
                    return false;
                }
            }
        }
    }
    return true;
}

// Splits the @args line at blanks; "" is an empty argument and quotes keep
// blanks inside an argument.
bool SplitArguments(const std::string& text, std::vector<std::string>& args, std::string& error) {
    std::string current;
    bool inToken = false;
    bool inQuotes = false;
    for (char c : text) {
        if (inQuotes) {
            if (c == '"') {
                inQuotes = false;
            } else {
                current += c;
            }
        } else if (c == '"') {
            inQuotes = true;
            inToken = true;
        } else if (c == ' ' || c == '\t') {
            if (inToken) args.push_back(current);
            current.clear();
            inToken = false;
        } else {
            current += c;
            inToken = true;
        }
    }
    if (inQuotes) {
        error = "unterminated quote in @args";
        return false;
    }
    if (inToken) args.push_back(current);
    return true;
}

bool ParseHex(const std::vector<std::string>& lines, std::string& bytes, std::string& error) {
    for (const std::string& raw : lines) {
        std::string line = raw.substr(0, raw.find('#'));
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word.size() % 2 != 0) {
                error = "odd number of hex digits in \"" + word + "\"";
                return false;
            }
            for (size_t i = 0; i < word.size(); i += 2) {
                char pair[3] = {word[i], word[i + 1], '\0'};
                char* end = nullptr;
                long value = std::strtol(pair, &end, 16);
                if (end != pair + 2 || !std::isxdigit(static_cast<unsigned char>(pair[0]))) {
                    error = "bad hex byte \"" + std::string(pair) + "\"";
                    return false;
                }
                bytes += static_cast<char>(value);
            }
        }
    }
    return true;
}

std::string JoinLines(const std::vector<std::string>& lines, bool lastGetsNewline = true) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size() || lastGetsNewline) text += '\n';
    }
    return text;
}

std::vector<std::string> HexLines(const std::string& bytes) {
    std::vector<std::string> lines;
    static const char* digits = "0123456789abcdef";
    for (size_t at = 0; at < bytes.size(); at += kHexPerLine) {
        std::string line;
        for (size_t i = at; i < bytes.size() && i < at + kHexPerLine; ++i) {
            if (i != at) line += ' ';
            unsigned char b = static_cast<unsigned char>(bytes[i]);
            line += digits[b >> 4];
            line += digits[b & 15];
        }
        lines.push_back(line);
    }
    return lines;
}

// True when the bytes read back from text lines exactly: every line ended by
// a line feed and no control characters other than tabs.
bool IsLineText(const std::string& bytes) {
    if (bytes.empty()) return true;
    if (bytes.back() != '\n') return false;
    for (char c : bytes) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 && c != '\n' && c != '\t') return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Diff

// A line-based diff printed with three lines of context around each change.
std::string UnifiedDiff(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
    size_t prefix = 0;
    while (prefix < expected.size() && prefix < actual.size() && expected[prefix] == actual[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < expected.size() - prefix && suffix < actual.size() - prefix &&
           expected[expected.size() - 1 - suffix] == actual[actual.size() - 1 - suffix])
        ++suffix;
    size_t n = expected.size() - prefix - suffix;
    size_t m = actual.size() - prefix - suffix;

    // Edit script: ' ' kept, '-' expected only, '+' actual only.
    std::vector<std::pair<char, std::string>> ops;
    for (size_t i = 0; i < prefix; ++i) ops.emplace_back(' ', expected[i]);
    if (n * m <= 4000000) {
        std::vector<std::vector<uint32_t>> lcs(n + 1, std::vector<uint32_t>(m + 1, 0));
        for (size_t i = n; i-- > 0;)
            for (size_t j = m; j-- > 0;)
                lcs[i][j] = expected[prefix + i] == actual[prefix + j] ? lcs[i + 1][j + 1] + 1
                                                                       : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        size_t i = 0, j = 0;
        while (i < n || j < m) {
            if (i < n && j < m && expected[prefix + i] == actual[prefix + j]) {
                ops.emplace_back(' ', expected[prefix + i]);
                ++i;
                ++j;
            } else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
                ops.emplace_back('-', expected[prefix + i++]);
            } else {
                ops.emplace_back('+', actual[prefix + j++]);
            }
        }
    } else {
        for (size_t i = 0; i < n; ++i) ops.emplace_back('-', expected[prefix + i]);
        for (size_t j = 0; j < m; ++j) ops.emplace_back('+', actual[prefix + j]);
    }
    for (size_t i = expected.size() - suffix; i < expected.size(); ++i) ops.emplace_back(' ', expected[i]);

    std::ostringstream out;
    const size_t context = 3;
    size_t k = 0;
    while (k < ops.size()) {
        if (ops[k].first == ' ') {
            ++k;
            continue;
        }
        size_t start = k > context ? k - context : 0;
        size_t end = k;
        // Extend the hunk while changes follow within twice the context.
        for (size_t last = k; end < ops.size(); ++end) {
            if (ops[end].first != ' ') last = end;
            if (end - last > 2 * context) break;
        }
        size_t stop = end;
        while (stop > k && ops[stop - 1].first == ' ') --stop;
        stop = std::min(ops.size(), stop + context);

        size_t oldLine = 1, newLine = 1;
        for (size_t i = 0; i < start; ++i) {
            if (ops[i].first != '+') ++oldLine;
            if (ops[i].first != '-') ++newLine;
        }
        size_t oldCount = 0, newCount = 0;
        for (size_t i = start; i < stop; ++i) {
            if (ops[i].first != '+') ++oldCount;
            if (ops[i].first != '-') ++newCount;
        }
        out << "@@ -" << oldLine << "," << oldCount << " +" << newLine << "," << newCount << " @@\n";
        for (size_t i = start; i < stop; ++i) out << ops[i].first << ops[i].second << "\n";
        k = stop;
    }
    return out.str();
}

std::string DescribeText(const std::string& expected, const std::string& actual) {
    std::string diff = UnifiedDiff(SplitLines(expected), SplitLines(actual));
    bool expectedEol = expected.empty() || expected.back() == '\n';
    bool actualEol = actual.empty() || actual.back() == '\n';
    if (expectedEol != actualEol)
        diff += std::string(actualEol ? "(expected" : "(actual") + " text does not end with a line feed)\n";
    return diff;
}

// ---------------------------------------------------------------------------
// Running the binary

struct RunResult {
    bool started = false;
    bool timedOut = false;
    int status = 0;  // as from waitpid
    std::string out;
};

RunResult RunBinary(const std::string& binary, const std::vector<std::string>& args, const fs::path& directory) {
    RunResult result;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return result;

    std::vector<std::string> environment;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "TZ=", 3) == 0 || std::strncmp(*e, "LC_ALL=", 7) == 0) continue;
        environment.emplace_back(*e);
    }
    environment.emplace_back("TZ=UTC");
    environment.emplace_back("LC_ALL=C");
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings;
    const char* launcher = std::getenv("CORVEL_GOLDEN_LAUNCHER");
    bool launched = launcher != nullptr && launcher[0] != '\0';
    if (launched) argStrings.emplace_back(launcher);
    argStrings.push_back(binary);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string dir = directory.string();

    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return result;
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            ::close(devNull);
        }
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[1]);
        if (::chdir(dir.c_str()) != 0) _exit(126);
        if (launched) {
            ::execvpe(argv[0], argv.data(), envp.data());
        } else {
            ::execve(binary.c_str(), argv.data(), envp.data());
        }
        _exit(127);
    }
    ::close(pipeFds[1]);
    result.started = true;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        ssize_t n = ::read(pipeFds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.out.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);

    for (;;) {
        pid_t done = ::waitpid(pid, &result.status, result.timedOut ? 0 : WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (result.timedOut || std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &result.status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (result.timedOut) ::kill(pid, SIGKILL);
    return result;
}

// ---------------------------------------------------------------------------
// One case

struct TempDir {
    fs::path path;
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvel-golden-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) != nullptr) path = buffer.data();
    }
    ~TempDir() {
        if (!path.empty()) {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    }
};

std::vector<std::string> TextToLines(const std::string& text) { return SplitLines(text); }

void Escape(std::vector<std::string>& lines) {
    for (std::string& l : lines)
        if (!l.empty() && l[0] == '@') l.insert(l.begin(), '@');
}

std::string RenderCase(const CaseFile& file, const std::vector<std::vector<std::string>>& rawContent) {
    std::string text;
    for (const std::string& l : file.preamble) text += l + "\n";
    for (size_t i = 0; i < file.sections.size(); ++i) {
        text += file.sections[i].header + "\n";
        for (const std::string& l : rawContent[i]) text += l + "\n";
    }
    return text;
}

// Runs one case file; returns true when it passed (or was brought up to date).
bool RunCase(const std::string& binary, const fs::path& casePath, bool update) {
    std::string name = casePath.stem().string();
    std::string text;
    if (!ReadWholeFile(casePath, text)) {
        std::cout << "FAIL " << name << ": cannot read " << casePath << "\n";
        return false;
    }
    CaseFile file;
    std::string error;
    if (!ParseCase(text, file, error)) {
        std::cout << "FAIL " << name << ": " << error << "\n";
        return false;
    }

    TempDir work;
    if (work.path.empty()) {
        std::cout << "FAIL " << name << ": cannot create a temporary directory\n";
        return false;
    }

    std::vector<std::string> args;
    bool haveArgs = false;
    for (const Section& s : file.sections) {
        bool ok = true;
        fs::path target = work.path / s.argument;
        if (s.keyword == "args") {
            haveArgs = true;
            ok = SplitArguments(s.argument, args, error);
        } else if (s.keyword == "file") {
            ok = WriteWholeFile(target, JoinLines(s.lines));
        } else if (s.keyword == "file-noeol") {
            ok = WriteWholeFile(target, JoinLines(s.lines, false));
        } else if (s.keyword == "file-hex") {
            std::string bytes;
            ok = ParseHex(s.lines, bytes, error) && WriteWholeFile(target, bytes);
        } else if (s.keyword == "dir") {
            std::error_code ec;
            fs::create_directories(target, ec);
            ok = !ec;
        }
        if (!ok) {
            std::cout << "FAIL " << name << ": " << (error.empty() ? "cannot prepare " + s.header : error) << "\n";
            return false;
        }
    }
    if (!haveArgs) {
        std::cout << "FAIL " << name << ": no @args section\n";
        return false;
    }

    RunResult run = RunBinary(fs::absolute(binary).string(), args, work.path);
    if (!run.started) {
        std::cout << "FAIL " << name << ": cannot start " << binary << "\n";
        return false;
    }
    if (run.timedOut) {
        std::cout << "FAIL " << name << ": no result within " << kTimeoutSeconds << " seconds\n";
        return false;
    }
    if (!WIFEXITED(run.status)) {
        std::cout << "FAIL " << name << ": the binary was killed by signal "
                  << (WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0) << "\n";
        if (!run.out.empty()) std::cout << "standard output so far:\n" << run.out;
        return false;
    }
    int exitCode = WEXITSTATUS(run.status);

    std::ostringstream report;
    bool failed = false;
    bool changed = false;
    std::vector<std::vector<std::string>> raw(file.sections.size());
    bool sawExit = false, sawStdout = false;

    for (size_t i = 0; i < file.sections.size(); ++i) {
        Section& s = file.sections[i];
        raw[i] = s.lines;
        Escape(raw[i]);
        if (s.keyword == "exit") {
            sawExit = true;
            std::string want = s.argument;
            if (want != std::to_string(exitCode)) {
                if (update) {
                    s.header = "@exit " + std::to_string(exitCode);
                    changed = true;
                } else {
                    report << "exit status: expected " << want << ", got " << exitCode << "\n";
                    failed = true;
                }
            }
        } else if (s.keyword == "stdout") {
            sawStdout = true;
            std::string want = JoinLines(s.lines);
            if (want != run.out) {
                if (update) {
                    raw[i] = TextToLines(run.out);
                    Escape(raw[i]);
                    changed = true;
                } else {
                    report << "standard output differs (-expected +actual):\n" << DescribeText(want, run.out);
                    failed = true;
                }
            }
        } else if (s.keyword == "output" || s.keyword == "output-hex") {
            std::string actual;
            fs::path produced = work.path / s.argument;
            if (!fs::is_regular_file(produced) || !ReadWholeFile(produced, actual)) {
                report << "output file " << s.argument << " was not written\n";
                failed = true;
                continue;
            }
            std::string want;
            if (s.keyword == "output") {
                want = JoinLines(s.lines);
            } else if (!ParseHex(s.lines, want, error)) {
                report << s.header << ": " << error << "\n";
                failed = true;
                continue;
            }
            if (want == actual) continue;
            if (update) {
                if (IsLineText(actual)) {
                    s.header = "@output " + s.argument;
                    raw[i] = TextToLines(actual);
                    Escape(raw[i]);
                } else {
                    s.header = "@output-hex " + s.argument;
                    raw[i] = HexLines(actual);
                }
                changed = true;
            } else if (s.keyword == "output") {
                report << "output file " << s.argument << " differs (-expected +actual):\n"
                       << DescribeText(want, actual);
                failed = true;
            } else {
                report << "output file " << s.argument << " differs (-expected +actual, " << kHexPerLine
                       << " bytes a line):\n"
                       << UnifiedDiff(HexLines(want), HexLines(actual));
                failed = true;
            }
        } else if (s.keyword == "no-output") {
            if (fs::exists(fs::symlink_status(work.path / s.argument))) {
                report << "file " << s.argument << " must not be left behind, but was\n";
                failed = true;
            }
        }
    }

    if (!sawExit || !sawStdout) {
        if (update) {
            if (!sawExit) {
                file.sections.push_back(Section{"exit", std::to_string(exitCode), "@exit " + std::to_string(exitCode), {}});
                raw.emplace_back();
            }
            if (!sawStdout) {
                file.sections.push_back(Section{"stdout", "", "@stdout", {}});
                raw.push_back(TextToLines(run.out));
                Escape(raw.back());
            }
            changed = true;
        } else {
            report << "the case has no " << (!sawExit ? "@exit" : "@stdout")
                   << " section (run with --update to record one)\n";
            failed = true;
        }
    }

    if (update && changed) {
        if (!WriteWholeFile(casePath, RenderCase(file, raw))) {
            std::cout << "FAIL " << name << ": cannot rewrite " << casePath << "\n";
            return false;
        }
        std::cout << "UPDATED " << name << "\n";
    }
    if (failed) {
        std::cout << "FAIL " << name << " (" << casePath.string() << ")\n" << report.str();
        std::cout << "full standard output:\n" << run.out;
        if (!run.out.empty() && run.out.back() != '\n') std::cout << "\n";
        return false;
    }
    if (!changed) std::cout << "PASS " << name << "\n";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool update = false;
    const char* env = std::getenv("CORVEL_GOLDEN_UPDATE");
    if (env != nullptr && std::strcmp(env, "1") == 0) update = true;

    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--update") == 0) {
            update = true;
        } else {
            positional.emplace_back(argv[i]);
        }
    }
    if (positional.size() < 2) {
        std::cerr << "usage: corvel_golden [--update] BINARY CASEFILE...\n";
        return 2;
    }
    int failures = 0;
    for (size_t i = 1; i < positional.size(); ++i)
        if (!RunCase(positional[0], positional[i], update)) ++failures;
    return failures == 0 ? 0 : 1;
}
