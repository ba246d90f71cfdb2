// Damaged and hostile input, and faults on output. Whatever a file holds, the
// tool answers with clean messages: it never crashes, never hangs, never
// allocates out of proportion to the file, and a run that says "succeeded"
// has its whole file on disk. The fuzz targets check the same properties at
// random; here they run over every seed and saved crasher, every truncation
// and byte flip of the valid compiled files, hand-made extremes, and real
// disk faults through the whole driver.

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

#include "fuzz/SeedInputs.h"
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
using FuzzChecks::Log;
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
// Seeds and saved crashers through the fuzz checks

TEST(FuzzChecksOnSeeds, EverySeedAndSavedInputPassesEveryCheck) {
    const auto seeds = FuzzChecks::CollectSeedFiles(RepoDir());
    ASSERT_GE(seeds.size(), 40u);
    for (const auto& seed : seeds) {
        SCOPED_TRACE(seed.label);
        FuzzChecks::Input input{seed.objectName, seed.bytes};
        if (seed.compiled) {
            EXPECT_EQ(FuzzChecks::CheckCompiledReader(input), "");
            EXPECT_EQ(FuzzChecks::CheckCompiledRoundTrip(input), "");
        } else {
            EXPECT_EQ(FuzzChecks::CheckAssemblyReader(input), "");
            EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip(input), "");
        }
    }
    const std::pair<const char*, std::string (*)(const FuzzChecks::Input&)> targets[] = {
        {"fuzz_assembly_reader", FuzzChecks::CheckAssemblyReader},
        {"fuzz_assembly_roundtrip", FuzzChecks::CheckAssemblyRoundTrip},
        {"fuzz_compiled_reader", FuzzChecks::CheckCompiledReader},
        {"fuzz_compiled_roundtrip", FuzzChecks::CheckCompiledRoundTrip}};
    for (const auto& [target, check] : targets) {
        for (const fs::path& path : FuzzChecks::RegressionInputs(RepoDir(), target)) {
            SCOPED_TRACE(path.string());
            const Bytes bytes = ToBytes(FuzzChecks::ReadWholeFile(path));
            EXPECT_EQ(check(FuzzChecks::SplitInput(bytes.data(), bytes.size())), "");
        }
    }
}

TEST(FuzzChecksOnSeeds, ChecksCatchWhatTheyClaimTo) {
    // An input split into its object name and its file.
    const Bytes joined = FuzzChecks::JoinInput("Obj", ToBytes(".info"));
    FuzzChecks::Input input = FuzzChecks::SplitInput(joined.data(), joined.size());
    EXPECT_EQ(input.objectName, "Obj");
    EXPECT_EQ(Text(input.bytes), ".info");
    input = FuzzChecks::SplitInput(reinterpret_cast<const uint8_t*>("\n.x"), 3);
    EXPECT_EQ(input.objectName, "Foo");
    EXPECT_EQ(input.bytes.size(), 3u);

    // Messages must carry their file and a line that exists.
    Log log;
    log.lines = {"Foo.cas(3) : error: x"};
    EXPECT_EQ(FuzzChecks::CheckLineMessages(log, "Foo.cas", 3), "");
    EXPECT_NE(FuzzChecks::CheckLineMessages(log, "Foo.cas", 2), "");
    EXPECT_NE(FuzzChecks::CheckLineMessages(log, "Bar.cas", 3), "");
    log.lines = {"Foo.cas(3) : Error: x"};
    EXPECT_NE(FuzzChecks::CheckLineMessages(log, "Foo.cas", 3), "");
    log.lines = {"Foo.cex : fatal: x"};
    EXPECT_EQ(FuzzChecks::CheckFileMessages(log, "Foo.cex"), "");
    log.lines = {"Foo.cex: fatal: x"};
    EXPECT_NE(FuzzChecks::CheckFileMessages(log, "Foo.cex"), "");

    // The meter sees a block allocated and freed while it runs.
    static void* volatile sink;
    const Heap heap = Metered([] {
        sink = std::malloc(3 << 20);
        std::free(sink);
    });
    if (kMetered) {
        EXPECT_GE(heap.largest, 3 << 20);
        EXPECT_GE(heap.peak, 3 << 20);
        EXPECT_FALSE(InProportion(heap, 1000));
    }

    // Labels and the padding they move do not make texts differ; anything else does.
    EXPECT_EQ(FuzzChecks::CanonicalText(ToBytes("Jump _label7   ;@line 1\n_label7:\n")),
              FuzzChecks::CanonicalText(ToBytes("Jump _label12 ;@line 1\n_label12:\n")));
    EXPECT_NE(FuzzChecks::CanonicalText(ToBytes("Jump _label7 ;@line 1\n_label8:\n")),
              FuzzChecks::CanonicalText(ToBytes("Jump _label7 ;@line 1\n_label7:\n")));
}

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

