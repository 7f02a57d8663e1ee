#include "recovery/carving/formats/JPEGMetadata.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using Segment = std::initializer_list<std::uint8_t>;

void append(Bytes& bytes, Segment segment) { bytes.insert(bytes.end(), segment.begin(), segment.end()); }

// SOF0 with length 17: precision 8, the size, three components.
Bytes frameHeader(std::uint16_t width, std::uint16_t height) {
    return {0xFF, 0xC0, 0x00, 0x11, 0x08,
            static_cast<std::uint8_t>(height >> 8), static_cast<std::uint8_t>(height),
            static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(width),
            0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
}

void appendBytes(Bytes& bytes, const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }

// SOI, an APP1 segment holding a whole thumbnail stream, SOF0, DHT, SOS, scan data, EOI.
Bytes streamWithThumbnail() {
    Bytes thumbnail{0xFF, 0xD8};
    appendBytes(thumbnail, frameHeader(8, 8));
    append(thumbnail, {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x12, 0x34, 0xFF, 0xD9});
    Bytes jpeg{0xFF, 0xD8, 0xFF, 0xE1};
    const auto appLength = static_cast<std::uint16_t>(2 + 6 + thumbnail.size());
    append(jpeg, {static_cast<std::uint8_t>(appLength >> 8), static_cast<std::uint8_t>(appLength)});
    append(jpeg, {'E', 'x', 'i', 'f', 0, 0});
    appendBytes(jpeg, thumbnail);
    appendBytes(jpeg, frameHeader(640, 480));
    append(jpeg, {0xFF, 0xC4, 0x00, 0x05, 0x00, 0x01, 0x02});
    append(jpeg, {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    append(jpeg, {0x55, 0xFF, 0x00, 0xAA, 0xFF, 0xD0, 0x77, 0xFF, 0xD9});
    return jpeg;
}

TEST(JPEGMetadata, ReadsTheFirstFrameHeader) {
    Bytes jpeg{0xFF, 0xD8};
    appendBytes(jpeg, frameHeader(640, 480));
    EXPECT_EQ(JPEGMetadata::dimensions(jpeg), (ImageDimensions{640, 480}));
    // The segment must lie wholly in the buffer.
    jpeg.pop_back();
    EXPECT_FALSE(JPEGMetadata::dimensions(jpeg));
}

TEST(JPEGMetadata, PassesOverAFrameOfWidthZero) {
    Bytes jpeg{0xFF, 0xD8};
    appendBytes(jpeg, frameHeader(0, 480));
    appendBytes(jpeg, frameHeader(320, 200));
    EXPECT_EQ(JPEGMetadata::dimensions(jpeg), (ImageDimensions{320, 200}));
}

TEST(JPEGMetadata, AShortStreamHasNeitherSizeNorEnd) {
    const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_FALSE(JPEGMetadata::dimensions(jpeg));
    EXPECT_FALSE(JPEGMetadata::topLevelEndOffset(jpeg));
    EXPECT_FALSE(JPEGMetadata::dimensions(Bytes{0xFF, 0xD9, 0xFF, 0xD8, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(JPEGMetadata, EndsAfterTheOuterStreamNotTheThumbnail) {
    const Bytes jpeg = streamWithThumbnail();
    EXPECT_EQ(JPEGMetadata::topLevelEndOffset(jpeg), jpeg.size());
    EXPECT_EQ(JPEGMetadata::dimensions(jpeg), (ImageDimensions{640, 480}));
    // Trailing bytes after the end do not move it; a cut before it gives no end.
    Bytes longer = jpeg;
    append(longer, {0xFF, 0xD9, 0x00});
    EXPECT_EQ(JPEGMetadata::topLevelEndOffset(longer), jpeg.size());
    EXPECT_FALSE(JPEGMetadata::topLevelEndOffset(ByteView(jpeg).first(jpeg.size() - 1)));
}

TEST(JPEGMetadata, FillBytesBeforeAMarker) {
    Bytes jpeg{0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00};
    appendBytes(jpeg, frameHeader(16, 16));
    append(jpeg, {0xFF, 0xD9});
    EXPECT_EQ(JPEGMetadata::topLevelEndOffset(jpeg), jpeg.size());
    // The dimensions walk reads FF FF as a segment whose length is the next two bytes (FF E0): too long.
    EXPECT_FALSE(JPEGMetadata::dimensions(jpeg));
}

TEST(JPEGMetadata, SearchesForTheEndWhereAMarkerIsMissingAfterAFrame) {
    Bytes jpeg{0xFF, 0xD8};
    appendBytes(jpeg, frameHeader(16, 16));
    append(jpeg, {0x12, 0x34, 0xFF, 0x00, 0xFF, 0xD9, 0x99});
    EXPECT_EQ(JPEGMetadata::topLevelEndOffset(jpeg), jpeg.size() - 1);
    // Without a frame the same bytes give no end.
    const Bytes noFrame{0xFF, 0xD8, 0x12, 0x34, 0xFF, 0xD9};
    EXPECT_FALSE(JPEGMetadata::topLevelEndOffset(noFrame));
}

TEST(JPEGMetadata, AFileOpensWithASegmentThatAPictureStartsWith) {
    const auto opening = [](int marker, std::uint16_t length) {
        return Bytes{0xFF, 0xD8, 0xFF, static_cast<std::uint8_t>(marker), static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    };
    // APPn, DQT, DHT, frames, DRI and COM; the segment may run past the buffer.
    for (const int marker : {0xE0, 0xE1, 0xED, 0xEF, 0xDB, 0xC4, 0xC0, 0xC2, 0xCF, 0xDD, 0xFE})
        EXPECT_EQ(JPEGMetadata::firstSegmentEnd(opening(marker, 16)), 20u) << marker;
    EXPECT_EQ(JPEGMetadata::firstSegmentEnd(opening(0xE0, 2)), 6u);
    EXPECT_EQ(JPEGMetadata::firstSegmentEnd(opening(0xE1, 0xFFFF)), 0xFFFFu + 4);
    // What compressed and audio data hold after FF D8 FF: a scan with no tables, fill bytes, an end or
    // restart marker, the reserved JPG and arithmetic-coding markers, no marker at all.
    for (const int marker : {0xDA, 0xFF, 0xD9, 0xD8, 0xD0, 0x01, 0xC8, 0xCC, 0x00, 0x7F, 0xDC, 0xF0})
        EXPECT_FALSE(JPEGMetadata::firstSegmentEnd(opening(marker, 16))) << marker;
    EXPECT_FALSE(JPEGMetadata::firstSegmentEnd(opening(0xE0, 1))) << "a length shorter than itself";
    EXPECT_FALSE(JPEGMetadata::firstSegmentEnd(opening(0xE0, 0)));
    EXPECT_FALSE(JPEGMetadata::firstSegmentEnd(ByteView(opening(0xE0, 16)).first(5))) << "the length cut off";
    EXPECT_FALSE(JPEGMetadata::firstSegmentEnd(Bytes{0xFF, 0xD8, 0x00, 0xE0, 0x00, 0x10}));
    EXPECT_FALSE(JPEGMetadata::firstSegmentEnd(Bytes{0xFF, 0xD9, 0xFF, 0xE0, 0x00, 0x10}));
}

TEST(JPEGMetadata, PlausiblePayloadSize) {
    EXPECT_FALSE(JPEGMetadata::isPlausiblePayloadSize(999'999, {4000, 3000}));
    EXPECT_TRUE(JPEGMetadata::isPlausiblePayloadSize(1'000'000, {4000, 3000}));
    EXPECT_FALSE(JPEGMetadata::isPlausiblePayloadSize(12'287, {100, 100}));
    EXPECT_TRUE(JPEGMetadata::isPlausiblePayloadSize(12'288, {100, 100}));
    EXPECT_TRUE(JPEGMetadata::isPlausiblePayloadSize(1, {0, 0}));
    // Sides whose product overflows 64 bits are never plausible, and a negative side is no picture.
    EXPECT_FALSE(JPEGMetadata::isPlausiblePayloadSize(UINT64_MAX - 1, {INT64_MAX, INT64_MAX}));
    EXPECT_TRUE(JPEGMetadata::isPlausiblePayloadSize(1, {-5, 100}));
}

} // namespace
} // namespace vantrel
