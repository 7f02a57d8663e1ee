#include "recovery/carving/formats/TIFFMetadata.h"

#include "tests/fixtures/TiffBuilder.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::TiffBuilder;

// A one-directory file with the given byte order and magic, its first-directory offset overridden.
Bytes header(TiffBuilder::Order order, std::uint16_t magic, std::optional<std::uint32_t> first = {},
             std::size_t size = 64) {
    TiffBuilder tiff(order, magic);
    tiff.addSize(tiff.addDirectory(), 1, 1);
    if (first) tiff.setFirstDirectoryOffsetOverride(*first);
    Bytes bytes = tiff.build();
    bytes.resize(std::max(size, bytes.size()));
    return bytes;
}

constexpr auto little = TiffBuilder::Order::little;
constexpr auto big = TiffBuilder::Order::big;

TEST(TIFFMetadata, SingleDirectoryWithOneStrip) {
    TiffBuilder tiff;
    const auto ifd = tiff.addDirectory();
    tiff.addSize(ifd, 4000, 3000);
    tiff.addStrip(ifd, 500);
    const Bytes bytes = tiff.build();
    EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{4000, 3000}));
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), tiff.blobOffset(0) + 500);
    EXPECT_TRUE(TIFFMetadata::looksValid(bytes));
    // The estimate may lie past the buffer: the strip's end is what the directory states.
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(ByteView(bytes).first(tiff.blobOffset(0))), bytes.size());
}

TEST(TIFFMetadata, HeaderRules) {
    EXPECT_TRUE(TIFFMetadata::dimensions(header(little, 42)));
    EXPECT_TRUE(TIFFMetadata::dimensions(header(big, 42)));
    Bytes mixed = header(little, 42);
    mixed[1] = 'M';
    EXPECT_FALSE(TIFFMetadata::dimensions(mixed));
    EXPECT_FALSE(TIFFMetadata::dimensions(header(little, 43)));
    EXPECT_TRUE(TIFFMetadata::dimensions(header(little, 0x4F52)));  // "IIRO"
    EXPECT_TRUE(TIFFMetadata::dimensions(header(big, 0x4F52)));     // "MMOR"
    EXPECT_TRUE(TIFFMetadata::dimensions(header(little, 0x5352)));  // "IIRS"
    EXPECT_FALSE(TIFFMetadata::dimensions(header(big, 0x5352)));
    EXPECT_FALSE(TIFFMetadata::dimensions(header(little, 42, 4)));
    EXPECT_FALSE(TIFFMetadata::dimensions(header(little, 42, 1'048'576, 1'048'600)));
    // The first directory's count and first entry start must lie in the buffer.
    EXPECT_FALSE(TIFFMetadata::dimensions(header(little, 42, 60)));
    EXPECT_FALSE(TIFFMetadata::dimensions(ByteView(header(little, 42)).first(7)));
}

TEST(TIFFMetadata, InvalidDirectories) {
    for (const std::uint32_t entries : {0u, 513u}) {
        TiffBuilder tiff;
        const auto ifd = tiff.addDirectory();
        tiff.addSize(ifd, 10, 10);
        Bytes bytes = tiff.build();
        bytes.resize(bytes.size() + 12 * 513);
        bytes[8] = static_cast<std::uint8_t>(entries);
        bytes[9] = static_cast<std::uint8_t>(entries >> 8);
        EXPECT_FALSE(TIFFMetadata::dimensions(bytes)) << entries;
    }
    TiffBuilder badType;
    const auto ifd = badType.addDirectory();
    badType.addSize(ifd, 10, 10);
    badType.addRawEntry(ifd, 700, 13, 1, 0);
    EXPECT_FALSE(TIFFMetadata::dimensions(badType.build()));
}

TEST(TIFFMetadata, ValuesPastTheBuffer) {
    TiffBuilder strips;
    auto ifd = strips.addDirectory();
    strips.addSize(ifd, 10, 10);
    strips.addRawEntry(ifd, 273, 4, 4, 100'000);
    strips.addLongs(ifd, 279, {1, 1, 1, 1});
    EXPECT_FALSE(TIFFMetadata::dimensions(strips.build()));

    TiffBuilder make;
    ifd = make.addDirectory();
    make.addSize(ifd, 10, 10);
    make.addRawEntry(ifd, 271, 2, 1000, 100'000);
    make.addStrip(ifd, 100);
    const Bytes bytes = make.build();
    EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{10, 10}));
    EXPECT_FALSE(TIFFMetadata::makeString(bytes));
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), 101'000u);
}