// One load of damaged bytes: the verdict agrees with the messages, every
// message names the file, a failed load ends with the failure that stopped it,
// and the heap stays in proportion.
std::string CheckDamagedLoad(const std::string& objectName, const Bytes& bytes, bool& accepted) {
    FuzzChecks::Loaded loaded;
    const Heap heap = Metered([&] { FuzzChecks::LoadInto(Reader::Compiled, objectName, bytes, loaded); });
    accepted = loaded.ok;
    std::string problem = FuzzChecks::CheckVerdict(loaded.ok, loaded.log);
    if (problem.empty()) problem = FuzzChecks::CheckFileMessages(loaded.log, objectName + ".cex");
    if (problem.empty() && loaded.log.GetFatalCount() > 1) problem = "more than one fatal message";
    if (problem.empty() && !InProportion(heap, bytes.size())) {
        problem = "heap peak " + std::to_string(heap.peak) + ", largest block " + std::to_string(heap.largest) +
                  " for " + std::to_string(bytes.size()) + " bytes";
    }
    if (problem.empty() && loaded.log.HasFatal() && loaded.log.severities.back() != HxScript::Severity::Fatal) {
        problem = "messages after the fatal one";
    }
    return problem;
}

TEST(DamagedCompiledFiles, EveryTruncationFailsWithTheReadThatStoppedIt) {
    ASSERT_GE(ValidCompiledFiles().size(), 20u);
    for (const ValidFile& file : ValidCompiledFiles()) {
        SCOPED_TRACE(file.label);
        for (size_t length = 0; length < file.bytes.size(); ++length) {
            const Bytes prefix(file.bytes.begin(), file.bytes.begin() + long(length));
            bool accepted = false;
            const std::string problem = CheckDamagedLoad(file.objectName, prefix, accepted);
            ASSERT_EQ(problem, "") << "at length " << length;
            // The object is the last record of the file, so every cut loses part of it.
            ASSERT_FALSE(accepted) << "at length " << length;
        }
    }
}

