// The disk stores: buffering that behaves as if every call went to the file,
// the end-of-file and failure rules, and the file names of object names.
// (Modification times, the clock and user and computer names are tested with
// the platform layer; write failures on a full disk through the whole tool.)

#include <gtest/gtest.h>

#include <unistd.h>  // POSIX only (mkdtemp): keeps this file out of the Windows build

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HxSystem/HxTSmartPointer.h"
#include "tool/DiskStores.h"

namespace fs = std::filesystem;
using namespace Assembler;

namespace {

using Input = HxTSmartPointer<HxScript::IStore>;
using Output = HxTSmartPointer<CodeGen::IOutput>;

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
        if (fs::path(name).has_parent_path()) fs::create_directories(fs::path(name).parent_path());
        std::ofstream(name, std::ios::binary) << bytes;
    }
    static std::string ReadFile(const std::string& name) {
        std::ostringstream s;
        s << std::ifstream(name, std::ios::binary).rdbuf();
        return s.str();
    }

    fs::path previous_, dir_;
};

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

}  // namespace

TEST_F(DiskStoreTest, ReadingExactlyTheRestSucceedsAndAnyShortReadEndsTheStore) {
    WriteFile("Obj.cas", "abcdef");
    Input in(new AssemblyDiskSource_Win32());
    ASSERT_TRUE(in->Open("Obj"));
    char buf[8];
    ASSERT_EQ(in->Read(6, buf), StorageResult::Success);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    EXPECT_FALSE(in->IsEndOfFile());
    EXPECT_EQ(in->GetPosition(), 6u);

    // A short read keeps what arrived and zero-fills the rest of the count only.
    ASSERT_EQ(in->Seek(3, SeekOrigin::Begin), StorageResult::Success);
    std::memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(in->Read(5, buf), StorageResult::Failure);
    EXPECT_EQ(std::string(buf, 6), std::string("def\0\0x", 6));
    EXPECT_TRUE(in->IsEndOfFile());
    EXPECT_TRUE(in->IsGood());
    // From then on every read and seek fails.
    EXPECT_EQ(in->Seek(0, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_EQ(in->Read(1, buf), StorageResult::Failure);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(in->Read(0, buf), StorageResult::Failure);
}

TEST_F(DiskStoreTest, BufferedReadsAndSeeksMatchTheFileByteForByte) {
    const std::string data = Pattern(300000);
    WriteFile("Big.cex", data);
    Input in(new ByteCodeDiskSource_Win32());
    ASSERT_TRUE(in->Open("Big"));
    EXPECT_EQ(in->GetSize(), data.size());
    // Chunk sizes that straddle the internal buffer in every way.
    std::vector<char> buf(70000);
    uint64_t at = 0;
    for (uint32_t n : {1u, 7u, 65535u, 3u, 65536u, 70000u, 13u}) {
        ASSERT_EQ(in->Read(n, buf.data()), StorageResult::Success) << n;
        ASSERT_EQ(std::string(buf.data(), n), data.substr(at, n)) << n;
        ASSERT_EQ(in->GetPosition(), at += n);
    }
    // Relative seeks count from where the reader is, not from the file pointer;
    // any origin other than Begin and End is relative too.
    struct Step { int64_t offset; SeekOrigin origin; uint64_t expected; };
    for (const Step& s : {Step{-100, SeekOrigin::Current, at - 100}, Step{-10, SeekOrigin::End, data.size() - 10},
                          Step{5, SeekOrigin::Begin, 5}, Step{3, static_cast<SeekOrigin>(7), 10}}) {
        ASSERT_EQ(in->Seek(s.offset, s.origin), StorageResult::Success) << s.expected;
        EXPECT_EQ(in->GetPosition(), s.expected);
        ASSERT_EQ(in->Read(2, buf.data()), StorageResult::Success);
        EXPECT_EQ(std::string(buf.data(), 2), data.substr(s.expected, 2));
    }
    // A seek before the start fails and leaves the reader where it was.
    EXPECT_EQ(in->Seek(-1, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_TRUE(in->IsGood());
    ASSERT_EQ(in->Read(1, buf.data()), StorageResult::Success);
    EXPECT_EQ(buf[0], data[12]);
}

TEST_F(DiskStoreTest, InputFallsBackToTheShortFormAndNeverOpensDirectories) {
    WriteFile("Obj.cas", "short");
    fs::create_directories("a/b/Obj.cas");  // the path form, but not a file
    Input in(new AssemblyDiskSource_Win32());
    ASSERT_TRUE(in->Open("a:b:Obj"));
    EXPECT_STREQ(in->GetFileName().text(), "Obj.cas");
    char buf[5];
    ASSERT_EQ(in->Read(5, buf), StorageResult::Success);
    EXPECT_EQ(std::string(buf, 5), "short");
    EXPECT_TRUE(in->Open("Other"));  // opening again while open changes nothing
    EXPECT_STREQ(in->GetFileName().text(), "Obj.cas");

    // An input found nowhere as a file (its short form is a directory here) is
    // named by its short form and fails every data operation.
    fs::create_directory("Missing.cas");
    Input missing(new AssemblyDiskSource_Win32());
    EXPECT_FALSE(missing->Open("x:y:Missing"));
    EXPECT_FALSE(missing->IsOpen() || missing->IsGood());
    EXPECT_STREQ(missing->GetFileName().text(), "Missing.cas");
    buf[0] = 'q';
    EXPECT_EQ(missing->Read(2, buf), StorageResult::Failure);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(missing->Seek(0, SeekOrigin::Begin), StorageResult::Failure);
    EXPECT_EQ(missing->GetSize(), 0u);
    EXPECT_EQ(missing->GetPosition(), ~uint64_t(0));
    missing->Close();  // harmless on a store that never opened
}

TEST_F(DiskStoreTest, OutputReplacesTheShortFormFileAndBackPatchesThroughTheBuffer) {
    {
        Output dropped(new ByteCodeDiskOutput_Win32());
        ASSERT_TRUE(dropped->Open("Dropped"));
        ASSERT_EQ(dropped->Write(5, "hello"), StorageResult::Success);
    }  // dropping the last reference writes the buffered bytes
    EXPECT_EQ(ReadFile("Dropped.cex"), "hello");

    WriteFile("Patch.cex", std::string(200000, 'o'));  // a longer old content
    Output out(new ByteCodeDiskOutput_Win32());
    ASSERT_TRUE(out->Open("some:path:Patch"));
    EXPECT_STREQ(out->GetFileName().text(), "Patch.cex");
    ASSERT_EQ(out->Write(4, "SIZE"), StorageResult::Success);
    ASSERT_EQ(out->Write(6, "body.."), StorageResult::Success);
    EXPECT_EQ(out->GetPosition(), 10u);
    EXPECT_EQ(out->GetSize(), 10u);
    ASSERT_EQ(out->Seek(-10, SeekOrigin::Current), StorageResult::Success);
    ASSERT_EQ(out->Write(4, "0010"), StorageResult::Success);
    ASSERT_EQ(out->Seek(0, static_cast<SeekOrigin>(7)), StorageResult::Success);
    EXPECT_EQ(out->GetPosition(), 4u);
    ASSERT_EQ(out->Seek(0, SeekOrigin::End), StorageResult::Success);
    const std::string big = Pattern(150000);  // larger than the buffer: written through
    ASSERT_EQ(out->Write(static_cast<uint32_t>(big.size()), big.data()), StorageResult::Success);
    ASSERT_EQ(out->Write(1, "!"), StorageResult::Success);
    EXPECT_EQ(out->GetPosition(), 10u + big.size() + 1);
    EXPECT_EQ(out->Seek(-1, SeekOrigin::Begin), StorageResult::Failure);
    out->Close();
    EXPECT_TRUE(out->IsGood());
    EXPECT_FALSE(out->IsOpen());
    EXPECT_EQ(ReadFile("Patch.cex"), "0010body.." + big + "!");
    EXPECT_FALSE(fs::exists("some"));
}

TEST(DiskStoreNames, PathAndShortFormsOfObjectNames) {
    struct Case { bool path; const char* object; const char* extension; const char* file; };
    for (const Case& c : {Case{true, "a:b:MyScript", ".cas", "a/b/MyScript.cas"}, Case{true, "", ".cex", ".cex"},
                          Case{false, "a:b:MyScript", ".cas", "MyScript.cas"},
                          Case{false, "NoColon", ".cex", "NoColon.cex"}, Case{false, "Trailing:", ".cex", ".cex"}}) {
        HxTArray<char> name;
        (c.path ? MakePathFormName : MakeShortFormName)(c.object, c.extension, name);
        EXPECT_STREQ(name.Data(), c.file) << c.object;
    }
}
