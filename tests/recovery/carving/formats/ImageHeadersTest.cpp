// PNG, GIF, BMP and RIFF header readers on crafted headers; real files are in SampleFilesTest.
#include "recovery/carving/formats/BMPMetadata.h"
#include "recovery/carving/formats/GIFMetadata.h"
#include "recovery/carving/formats/PNGMetadata.h"
#include "recovery/carving/formats/RIFFMetadata.h"

#include <gtest/gtest.h>

#include <climits>

namespace vantrel {
namespace {

void putLE(Bytes& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putBE(Bytes& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

Bytes pngHeader(std::uint32_t width, std::uint32_t height) {
    Bytes png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    png.resize(24);
    putBE(png, 16, width, 4);
    putBE(png, 20, height, 4);
    return png;
}

Bytes bmpHeader(std::uint32_t fileSize, std::uint32_t dibSize, std::uint32_t width, std::int32_t height,
                std::uint16_t bitsPerPixel = 24) {
    Bytes bmp(54, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    putLE(bmp, 2, fileSize, 4);
    putLE(bmp, 14, dibSize, 4);
    if (dibSize == 12) {
        putLE(bmp, 18, width, 2);
        putLE(bmp, 20, static_cast<std::uint32_t>(height), 2);
        putLE(bmp, 22, 1, 2);
        putLE(bmp, 24, bitsPerPixel, 2);
    } else {
        putLE(bmp, 18, width, 4);
        putLE(bmp, 22, static_cast<std::uint32_t>(height), 4);
        putLE(bmp, 26, 1, 2);
        putLE(bmp, 28, bitsPerPixel, 2);
    }
    return bmp;
}

TEST(PNGMetadata, ReadsTheHeaderChunk) {
    const Bytes png = pngHeader(1, 1);
    EXPECT_EQ(PNGMetadata::dimensions(png), (ImageDimensions{1, 1}));
    EXPECT_FALSE(PNGMetadata::dimensions(ByteView(png).first(23)));
    Bytes other = png;
    other[12] = 'i';
    EXPECT_FALSE(PNGMetadata::dimensions(other));
    EXPECT_FALSE(PNGMetadata::dimensions(pngHeader(0, 5)));
    // The largest sides are kept whole (no narrowing to 32-bit signed).
    EXPECT_EQ(PNGMetadata::dimensions(pngHeader(UINT32_MAX, UINT32_MAX)), (ImageDimensions{UINT32_MAX, UINT32_MAX}));
}

TEST(GIFMetadata, ReadsTheLogicalScreen) {
    Bytes gif{'G', 'I', 'F', '8', '7', 'a', 0x40, 0x01, 0xC8, 0x00};
    EXPECT_EQ(GIFMetadata::dimensions(gif), (ImageDimensions{320, 200}));
    gif[4] = '8';
    EXPECT_FALSE(GIFMetadata::dimensions(gif));
    gif[4] = '9';
    EXPECT_EQ(GIFMetadata::dimensions(gif), (ImageDimensions{320, 200}));
    gif[6] = gif[7] = 0;
    EXPECT_FALSE(GIFMetadata::dimensions(gif));
    EXPECT_FALSE(GIFMetadata::dimensions(ByteView(gif).first(9)));
}

TEST(BMPMetadata, FileLengthNeedsAPlausibleSizeAndHeader) {
    EXPECT_EQ(BMPMetadata::fileLength(bmpHeader(1000, 40, 100, 50)), 1000u);
    EXPECT_EQ(BMPMetadata::fileLength(bmpHeader(536'870'912, 124, 100, 50)), 536'870'912u);
    EXPECT_FALSE(BMPMetadata::fileLength(bmpHeader(536'870'913, 40, 100, 50)));
    EXPECT_FALSE(BMPMetadata::fileLength(bmpHeader(1000, 41, 100, 50)));
    const Bytes small = bmpHeader(53, 40, 4, 4);
    EXPECT_FALSE(BMPMetadata::fileLength(small));
    EXPECT_EQ(BMPMetadata::dimensions(small), (ImageDimensions{4, 4}));
    EXPECT_FALSE(BMPMetadata::looksValid(small));
}

TEST(BMPMetadata, TopDownHeightAndTheSizeCheck) {
    EXPECT_EQ(BMPMetadata::dimensions(bmpHeader(1000, 40, 100, -50)), (ImageDimensions{100, 50}));
    EXPECT_TRUE(BMPMetadata::looksValid(bmpHeader(1000, 40, 100, -50)));
    EXPECT_FALSE(BMPMetadata::dimensions(bmpHeader(600, 40, 100, -50)));
    EXPECT_FALSE(BMPMetadata::dimensions(bmpHeader(1000, 40, 100, 50, 2)));
    EXPECT_FALSE(BMPMetadata::dimensions(bmpHeader(1000, 40, 65'537, 50)));
    EXPECT_FALSE(BMPMetadata::dimensions(bmpHeader(1000, 40, 100, 0)));
    // INT32_MIN has no 32-bit magnitude; it is refused, not overflowed.
    EXPECT_FALSE(BMPMetadata::dimensions(bmpHeader(536'870'912, 40, 100, INT32_MIN)));
    EXPECT_EQ(BMPMetadata::dimensions(bmpHeader(536'870'912, 40, 65'536, -65'535, 1)), (ImageDimensions{65'536, 65'535}));
}

TEST(BMPMetadata, CoreHeaderHasSixteenBitSides) {
    EXPECT_EQ(BMPMetadata::dimensions(bmpHeader(200, 12, 10, 20)), (ImageDimensions{10, 20}));
    // The core header's sides are read without the planes and depth tests of the larger headers.
    EXPECT_EQ(BMPMetadata::dimensions(bmpHeader(200, 12, 10, 20, 3)), (ImageDimensions{10, 20}));
    EXPECT_FALSE(BMPMetadata::dimensions(ByteView(bmpHeader(200, 12, 10, 20)).first(25)));
}

TEST(RIFFMetadata, LengthIsChunkSizePlusHeader) {
    Bytes riff{'R', 'I', 'F', 'F', 3, 0, 0, 0, 'W', 'E', 'B', 'P'};
    EXPECT_FALSE(RIFFMetadata::fileLength(riff));
    riff[4] = 4;
    EXPECT_EQ(RIFFMetadata::fileLength(riff), 12u);
    putLE(riff, 4, UINT32_MAX, 4);
    EXPECT_EQ(RIFFMetadata::fileLength(riff), std::uint64_t{UINT32_MAX} + 8);
    riff[0] = 'X';
    EXPECT_FALSE(RIFFMetadata::fileLength(riff));
}

} // namespace
} // namespace vantrel
