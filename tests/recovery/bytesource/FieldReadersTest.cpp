#include "base/Bounds.h"
#include "recovery/bytesource/FieldReaders.h"

#include <gtest/gtest.h>

using namespace vantrel;
using namespace vantrel::FieldReader;

TEST(FieldReader, FieldsOutsideTheBufferReadAsZero) {
    const Bytes six{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    EXPECT_EQ(u32le(six, 3), 0u);
    EXPECT_EQ(u32le(six, 2), 0x06050403u);
    EXPECT_EQ(u16le(six, -1), 0u);
    EXPECT_EQ(u64le(six, 0), 0u);
    EXPECT_EQ(u32le(six, INT64_MAX), 0u);
    const Bytes five{0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(u32be(five, 2), 0u);
    EXPECT_EQ(u32be(five, 1), 0x02030405u);
    EXPECT_EQ(u16be(five, 3), 0x0405u);
    EXPECT_EQ(u8(five, 5), 0u);
    const Bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(u64be(eight, 0), 0x0102030405060708u);
    EXPECT_EQ(u64le(eight, 0), 0x0807060504030201u);
}

TEST(FieldReader, OffsetsCountFromTheStartOfASlice) {
    Bytes large(200, 0);
    large[100] = 0xAB;
    large[101] = 0xCD;
    const ByteView slice = ByteView(large).subspan(100, 50);
    EXPECT_EQ(u16le(slice, 0), 0xCDABu);
    EXPECT_EQ(u16le(slice, 49), 0u);  // the byte after the slice is not the slice's
    EXPECT_TRUE(matches(slice, 0, "\xAB\xCD"));
    EXPECT_FALSE(matches(slice, 49, std::string_view("\0\0", 2)));
}

TEST(Bounds, CheckedArithmeticRefusesOverflow) {
    EXPECT_TRUE(fitsWithin(10, 0, 10));
    EXPECT_FALSE(fitsWithin(11, 0, 10));
    EXPECT_FALSE(fitsWithin(5, UINT64_MAX, 10));
    EXPECT_FALSE(checkedAdd(UINT64_MAX, 1));
    EXPECT_EQ(checkedAdd(1, 2), 3u);
    EXPECT_FALSE(checkedMultiply(1ull << 33, 1ull << 31));
    EXPECT_EQ(checkedMultiply(0, UINT64_MAX), 0u);
}
