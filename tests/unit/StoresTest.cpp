// The write buffer, the disk stores (buffered as if every call went to the file, end-of-file and failure
// rules, file names) and the system layer under them, run natively and, for Windows, under wine.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#if defined(__linux__) && defined(__GLIBC__)
#include <malloc.h>
#endif

#include "HxSystem/HxStorageIO.h"
#include "HxSystem/HxTSmartPointer.h"
#include "platform/Platform.h"
#include "support/MemoryStores.h"
#include "tool/DiskStores.h"
#include "tool/SystemInfo.h"

namespace fs = std::filesystem;
using namespace HxStorageIO;
constexpr StorageResult kOk = StorageResult::Success, kFailed = StorageResult::Failure;

namespace {

// Buffered, values wait until the buffer is full or flushed; a value larger
// than the buffer, or a failed flush, fails.
TEST(StorageIO, ValuesGoThroughTheWriteBuffer) {
    HxTSmartPointer<TestSupport::MemoryOutput> buffered(new TestSupport::MemoryOutput());
    buffered->Open("x");
    buffered->FailAfter(14);
    ASSERT_TRUE(buffered->SetWriteBuffer(8));
    const HxFixedString null(static_cast<const char*>(nullptr));
    EXPECT_TRUE(WriteU32(*buffered, 0x11111111u) == kOk && WriteString16(*buffered, null) == kOk);
    EXPECT_EQ(buffered->Bytes().size(), 0u);
    ASSERT_EQ(WriteI32(*buffered, -2), kOk);
    EXPECT_EQ(buffered->Bytes().size(), 6u);
    ASSERT_EQ(buffered->FlushWriteBuffer(), kOk);
    EXPECT_EQ(buffered->Text(), std::string("\x11\x11\x11\x11\0\0\xFE\xFF\xFF\xFF", 10));
    EXPECT_EQ(WriteString16(*buffered, "123456789", 9), kFailed);  // its length went out: 12 bytes now
    EXPECT_TRUE(WriteU32(*buffered, 1) == kOk && WriteU32(*buffered, 2) == kOk);
    EXPECT_EQ(WriteU32(*buffered, 3), kFailed);
    HxTSmartPointer<TestSupport::MemoryOutput> exact(new TestSupport::MemoryOutput());
    exact->Open("y");
    ASSERT_TRUE(exact->SetWriteBuffer(4));  // a value as long as the buffer fits once the buffer is flushed
    EXPECT_TRUE(WriteU16(*exact, 1) == kOk && WriteU32(*exact, 2) == kOk && exact->FlushWriteBuffer() == kOk);
    EXPECT_EQ(exact->Bytes().size(), 6u);
}

// Each test works in a fresh directory, since stores resolve names against it.
class DiskTest : public testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = fs::temp_directory_path() / ("corvel-disk-" + std::to_string(stamp));
        ASSERT_TRUE(fs::create_directory(dir_));
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static void Put(const fs::path& name, const std::string& bytes) { std::ofstream(name, std::ios::binary) << bytes; }

    fs::path previous_ = fs::current_path(), dir_;
};

using Input = HxTSmartPointer<HxScript::IStore>;
using Output = HxTSmartPointer<CodeGen::IOutput>;

TEST_F(DiskTest, ReadsMatchTheFileAndAShortReadEndsTheStore) {
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    Put("Big.cex", data);
    Input in(new Assembler::ByteCodeDiskSource_Win32());
    ASSERT_TRUE(in->Open("Big"));
    EXPECT_EQ(in->GetSize(), data.size());
    std::vector<char> buf(70000);
    uint64_t at = 0;
    for (uint32_t n : {1u, 7u, 65535u, 3u, 65536u, 70000u, 13u}) {  // straddling the buffer every way
        ASSERT_EQ(in->Read(n, buf.data()), kOk) << n;
        ASSERT_EQ(std::string(buf.data(), n), data.substr(at, n)) << n;
        ASSERT_EQ(in->GetPosition(), at += n);
    }
    // Relative seeks count from the reader, not from the file pointer, also
    // with an origin other than Begin and End; before the start is refused.
    const std::tuple<int64_t, SeekOrigin, uint64_t> seeks[] = {{-100, SeekOrigin::Current, at - 100}, {5, SeekOrigin::Begin, 5},
        {-10, SeekOrigin::End, data.size() - 10}, {3, SeekOrigin(7), data.size() - 5}, {-11, SeekOrigin::Begin, data.size() - 3}};
    for (const auto& [offset, origin, expected] : seeks) {
        EXPECT_EQ(in->Seek(offset, origin), offset == -11 ? kFailed : kOk);
        ASSERT_EQ(in->Read(2, buf.data()), kOk);
        EXPECT_EQ(std::string(buf.data(), 2), data.substr(expected, 2)) << offset;
    }
    // Exactly the rest succeeds; a short read keeps what arrived, zero-fills
    // the rest of its count only, and ends every later read and seek.
    ASSERT_TRUE(in->Seek(-6, SeekOrigin::End) == kOk && in->Read(6, buf.data()) == kOk && !in->IsEndOfFile());
    ASSERT_EQ(in->Seek(-3, SeekOrigin::End), kOk);
    std::memset(buf.data(), 'x', 8);
    EXPECT_EQ(in->Read(5, buf.data()), kFailed);
    EXPECT_EQ(std::string(buf.data(), 6), data.substr(data.size() - 3) + std::string("\0\0x", 3));
    EXPECT_TRUE(in->IsEndOfFile() && in->IsGood() && in->Seek(0, SeekOrigin::Begin) == kFailed);
    EXPECT_EQ(in->Read(1, buf.data()), kFailed);
    EXPECT_EQ(buf[0], 0);
}

