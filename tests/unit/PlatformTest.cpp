// The operating-system layer has one implementation per system. These tests
// run unchanged against each of them (natively and, for Windows, under
// wine), so the file, clock and identity calls keep one behaviour.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/Platform.h"
#include "tool/DiskStores.h"
#include "tool/SystemInfo.h"

namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
const char* const kCharacterDevice = "NUL";
const char* const kDeepName = "a\\b\\Obj.cas";
#else
const char* const kCharacterDevice = "/dev/null";
const char* const kDeepName = "a/b/Obj.cas";
#endif

// Each test works in a fresh directory of its own, since the layer resolves
// relative names against the current directory.
class PlatformTest : public testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = fs::temp_directory_path() /
               ("corvel-platform-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        ASSERT_TRUE(fs::create_directory(dir_));
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static void Put(const fs::path& name, const std::string& bytes) {
        if (name.has_parent_path()) fs::create_directories(name.parent_path());
        std::ofstream(name, std::ios::binary) << bytes;
    }
    static std::string ReadAll(Platform::FileHandle file) {
        std::string out;
        char chunk[7];
        uint32_t got = 0;
        while (Platform::ReadFile(file, chunk, sizeof(chunk), got) && got > 0) out.append(chunk, got);
        return out;
    }

    fs::path previous_, dir_;
};

TEST_F(PlatformTest, OnlyExistingDiskFilesOpenForReadingAndReadersShare) {
    Put("Here.cas", "abc");
    fs::create_directory("Folder.cas");
    for (const char* name : {"Missing.cas", "Folder.cas", "", static_cast<const char*>(nullptr), kCharacterDevice}) {
        EXPECT_EQ(Platform::OpenForReading(name), Platform::kInvalidFile) << (name != nullptr ? name : "null");
    }
    EXPECT_FALSE(fs::exists("Missing.cas")) << "opening for reading must not create the file";

    Platform::FileHandle first = Platform::OpenForReading("Here.cas");
    Platform::FileHandle second = Platform::OpenForReading("Here.cas");
    ASSERT_NE(first, Platform::kInvalidFile);
    ASSERT_NE(second, Platform::kInvalidFile);
    EXPECT_EQ(ReadAll(first), "abc");
    EXPECT_EQ(ReadAll(second), "abc");
    EXPECT_TRUE(Platform::CloseFile(first));
    EXPECT_TRUE(Platform::CloseFile(second));
    EXPECT_FALSE(Platform::CloseFile(Platform::kInvalidFile));
}

TEST_F(PlatformTest, CreatingTruncatesAndEveryByteReadsBack) {
    Put("Out.cex", "a much longer earlier content");
    Platform::FileHandle out = Platform::CreateForWriting("Out.cex");
    ASSERT_NE(out, Platform::kInvalidFile);
    uint64_t size = 99;
    ASSERT_TRUE(Platform::GetFileSize(out, size));
    EXPECT_EQ(size, 0u);

    // Every byte value passes unchanged: no line-end translation anywhere.
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    bytes += "\r\n\n\x1a tail";
    uint32_t written = 0, got = 7;
    ASSERT_TRUE(Platform::WriteFile(out, bytes.data(), static_cast<uint32_t>(bytes.size()), written));
    EXPECT_EQ(written, bytes.size());
    char byte = 0;
    EXPECT_FALSE(Platform::ReadFile(out, &byte, 1, got)) << "a file created for writing is not readable";
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(Platform::CloseFile(out));
    std::ostringstream onDisk;
    onDisk << std::ifstream("Out.cex", std::ios::binary).rdbuf();
    EXPECT_EQ(onDisk.str(), bytes);

    Platform::FileHandle in = Platform::OpenForReading("Out.cex");
    ASSERT_NE(in, Platform::kInvalidFile);
    EXPECT_FALSE(Platform::WriteFile(in, "x", 1, written)) << "a file opened for reading is not writable";
    EXPECT_EQ(ReadAll(in), bytes);
    got = 7;  // at the end a read succeeds and delivers nothing
    EXPECT_TRUE(Platform::ReadFile(in, &byte, 1, got));
    EXPECT_EQ(got, 0u);
    Platform::CloseFile(in);

    fs::create_directory("Dir.cex");
    for (const char* name : {"", "Dir.cex", "NoSuchDir/Out.cex"}) {
        EXPECT_EQ(Platform::CreateForWriting(name), Platform::kInvalidFile) << name;
    }
    Platform::FileHandle sink = Platform::CreateForWriting(kCharacterDevice);  // the null device takes output
    ASSERT_NE(sink, Platform::kInvalidFile);
    EXPECT_TRUE(Platform::WriteFile(sink, "xyz", 3, written));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(Platform::CloseFile(sink));
}