TEST(DamagedCompiledFiles, EverySingleByteFlipGivesCleanMessages) {
    size_t flips = 0, accepted = 0;
    for (const ValidFile& file : ValidCompiledFiles()) {
        SCOPED_TRACE(file.label);
        for (size_t at = 0; at < file.bytes.size(); ++at) {
            for (uint8_t pattern : {uint8_t(0xFF), uint8_t(0x01), uint8_t(0x80)}) {
                Bytes damaged = file.bytes;
                damaged[at] ^= pattern;
                bool ok = false;
                const std::string problem = CheckDamagedLoad(file.objectName, damaged, ok);
                ASSERT_EQ(problem, "") << "byte " << at << " ^ " << int(pattern);
                ++flips;
                if (!ok || pattern != 0x01) continue;
                // What still loads must write and read back unchanged (checked
                // for the lowest bit, the flip most likely to be accepted).
                ++accepted;
                ASSERT_EQ(FuzzChecks::CheckCompiledRoundTrip({file.objectName, damaged}), "")
                    << "byte " << at << " ^ " << int(pattern);
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

struct Outcome {
    bool ok = false;
    std::vector<std::string> lines;
    Heap heap;
};

Outcome LoadCompiled(const Bytes& bytes, const char* objectName = "Foo") {
    Outcome outcome;
    FuzzChecks::Loaded loaded;
    outcome.heap = Metered([&] { FuzzChecks::LoadInto(Reader::Compiled, objectName, bytes, loaded); });
    outcome.ok = loaded.ok;
    outcome.lines = loaded.log.lines;
    return outcome;
}

std::string LastLine(const Outcome& outcome) { return outcome.lines.empty() ? "" : outcome.lines.back(); }

TEST(HugeCountsAndSizes, CountsPromisingMoreThanTheFileHoldsCostNothing) {
    struct Case {
        const char* what;
        std::function<void(CexBuilder&)> body;  // after a string table of "", "Foo"
        const char* last;
    };
    const std::vector<Case> cases = {
        {"debug functions", [](CexBuilder& b) { b.DebugStart(0, 0xFFFF); },
         "Foo.cex : fatal: Error reading debug function object name from store."},
        {"line numbers",
         [](CexBuilder& b) { b.DebugStart(0, 1).Ref("Foo").Ref("").Ref("Foo").U8(0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading debug instruction line number from store."},
        {"property groups", [](CexBuilder& b) { b.DebugStart(0, 0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading property group object name from store."},
        {"user flags", [](CexBuilder& b) { b.NoDebugInfo().U16(0xFFFF); },
         "Foo.cex : fatal: Error reading user flag name from store."},
        {"objects", [](CexBuilder& b) { b.NoDebugInfo().U16(0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading object name from store."},
        {"variables",
         [](CexBuilder& b) { b.NoDebugInfo().U16(0).U16(1).ObjectStart("Foo").U16(0).U16(0xFFFF); },
         "Foo.cex : fatal: Error reading variable name from store."},
        {"states and instructions",
         [](CexBuilder& b) {
             b.NoDebugInfo().U16(0).U16(1).ObjectStart("Foo").U16(0).U16(0).U16(0).U16(0xFFFF);
             b.Ref("").U16(0xFFFF).Ref("Foo").FunctionStart("Foo").U16(0xFFFF);
         },
         "Foo.cex : fatal: Error reading instruction opcode from store."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CexBuilder b = Start({"", "Foo"});
        c.body(b);
        const Outcome outcome = LoadCompiled(b.Bytes());
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(LastLine(outcome), c.last);
        EXPECT_TRUE(InProportion(outcome.heap, b.Size())) << outcome.heap.peak << " " << outcome.heap.largest;
    }

    // A table promising 65535 entries and holding none.
    CexBuilder table;
    table.Header().U16(0xFFFF);
    Outcome outcome = LoadCompiled(table.Bytes());
    EXPECT_EQ(LastLine(outcome), "Foo.cex : error: Failed to read string table");
    EXPECT_TRUE(InProportion(outcome.heap, table.Size()));
}

// A complete one-object file around a string table and an object body.
Bytes WholeFile(const std::vector<std::string>& strings, const std::function<void(CexBuilder&)>& body,
                const char* objectName = "Foo") {
    CexBuilder b = Start(strings);
    b.NoDebugInfo().U16(0).U16(1).ObjectStart(objectName);
    body(b);
    b.EndObject();
    EXPECT_TRUE(b.Ok());
    return b.Bytes();
}

TEST(HugeCountsAndSizes, CallArgumentCountsAtAndPastTheLimit) {
    auto call = [](int32_t count, int32_t present) {
        return WholeFile({"", "Foo", "None", "Wide", "self", "r"}, [&](CexBuilder& b) {
            b.U16(0).U16(0).U16(0).U16(1).Ref("").U16(1).Ref("Foo").FunctionStart("None").U16(1);
            b.U8(23).VIdent("Wide").VIdent("self").VIdent("r").VInt(count);  // CallMethod
            for (int32_t i = 0; i < present; ++i) b.VInt(i);
        });
    };
    Outcome outcome = LoadCompiled(call(511, 511));
    EXPECT_TRUE(outcome.ok) << LastLine(outcome);
    EXPECT_EQ(FuzzChecks::CheckCompiledRoundTrip({"Foo", call(511, 511)}), "");

    outcome = LoadCompiled(call(512, 512));
    EXPECT_EQ(LastLine(outcome), "Foo.cex : error: Function call has 512 parameters, and we only support up to 511");
    // A negative count is refused before anything is read for it.
    outcome = LoadCompiled(call(-1, 0));
    EXPECT_EQ(LastLine(outcome),
              "Foo.cex : error: Argument 3 on instruction CallMethod must be an unsigned int count for variable "
              "length arguments");
    EXPECT_TRUE(InProportion(outcome.heap, 100));
    // A count that the file does not hold.
    outcome = LoadCompiled(call(511, 3));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(LastLine(outcome), "Foo.cex : error: Failed to read argument 3 on instruction 0 (CallMethod)");
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
    ASSERT_EQ(strings.size(), 0xFFFFu);

    const Bytes full = WholeFile(strings, [](CexBuilder& b) {
        b.U16(0).U16(1).RefIndex(0xFFFE).RefIndex(0xFFFD).U32(0).VNone().U8(0);  // variable "<longest>" of type s65533
        b.U16(0).U16(1).Ref("").U16(0);
    });
    Outcome outcome = LoadCompiled(full);
    ASSERT_TRUE(outcome.ok) << LastLine(outcome);
    EXPECT_TRUE(InProportion(outcome.heap, full.size()));
    FuzzChecks::Loaded loaded;
    FuzzChecks::LoadInto(Reader::Compiled, "Foo", full, loaded);
    ASSERT_EQ(loaded.object->variables.Size(), 1u);
    EXPECT_EQ(std::string(loaded.object->variables.begin()->key.text()), longest);
    EXPECT_EQ(std::string(loaded.object->variables.begin()->value.typeName.text()), "s65533");
    EXPECT_EQ(FuzzChecks::CheckCompiledRoundTrip({"Foo", full}), "");

    const Bytes pastEnd = WholeFile(strings, [](CexBuilder& b) { b.U16(0).U16(1).RefIndex(0xFFFF); });
    outcome = LoadCompiled(pastEnd);
    EXPECT_EQ(LastLine(outcome), "Foo.cex : fatal: Error reading variable name from store.");
}

TEST(HugeCountsAndSizes, ObjectSizesThatPointAnywhereEndTheSearchCleanly) {
    // 65535 records of another name, each claiming a size that leads back
    // into itself, past the end, or nowhere: the search ends, and quickly.
    for (uint32_t size : {0u, 1u, 3u, 4u, 6u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(size);
        CexBuilder b = Start({"", "Foo", "Other"});
        b.NoDebugInfo().U16(0).U16(0xFFFF);
        for (int i = 0; i < 64; ++i) b.Ref("Other").U32(size);
        const Outcome outcome = LoadCompiled(b.Bytes());
        EXPECT_FALSE(outcome.ok);
        ASSERT_FALSE(outcome.lines.empty());
        EXPECT_TRUE(outcome.lines.back().rfind("Foo.cex : ", 0) == 0) << outcome.lines.back();
        EXPECT_LE(outcome.lines.size(), 1u);
        EXPECT_TRUE(InProportion(outcome.heap, b.Size()));
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

// A whole file whose empty state holds one function with `code`.
std::string FileWithCode(const std::string& code, const std::string& locals = "") {
    return std::string(kHead) + kTables + ".stateTable\n.state\n.function f\n.userFlags 0\n.docString \"\"\n" +
           ".return None\n.paramTable\n.endParamTable\n.localTable\n" + locals + ".endLocalTable\n.code\n" + code +
           ".endCode\n.endFunction\n.endState\n.endStateTable\n.endObject\n";
}

// A logger that keeps, of huge lines, only their ends and lengths.
class ShortLog : public HxScript::ErrorLogger {
public:
    ShortLog() : HxScript::ErrorLogger("Hostile") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity) override {
        HxFixedString text;
        message.GetMessage(text);
        const std::string line = text.length() > 400 ? std::string(text.text(), 200) + "..." +
                                                            std::string(text.text() + text.length() - 200)
                                                      : std::string(text.text());
        lines.push_back(line);
        lengths.push_back(text.length());
    }
    std::vector<std::string> lines;
    std::vector<size_t> lengths;
};

struct TextLoad {
    bool ok = false;
    ShortLog log;
};

void LoadText(std::string text, TextLoad& out) {
    HxTSmartPointer<HxScript::IStore> store(new TestSupport::MemorySource(std::move(text), "Foo.cas"));
    Assembler::AssemblyLoader loader(&out.log);
    loader.SetStore(store);
    HxScript::UnlinkedTypes::Object object;
    out.ok = loader.Load("Foo", object);
}

TEST(HostileAssemblyText, HundredMegabyteLines) {
    const size_t kLength = 100u << 20;
    // A comment line: skipped whole, and the lines after it keep their numbers.
    std::string text = FileWithCode("Bogus\n");
    text.insert(text.find(".structTable"), ";" + std::string(kLength, 'c') + "\n");
    TextLoad comment;
    LoadText(std::move(text), comment);
    ASSERT_EQ(comment.log.lines.size(), 1u);
    EXPECT_EQ(comment.log.lines[0], "Foo.cas(30) : error: Unknown instruction \"Bogus\"");

    // A line of one huge word where a directive belongs: reported in full.
    text = std::string(kHead) + std::string(kLength, 'w') + "\n" + kTables;
    TextLoad word;
    LoadText(std::move(text), word);
    EXPECT_FALSE(word.ok);
    ASSERT_GE(word.log.lines.size(), 2u);
    EXPECT_EQ(word.log.lines[0].substr(0, 40), "Foo.cas(10) : error: Expected \".STRUCTTA");
    EXPECT_EQ(word.log.lines[0].substr(word.log.lines[0].size() - 4), "www\"");
    EXPECT_GT(word.log.lengths[0], kLength);
    EXPECT_EQ(word.log.lines[1], "Foo.cas(19) : fatal: Error while reading from store");
}

TEST(HostileAssemblyText, TokensOfSeventyThousandCharacters) {
    const std::string huge(70000, 'q');
    auto assemble = [](const std::string& text) {
        auto converted = std::make_unique<FuzzChecks::Converted>();
        FuzzChecks::ConvertInto(Reader::Text, "Foo", ToBytes(text), false, *converted);
        return converted;
    };
    // A name or a doc string of that length loads, but no file can hold it.
    auto named = assemble(FileWithCode("", ".local " + huge + " Int\n"));
    EXPECT_FALSE(named->ok);
    EXPECT_EQ(named->log.all, "Foo.cex : fatal: Error writing string table\n");
    std::string text = FileWithCode("");
    text.replace(text.find(".docString \"\""), 13, ".docString \"" + huge + "\"");
    EXPECT_EQ(assemble(text)->log.all, "Foo.cex : fatal: Error writing string table\n");
    text = FileWithCode("");
    text.replace(0, 15, ".info\n.source \"" + huge + "\"\n.modifyTime 0\n.compileTime 0\n.user \"u\"\n.computer \"c\"\n.endInfo\n");
    EXPECT_EQ(assemble(text)->log.all, "Foo.cex : fatal: Error writing source code filename\n");

    // A label of that length is only a name for a distance: it assembles.
    auto labelled = assemble(FileWithCode(huge + ":\nJump " + huge + "\n"));
    EXPECT_TRUE(labelled->ok) << labelled->log.all;
    // As a mnemonic it is reported in full.
    TextLoad mnemonic;
    LoadText(FileWithCode(huge + "\n"), mnemonic);
    ASSERT_EQ(mnemonic.log.lines.size(), 1u);
    EXPECT_EQ(mnemonic.log.lengths[0], std::string("Foo.cas(29) : error: Unknown instruction \"\"").size() + 70000);
}

TEST(HostileAssemblyText, OperandCountsAroundTheLimit) {
    auto call = [](int extra) {
        std::string line = "CallMethod Wide self r";
        for (int i = 0; i < extra; ++i) line += " " + std::to_string(i);
        return FileWithCode(line + "\n", ".local r Int\n");
    };
    EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({"Foo", ToBytes(call(508))}), "");
    TextLoad over;
    LoadText(call(509), over);
    ASSERT_EQ(over.log.lines.size(), 1u);
    EXPECT_EQ(over.log.lines[0],
              "Foo.cas(30) : error: Instruction \"CallMethod\" has too many arguments - 512 were read while a maximum "
              "of 511 is allowed");
}

TEST(HostileAssemblyText, DeeplyRepeatedLabels) {
    // 100000 distinct labels on one instruction, jumped to from both ends.
    std::string code = "Jump l0\n";
    for (int i = 0; i < 100000; ++i) code += "l" + std::to_string(i) + ":\n";
    code += "Jump l99999\nJump l50000\n";
    const std::string many = FileWithCode(code);
    EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({"Foo", ToBytes(many)}), "");

    // One label 20000 times: each repeat is reported on its own line, the
    // first definition stays.
    code = "Noop\n";
    for (int i = 0; i < 20000; ++i) code += "again:\n";
    code += "Jump again\n";
    TextLoad repeated;
    LoadText(FileWithCode(code), repeated);
    ASSERT_EQ(repeated.log.lines.size(), 19999u);
    EXPECT_EQ(repeated.log.lines.front(), "Foo.cas(31) : error: Duplicate label definition \"again\"");
    EXPECT_EQ(repeated.log.lines.back(), "Foo.cas(20029) : error: Duplicate label definition \"again\"");
}

TEST(HostileAssemblyText, BytesAbove127) {
    // In names they are neither letters nor digits.
    TextLoad name;
    LoadText(FileWithCode("", ".local caf\xC3\xA9 Int\n"), name);
    ASSERT_EQ(name.log.lines.size(), 2u);
    EXPECT_EQ(name.log.lines[0], "Foo.cas(27) : error: \".LOCAL\" expects an identifier, found caf\xC3\xA9");
    EXPECT_EQ(name.log.lines[1], "Foo.cas(27) : error: \".LOCAL\" has too many arguments, found 2");
    TextLoad mnemonic;
    LoadText(FileWithCode("\xFFNoop\n"), mnemonic);
    ASSERT_EQ(mnemonic.log.lines.size(), 1u);
    EXPECT_EQ(mnemonic.log.lines[0], "Foo.cas(29) : error: Unknown instruction \"\xFFNoop\"");

    // In strings and comments they pass through unchanged, in both directions.
    std::string all;
    for (int c = 128; c < 256; ++c) all += char(c);
    std::string text = FileWithCode("StrCat r \"" + all + "\" \"\xC3\xA9\" ; \xFF\xFE comment\n", ".local r String\n");
    text.replace(text.find(".docString \"\""), 13, ".docString \"\x80" + all + "\"");
    EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({"Foo", ToBytes(text)}), "");
    FuzzChecks::Converted compiled, disassembled;
    FuzzChecks::ConvertInto(Reader::Text, "Foo", ToBytes(text), false, compiled);
    ASSERT_TRUE(compiled.ok) << compiled.log.all;
    EXPECT_NE(Text(compiled.bytes).find(all), std::string::npos);
    FuzzChecks::ConvertInto(Reader::Compiled, "Foo", compiled.bytes, true, disassembled);
    EXPECT_NE(Text(disassembled.bytes).find("\t\t.docString \"\x80" + all + "\"\n"), std::string::npos);
    EXPECT_NE(Text(disassembled.bytes).find("StrCat r \"" + all + "\" \"\xC3\xA9\""), std::string::npos);
}

TEST(HostileAssemblyText, FloatsBeyondTheTextPrecisionAndRange) {
    // The text keeps six decimals: finer floats come back rounded once and
    // then stay. Beyond the float range a literal stops at the largest float,
    // whose text reads back exactly.
    for (const char* literal : {"0.0000001", "0.1234567", "1.0e39", "-1.0e39", "3.4028235e38", "1.0e-45"}) {
        SCOPED_TRACE(literal);
        const std::string text = FileWithCode(std::string("FAdd r r ") + literal + "\n", ".local r Float\n");
        EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({"Foo", ToBytes(text)}), "");
    }
    FuzzChecks::Converted compiled, disassembled;
    FuzzChecks::ConvertInto(Reader::Text, "Foo", ToBytes(FileWithCode("FAdd r r 1.0e39\n", ".local r Float\n")), false,
                            compiled);
    FuzzChecks::ConvertInto(Reader::Compiled, "Foo", compiled.bytes, true, disassembled);
    EXPECT_NE(Text(disassembled.bytes).find("FAdd r r 340282346638528859811704183484516925440.000000 "),
              std::string::npos)
        << Text(disassembled.bytes);
}

TEST(HostileAssemblyText, NamesSpelledLikeSeveritiesDoNotChangeMessages) {
    // Names are interned without regard to case; the severity words of the
    // message lines must not take a script's spelling of them.
    TextLoad load;
    LoadText(FileWithCode("Bogus\n", ".local ERROR Int\n.local Warning Int\n.local FATAL Int\n"), load);
    ASSERT_EQ(load.log.lines.size(), 1u);
    EXPECT_EQ(load.log.lines[0], "Foo.cas(32) : error: Unknown instruction \"Bogus\"");
}

TEST(HostileAssemblyText, EmptyFileAndFileOfNothingButLineFeeds) {
    // The information block and the user-flag table each meet the end.
    TextLoad empty;
    LoadText("", empty);
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.log.lines, (std::vector<std::string>{"Foo.cas(1) : fatal: Error while reading from store",
                                                         "Foo.cas(2) : fatal: Error while reading from store"}));
    TextLoad blank;
    LoadText(std::string(100000, '\n'), blank);
    EXPECT_EQ(blank.log.lines, (std::vector<std::string>{"Foo.cas(100001) : fatal: Error while reading from store",
                                                         "Foo.cas(100002) : fatal: Error while reading from store"}));
}

// ---------------------------------------------------------------------------
// Faults on output, through the whole driver in a child process

class ToolRun : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvel_hostile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // Readable and searchable for an unprivileged child.
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(dir_, ec)) {
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
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
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    Bytes Read(const std::string& name) const { return ToBytes(FuzzChecks::ReadWholeFile(dir_ / name)); }

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
        locals += ".local v" + std::to_string(i) + " Int\n";
        code += "IAdd v" + std::to_string(i) + " v" + std::to_string(i) + " " + std::to_string(i) + " ;@line " +
                std::to_string(i + 1) + "\n";
    }
    return Stamped(FileWithCode(code, locals), name);
}

TEST_F(ToolRun, DiskFullFailsEveryModeWithAFatalMessage) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string small = Stamped(FileWithCode("Noop\n"), "in:Foo");
    Write("in/Foo.cas", ToBytes(small));
    fs::create_symlink("/dev/full", dir_ / "Foo.cex");
    ExpectFailedRun(Run({"in:Foo", "-Q"}), "Foo.cex : fatal: Error seeking to object size placeholder", "Assembly");

    // Larger than a buffer: a write fails before the end.
    Write("big/Foo.cas", ToBytes(LargeScript("big:Foo")));
    const Result big = Run({"big:Foo", "-Q"});
    EXPECT_EQ(big.status, 255);
    EXPECT_EQ(big.out.rfind("Foo.cex : fatal: Error writing ", 0), 0u) << big.out;

    // Disassembly: the text is written in blocks; the last ones only at close.
    FuzzChecks::Converted compiled;
    FuzzChecks::ConvertInto(Reader::Text, "in:Foo", ToBytes(small), false, compiled);
    ASSERT_TRUE(compiled.ok);
    Write("in/Foo.cex", compiled.bytes);
    fs::create_symlink("/dev/full", dir_ / "Foo.disassemble.cas");
    ExpectFailedRun(Run({"in:Foo", "-D", "-Q"}), "Foo.disassemble.cas : fatal: Error writing to output file",
                    "Disassembly");

    // Stripping reads in/Foo.cex and writes Foo.cex: the input stays as it was.
    ExpectFailedRun(Run({"in:Foo", "-S", "-Q"}), "Foo.cex : fatal: Error seeking to object size placeholder",
                    "Stripping");
    EXPECT_EQ(Read("in/Foo.cex"), compiled.bytes);
}

TEST_F(ToolRun, UnwritableDirectoryAndReadOnlyFile) {
    Write("Foo.cas", ToBytes(Stamped(FileWithCode("Noop\n"))));
    fs::permissions(dir_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ExpectFailedRun(Run({"Foo", "-Q"}, RLIM_INFINITY, true), "Cannot open output file for writing", "Assembly");
    EXPECT_FALSE(fs::exists(dir_ / "Foo.cex"));

    // Stripping a file that may not be changed: the open fails, nothing is lost.
    fs::permissions(dir_, fs::perms::owner_write, fs::perm_options::add);
    FuzzChecks::Converted compiled;
    FuzzChecks::ConvertInto(Reader::Text, "Foo", Read("Foo.cas"), false, compiled);
    Write("Foo.cex", compiled.bytes);
    fs::permissions(dir_ / "Foo.cex", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ExpectFailedRun(Run({"Foo", "-S", "-Q"}, RLIM_INFINITY, true), "Cannot open output file for writing", "Stripping");
    EXPECT_EQ(Read("Foo.cex"), compiled.bytes);
}

TEST_F(ToolRun, ARunThatSucceedsHasItsWholeFileOnDisk) {
    // Every mode under a cap on the size of the files it writes, from nothing
    // up to the whole file: below the whole file the run fails with a fatal
    // message; at it, the run succeeds and the file is complete.
    struct Mode {
        const char* name;
        std::vector<std::string> args;
        const char* output;
        const char* word;
    };
    for (const std::string& script : {Stamped(FileWithCode("Noop\nJump end\nNoop\nend:\n"), "in:Foo"),
                                      LargeScript("in:Foo")}) {
        FuzzChecks::Converted compiled;
        FuzzChecks::ConvertInto(Reader::Text, "in:Foo", ToBytes(script), false, compiled);
        ASSERT_TRUE(compiled.ok) << compiled.log.all;
        Write("in/Foo.cas", ToBytes(script));
        Write("in/Foo.cex", compiled.bytes);
        const std::vector<Mode> modes = {{"assembly", {"in:Foo"}, "Foo.cex", "Assembly"},
                                         {"disassembly", {"in:Foo", "-D"}, "Foo.disassemble.cas", "Disassembly"},
                                         {"stripping", {"in:Foo", "-S"}, "Foo.cex", "Stripping"}};
        for (const Mode& mode : modes) {
            SCOPED_TRACE(std::string(mode.name) + " of " + std::to_string(script.size()) + " bytes");
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
