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
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutSeconds = 60;
constexpr size_t kHexPerLine = 16;

using Lines = std::vector<std::string>;

// A problem with the case itself or its set-up: the case fails with this text.
struct CaseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Section {
    std::string keyword;   // "args", "exit", "file", ...
    std::string argument;  // the rest of the section line, trimmed
    std::string header;    // the section line as written
    Lines lines;           // content lines, "@@" already unescaped
};

struct CaseFile {
    Lines preamble;
    std::vector<Section> sections;
};

// Every section keyword, whether it names a file and whether content follows.
struct SectionKind {
    const char* keyword;
    bool takesName;
    bool hasContent;
};
constexpr SectionKind kSectionKinds[] = {
    {"args", false, false},      {"exit", false, false},  {"file", true, true},   {"file-noeol", true, true},
    {"file-hex", true, true},    {"dir", true, false},    {"stdout", false, true}, {"output", true, true},
    {"output-hex", true, true},  {"no-output", true, false},
};

Lines SplitLines(const std::string& text) {
    Lines lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string JoinLines(const Lines& lines, bool lastGetsNewline = true) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size() || lastGetsNewline) text += '\n';
    }
    return text;
}

bool ReadWholeFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return true;
}

void WriteWholeFile(const fs::path& path, const std::string& bytes) {
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush())
        throw CaseError("cannot write " + path.string());
}

// Hexadecimal pairs separated by blanks or line breaks; '#' starts a comment.
std::string ParseHex(const Lines& lines) {
    std::string bytes;
    for (const std::string& raw : lines) {
        std::istringstream words(raw.substr(0, raw.find('#')));
        for (std::string word; words >> word;) {
            if (word.size() % 2 != 0) throw CaseError("odd number of hex digits in \"" + word + "\"");
            for (size_t i = 0; i < word.size(); i += 2) {
                if (!std::isxdigit(static_cast<unsigned char>(word[i])) ||
                    !std::isxdigit(static_cast<unsigned char>(word[i + 1])))
                    throw CaseError("bad hex byte \"" + word.substr(i, 2) + "\"");
                bytes += static_cast<char>(std::stoi(word.substr(i, 2), nullptr, 16));
            }
        }
    }
    return bytes;
}

Lines HexLines(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    Lines lines;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % kHexPerLine == 0) lines.emplace_back();
        std::string& line = lines.back();
        if (!line.empty()) line += ' ';
        line += digits[static_cast<unsigned char>(bytes[i]) >> 4];
        line += digits[static_cast<unsigned char>(bytes[i]) & 15];
    }
    return lines;
}

// True when the bytes read back from text lines exactly: every line ended by
// a line feed and no control characters other than tabs.
bool IsLineText(const std::string& bytes) {
    auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t'; };
    return bytes.empty() || (bytes.back() == '\n' && std::none_of(bytes.begin(), bytes.end(), control));
}

CaseFile ParseCase(const std::string& text) {
    CaseFile file;
    for (const std::string& line : SplitLines(text)) {
        if (!line.empty() && line[0] == '@' && (line.size() < 2 || line[1] != '@')) {
            Section s;
            s.header = line;
            size_t blank = line.find_first_of(" \t");
            s.keyword = line.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
            size_t first = blank == std::string::npos ? blank : line.find_first_not_of(" \t", blank);
            if (first != std::string::npos) s.argument = line.substr(first, line.find_last_not_of(" \t") - first + 1);
            file.sections.push_back(s);
        } else if (file.sections.empty()) {
            file.preamble.push_back(line);
        } else {
            file.sections.back().lines.push_back(line.size() >= 2 && line[0] == '@' ? line.substr(1) : line);
        }
    }
    for (const Section& s : file.sections) {
        const SectionKind* kind = std::find_if(std::begin(kSectionKinds), std::end(kSectionKinds),
                                               [&](const SectionKind& k) { return s.keyword == k.keyword; });
        if (kind == std::end(kSectionKinds)) throw CaseError("unknown section line \"" + s.header + "\"");
        if (kind->takesName && s.argument.empty()) throw CaseError("section \"" + s.header + "\" needs a file name");
        if (kind->takesName && (s.argument[0] == '/' || s.argument.find("..") != std::string::npos))
            throw CaseError("file name \"" + s.argument + "\" must stay inside the working directory");
        for (const std::string& l : s.lines)
            if (!kind->hasContent && l.find_first_not_of(" \t\r") != std::string::npos)
                throw CaseError("section \"" + s.header + "\" takes no content, found \"" + l + "\"");
        if (s.keyword == "file-hex" || s.keyword == "output-hex") ParseHex(s.lines);
    }
    return file;
}