TEST_F(PlatformTest, SeekOriginsAndSixtyFourBitPositions) {
    Put("Ten.cex", "0123456789");
    Platform::FileHandle in = Platform::OpenForReading("Ten.cex");
    ASSERT_NE(in, Platform::kInvalidFile);
    // {offset, origin, position after}: any origin other than 0 and 2 counts
    // from the current position; past the end is allowed.
    const struct { int64_t offset; int origin; uint64_t at; } seeks[] = {
        {3, 0, 3}, {2, 1, 5}, {-4, 2, 6}, {-1, 7, 5}, {1, 1, 6}, {100, 2, 110}, {6, 0, 6}};
    for (const auto& seek : seeks) {
        uint64_t at = 0;
        ASSERT_TRUE(Platform::SeekFile(in, seek.offset, seek.origin, at)) << seek.offset << " from " << seek.origin;
        EXPECT_EQ(at, seek.at) << seek.offset << " from " << seek.origin;
    }
    // Before the start fails and leaves the position where it was.
    uint64_t at = 1234;
    EXPECT_FALSE(Platform::SeekFile(in, -20, 1, at));
    char c = 0;
    uint32_t got = 0;
    ASSERT_TRUE(Platform::ReadFile(in, &c, 1, got));
    EXPECT_EQ(c, '6');
    ASSERT_TRUE(Platform::SeekFile(in, 100, 2, at));
    ASSERT_TRUE(Platform::ReadFile(in, &c, 1, got));
    EXPECT_EQ(got, 0u) << "reading past the end delivers nothing";
    uint64_t size = 0;
    ASSERT_TRUE(Platform::GetFileSize(in, size));
    EXPECT_EQ(size, 10u);
    Platform::CloseFile(in);

    // Offsets beyond 32 bits survive the call in both directions.
    Platform::FileHandle out = Platform::CreateForWriting("Far.cex");
    ASSERT_NE(out, Platform::kInvalidFile);
    const uint64_t far = (uint64_t(5) << 30) + 3;
    ASSERT_TRUE(Platform::SeekFile(out, static_cast<int64_t>(far), 0, at));
    EXPECT_EQ(at, far);
    ASSERT_TRUE(Platform::SeekFile(out, -static_cast<int64_t>(far), 1, at));
    EXPECT_EQ(at, 0u);
    Platform::CloseFile(out);
}

TEST_F(PlatformTest, ModifyTimeInWholeSecondsAndPathFormNames) {
    Put("Stamp.cas", "x");
    using namespace std::chrono;
    fs::last_write_time("Stamp.cas", file_clock::from_sys(sys_seconds(seconds(1700000000)) + milliseconds(999)));
    uint64_t stamp = 0;
    ASSERT_TRUE(Platform::GetFileModifyTime("Stamp.cas", stamp));
    EXPECT_EQ(stamp, 1700000000u) << "fractions of a second are dropped";
    EXPECT_EQ(Assembler::GetFileModifyTime("Stamp.cas"), 1700000000u);
    EXPECT_FALSE(Platform::GetFileModifyTime("Missing.cas", stamp));
    EXPECT_EQ(Assembler::GetFileModifyTime("Missing.cas"), 0u);
    fs::create_directory("Folder.cas");
    EXPECT_EQ(Assembler::GetFileModifyTime("Folder.cas"), 0u);
    std::error_code ec;  // closed again: Windows refuses to delete an open file
    EXPECT_TRUE(fs::remove("Stamp.cas", ec)) << ec.message();

    // Every colon of an object name becomes a separator (the golden cases
    // check that the store finds the file there before the short name).
    HxTArray<char> name;
    Assembler::MakePathFormName("a:b:Obj", ".cas", name);
    EXPECT_STREQ(name.Data(), kDeepName);
}

