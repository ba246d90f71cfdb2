// The operating-system layer has one implementation per system. These tests
// run unchanged against each of them (natively and, for Windows, under
// wine), so the file, clock and identity calls keep one behaviour.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "HxSystem/HxTSmartPointer.h"
#include "platform/Platform.h"
#include "tool/DiskStores.h"
#include "tool/SystemInfo.h"

namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
const char* const kCharacterDevice = "NUL";
#else
const char* const kCharacterDevice = "/dev/null";
#endif

void SetTimeZone(const char* value) {
#if defined(_WIN32)
    _putenv_s("TZ", value != nullptr ? value : "");
    _tzset();
#else
    if (value != nullptr) {
        ::setenv("TZ", value, 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
#endif
}

// Each test works in a fresh directory of its own, since the layer resolves
// relative names against the current directory.
class PlatformTest : public testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        static std::atomic<unsigned> counter{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
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

    static void Put(const std::string& name, const std::string& bytes) {
        fs::path p(name);
        if (p.has_parent_path()) fs::create_directories(p.parent_path());
        std::ofstream(name, std::ios::binary) << bytes;
    }
    static std::string Get(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::string ReadAll(Platform::FileHandle file) {
        std::string out;
        char chunk[7];
        uint32_t got = 0;
        while (Platform::ReadFile(file, chunk, sizeof(chunk), got) && got > 0) out.append(chunk, got);
        return out;
    }

    fs::path previous_;
    fs::path dir_;
};

TEST_F(PlatformTest, OnlyExistingDiskFilesOpenForReading) {
    Put("Here.cas", "abc");
    fs::create_directory("Folder.cas");

    EXPECT_EQ(Platform::OpenForReading("Missing.cas"), Platform::kInvalidFile);
    EXPECT_EQ(Platform::OpenForReading("Folder.cas"), Platform::kInvalidFile);
    EXPECT_EQ(Platform::OpenForReading(""), Platform::kInvalidFile);
    EXPECT_EQ(Platform::OpenForReading(nullptr), Platform::kInvalidFile);
    EXPECT_EQ(Platform::OpenForReading(kCharacterDevice), Platform::kInvalidFile);
    EXPECT_FALSE(fs::exists("Missing.cas")) << "opening for reading must not create the file";

    // Readers share the file.
    Platform::FileHandle first = Platform::OpenForReading("Here.cas");
    ASSERT_NE(first, Platform::kInvalidFile);
    Platform::FileHandle second = Platform::OpenForReading("Here.cas");
    ASSERT_NE(second, Platform::kInvalidFile);
    EXPECT_EQ(ReadAll(first), "abc");
    EXPECT_EQ(ReadAll(second), "abc");
    EXPECT_TRUE(Platform::CloseFile(first));
    EXPECT_TRUE(Platform::CloseFile(second));
    EXPECT_FALSE(Platform::CloseFile(Platform::kInvalidFile));
}

TEST_F(PlatformTest, CreatingTruncatesAndWritingReadsBack) {
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
    uint32_t written = 0;
    ASSERT_TRUE(Platform::WriteFile(out, bytes.data(), static_cast<uint32_t>(bytes.size()), written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_TRUE(Platform::WriteFile(out, bytes.data(), 0, written));
    EXPECT_EQ(written, 0u);
    char byte = 0;
    uint32_t got = 7;
    EXPECT_FALSE(Platform::ReadFile(out, &byte, 1, got)) << "a file created for writing is not readable";
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(Platform::CloseFile(out));
    EXPECT_EQ(Get("Out.cex"), bytes);

    Platform::FileHandle in = Platform::OpenForReading("Out.cex");
    ASSERT_NE(in, Platform::kInvalidFile);
    EXPECT_FALSE(Platform::WriteFile(in, "x", 1, written)) << "a file opened for reading is not writable";
    EXPECT_EQ(ReadAll(in), bytes);
    // At the end a read succeeds and delivers nothing.
    got = 7;
    EXPECT_TRUE(Platform::ReadFile(in, &byte, 1, got));
    EXPECT_EQ(got, 0u);
    Platform::CloseFile(in);

    EXPECT_EQ(Platform::CreateForWriting(""), Platform::kInvalidFile);
    fs::create_directory("Dir.cex");
    EXPECT_EQ(Platform::CreateForWriting("Dir.cex"), Platform::kInvalidFile);
    EXPECT_EQ(Platform::CreateForWriting("NoSuchDir/Out.cex"), Platform::kInvalidFile);
    // A character device takes output (the null device).
    Platform::FileHandle sink = Platform::CreateForWriting(kCharacterDevice);
    ASSERT_NE(sink, Platform::kInvalidFile);
    EXPECT_TRUE(Platform::WriteFile(sink, "xyz", 3, written));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(Platform::CloseFile(sink));
}

TEST_F(PlatformTest, SeekOriginsAndSixtyFourBitPositions) {
    Put("Ten.cex", "0123456789");
    Platform::FileHandle in = Platform::OpenForReading("Ten.cex");
    ASSERT_NE(in, Platform::kInvalidFile);
    uint64_t at = 0;
    ASSERT_TRUE(Platform::SeekFile(in, 3, 0, at));
    EXPECT_EQ(at, 3u);
    ASSERT_TRUE(Platform::SeekFile(in, 2, 1, at));
    EXPECT_EQ(at, 5u);
    ASSERT_TRUE(Platform::SeekFile(in, -4, 2, at));
    EXPECT_EQ(at, 6u);
    char c = 0;
    uint32_t got = 0;
    ASSERT_TRUE(Platform::ReadFile(in, &c, 1, got));
    EXPECT_EQ(c, '6');
    // Any origin other than 0 and 2 counts from the current position.
    ASSERT_TRUE(Platform::SeekFile(in, -1, 7, at));
    EXPECT_EQ(at, 6u);
    // Before the start fails and leaves the position where it was.
    at = 1234;
    EXPECT_FALSE(Platform::SeekFile(in, -20, 1, at));
    ASSERT_TRUE(Platform::SeekFile(in, 0, 1, at));
    EXPECT_EQ(at, 6u);
    // Past the end is allowed; reading there delivers nothing.
    ASSERT_TRUE(Platform::SeekFile(in, 100, 2, at));
    EXPECT_EQ(at, 110u);
    ASSERT_TRUE(Platform::ReadFile(in, &c, 1, got));
    EXPECT_EQ(got, 0u);
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

TEST_F(PlatformTest, ModifyTimeInWholeSecondsSince1970) {
    Put("Stamp.cas", "x");
    using namespace std::chrono;
    auto stamp = sys_seconds(seconds(1700000000)) + milliseconds(999);
    fs::last_write_time("Stamp.cas", file_clock::from_sys(stamp));
    uint64_t seconds = 0;
    ASSERT_TRUE(Platform::GetFileModifyTime("Stamp.cas", seconds));
    EXPECT_EQ(seconds, 1700000000u) << "fractions of a second are dropped";
    EXPECT_EQ(Assembler::GetFileModifyTime("Stamp.cas"), 1700000000u);

    EXPECT_FALSE(Platform::GetFileModifyTime("Missing.cas", seconds));
    EXPECT_EQ(Assembler::GetFileModifyTime("Missing.cas"), 0u);
    fs::create_directory("Folder.cas");
    EXPECT_EQ(Assembler::GetFileModifyTime("Folder.cas"), 0u);

    // The file is closed again: it can be removed at once (Windows refuses
    // to delete an open file).
    std::error_code ec;
    EXPECT_TRUE(fs::remove("Stamp.cas", ec)) << ec.message();
}

TEST_F(PlatformTest, PathFormOfAnObjectNameReachesSubdirectories) {
    HxTArray<char> name;
    Assembler::MakePathFormName("a:b:Obj", ".cas", name);
#if defined(_WIN32)
    const std::string expected = "a\\b\\Obj.cas";
#else
    const std::string expected = "a/b/Obj.cas";
#endif
    EXPECT_EQ(std::string(name.Data()), expected);

    // The store finds a\b\Obj.cas (a/b/Obj.cas) before the short name.
    Put("a/b/Obj.cas", "deep");
    Put("Obj.cas", "flat");
    HxTSmartPointer<HxScript::IStore> in(new Assembler::AssemblyDiskSource_Win32());
    ASSERT_TRUE(in->Open("a:b:Obj"));
    EXPECT_EQ(std::string(in->GetFileName().text()), expected);
    char text[4] = {};
    ASSERT_EQ(in->Read(4, text), StorageResult::Success);
    EXPECT_EQ(std::string(text, 4), "deep");
    in->Close();
}

TEST(PlatformIdentity, UserNameFitsExactlyOrFails) {
    char name[257] = {};
    ASSERT_TRUE(Platform::GetUserName(name, sizeof(name)));
    const std::string user = name;
    ASSERT_FALSE(user.empty());
    // Room for the name and its terminator is enough; one byte less is not,
    // and a failed query never leaves a cut name behind.
    std::string exact(user.size() + 1, '#');
    EXPECT_TRUE(Platform::GetUserName(exact.data(), static_cast<uint32_t>(exact.size())));
    EXPECT_EQ(std::string(exact.c_str()), user);
    std::string shorter(user.size(), '#');
    EXPECT_FALSE(Platform::GetUserName(shorter.data(), static_cast<uint32_t>(shorter.size())));
    EXPECT_EQ(shorter, std::string(user.size(), '#'));
    EXPECT_EQ(std::string(Assembler::GetCurrentUserName().text()), user);
}

TEST(PlatformIdentity, ComputerNameWithinFifteenCharacters) {
    char name[16] = {};
    if (Platform::GetComputerName(name, sizeof(name))) {
        const std::string computer = name;
        EXPECT_FALSE(computer.empty());
        EXPECT_LE(computer.size(), 15u);
        EXPECT_EQ(std::string(Assembler::GetCurrentComputerName().text()), computer);
    } else {
        EXPECT_STREQ(Assembler::GetCurrentComputerName().text(), "<unknown computer>");
    }
    EXPECT_FALSE(Platform::GetComputerName(name, 0));
}

TEST(PlatformClock, LocalTimeTextAcrossTheWholeRange) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    SetTimeZone("UTC");
    char text[25];
    // The very first second is a time like any other.
    ASSERT_TRUE(Platform::FormatLocalTime(0, text));
    EXPECT_STREQ(text, "Thu Jan 01 00:00:00 1970");
    ASSERT_TRUE(Platform::FormatLocalTime(1, text));
    EXPECT_STREQ(text, "Thu Jan 01 00:00:01 1970");
    // Days below ten keep their leading zero.
    ASSERT_TRUE(Platform::FormatLocalTime(1764944709 - 86400 * 2, text));
    EXPECT_STREQ(text, "Wed Dec 03 14:25:09 2025");
    ASSERT_TRUE(Platform::FormatLocalTime(951782400, text));
    EXPECT_STREQ(text, "Tue Feb 29 00:00:00 2000");
    ASSERT_TRUE(Platform::FormatLocalTime(32535215999, text));
    EXPECT_STREQ(text, "Wed Dec 31 23:59:59 3000");
    EXPECT_FALSE(Platform::FormatLocalTime(32535216000, text));
    EXPECT_FALSE(Platform::FormatLocalTime(-1, text));
    EXPECT_FALSE(Platform::FormatLocalTime(INT64_MIN, text));
    EXPECT_FALSE(Platform::FormatLocalTime(INT64_MAX, text));
    EXPECT_FALSE(Platform::FormatLocalTime(1, nullptr));
    SetTimeZone(old != nullptr ? saved.c_str() : nullptr);
}

TEST(PlatformThreads, ThreadIdsAreStablePerThreadAndDistinct) {
    const uint32_t mine = Platform::CurrentThreadId();
    EXPECT_EQ(Platform::CurrentThreadId(), mine);
    uint32_t other = mine;
    std::thread worker([&other] { other = Platform::CurrentThreadId(); });
    worker.join();
    EXPECT_NE(other, mine);
}

}  // namespace
