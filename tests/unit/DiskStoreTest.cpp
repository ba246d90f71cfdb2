#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HxSystem/HxTSmartPointer.h"
#include "platform/Platform.h"
#include "tool/DiskStores.h"
#include "tool/SystemInfo.h"

namespace fs = std::filesystem;
using namespace Assembler;

namespace {

// Runs each test inside a fresh temporary directory, since the stores
// resolve names against the current directory.
class DiskStoreTest : public testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "corvel-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static void WriteFile(const std::string& name, const std::string& bytes) {
        fs::path p(name);
        if (p.has_parent_path()) fs::create_directories(p.parent_path());
        std::ofstream(name, std::ios::binary) << bytes;
    }
    static std::string ReadFile(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path previous_;
    fs::path dir_;
};

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

}  // namespace

TEST_F(DiskStoreTest, ReadingExactlyTheRestSucceedsAndTheNextReadHitsTheEnd) {
    WriteFile("Obj.cas", "abcdef");
    HxTSmartPointer<HxScript::IStore> in(new AssemblyDiskSource_Win32());
    ASSERT_TRUE(in->Open("Obj"));
    EXPECT_EQ(in->GetSize(), 6u);

    char buf[8];
    ASSERT_EQ(in->Read(6, buf), StorageResult::Success);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    EXPECT_FALSE(in->IsEndOfFile());
    EXPECT_EQ(in->GetPosition(), 6u);

    std::memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(in->Read(1, buf), StorageResult::Failure);
    EXPECT_TRUE(in->IsEndOfFile());
    EXPECT_EQ(buf[0], 0);  // zero-filled even though nothing arrived
    EXPECT_EQ(buf[1], 'x');
}

