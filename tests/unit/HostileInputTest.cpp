// Damaged and hostile input, and faults on output. Whatever a file holds, the
// tool answers with clean messages: it never crashes, never hangs, never
// allocates out of proportion to the file, and a run that says "succeeded"
// has its whole file on disk. Message wordings that golden cases already
// check (empty files, directories as input or output, bytes above 127 in
// names, sizes pointing back) are not repeated here.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fuzz/FuzzChecks.h"
#include "support/CexBuilder.h"
#include "tool/AssemblerDriver.h"

// ---------------------------------------------------------------------------
// Allocation meter: the live heap bytes and the largest single request while
// a measurement runs. Under AddressSanitizer its allocator hooks report every
// block; elsewhere the C library's allocator is wrapped.

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_ASAN 1
#endif
#if __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
#define HOSTILE_NO_METER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define HOSTILE_NO_METER 1
#endif

namespace {

std::atomic<bool> gMetering{false};
std::atomic<int64_t> gLive{0}, gPeak{0}, gLargest{0};

void NoteAllocation(size_t size) {
    if (!gMetering.load(std::memory_order_relaxed)) return;
    const int64_t now = gLive.fetch_add(int64_t(size), std::memory_order_relaxed) + int64_t(size);
    for (int64_t peak = gPeak.load(std::memory_order_relaxed);
         now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed);) {
    }
    for (int64_t largest = gLargest.load(std::memory_order_relaxed);
         int64_t(size) > largest && !gLargest.compare_exchange_weak(largest, int64_t(size), std::memory_order_relaxed);) {
    }
}

void NoteRelease(size_t size) {
    if (gMetering.load(std::memory_order_relaxed)) gLive.fetch_sub(int64_t(size), std::memory_order_relaxed);
}

}  // namespace

#if defined(HOSTILE_NO_METER)
constexpr bool kMetered = false;
#elif defined(HOSTILE_ASAN)
#include <sanitizer/allocator_interface.h>
namespace {
void MallocHook(const volatile void*, size_t size) { NoteAllocation(size); }
void FreeHook(const volatile void* p) {
    if (gMetering.load(std::memory_order_relaxed)) NoteRelease(__sanitizer_get_allocated_size(const_cast<const void*>(p)));
}
[[maybe_unused]] const int gHooksInstalled = __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
}  // namespace
constexpr bool kMetered = true;
#else
#include <malloc.h>
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);

void* malloc(size_t size) noexcept {
    void* p = __libc_malloc(size);
    if (p != nullptr) NoteAllocation(malloc_usable_size(p));
    return p;
}
void* calloc(size_t count, size_t size) noexcept {
    void* p = __libc_calloc(count, size);
    if (p != nullptr) NoteAllocation(malloc_usable_size(p));
    return p;
}
void* realloc(void* old, size_t size) noexcept {
    const size_t before = old != nullptr ? malloc_usable_size(old) : 0;
    void* p = __libc_realloc(old, size);
    if (p != nullptr || size == 0) NoteRelease(before);
    if (p != nullptr) NoteAllocation(malloc_usable_size(p));
    return p;
}
void free(void* p) noexcept {
    if (p != nullptr) NoteRelease(malloc_usable_size(p));
    __libc_free(p);
}
}
constexpr bool kMetered = true;
#endif