TEST(PlatformIdentity, NamesFitExactlyOrFail) {
    char name[257] = {};
    ASSERT_TRUE(Platform::GetUserName(name, sizeof(name)));
    const std::string user = name;
    ASSERT_FALSE(user.empty());
    // Room for the name and its terminator is enough; one byte less is not,
    // and a failed query never leaves a cut name behind.
    std::string exact(user.size() + 1, '#'), shorter(user.size(), '#');
    EXPECT_TRUE(Platform::GetUserName(exact.data(), static_cast<uint32_t>(exact.size())));
    EXPECT_EQ(std::string(exact.c_str()), user);
    EXPECT_FALSE(Platform::GetUserName(shorter.data(), static_cast<uint32_t>(shorter.size())));
    EXPECT_EQ(shorter, std::string(user.size(), '#'));
    EXPECT_EQ(std::string(Assembler::GetCurrentUserName().text()), user);

    char computer[16] = {};
    if (Platform::GetComputerName(computer, sizeof(computer))) {
        EXPECT_GE(std::strlen(computer), 1u);
        EXPECT_LE(std::strlen(computer), 15u);
        EXPECT_STREQ(Assembler::GetCurrentComputerName().text(), computer);
    } else {
        EXPECT_STREQ(Assembler::GetCurrentComputerName().text(), "<unknown computer>");
    }
    EXPECT_FALSE(Platform::GetComputerName(computer, 0));
}

void SetTimeZone(const char* value) {
#if defined(_WIN32)
    _putenv_s("TZ", value != nullptr ? value : "");
    _tzset();
#else
    if (value != nullptr) ::setenv("TZ", value, 1);
    else ::unsetenv("TZ");
    ::tzset();
#endif
}

TEST(PlatformClock, LocalTimeTextAcrossTheWholeRange) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    SetTimeZone("UTC");
    // The first second counts; days below ten keep their leading zero; the
    // range ends with the year 3000.
    const std::pair<int64_t, const char*> times[] = {{0, "Thu Jan 01 00:00:00 1970"},
                                                     {1, "Thu Jan 01 00:00:01 1970"},
                                                     {1764771909, "Wed Dec 03 14:25:09 2025"},
                                                     {951782400, "Tue Feb 29 00:00:00 2000"},
                                                     {32535215999, "Wed Dec 31 23:59:59 3000"}};
    char text[25];
    for (const auto& [seconds, expected] : times) {
        ASSERT_TRUE(Platform::FormatLocalTime(seconds, text)) << seconds;
        EXPECT_STREQ(text, expected);
    }
    for (int64_t seconds : {int64_t(32535216000), int64_t(-1), INT64_MIN, INT64_MAX}) {
        EXPECT_FALSE(Platform::FormatLocalTime(seconds, text)) << seconds;
    }
    EXPECT_FALSE(Platform::FormatLocalTime(1, nullptr));
    SetTimeZone(old != nullptr ? saved.c_str() : nullptr);
}

TEST(PlatformThreads, ThreadIdsAreStablePerThreadAndDistinct) {
    const uint32_t mine = Platform::CurrentThreadId();
    EXPECT_EQ(Platform::CurrentThreadId(), mine);
    uint32_t other = mine;
    std::thread([&other] { other = Platform::CurrentThreadId(); }).join();
    EXPECT_NE(other, mine);
}

}  // namespace
