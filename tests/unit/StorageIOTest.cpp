// The primitive encoding, string reads and the optional write buffer (the
// last two are not used by the tool itself). The golden cases check the
// encoding inside whole compiled files.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "HxSystem/HxStorageIO.h"
#include "HxSystem/HxTSmartPointer.h"
#include "support/MemoryStores.h"

using namespace HxStorageIO;
using Bytes = std::vector<uint8_t>;
constexpr StorageResult kOk = StorageResult::Success, kFailed = StorageResult::Failure;

namespace {

HxTSmartPointer<TestSupport::MemoryOutput> OpenOutput(uint64_t failAfter = ~uint64_t(0)) {
    HxTSmartPointer<TestSupport::MemoryOutput> out(new TestSupport::MemoryOutput());
    out->Open("Test");
    out->FailAfter(failAfter);
    return out;
}

// The value a successful read gives.
template <typename T>
T Got(StorageResult (*read)(HxStorage&, T&), HxStorage& in) {
    T value{};
    EXPECT_EQ(read(in, value), kOk);
    return value;
}

}  // namespace

// The extremes the compiled files rarely hold: signs, the top bit of 64-bit
// values, negative floats, and any non-zero byte as true.
TEST(StorageIOEncoding, SignsAndTopBitsSurviveLittleEndian) {
    auto out = OpenOutput();
    for (StorageResult r : {WriteU16(*out, 0x1234), WriteI32(*out, -2), WriteU64(*out, 0x8102030405060708ull),
                            WriteI64(*out, std::numeric_limits<int64_t>::min()), WriteF32(*out, -2.5f),
                            WriteBool(*out, true), WriteBool(*out, false), WriteU8(*out, 2)})
        ASSERT_EQ(r, kOk);
    EXPECT_EQ(out->Bytes(), (Bytes{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x81,
                                   0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0x00, 0x20, 0xC0, 0x01, 0x00, 0x02}));
    TestSupport::MemorySource in(out->Bytes());
    in.Open("Test");
    EXPECT_EQ(Got(ReadU16, in), 0x1234);
    EXPECT_EQ(Got(ReadI32, in), -2);
    EXPECT_EQ(Got(ReadU64, in), 0x8102030405060708ull);
    EXPECT_EQ(Got(ReadI64, in), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(Got(ReadF32, in), -2.5f);
    EXPECT_EQ(std::vector<bool>({Got(ReadBool, in), Got(ReadBool, in), Got(ReadBool, in)}),
              std::vector<bool>({true, false, true}));
    uint32_t past = 7;  // past the end: the read fails and the value is the zero-filled one
    EXPECT_EQ(ReadU32(in, past), kFailed);
    EXPECT_EQ(past, 0u);
}

TEST(StorageIOStrings, LengthPrefixedAtMost65535AndReadBackInterned) {
    auto out = OpenOutput();
    ASSERT_EQ(WriteString16(*out, "abc", 3), kOk);
    ASSERT_EQ(WriteString16(*out, HxFixedString()), kOk);
    ASSERT_EQ(WriteString16(*out, HxFixedString(static_cast<const char*>(nullptr))), kOk);
    EXPECT_EQ(out->Bytes(), (Bytes{3, 0, 'a', 'b', 'c', 0, 0, 0, 0}));
    // Too long for the length: refused without writing anything.
    EXPECT_EQ(WriteString16(*out, std::string(65536, 'x').data(), 65536), kFailed);
    EXPECT_EQ(out->Bytes().size(), 9u);  // (65535 bytes are written by the hostile input tests)

    const std::string big(300, 'q');  // longer than the reader's stack buffer
    // The last string announces 9 bytes of which only 2 follow.
    const std::string raw = std::string("\x03\x00Hey\x00\x00\x04\x00\x00\x00long\x2C\x01", 17) + big +
                            std::string("\x09\x00" "ab", 4);
    TestSupport::MemorySource in(Bytes(raw.begin(), raw.end()));
    in.Open("Test");
    EXPECT_STREQ(Got(ReadString16, in).text(), "Hey");
    HxFixedString empty = Got(ReadString16, in);
    EXPECT_FALSE(empty.IsEmpty());  // the interned "", not the null handle
    EXPECT_STREQ(empty.text(), "");
    EXPECT_STREQ(Got(ReadString32, in).text(), "long");
    EXPECT_EQ(std::string(Got(ReadString16, in).text()), big);
    HxFixedString text;
    EXPECT_EQ(ReadString16(in, text), kFailed);
    EXPECT_TRUE(in.IsEndOfFile());
    EXPECT_EQ(ReadString16(in, text), kFailed);  // the length read fails now
}

TEST(StorageIOBuffered, ValuesGoThroughTheBufferWhichFlushesWhenFull) {
    auto out = OpenOutput();
    ASSERT_TRUE(out->SetWriteBuffer(8));
    ASSERT_EQ(WriteU32(*out, 0x11111111u), kOk);
    ASSERT_EQ(WriteU32(*out, 0x22222222u), kOk);
    EXPECT_TRUE(out->Bytes().empty());  // both still in the buffer
    ASSERT_EQ(WriteU16(*out, 0x3333), kOk);
    EXPECT_EQ(out->Bytes().size(), 8u);  // the full buffer went out first
    ASSERT_EQ(out->FlushWriteBuffer(), kOk);
    EXPECT_EQ(out->Bytes(), (Bytes{0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x22, 0x33, 0x33}));
    EXPECT_EQ(WriteString16(*out, "123456789", 9), kFailed);  // larger than the whole buffer
    ASSERT_TRUE(out->SetWriteBuffer(0));
    ASSERT_EQ(WriteU8(*out, 0x44), kOk);
    EXPECT_EQ(out->Bytes().back(), 0x44);  // unbuffered again

    // A store that fails while the buffer is flushed fails the value.
    auto failing = OpenOutput(6);
    ASSERT_TRUE(failing->SetWriteBuffer(4));
    ASSERT_EQ(WriteU32(*failing, 1), kOk);
    ASSERT_EQ(WriteU32(*failing, 2), kOk);      // flushes the first 4 bytes
    EXPECT_EQ(WriteU32(*failing, 3), kFailed);  // flushing the second fails
    EXPECT_FALSE(failing->IsGood());
}