TEST(TIFFMetadata, WalksChainsAndSubDirectoriesOnce) {
    TiffBuilder tiff(TiffBuilder::Order::big);
    const auto thumbnail = tiff.addDirectory();
    const auto main = tiff.addDirectory();
    const auto preview = tiff.addDirectory();
    tiff.addSize(thumbnail, 160, 120);
    tiff.addStrip(thumbnail, 64);
    tiff.addSize(main, 6000, 4000);
    tiff.addSize(preview, 1620, 1080);
    tiff.addStrip(preview, 300);
    tiff.addSubIFDs(thumbnail, {main});
    tiff.setNext(thumbnail, preview);
    tiff.setNext(preview, thumbnail);  // loops back to the first
    const Bytes bytes = tiff.build();
    EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{6000, 4000}));
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), bytes.size());
}

TEST(TIFFMetadata, EqualAreasKeepTheEarlierDirectory) {
    TiffBuilder tiff;
    const auto first = tiff.addDirectory();
    const auto second = tiff.addDirectory();
    tiff.addSize(first, 200, 100);
    tiff.addSize(second, 100, 200);
    tiff.setNext(first, second);
    EXPECT_EQ(TIFFMetadata::dimensions(tiff.build()), (ImageDimensions{200, 100}));
}

TEST(TIFFMetadata, LengthNeedsSizeAndImageData) {
    TiffBuilder noData;
    noData.addSize(noData.addDirectory(), 100, 100);
    EXPECT_FALSE(TIFFMetadata::estimatedFileLength(noData.build()));

    TiffBuilder noSize;
    noSize.addStrip(noSize.addDirectory(), 100);
    EXPECT_FALSE(TIFFMetadata::estimatedFileLength(noSize.build()));

    // An embedded JPEG counts as image data; its end is the estimate.
    TiffBuilder jpeg;
    const auto ifd = jpeg.addDirectory();
    jpeg.addSize(ifd, 100, 100);
    jpeg.addLongs(ifd, 513, {5000});
    jpeg.addLongs(ifd, 514, {2000});
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(jpeg.build()), 7000u);
}

TEST(TIFFMetadata, MakeText) {
    TiffBuilder tiff;
    const auto ifd = tiff.addDirectory();
    tiff.addAscii(ifd, 271, "NIKON CORPORATION");
    EXPECT_EQ(TIFFMetadata::makeString(tiff.build()), "NIKON CORPORATION");

    TiffBuilder shortMake(TiffBuilder::Order::big);
    tiff.addAscii(shortMake.addDirectory(), 271, "abc");
    shortMake.addAscii(0, 271, "Ab\0");
    EXPECT_EQ(TIFFMetadata::makeString(shortMake.build()), "Ab");

    TiffBuilder highByte;
    highByte.addAscii(highByte.addDirectory(), 271, "Caf\xC3\xA9");
    EXPECT_FALSE(TIFFMetadata::makeString(highByte.build()));
}

TEST(TIFFMetadata, SidesOutsideTheRangeAreIgnored) {
    TiffBuilder tiff;
    const auto wide = tiff.addDirectory();
    const auto small = tiff.addDirectory();
    tiff.addLongs(wide, 256, {70'000});
    tiff.addLongs(wide, 257, {10});
    tiff.addSize(small, 20, 20);
    tiff.setNext(wide, small);
    EXPECT_EQ(TIFFMetadata::dimensions(tiff.build()), (ImageDimensions{20, 20}));
}

TEST(TIFFMetadata, CraftedDirectoriesStayBounded) {
    // Every directory links to all the others as SubIFDs (so each is reachable many times) and claims
    // strip arrays of the largest count accepted, all inside the buffer. Unbounded, the walk would read
    // 10^9 values; bounded, it ends with the sixteen directories' result.
    TiffBuilder tiff;
    std::vector<std::size_t> directories;
    for (int i = 0; i < 40; ++i) directories.push_back(tiff.addDirectory());
    for (std::size_t d : directories) {
        tiff.addSize(d, 100, 100);
        tiff.addSubIFDs(d, directories);
        tiff.addRawEntry(d, 273, 1, 15'999'999, 8);
        tiff.addRawEntry(d, 279, 1, 15'999'999, 8);
    }
    Bytes bytes = tiff.build();
    bytes.resize(16'000'000 + 16);
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), 16'000'007u);
    EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{100, 100}));
}

} // namespace
} // namespace vantrel