// Splits the @args line at blanks; "" is an empty argument and quotes keep
// blanks inside an argument.
Lines SplitArguments(const std::string& text) {
    Lines args;
    std::string current;
    bool inToken = false, inQuotes = false;
    for (char c : text) {
        if (c == '"') {
            inQuotes = !inQuotes;
            inToken = true;
        } else if (!inQuotes && (c == ' ' || c == '\t')) {
            if (inToken) args.push_back(current);
            current.clear();
            inToken = false;
        } else {
            current += c;
            inToken = true;
        }
    }
    if (inQuotes) throw CaseError("unterminated quote in @args");
    if (inToken) args.push_back(current);
    return args;
}

// A line diff, '-' for expected and '+' for actual lines, printed in hunks
// with three lines of context.
std::string UnifiedDiff(const Lines& expected, const Lines& actual) {
    // Common head and tail first, so that the quadratic part sees only the middle.
    size_t prefix = 0, suffix = 0;
    while (prefix < expected.size() && prefix < actual.size() && expected[prefix] == actual[prefix]) ++prefix;
    while (suffix < expected.size() - prefix && suffix < actual.size() - prefix &&
           expected[expected.size() - 1 - suffix] == actual[actual.size() - 1 - suffix])
        ++suffix;
    const size_t n = expected.size() - prefix - suffix, m = actual.size() - prefix - suffix;
    std::vector<std::pair<char, const std::string*>> ops;
    for (size_t i = 0; i < prefix; ++i) ops.emplace_back(' ', &expected[i]);
    if (n * m <= 4000000) {  // longest common subsequence
        std::vector<std::vector<uint32_t>> lcs(n + 1, std::vector<uint32_t>(m + 1, 0));
        for (size_t i = n; i-- > 0;)
            for (size_t j = m; j-- > 0;)
                lcs[i][j] = expected[prefix + i] == actual[prefix + j] ? lcs[i + 1][j + 1] + 1
                                                                       : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        for (size_t i = 0, j = 0; i < n || j < m;) {
            if (i < n && j < m && expected[prefix + i] == actual[prefix + j]) {
                ops.emplace_back(' ', &expected[prefix + i++]);
                ++j;
            } else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
                ops.emplace_back('-', &expected[prefix + i++]);
            } else {
                ops.emplace_back('+', &actual[prefix + j++]);
            }
        }
    } else {
        for (size_t i = 0; i < n; ++i) ops.emplace_back('-', &expected[prefix + i]);
        for (size_t j = 0; j < m; ++j) ops.emplace_back('+', &actual[prefix + j]);
    }
    for (size_t i = expected.size() - suffix; i < expected.size(); ++i) ops.emplace_back(' ', &expected[i]);

    const size_t context = 3;
    std::ostringstream out;
    size_t oldLine = 1, newLine = 1;  // line numbers at ops[at]
    for (size_t at = 0, k = 0; k < ops.size();) {
        if (ops[k].first == ' ') {
            ++k;
            continue;
        }
        // A hunk runs on while changes follow within twice the context.
        size_t end = k, last = k;
        for (; end < ops.size() && end - last <= 2 * context; ++end)
            if (ops[end].first != ' ') last = end;
        const size_t start = k > context ? k - context : 0;  // never before the last hunk's end
        const size_t stop = std::min(ops.size(), last + 1 + context);
        for (; at < start; ++at) {
            oldLine += ops[at].first != '+';
            newLine += ops[at].first != '-';
        }
        size_t oldCount = 0, newCount = 0;
        for (size_t i = start; i < stop; ++i) {
            oldCount += ops[i].first != '+';
            newCount += ops[i].first != '-';
        }
        out << "@@ -" << oldLine << "," << oldCount << " +" << newLine << "," << newCount << " @@\n";
        for (size_t i = start; i < stop; ++i) out << ops[i].first << *ops[i].second << "\n";
        k = stop;
    }
    return out.str();
}

