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

namespace {

HxTSmartPointer<TestSupport::MemoryOutput> OpenOutput() {
    HxTSmartPointer<TestSupport::MemoryOutput> out(new TestSupport::MemoryOutput());
    out->Open("Test");
    return out;
}

HxTSmartPointer<TestSupport::MemorySource> OpenSource(Bytes bytes) {
    HxTSmartPointer<TestSupport::MemorySource> in(new TestSupport::MemorySource(std::move(bytes)));
    in->Open("Test");
    return in;
}

}  // namespace

TEST(StorageIOEncoding, EveryWidthIsWrittenLittleEndian) {
    auto out = OpenOutput();
    ASSERT_EQ(WriteU8(*out, 0xAB), StorageResult::Success);
    ASSERT_EQ(WriteU16(*out, 0x1234), StorageResult::Success);
    ASSERT_EQ(WriteU32(*out, 0x12345678u), StorageResult::Success);
    ASSERT_EQ(WriteI32(*out, -2), StorageResult::Success);
    ASSERT_EQ(WriteU64(*out, 0x0102030405060708ull), StorageResult::Success);
    ASSERT_EQ(WriteI64(*out, std::numeric_limits<int64_t>::min()), StorageResult::Success);
    ASSERT_EQ(WriteF32(*out, 1.0f), StorageResult::Success);
    ASSERT_EQ(WriteF32(*out, -2.5f), StorageResult::Success);
    ASSERT_EQ(WriteBool(*out, true), StorageResult::Success);
    ASSERT_EQ(WriteBool(*out, false), StorageResult::Success);
    EXPECT_EQ(out->Bytes(), (Bytes{0xAB,                                            //
                                   0x34, 0x12,                                      //
                                   0x78, 0x56, 0x34, 0x12,                          //
                                   0xFE, 0xFF, 0xFF, 0xFF,                          //
                                   0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  //
                                   0, 0, 0, 0, 0, 0, 0, 0x80,                       //
                                   0x00, 0x00, 0x80, 0x3F,                          //
                                   0x00, 0x00, 0x20, 0xC0,                          //
                                   0x01, 0x00}));
}

TEST(StorageIOEncoding, ValuesReadBackFromTheirBytes) {
    auto in = OpenSource(Bytes{0xAB, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0x08, 0x07, 0x06,
                               0x05, 0x04, 0x03, 0x02, 0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0x00, 0x00, 0x20, 0xC0, 0x02});
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    int32_t i32;
    uint64_t u64;
    int64_t i64;
    float f;
    bool b;
    ASSERT_EQ(ReadU8(*in, u8), StorageResult::Success);
    ASSERT_EQ(ReadU16(*in, u16), StorageResult::Success);
    ASSERT_EQ(ReadU32(*in, u32), StorageResult::Success);
    ASSERT_EQ(ReadI32(*in, i32), StorageResult::Success);
    ASSERT_EQ(ReadU64(*in, u64), StorageResult::Success);
    ASSERT_EQ(ReadI64(*in, i64), StorageResult::Success);
    ASSERT_EQ(ReadF32(*in, f), StorageResult::Success);
    ASSERT_EQ(ReadBool(*in, b), StorageResult::Success);
    EXPECT_EQ(u8, 0xAB);
    EXPECT_EQ(u16, 0x1234);
    EXPECT_EQ(u32, 0x12345678u);
    EXPECT_EQ(i32, -2);
    EXPECT_EQ(u64, 0x8102030405060708ull);
    EXPECT_EQ(i64, -1);
    EXPECT_EQ(f, -2.5f);
    EXPECT_TRUE(b);

    // Past the end: the read fails and the value is the zero-filled one.
    EXPECT_EQ(ReadU32(*in, u32), StorageResult::Failure);
    EXPECT_EQ(u32, 0u);
}

TEST(StorageIOStrings, LengthPrefixWithoutTerminatorOrPadding) {
    auto out = OpenOutput();
    ASSERT_EQ(WriteString16(*out, "abc", 3), StorageResult::Success);
    ASSERT_EQ(WriteString16(*out, HxFixedString()), StorageResult::Success);
    ASSERT_EQ(WriteString16(*out, HxFixedString(static_cast<const char*>(nullptr))), StorageResult::Success);
    EXPECT_EQ(out->Bytes(), (Bytes{3, 0, 'a', 'b', 'c', 0, 0, 0, 0}));

    // Too long for a 16-bit length: refused without writing anything.
    std::string tooLong(65536, 'x');
    EXPECT_EQ(WriteString16(*out, tooLong.data(), 65536), StorageResult::Failure);
    EXPECT_EQ(out->Bytes().size(), 9u);
    std::string longest(65535, 'y');
    ASSERT_EQ(WriteString16(*out, longest.data(), 65535), StorageResult::Success);
    EXPECT_EQ(out->Bytes().size(), 9u + 2 + 65535);
    EXPECT_EQ(out->Bytes()[9], 0xFF);
    EXPECT_EQ(out->Bytes()[10], 0xFF);
}