TEST_F(DiskTest, InputTriesThePathFormThenTheShortFormAndOpensOnlyFiles) {
    fs::create_directories(fs::path("a") / "b" / "Obj.cas");  // the path form, but not a file
    Put(fs::path("a") / "b" / "Deep.cas", "deep");
    Put("Obj.cas", "short");
    for (const auto& [object, file] : {std::pair{"a:b:Deep", "a/b/Deep.cas"}, std::pair{"a:b:Obj", "Obj.cas"}}) {
        Input in(new Assembler::AssemblyDiskSource_Win32());
        ASSERT_TRUE(in->Open(object) && in->Open("Other"));  // opening again while open changes nothing
        EXPECT_EQ(fs::path(in->GetFileName().text()), fs::path(file).make_preferred());
        char text[4] = {};
        EXPECT_EQ(in->Read(4, text), kOk);
        EXPECT_EQ(std::string(text, 4), object[4] == 'D' ? "deep" : "shor");
    }
    // Found nowhere as a file: named by its short form, every data operation fails.
    fs::create_directory("Missing.cas");
    Input missing(new Assembler::AssemblyDiskSource_Win32());
    EXPECT_FALSE(missing->Open("x:y:Missing") || missing->IsOpen() || missing->IsGood());
    EXPECT_STREQ(missing->GetFileName().text(), "Missing.cas");
    char byte = 'q';
    EXPECT_TRUE(missing->Read(1, &byte) == kFailed && byte == 0 && missing->Seek(0, SeekOrigin::Begin) == kFailed);
    EXPECT_EQ(missing->GetSize() + missing->GetPosition(), ~uint64_t(0));
}

TEST_F(DiskTest, OutputReplacesTheShortFormFileAndBackPatchesThroughTheBuffer) {
    Put("Patch.cas", std::string(200000, 'o'));  // a longer old content
    Output out(new Assembler::AssemblyDiskOutput_Win32());
    ASSERT_TRUE(out->Open("some:path:Patch"));
    EXPECT_STREQ(out->GetFileName().text(), "Patch.cas");
    ASSERT_EQ(out->Write(10, "SIZEbody.."), kOk);
    EXPECT_EQ(out->GetPosition() + out->GetSize(), 20u);
    ASSERT_TRUE(out->Seek(-10, SeekOrigin::Current) == kOk && out->Write(4, "0010") == kOk);
    ASSERT_EQ(out->Seek(0, SeekOrigin(7)), kOk);
    EXPECT_EQ(out->GetPosition(), 4u);
    const std::string big(150000, 'b');  // larger than the buffer: written through
    ASSERT_TRUE(out->Seek(0, SeekOrigin::End) == kOk && out->Write(150000, big.data()) == kOk && out->Write(1, "!") == kOk);
    EXPECT_EQ(out->GetPosition(), 10u + big.size() + 1);
    EXPECT_EQ(out->Seek(-1, SeekOrigin::Begin), kFailed);
    out->Close();
    EXPECT_TRUE(out->IsGood() && !out->IsOpen());
    std::ostringstream written;
    written << std::ifstream("Patch.cas", std::ios::binary).rdbuf();
    EXPECT_EQ(written.str(), "0010body.." + big + "!");
    EXPECT_FALSE(fs::exists("some"));
#if !defined(_WIN32)
    // A full disk refuses the buffered bytes when they are handed on: at the
    // next seek, or at closing, which leaves the store bad.
    if (!fs::exists("/dev/full")) return;
    fs::create_symlink("/dev/full", "Full.cex");
    for (bool seek : {true, false}) {
        Output full(new Assembler::ByteCodeDiskOutput_Win32());
        ASSERT_TRUE(full->Open("Full") && full->Write(4, "abcd") == kOk);
        EXPECT_EQ(seek ? full->Seek(-4, SeekOrigin::Current) : kFailed, kFailed);
        full->Close();
        EXPECT_FALSE(full->IsGood());
    }
#endif
}