std::string DescribeText(const std::string& expected, const std::string& actual) {
    std::string diff = UnifiedDiff(SplitLines(expected), SplitLines(actual));
    const bool expectedEol = expected.empty() || expected.back() == '\n';
    const bool actualEol = actual.empty() || actual.back() == '\n';
    if (expectedEol != actualEol)
        diff += std::string(actualEol ? "(expected" : "(actual") + " text does not end with a line feed)\n";
    return diff;
}

struct RunResult {
    bool timedOut = false;
    int status = 0;  // as from waitpid
    std::string out;
};

// Runs the command in `directory` with standard input from /dev/null,
// collecting standard output; after kTimeoutSeconds the process is killed.
RunResult RunCommand(const Lines& command, const fs::path& directory) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw CaseError("cannot create a pipe");
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw CaseError("cannot start " + command[0]);
    }
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) ::dup2(devNull, 0);
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::setenv("TZ", "UTC", 1);
        ::setenv("LC_ALL", "C", 1);
        if (::chdir(directory.c_str()) != 0) _exit(126);
        ::execvp(argv[0], argv.data());  // a path with a '/' is not looked up
        _exit(127);
    }
    ::close(pipeFds[1]);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
    auto msLeft = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    };
    char buffer[65536];
    for (;;) {
        if (msLeft() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(msLeft())) <= 0) continue;  // interrupted or out of time
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.out.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    // Standard output may close before the process ends: wait for the rest of
    // the time, then kill it.
    for (;;) {
        const pid_t done = ::waitpid(pid, &result.status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (result.timedOut || msLeft() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &result.status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return result;
}

struct TempDir {
    fs::path path;
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvel-golden-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw CaseError("cannot create a temporary directory");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string RenderCase(const CaseFile& file) {
    std::string text = JoinLines(file.preamble);
    for (const Section& s : file.sections) {
        text += s.header + "\n";
        for (std::string l : s.lines) {
            if (!l.empty() && l[0] == '@') l.insert(l.begin(), '@');
            text += l;
            text += '\n';
        }
    }
    return text;
}

// Compares what the run did with the case's expectations; with `update` the
// expectations take the run's results instead. Returns the account of the
// mismatches (empty when none) and sets `changed` when a section was rewritten.
std::string Compare(CaseFile& file, const fs::path& work, int exitCode, const std::string& out, bool update,
                    bool& changed) {
    std::ostringstream report;
    bool sawExit = false, sawStdout = false;
    for (Section& s : file.sections) {
        if (s.keyword == "exit") {
            sawExit = true;
            if (s.argument == std::to_string(exitCode)) continue;
            if (update) s.header = "@exit " + std::to_string(exitCode);
            else report << "exit status: expected " << s.argument << ", got " << exitCode << "\n";
        } else if (s.keyword == "stdout") {
            sawStdout = true;
            const std::string want = JoinLines(s.lines);
            if (want == out) continue;
            if (update) s.lines = SplitLines(out);
            else report << "standard output differs (-expected +actual):\n" << DescribeText(want, out);
        } else if (s.keyword == "output" || s.keyword == "output-hex") {
            std::string actual;
            if (!fs::is_regular_file(work / s.argument) || !ReadWholeFile(work / s.argument, actual)) {
                report << "output file " << s.argument << " was not written\n";
                continue;
            }
            const bool hex = s.keyword == "output-hex";
            const std::string want = hex ? ParseHex(s.lines) : JoinLines(s.lines);
            if (want == actual) continue;
            if (update) {
                const bool text = IsLineText(actual);
                s.header = (text ? "@output " : "@output-hex ") + s.argument;
                s.lines = text ? SplitLines(actual) : HexLines(actual);
            } else if (!hex) {
                report << "output file " << s.argument << " differs (-expected +actual):\n"
                       << DescribeText(want, actual);
            } else {
                report << "output file " << s.argument << " differs (-expected +actual, " << kHexPerLine
                       << " bytes a line):\n"
                       << UnifiedDiff(HexLines(want), HexLines(actual));
            }
        } else if (s.keyword == "no-output") {
            if (fs::exists(fs::symlink_status(work / s.argument)))
                report << "file " << s.argument << " must not be left behind, but was\n";
            continue;
        } else {
            continue;
        }
        changed = changed || update;  // reached only on a mismatch
    }
    if (update) {
        if (!sawExit) file.sections.push_back({"exit", "", "@exit " + std::to_string(exitCode), {}});
        if (!sawStdout) file.sections.push_back({"stdout", "", "@stdout", SplitLines(out)});
        changed = changed || !sawExit || !sawStdout;
    } else if (!sawExit || !sawStdout) {
        report << "the case has no " << (!sawExit ? "@exit" : "@stdout")
               << " section (run with --update to record one)\n";
    }
    return report.str();
}

// Runs one case file; returns true when it passed (or was brought up to date).
bool RunCase(const std::string& binary, const fs::path& casePath, bool update) {
    const std::string name = casePath.stem().string();
    try {
        std::string text;
        if (!ReadWholeFile(casePath, text)) throw CaseError("cannot read " + casePath.string());
        CaseFile file = ParseCase(text);
        TempDir work;
        Lines command;
        if (const char* launcher = std::getenv("CORVEL_GOLDEN_LAUNCHER"); launcher && *launcher)
            command.emplace_back(launcher);
        command.push_back(fs::absolute(binary).string());
        bool haveArgs = false;
        for (const Section& s : file.sections) {
            const fs::path target = work.path / s.argument;
            if (s.keyword == "args") {
                haveArgs = true;
                for (std::string& a : SplitArguments(s.argument)) command.push_back(std::move(a));
            } else if (s.keyword == "file" || s.keyword == "file-noeol") {
                WriteWholeFile(target, JoinLines(s.lines, s.keyword == "file"));
            } else if (s.keyword == "file-hex") {
                WriteWholeFile(target, ParseHex(s.lines));
            } else if (s.keyword == "dir") {
                std::error_code ec;
                if (fs::create_directories(target, ec); ec) throw CaseError("cannot prepare " + s.header);
            }
        }
        if (!haveArgs) throw CaseError("no @args section");

        const RunResult run = RunCommand(command, work.path);
        if (run.timedOut) throw CaseError("no result within " + std::to_string(kTimeoutSeconds) + " seconds");
        if (!WIFEXITED(run.status))
            throw CaseError("the binary was killed by signal " +
                            std::to_string(WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0) +
                            (run.out.empty() ? "" : "\nstandard output so far:\n" + run.out));

        bool changed = false;
        const std::string report = Compare(file, work.path, WEXITSTATUS(run.status), run.out, update, changed);
        if (changed) {
            WriteWholeFile(casePath, RenderCase(file));
            std::cout << "UPDATED " << name << "\n";
        }
        if (!report.empty()) {
            std::cout << "FAIL " << name << " (" << casePath.string() << ")\n" << report;
            std::cout << "full standard output:\n" << run.out;
            if (!run.out.empty() && run.out.back() != '\n') std::cout << "\n";
            return false;
        }
        if (!changed) std::cout << "PASS " << name << "\n";
        return true;
    } catch (const CaseError& e) {
        std::cout << "FAIL " << name << ": " << e.what() << "\n";
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("CORVEL_GOLDEN_UPDATE");
    bool update = env != nullptr && std::strcmp(env, "1") == 0;
    Lines positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--update") == 0) update = true;
        else positional.emplace_back(argv[i]);
    }
    if (positional.size() < 2) {
        std::cerr << "usage: corvel_golden [--update] BINARY CASEFILE...\n";
        return 2;
    }
    int failures = 0;
    for (size_t i = 1; i < positional.size(); ++i) failures += !RunCase(positional[0], positional[i], update);
    return failures == 0 ? 0 : 1;
}