TEST_F(DiskStoreTest, AShortReadKeepsWhatArrivedZeroFillsTheRestAndStopsTheStore) {
    WriteFile("Obj.cex", "abc");
    HxTSmartPointer<HxScript::IStore> in(new ByteCodeDiskSource_Win32());
    ASSERT_TRUE(in->Open("Obj"));
    char buf[6];
    std::memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(in->Read(5, buf), StorageResult::Failure);
    EXPECT_EQ(std::string(buf, 6), std::string("abc\0\0x", 6));
    EXPECT_TRUE(in->IsEndOfFile());
    EXPECT_TRUE(in->IsGood());

    // After the end was reached every read and seek fails.
    EXPECT_EQ(in->Seek(0, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_EQ(in->Read(1, buf), StorageResult::Failure);
    EXPECT_EQ(in->Read(0, buf), StorageResult::Failure);
}

TEST_F(DiskStoreTest, BufferedReadsAndSeeksMatchTheFileByteForByte) {
    const std::string data = Pattern(300000);
    WriteFile("Big.cex", data);
    HxTSmartPointer<HxScript::IStore> in(new ByteCodeDiskSource_Win32());
    ASSERT_TRUE(in->Open("Big"));
    EXPECT_EQ(in->GetSize(), data.size());

    // Chunk sizes that straddle the internal buffer in every way.
    const uint32_t chunks[] = {1, 7, 65535, 3, 65536, 70000, 13};
    std::vector<char> buf(70000);
    uint64_t at = 0;
    for (uint32_t n : chunks) {
        ASSERT_EQ(in->Read(n, buf.data()), StorageResult::Success) << "chunk " << n;
        ASSERT_EQ(std::string(buf.data(), n), data.substr(at, n)) << "chunk " << n;
        at += n;
        ASSERT_EQ(in->GetPosition(), at);
    }

    // Relative seeks count from where the reader is, not from the file pointer.
    ASSERT_EQ(in->Seek(-100, SeekOrigin::Current), StorageResult::Success);
    ASSERT_EQ(in->Read(4, buf.data()), StorageResult::Success);
    EXPECT_EQ(std::string(buf.data(), 4), data.substr(at - 100, 4));
    ASSERT_EQ(in->Seek(-10, SeekOrigin::End), StorageResult::Success);
    EXPECT_EQ(in->GetPosition(), data.size() - 10);
    ASSERT_EQ(in->Read(10, buf.data()), StorageResult::Success);
    EXPECT_EQ(std::string(buf.data(), 10), data.substr(data.size() - 10));
    ASSERT_EQ(in->Seek(5, SeekOrigin::Begin), StorageResult::Success);
    ASSERT_EQ(in->Read(2, buf.data()), StorageResult::Success);
    EXPECT_EQ(std::string(buf.data(), 2), data.substr(5, 2));

    // Any origin other than Begin and End seeks from the current position.
    ASSERT_EQ(in->Seek(3, static_cast<SeekOrigin>(7)), StorageResult::Success);
    EXPECT_EQ(in->GetPosition(), 10u);

    // A seek before the start fails and leaves the reader where it was.
    EXPECT_EQ(in->Seek(-1, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_TRUE(in->IsGood());
    ASSERT_EQ(in->Read(1, buf.data()), StorageResult::Success);
    EXPECT_EQ(buf[0], data[10]);
}

TEST_F(DiskStoreTest, InputTriesThePathFormThenTheShortForm) {
    WriteFile("a/b/Obj.cas", "path");
    WriteFile("Obj.cas", "short");
    char buf[5];
    {
        HxTSmartPointer<HxScript::IStore> in(new AssemblyDiskSource_Win32());
        ASSERT_TRUE(in->Open("a:b:Obj"));
        EXPECT_STREQ(in->GetFileName().text(), "a/b/Obj.cas");
        ASSERT_EQ(in->Read(4, buf), StorageResult::Success);
        EXPECT_EQ(std::string(buf, 4), "path");
    }
    fs::remove("a/b/Obj.cas");
    HxTSmartPointer<HxScript::IStore> in(new AssemblyDiskSource_Win32());
    ASSERT_TRUE(in->Open("a:b:Obj"));
    EXPECT_STREQ(in->GetFileName().text(), "Obj.cas");
    ASSERT_EQ(in->Read(5, buf), StorageResult::Success);
    EXPECT_EQ(std::string(buf, 5), "short");
    // Opening again while open changes nothing.
    EXPECT_TRUE(in->Open("Other"));
    EXPECT_STREQ(in->GetFileName().text(), "Obj.cas");
}

TEST_F(DiskStoreTest, AMissingInputReportsTheShortFormNameAndFailsEveryDataOperation) {
    HxTSmartPointer<HxScript::IStore> in(new AssemblyDiskSource_Win32());
    EXPECT_FALSE(in->Open("x:y:Missing"));
    EXPECT_FALSE(in->IsOpen());
    EXPECT_FALSE(in->IsGood());
    EXPECT_STREQ(in->GetFileName().text(), "Missing.cas");
    char buf[2] = {'q', 'q'};
    EXPECT_EQ(in->Read(2, buf), StorageResult::Failure);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(in->Seek(0, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_EQ(in->GetSize(), 0u);
    EXPECT_EQ(in->GetPosition(), ~uint64_t(0));
    in->Close();  // harmless on a store that never opened
}

TEST_F(DiskStoreTest, DirectoriesNeverOpenAsFiles) {
    fs::create_directory("Dir.cas");
    fs::create_directory("Out.cex");
    HxTSmartPointer<HxScript::IStore> in(new AssemblyDiskSource_Win32());
    EXPECT_FALSE(in->Open("Dir"));
    HxTSmartPointer<CodeGen::IOutput> out(new ByteCodeDiskOutput_Win32());
    EXPECT_FALSE(out->Open("Out"));
    EXPECT_FALSE(out->IsGood());
    EXPECT_STREQ(out->GetFileName().text(), "Out.cex");
    EXPECT_EQ(out->Write(1, "x"), StorageResult::Failure);
}

TEST_F(DiskStoreTest, OutputReplacesAnExistingFileInTheCurrentDirectory) {
    WriteFile("Obj.cex", "a much longer old content");
    {
        HxTSmartPointer<CodeGen::IOutput> out(new ByteCodeDiskOutput_Win32());
        ASSERT_TRUE(out->Open("some:path:Obj"));
        EXPECT_STREQ(out->GetFileName().text(), "Obj.cex");
        ASSERT_EQ(out->Write(3, "new"), StorageResult::Success);
        out->Close();
        EXPECT_TRUE(out->IsGood());
        EXPECT_FALSE(out->IsOpen());
    }
    EXPECT_EQ(ReadFile("Obj.cex"), "new");
    EXPECT_FALSE(fs::exists("some"));

    HxTSmartPointer<CodeGen::IOutput> text(new AssemblyDiskOutput_Win32());
    ASSERT_TRUE(text->Open("Obj.disassemble"));
    EXPECT_STREQ(text->GetFileName().text(), "Obj.disassemble.cas");
}

TEST_F(DiskStoreTest, OutputPositionsCountBufferedBytesAndBackPatchingWorks) {
    HxTSmartPointer<CodeGen::IOutput> out(new ByteCodeDiskOutput_Win32());
    ASSERT_TRUE(out->Open("Patch"));
    ASSERT_EQ(out->Write(4, "SIZE"), StorageResult::Success);
    ASSERT_EQ(out->Write(6, "body.."), StorageResult::Success);
    EXPECT_EQ(out->GetPosition(), 10u);
    EXPECT_EQ(out->GetSize(), 10u);
    ASSERT_EQ(out->Seek(-10, SeekOrigin::Current), StorageResult::Success);
    ASSERT_EQ(out->Write(4, "0010"), StorageResult::Success);
    EXPECT_EQ(out->GetPosition(), 4u);
    ASSERT_EQ(out->Seek(0, static_cast<SeekOrigin>(7)), StorageResult::Success);
    ASSERT_EQ(out->Seek(0, SeekOrigin::End), StorageResult::Success);
    const std::string big = Pattern(150000);  // larger than the buffer: written through
    ASSERT_EQ(out->Write(static_cast<uint32_t>(big.size()), big.data()), StorageResult::Success);
    ASSERT_EQ(out->Write(1, "!"), StorageResult::Success);
    EXPECT_EQ(out->GetPosition(), 10u + big.size() + 1);
    EXPECT_EQ(out->Seek(-1, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_TRUE(out->IsGood());
    out->Close();
    EXPECT_TRUE(out->IsGood());
    EXPECT_EQ(ReadFile("Patch.cex"), "0010body.." + big + "!");
}

TEST_F(DiskStoreTest, DroppingTheLastReferenceWritesTheBufferedBytes) {
    {
        HxTSmartPointer<CodeGen::IOutput> out(new ByteCodeDiskOutput_Win32());
        ASSERT_TRUE(out->Open("Dropped"));
        ASSERT_EQ(out->Write(5, "hello"), StorageResult::Success);
    }
    EXPECT_EQ(ReadFile("Dropped.cex"), "hello");
}

TEST_F(DiskStoreTest, UnsupportedDirectionsChangeNothing) {
    WriteFile("Obj.cas", "data");
    HxTSmartPointer<HxScript::IStore> in(new AssemblyDiskSource_Win32());
    ASSERT_TRUE(in->Open("Obj"));
    EXPECT_EQ(in->Write(2, "zz"), StorageResult::Unsupported);
    EXPECT_EQ(ReadFile("Obj.cas"), "data");

    HxTSmartPointer<CodeGen::IOutput> out(new AssemblyDiskOutput_Win32());
    ASSERT_TRUE(out->Open("Out"));
    char buf[3] = {'k', 'k', 'k'};
    EXPECT_EQ(out->Read(3, buf), StorageResult::Unsupported);
    EXPECT_EQ(std::string(buf, 3), "kkk");
    EXPECT_TRUE(out->IsGood());
}

TEST_F(DiskStoreTest, AWriteFailureSurfacesAtTheFlushAndAtClose) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    fs::create_symlink("/dev/full", "Full.cex");
    fs::create_symlink("/dev/full", "Seek.cex");
    fs::create_symlink("/dev/full", "Large.cex");

    // Buffered bytes fail at Close: the store is no longer good.
    HxTSmartPointer<CodeGen::IOutput> out(new ByteCodeDiskOutput_Win32());
    ASSERT_TRUE(out->Open("Full"));
    EXPECT_EQ(out->Write(100, Pattern(100).data()), StorageResult::Success);
    out->Close();
    EXPECT_FALSE(out->IsGood());

    // ...and at a Seek, which then fails, as does every later write.
    HxTSmartPointer<CodeGen::IOutput> seek(new ByteCodeDiskOutput_Win32());
    ASSERT_TRUE(seek->Open("Seek"));
    EXPECT_EQ(seek->Write(4, "abcd"), StorageResult::Success);
    EXPECT_EQ(seek->Seek(0, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_FALSE(seek->IsGood());
    EXPECT_EQ(seek->Write(1, "x"), StorageResult::Failure);
    EXPECT_EQ(seek->GetPosition(), ~uint64_t(0));

    // A write larger than the buffer fails at once.
    HxTSmartPointer<CodeGen::IOutput> large(new ByteCodeDiskOutput_Win32());
    ASSERT_TRUE(large->Open("Large"));
    const std::string big = Pattern(DiskOutput_Win32::kBufferSize + 1);
    EXPECT_EQ(large->Write(static_cast<uint32_t>(big.size()), big.data()), StorageResult::Failure);
    EXPECT_FALSE(large->IsGood());
}

TEST_F(DiskStoreTest, FileNameFormsOfObjectNames) {
    HxTArray<char> name;
    MakePathFormName("a:b:MyScript", ".cas", name);
    EXPECT_STREQ(name.Data(), "a/b/MyScript.cas");
    MakeShortFormName("a:b:MyScript", ".cas", name);
    EXPECT_STREQ(name.Data(), "MyScript.cas");
    MakeShortFormName("NoColon", ".cex", name);
    EXPECT_STREQ(name.Data(), "NoColon.cex");
    MakeShortFormName("Trailing:", ".cex", name);
    EXPECT_STREQ(name.Data(), ".cex");
    MakePathFormName("", ".cex", name);
    EXPECT_STREQ(name.Data(), ".cex");
}

TEST_F(DiskStoreTest, FileModifyTimeInWholeSecondsSince1970) {
    WriteFile("Stamp.cas", "x");
    struct timespec times[2] = {{1700000000, 999999999}, {1700000000, 999999999}};
    ASSERT_EQ(::utimensat(AT_FDCWD, "Stamp.cas", times, 0), 0);
    EXPECT_EQ(GetFileModifyTime("Stamp.cas"), 1700000000u);
    EXPECT_EQ(GetFileModifyTime("Nothing.cas"), 0u);
    fs::create_directory("Folder.cas");
    EXPECT_EQ(GetFileModifyTime("Folder.cas"), 0u);
}

TEST(SystemInfo, NamesFitTheirBuffersOrFallBackWhole) {
    std::string computer = GetCurrentComputerName().text();
    EXPECT_TRUE(computer == "<unknown computer>" || (!computer.empty() && computer.size() <= 15)) << computer;
    // A buffer too small for the name is a failure, never a cut name.
    char tiny[2] = {'z', 'z'};
    EXPECT_FALSE(Platform::GetComputerName(tiny, 1));
    EXPECT_FALSE(Platform::GetUserName(tiny, 1));

    std::string user = GetCurrentUserName().text();
    EXPECT_FALSE(user.empty());
    EXPECT_LE(user.size(), 256u);
}

TEST(SystemInfo, LocalTimeTextInTheFixedFormAndItsRange) {
    const char* oldTz = std::getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    char text[25];
    ASSERT_TRUE(Platform::FormatLocalTime(0, text));
    EXPECT_STREQ(text, "Thu Jan 01 00:00:00 1970");
    ASSERT_TRUE(Platform::FormatLocalTime(1764944709, text));
    EXPECT_STREQ(text, "Fri Dec 05 14:25:09 2025");
    ASSERT_TRUE(Platform::FormatLocalTime(32535215999, text));
    EXPECT_STREQ(text, "Wed Dec 31 23:59:59 3000");
    EXPECT_FALSE(Platform::FormatLocalTime(32535216000, text));
    EXPECT_FALSE(Platform::FormatLocalTime(-1, text));
    if (oldTz) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}