TEST_F(DiskTest, PlatformCallsSeekInSixtyFourBitsAndGiveWholeSecondsAndNames) {
    Platform::FileHandle out = Platform::CreateForWriting("Far.cex");
    const uint64_t far = (uint64_t(5) << 30) + 3;
    uint64_t at = 0, back = 0;
    ASSERT_TRUE(Platform::SeekFile(out, static_cast<int64_t>(far), 0, at) && Platform::SeekFile(out, 1 - int64_t(far), 1, back));
    EXPECT_TRUE(at == far && back == 1);
    EXPECT_FALSE(Platform::SeekFile(out, -2, 1, at)) << "before the start";
    EXPECT_TRUE(Platform::CloseFile(out));
    using namespace std::chrono;
    fs::last_write_time("Far.cex", file_clock::from_sys(sys_seconds(seconds(1700000000)) + milliseconds(999)));
    EXPECT_EQ(Assembler::GetFileModifyTime("Far.cex"), 1700000000u) << "fractions of a second are dropped";
    EXPECT_EQ(Assembler::GetFileModifyTime("Missing.cex") + Assembler::GetFileModifyTime("."), 0u);
    EXPECT_TRUE(fs::remove("Far.cex"));  // closed again: Windows refuses to delete an open file

    char name[257] = {};
    ASSERT_TRUE(Platform::GetUserName(name, sizeof(name)));
    std::string user = name, shorter(user.size(), '#');
    EXPECT_FALSE(Platform::GetUserName(shorter.data(), static_cast<uint32_t>(user.size())));  // no room for the end
    EXPECT_EQ(shorter, std::string(user.size(), '#')) << "a failed query leaves no cut name behind";
    EXPECT_EQ(std::string(Assembler::GetCurrentUserName().text()), user);
    ASSERT_TRUE(Platform::GetComputerName(name, sizeof(name)));
    const std::string computer = name;
    EXPECT_FALSE(Platform::GetComputerName(name, static_cast<uint32_t>(computer.size())));
    EXPECT_STREQ(Assembler::GetCurrentComputerName().text(), computer.size() < 16 ? computer.c_str() : "<unknown computer>");

    char text[25];  // local time from 1970 up to the end of the year 3000
    for (int64_t seconds : {int64_t(0), int64_t(32535215999), int64_t(32535216000), int64_t(-1), INT64_MIN})
        EXPECT_EQ(Platform::FormatLocalTime(seconds, text) && std::strlen(text) == 24, seconds >= 0 && seconds < 32535216000);
}

#if defined(__linux__) && defined(__GLIBC__)
// The prepared heap is the room later blocks come from: it grows at once to
// hold the size asked for (here more than the library keeps in its heap in
// one block; free room at its top, left by earlier tests of this process,
// counts), and blocks of every size, a large one too, then fit in it without
// the heap growing again, and keep their bytes.
TEST(PreparedHeap, GrowsOnceAndHoldsTheBlocksThatFollow) {
    constexpr size_t kMiB = size_t(1) << 20, kRoom = 70 * kMiB;
    const size_t before = mallinfo2().arena, freeAtTop = mallinfo2().keepcost;
    if (before == 0) GTEST_SKIP() << "blocks come from a sanitizer's allocator, not the C library's heap";
    Platform::PrepareLargeHeap(kRoom);
    const size_t prepared = mallinfo2().arena;
    ASSERT_GE(prepared + freeAtTop, before + kRoom - kMiB);
    EXPECT_LT(prepared, before + kRoom + 4 * kMiB);
    std::vector<std::pair<unsigned char*, size_t>> blocks;
    size_t total = 0;
    uint32_t seed = 1;
    for (size_t size = 24 * kMiB; total + size < kRoom - 4 * kMiB; size = 16 + (seed >> 8) % 40000) {
        seed = seed * 1103515245u + 12345u;
        auto* block = static_cast<unsigned char*>(std::malloc(size));
        ASSERT_NE(block, nullptr);
        block[0] = block[size - 1] = static_cast<unsigned char>(blocks.size());
        blocks.emplace_back(block, size);
        total += size;
    }
    EXPECT_EQ(mallinfo2().arena, prepared) << blocks.size() << " blocks";
    for (size_t i = 0; i < blocks.size(); ++i) {
        const auto [block, size] = blocks[i];
        ASSERT_TRUE(block[0] == static_cast<unsigned char>(i) && block[size - 1] == block[0]) << i;
        std::free(block);
    }
}
#endif

}  // namespace