namespace {

namespace fs = std::filesystem;
using FuzzChecks::Bytes;
using FuzzChecks::Reader;
using TestSupport::CexBuilder;

struct Heap {
    int64_t peak = 0;
    int64_t largest = 0;
};

template <typename Work>
Heap Metered(Work work) {
    gLive = 0;
    gPeak = 0;
    gLargest = 0;
    gMetering = true;
    work();
    gMetering = false;
    return {gPeak.load(), gLargest.load()};
}

// What a load of `size` bytes may take: the model and the string table of a
// file cost a small multiple of its bytes, plus a fixed start.
bool InProportion(const Heap& heap, size_t size) {
    const int64_t limit = (int64_t(1) << 20) + 64 * int64_t(size);
    return !kMetered || (heap.peak <= limit && heap.largest <= limit);
}

fs::path RepoDir() { return fs::path(__FILE__).parent_path().parent_path().parent_path(); }

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// ---------------------------------------------------------------------------
// Damaged compiled files

struct ValidFile {
    std::string label, objectName;
    Bytes bytes;
};

// Every compiled file of the seeds that loads cleanly, and the assembled
// form of every assembly seed; each distinct file once.
const std::vector<ValidFile>& ValidCompiledFiles() {
    static const std::vector<ValidFile> files = [] {
        std::vector<ValidFile> out;
        std::set<std::string> seen;
        for (const auto& seed : FuzzChecks::CollectSeedFiles(RepoDir())) {
            Bytes bytes = seed.bytes;
            if (!seed.compiled) {
                FuzzChecks::Converted assembled;
                FuzzChecks::ConvertInto(Reader::Text, seed.objectName, seed.bytes, false, assembled);
                if (!assembled.ok) continue;
                bytes = assembled.bytes;
            }
            FuzzChecks::Loaded loaded;
            FuzzChecks::LoadInto(Reader::Compiled, seed.objectName, bytes, loaded);
            if (loaded.ok && seen.insert(Text(bytes)).second) out.push_back({seed.label, seed.objectName, bytes});
        }
        return out;
    }();
    return files;
}

// One load of damaged bytes. `problem` is empty when the verdict agrees with
// the messages, every message names the file, a failed load ends with the one
// fatal message that stopped it, and the heap stays in proportion.
struct DamagedLoad {
    std::string problem, last;
    bool ok = false;
    size_t messages = 0;
};

DamagedLoad LoadDamaged(const Bytes& bytes, const std::string& objectName = "Foo") {
    FuzzChecks::Loaded loaded;
    const Heap heap = Metered([&] { FuzzChecks::LoadInto(Reader::Compiled, objectName, bytes, loaded); });
    const FuzzChecks::Log& log = loaded.log;
    DamagedLoad out{FuzzChecks::CheckVerdict(loaded.ok, log), log.lines.empty() ? "" : log.lines.back(), loaded.ok,
                    log.lines.size()};
    if (out.problem.empty()) out.problem = FuzzChecks::CheckFileMessages(log, objectName + ".cex");
    if (out.problem.empty() && log.GetFatalCount() > 1) out.problem = "more than one fatal message";
    if (out.problem.empty() && log.GetFatalCount() != 0 && log.severities.back() != HxScript::Severity::Fatal) {
        out.problem = "messages after the fatal one";
    }
    if (out.problem.empty() && !InProportion(heap, bytes.size())) {
        out.problem = "heap peak " + std::to_string(heap.peak) + ", largest block " + std::to_string(heap.largest) +
                      " for " + std::to_string(bytes.size()) + " bytes";
    }
    return out;
}

TEST(DamagedCompiledFiles, EveryTruncationAndSingleByteFlip) {
    ASSERT_GE(ValidCompiledFiles().size(), 8u);
    size_t flips = 0, accepted = 0;
    for (const ValidFile& file : ValidCompiledFiles()) {
        SCOPED_TRACE(file.label);
        // The object is the last record of the file, so every cut loses part of it.
        for (size_t length = 0; length < file.bytes.size(); ++length) {
            const Bytes prefix(file.bytes.begin(), file.bytes.begin() + long(length));
            const DamagedLoad load = LoadDamaged(prefix, file.objectName);
            ASSERT_EQ(load.problem, "") << "at length " << length;
            ASSERT_FALSE(load.ok) << "at length " << length;
        }
        for (size_t at = 0; at < file.bytes.size(); ++at) {
            for (uint8_t pattern : {uint8_t(0xFF), uint8_t(0x01), uint8_t(0x80)}) {
                Bytes damaged = file.bytes;
                damaged[at] ^= pattern;
                const DamagedLoad load = LoadDamaged(damaged, file.objectName);
                ASSERT_EQ(load.problem, "") << "byte " << at << " ^ " << int(pattern);
                ++flips;
                if (!load.ok || pattern != 0x01) continue;
                // What still loads must write and read back unchanged.
                ++accepted;
                ASSERT_EQ(FuzzChecks::CheckCompiledRoundTrip({file.objectName, damaged}), "") << "byte " << at;
            }
        }
    }
    EXPECT_GT(flips, 10000u);
    EXPECT_GT(accepted, 100u);  // flips in times, flags and texts still load
}

// ---------------------------------------------------------------------------
// Huge counts and sizes, refs at the limit

// A file up to and including its string table.
CexBuilder Start(const std::vector<std::string>& strings) {
    CexBuilder b;
    b.Header().Strings(strings);
    return b;
}

TEST(HugeCountsAndSizes, CountsPromisingMoreThanTheFileHoldsCostNothing) {
    // Bodies follow a string table of "", "Foo", "None", "Wide", "self", "r".
    const auto callWithCount = [](int32_t count) {
        return [count](CexBuilder& b) {
            b.NoDebugInfo().U16(0).U16(1).ObjectStart("Foo").U16(0).U16(0).U16(0).U16(1);
            b.Ref("").U16(1).Ref("Foo").FunctionStart("None").U16(1);
            b.U8(23).VIdent("Wide").VIdent("self").VIdent("r").VInt(count).VInt(0).VInt(1).VInt(2);  // CallMethod
        };
    };
    const std::vector<std::pair<std::function<void(CexBuilder&)>, const char*>> cases = {
        {[](CexBuilder& b) { b.DebugStart(0, 0xFFFF); },
         "Foo.cex : fatal: Error reading debug function object name from store."},
        {[](CexBuilder& b) { b.DebugStart(0, 1).Ref("Foo").Ref("").Ref("Foo").U8(0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading debug instruction line number from store."},
        {[](CexBuilder& b) { b.DebugStart(0, 0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading property group object name from store."},
        {[](CexBuilder& b) { b.NoDebugInfo().U16(0xFFFF); }, "Foo.cex : fatal: Error reading user flag name from store."},
        {[](CexBuilder& b) { b.NoDebugInfo().U16(0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading object name from store."},
        {[](CexBuilder& b) { b.NoDebugInfo().U16(0).U16(1).ObjectStart("Foo").U16(0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading variable name from store."},
        {[](CexBuilder& b) {
             b.NoDebugInfo().U16(0).U16(1).ObjectStart("Foo").U16(0).U16(0).U16(0).U16(0xFFFF);
             b.Ref("").U16(0xFFFF).Ref("Foo").FunctionStart("Foo").U16(0xFFFF);
         },
         "Foo.cex : fatal: Error reading instruction opcode from store."},
        // An argument count of 511 that the file does not hold, and a negative one.
        {callWithCount(511), "Foo.cex : error: Failed to read argument 3 on instruction 0 (CallMethod)"},
        {callWithCount(-1),
         "Foo.cex : error: Argument 3 on instruction CallMethod must be an unsigned int count for variable length "
         "arguments"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].second);
        CexBuilder b = Start({"", "Foo", "None", "Wide", "self", "r"});
        cases[i].first(b);
        const DamagedLoad load = LoadDamaged(b.Bytes());
        EXPECT_EQ(load.problem, "");
        EXPECT_FALSE(load.ok);
        EXPECT_EQ(load.last, cases[i].second);
    }
    // A string table promising 65535 entries and holding none.
    CexBuilder table;
    table.Header().U16(0xFFFF);
    const DamagedLoad load = LoadDamaged(table.Bytes());
    EXPECT_EQ(load.problem, "");
    EXPECT_EQ(load.last, "Foo.cex : error: Failed to read string table");
}

TEST(HugeCountsAndSizes, LongestStringsAndLastRefsOfAFullTable) {
    // 65535 entries, the last one 65535 bytes long: every entry is usable,
    // the longest is held whole, and a ref one past the end is refused.
    std::vector<std::string> strings = {"", "Foo"};
    while (strings.size() < 0xFFFF - 1) strings.push_back("s" + std::to_string(strings.size()));
    std::string longest(0xFFFF, 'x');
    longest[0] = 'L';
    longest[0xFFFE] = 'Z';
    strings.push_back(longest);
    const auto file = [&strings](const std::function<void(CexBuilder&)>& body) {
        CexBuilder b = Start(strings);
        b.NoDebugInfo().U16(0).U16(1).ObjectStart("Foo");
        body(b);
        b.EndObject();
        return b.Bytes();
    };
    const Bytes full = file([](CexBuilder& b) {
        b.U16(0).U16(1).RefIndex(0xFFFE).RefIndex(0xFFFD).U32(0).VNone().U8(0);  // variable "<longest>" of type s65533
        b.U16(0).U16(1).Ref("").U16(0);
    });
    FuzzChecks::Loaded loaded;
    const Heap heap = Metered([&] { FuzzChecks::LoadInto(Reader::Compiled, "Foo", full, loaded); });
    ASSERT_TRUE(loaded.ok) << loaded.log.all;
    EXPECT_TRUE(InProportion(heap, full.size()));
    ASSERT_EQ(loaded.object->variables.Size(), 1u);
    EXPECT_EQ(std::string(loaded.object->variables.begin()->key.text()), longest);
    EXPECT_EQ(std::string(loaded.object->variables.begin()->value.typeName.text()), "s65533");
    EXPECT_EQ(FuzzChecks::CheckCompiledRoundTrip({"Foo", full}), "");

    EXPECT_EQ(LoadDamaged(file([](CexBuilder& b) { b.U16(0).U16(1).RefIndex(0xFFFF); })).last,
              "Foo.cex : fatal: Error reading variable name from store.");
}

TEST(HugeCountsAndSizes, ObjectSizesThatPointAnywhereEndTheSearchCleanly) {
    // 65535 records of another name, each claiming a size that leads back
    // into itself, past the end, or nowhere: the search ends with one message.
    for (uint32_t size : {1u, 3u, 4u, 6u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(size);
        CexBuilder b = Start({"", "Foo", "Other"});
        b.NoDebugInfo().U16(0).U16(0xFFFF);
        for (int i = 0; i < 64; ++i) b.Ref("Other").U32(size);
        const DamagedLoad load = LoadDamaged(b.Bytes());
        EXPECT_EQ(load.problem, "");
        EXPECT_FALSE(load.ok);
        EXPECT_EQ(load.messages, 1u);
        EXPECT_EQ(load.last.rfind("Foo.cex : ", 0), 0u) << load.last;
    }
}

// ---------------------------------------------------------------------------
// Hostile assembly text

const char* const kHead =
    ".info\n.endInfo\n.userFlagsRef\n.endUserFlagsRef\n.objectTable\n"
    ".object Foo\n.userFlags 0\n.docString \"\"\n.autoState\n";
const char* const kTables =
    ".structTable\n.endStructTable\n.variableTable\n.endVariableTable\n.propertyTable\n.endPropertyTable\n"
    ".propertyGroupTable\n.endPropertyGroupTable\n";

// A whole file whose empty state holds one function with `code`; the code
// starts on line 29.
std::string FileWithCode(const std::string& code, const std::string& locals = "") {
    return std::string(kHead) + kTables + ".stateTable\n.state\n.function f\n.userFlags 0\n.docString \"\"\n" +
           ".return None\n.paramTable\n.endParamTable\n.localTable\n" + locals + ".endLocalTable\n.code\n" + code +
           ".endCode\n.endFunction\n.endState\n.endStateTable\n.endObject\n";
}

std::unique_ptr<FuzzChecks::Loaded> LoadText(const std::string& text) {
    auto loaded = std::make_unique<FuzzChecks::Loaded>();
    FuzzChecks::LoadInto(Reader::Text, "Foo", ToBytes(text), *loaded);
    return loaded;
}

std::unique_ptr<FuzzChecks::Converted> Assemble(const std::string& text) {
    auto converted = std::make_unique<FuzzChecks::Converted>();
    FuzzChecks::ConvertInto(Reader::Text, "Foo", ToBytes(text), false, *converted);
    return converted;
}

TEST(HostileAssemblyText, HundredMegabyteLinesAndHundredThousandBlankLines) {
    const size_t kLength = 100u << 20;
    // A comment line: skipped whole, and the lines after it keep their numbers.
    std::string text = FileWithCode("Bogus\n");
    text.insert(text.find(".structTable"), ";" + std::string(kLength, 'c') + "\n");
    EXPECT_EQ(LoadText(text)->log.lines, std::vector<std::string>{"Foo.cas(30) : error: Unknown instruction \"Bogus\""});

    // A line of one huge word where a directive belongs: reported in full.
    const auto word = LoadText(std::string(kHead) + std::string(kLength, 'w') + "\n" + kTables);
    EXPECT_FALSE(word->ok);
    ASSERT_GE(word->log.lines.size(), 2u);
    const std::string& first = word->log.lines[0];
    EXPECT_EQ(first.substr(0, 40), "Foo.cas(10) : error: Expected \".STRUCTTA");
    EXPECT_EQ(first.substr(first.size() - 4), "www\"");
    EXPECT_GT(first.size(), kLength);
    EXPECT_EQ(word->log.lines[1], "Foo.cas(19) : fatal: Error while reading from store");

    // Nothing but line feeds: the end is met on the lines past them.
    EXPECT_EQ(LoadText(std::string(100000, '\n'))->log.lines,
              (std::vector<std::string>{"Foo.cas(100001) : fatal: Error while reading from store",
                                        "Foo.cas(100002) : fatal: Error while reading from store"}));
}

TEST(HostileAssemblyText, TokensOfSeventyThousandCharacters) {
    const std::string huge(70000, 'q');
    // A name, a doc string or a source name of that length loads, but no file can hold it.
    std::string doc = FileWithCode(""), source = FileWithCode("");
    doc.replace(doc.find(".docString \"\""), 13, ".docString \"" + huge + "\"");
    source.replace(0, 6, ".info\n.source \"" + huge + "\"\n.modifyTime 0\n.compileTime 0\n.user \"u\"\n.computer \"c\"\n");
    const std::pair<std::string, const char*> unwritable[] = {
        {FileWithCode("", ".local " + huge + " Int\n"), "Foo.cex : fatal: Error writing string table\n"},
        {doc, "Foo.cex : fatal: Error writing string table\n"},
        {source, "Foo.cex : fatal: Error writing source code filename\n"}};
    for (const auto& [text, message] : unwritable) EXPECT_EQ(Assemble(text)->log.all, message);

    // A label of that length is only a name for a distance: it assembles.
    const auto labelled = Assemble(FileWithCode(huge + ":\nJump " + huge + "\n"));
    EXPECT_TRUE(labelled->ok) << labelled->log.all;
    // As a mnemonic it is reported in full.
    EXPECT_EQ(LoadText(FileWithCode(huge + "\n"))->log.all,
              "Foo.cas(29) : error: Unknown instruction \"" + huge + "\"\n");
}

TEST(HostileAssemblyText, OperandCountsLabelsAndHighBytes) {
    // 511 operands round-trip; 512 are refused.
    const auto call = [](int extra) {
        std::string line = "CallMethod Wide self r";
        for (int i = 0; i < extra; ++i) line += " " + std::to_string(i);
        return FileWithCode(line + "\n", ".local r Int\n");
    };
    EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({"Foo", ToBytes(call(508))}), "");
    EXPECT_EQ(LoadText(call(509))->log.lines.size(), 1u);

    // 100000 labels on one instruction, jumped to from both ends.
    std::string code = "Jump l0\n";
    for (int i = 0; i < 100000; ++i) code += "l" + std::to_string(i) + ":\n";
    code += "Jump l99999\nJump l50000\n";
    EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({"Foo", ToBytes(FileWithCode(code))}), "");
    // One label 20000 times: each repeat is reported on its own line.
    code = "Noop\n";
    for (int i = 0; i < 20000; ++i) code += "again:\n";
    const auto repeated = LoadText(FileWithCode(code + "Jump again\n"));
    ASSERT_EQ(repeated->log.lines.size(), 19999u);
    EXPECT_EQ(repeated->log.lines.front(), "Foo.cas(31) : error: Duplicate label definition \"again\"");
    EXPECT_EQ(repeated->log.lines.back(), "Foo.cas(20029) : error: Duplicate label definition \"again\"");

    // Every byte above 127 passes through strings and comments unchanged.
    std::string all;
    for (int c = 128; c < 256; ++c) all += char(c);
    std::string text = FileWithCode("StrCat r \"" + all + "\" \"\xC3\xA9\" ; \xFF\xFE comment\n", ".local r String\n");
    text.replace(text.find(".docString \"\""), 13, ".docString \"\x80" + all + "\"");
    EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({"Foo", ToBytes(text)}), "");
    const auto compiled = Assemble(text);
    ASSERT_TRUE(compiled->ok) << compiled->log.all;
    EXPECT_NE(Text(compiled->bytes).find("\x80" + all), std::string::npos);
}

// ---------------------------------------------------------------------------
// Faults on output, through the whole driver in a child process

class ToolRun : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvel_hostile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // Readable and searchable for the unprivileged child.
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    struct Result {
        int status = -1;
        std::string out;
    };

    // Runs the driver with `args` in the test directory. `limit` caps the
    // size of every file the run writes; `unprivileged` drops root rights.
    Result Run(const std::vector<std::string>& args, rlim_t limit = RLIM_INFINITY, bool unprivileged = false) {
        int pipeFds[2];
        EXPECT_EQ(pipe(pipeFds), 0);
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            close(pipeFds[1]);
            if (chdir(dir_.c_str()) != 0) _exit(120);
            if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(121);
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending the process
            struct rlimit cap = {limit, limit};
            if (setrlimit(RLIMIT_FSIZE, &cap) != 0) _exit(122);
            std::vector<std::string> all = {"CorvelAssembler"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            const int code = Assembler::RunDriver(int(all.size()), argv.data());
            std::fflush(stdout);
            _exit(code & 0xFF);
        }
        close(pipeFds[1]);
        Result result;
        char buffer[4096];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof(buffer))) > 0;) result.out.append(buffer, size_t(n));
        close(pipeFds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        return result;
    }

    void Write(const std::string& name, const Bytes& bytes) {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream(dir_ / name, std::ios::binary) << Text(bytes);
    }
    Bytes Read(const std::string& name) const { return ToBytes(FuzzChecks::ReadWholeFile(dir_ / name)); }

    // Writes the script at `path` and its compiled form beside it.
    Bytes WriteBoth(const std::string& path, const std::string& objectName, const std::string& script) {
        FuzzChecks::Converted compiled;
        FuzzChecks::ConvertInto(Reader::Text, objectName, ToBytes(script), false, compiled);
        EXPECT_TRUE(compiled.ok) << compiled.log.all;
        Write(path + ".cas", ToBytes(script));
        Write(path + ".cex", compiled.bytes);
        return compiled.bytes;
    }

    // The output of every fault run: a fatal line, the summary, the failed line.
    static void ExpectFailedRun(const Result& result, const std::string& fatal, const char* mode) {
        EXPECT_EQ(result.status, 255) << result.out;
        EXPECT_NE(result.out.find(fatal + "\n1 error(s), 0 warning(s)\n" + mode + " failed\n"), std::string::npos)
            << result.out;
        EXPECT_EQ(result.out.find("succeeded"), std::string::npos);
    }

    fs::path dir_;
};

// A file for the object `name` with a fixed information block, so that every
// run writes the same bytes. An object name with colons is found in a folder:
// in:Foo in in/Foo.cas, and its outputs are Foo.cex and Foo.disassemble.cas.
std::string Stamped(std::string text, const std::string& name = "Foo") {
    text.replace(text.find(".object Foo\n"), 12, ".object " + name + "\n");
    return text.replace(0, 15, ".info\n.source \"Foo.psc\"\n.modifyTime 1\n.compileTime 2\n.user \"u\"\n.computer \"c\"\n.endInfo\n");
}

// A valid assembly file whose compiled form is larger than the stores'
// 64 KiB buffers, so that writes fail both inside a buffer and at its flush.
std::string LargeScript(const std::string& name) {
    std::string locals, code;
    for (int i = 0; i < 5000; ++i) {
        const std::string n = std::to_string(i);
        locals += ".local v" + n + " Int\n";
        code += "IAdd v" + n + " v" + n + " " + n + " ;@line " + std::to_string(i + 1) + "\n";
    }
    return Stamped(FileWithCode(code, locals), name);
}

TEST_F(ToolRun, DiskFullAndUnwritableDirectoryFailEveryModeAndKeepTheInput) {
    if (fs::exists("/dev/full")) {
        const Bytes compiled = WriteBoth("in/Foo", "in:Foo", Stamped(FileWithCode("Noop\n"), "in:Foo"));
        fs::create_symlink("/dev/full", dir_ / "Foo.cex");
        fs::create_symlink("/dev/full", dir_ / "Foo.disassemble.cas");
        ExpectFailedRun(Run({"in:Foo", "-Q"}), "Foo.cex : fatal: Error seeking to object size placeholder", "Assembly");
        // Disassembly: the text is written in blocks; the last ones only at close.
        ExpectFailedRun(Run({"in:Foo", "-D", "-Q"}), "Foo.disassemble.cas : fatal: Error writing to output file",
                        "Disassembly");
        // Stripping reads in/Foo.cex and writes Foo.cex: the input stays as it was.
        ExpectFailedRun(Run({"in:Foo", "-S", "-Q"}), "Foo.cex : fatal: Error seeking to object size placeholder",
                        "Stripping");
        EXPECT_EQ(Read("in/Foo.cex"), compiled);
    }

    // An unwritable directory, and stripping a file that may not be changed:
    // the open fails and nothing is lost.
    const Bytes compiled = WriteBoth("Foo", "Foo", Stamped(FileWithCode("Noop\n")));
    fs::remove(dir_ / "Foo.cex");
    fs::permissions(dir_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ExpectFailedRun(Run({"Foo", "-Q"}, RLIM_INFINITY, true), "Cannot open output file for writing", "Assembly");
    EXPECT_FALSE(fs::exists(dir_ / "Foo.cex"));
    fs::permissions(dir_, fs::perms::owner_write, fs::perm_options::add);
    Write("Foo.cex", compiled);
    fs::permissions(dir_ / "Foo.cex", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ExpectFailedRun(Run({"Foo", "-S", "-Q"}, RLIM_INFINITY, true), "Cannot open output file for writing", "Stripping");
    EXPECT_EQ(Read("Foo.cex"), compiled);
}

TEST_F(ToolRun, ARunThatSucceedsHasItsWholeFileOnDisk) {
    // Every mode under a cap on the size of the files it writes, from nothing
    // up to the whole file: below the whole file the run fails with a fatal
    // message; at it, the run succeeds and the file is complete.
    struct Mode {
        std::vector<std::string> args;
        const char* output;
        const char* word;
    };
    const std::vector<Mode> modes = {{{"in:Foo"}, "Foo.cex", "Assembly"},
                                     {{"in:Foo", "-D"}, "Foo.disassemble.cas", "Disassembly"},
                                     {{"in:Foo", "-S"}, "Foo.cex", "Stripping"}};
    for (const std::string& script :
         {Stamped(FileWithCode("Noop\nJump end\nNoop\nend:\n"), "in:Foo"), LargeScript("in:Foo")}) {
        WriteBoth("in/Foo", "in:Foo", script);
        for (const Mode& mode : modes) {
            SCOPED_TRACE(std::string(mode.word) + " of " + std::to_string(script.size()) + " bytes");
            fs::remove(dir_ / mode.output);
            const Result whole = Run(mode.args);
            ASSERT_EQ(whole.status, 0) << whole.out;
            const Bytes expected = Read(mode.output);
            ASSERT_FALSE(expected.empty());
            const rlim_t size = expected.size();
            for (rlim_t cap : {rlim_t(0), rlim_t(1), rlim_t(7), rlim_t(8), size / 3, size / 2, rlim_t(65535),
                               rlim_t(65536), size - 1, size, size + 1}) {
                if (cap > size + 1) continue;
                SCOPED_TRACE(cap);
                fs::remove(dir_ / mode.output);
                const Result result = Run(mode.args, cap);
                const bool succeeded = result.out.find(std::string(mode.word) + " succeeded\n") != std::string::npos;
                if (cap >= size) {
                    EXPECT_TRUE(succeeded) << result.out;
                    EXPECT_EQ(result.status, 0);
                    EXPECT_EQ(Read(mode.output), expected);
                } else {
                    EXPECT_FALSE(succeeded) << result.out;
                    EXPECT_EQ(result.status, 255);
                    EXPECT_NE(result.out.find(" : fatal: "), std::string::npos) << result.out;
                }
            }
        }
    }
}

}  // namespace