TEST(StorageIOStrings, ReadingInternsTheTextAndReportsShortData) {
    Bytes bytes{3, 0, 'H', 'e', 'y', 0, 0, 4, 0, 0, 0, 'l', 'o', 'n', 'g'};
    std::string big(300, 'q');  // longer than the reader's stack buffer
    bytes.push_back(0x2C);
    bytes.push_back(0x01);
    bytes.insert(bytes.end(), big.begin(), big.end());
    bytes.push_back(9);  // announces 9 bytes of which only 2 follow
    bytes.push_back(0);
    bytes.push_back('a');
    bytes.push_back('b');
    auto in = OpenSource(bytes);

    HxFixedString text;
    ASSERT_EQ(ReadString16(*in, text), StorageResult::Success);
    EXPECT_STREQ(text.text(), "Hey");
    ASSERT_EQ(ReadString16(*in, text), StorageResult::Success);
    EXPECT_FALSE(text.IsEmpty());  // the interned "", not the null handle
    EXPECT_STREQ(text.text(), "");
    ASSERT_EQ(ReadString32(*in, text), StorageResult::Success);
    EXPECT_STREQ(text.text(), "long");
    ASSERT_EQ(ReadString16(*in, text), StorageResult::Success);
    EXPECT_EQ(std::string(text.text()), big);

    HxFixedString kept("kept");
    text = kept;
    EXPECT_EQ(ReadString16(*in, text), StorageResult::Failure);
    EXPECT_TRUE(in->IsEndOfFile());
    EXPECT_EQ(ReadString16(*in, text), StorageResult::Failure);  // the length read fails now
}

TEST(StorageIOBuffered, ValuesGoThroughTheBufferAndFlushWhenFull) {
    auto out = OpenOutput();
    ASSERT_TRUE(out->SetWriteBuffer(8));
    ASSERT_TRUE(out->IsBuffered());
    ASSERT_EQ(WriteU32(*out, 0x11111111u), StorageResult::Success);
    ASSERT_EQ(WriteU32(*out, 0x22222222u), StorageResult::Success);
    EXPECT_TRUE(out->Bytes().empty());  // both still in the buffer
    ASSERT_EQ(WriteU16(*out, 0x3333), StorageResult::Success);
    EXPECT_EQ(out->Bytes().size(), 8u);  // the full buffer went out first
    ASSERT_EQ(out->FlushWriteBuffer(), StorageResult::Success);
    EXPECT_EQ(out->Bytes(), (Bytes{0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x22, 0x33, 0x33}));
    EXPECT_TRUE(out->IsBuffered());

    // A value larger than the whole buffer cannot be placed.
    EXPECT_EQ(WriteString16(*out, "123456789", 9), StorageResult::Failure);

    ASSERT_TRUE(out->SetWriteBuffer(0));
    EXPECT_FALSE(out->IsBuffered());
    ASSERT_EQ(WriteU8(*out, 0x44), StorageResult::Success);
    EXPECT_EQ(out->Bytes().back(), 0x44);
}

TEST(StorageIOBuffered, AFailedFlushIsReported) {
    auto out = OpenOutput();
    out->FailAfter(6);
    ASSERT_TRUE(out->SetWriteBuffer(4));
    ASSERT_EQ(WriteU32(*out, 1), StorageResult::Success);
    ASSERT_EQ(WriteU32(*out, 2), StorageResult::Success);  // flushes the first 4 bytes
    EXPECT_EQ(WriteU32(*out, 3), StorageResult::Failure);  // flushing the second fails
    EXPECT_FALSE(out->IsGood());
}

TEST(StorageIOUnbuffered, AFailingStoreFailsTheValue) {
    auto out = OpenOutput();
    out->FailAfter(3);
    EXPECT_EQ(WriteU16(*out, 1), StorageResult::Success);
    EXPECT_EQ(WriteU16(*out, 2), StorageResult::Failure);
    EXPECT_EQ(WriteString16(*out, "x", 1), StorageResult::Failure);
}
