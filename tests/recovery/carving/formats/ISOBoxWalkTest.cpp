#include "recovery/carving/formats/ISOBoxWalk.h"

#include "tests/fixtures/SparseByteSource.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

Bytes box(std::uint32_t size, std::string_view type) {
    Bytes out;
    out.reserve(8 + type.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(size >> shift));
    for (const char c : type) out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

Bytes largeBox(std::uint64_t size, std::string_view type) {
    Bytes out = box(1, type);
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(size >> shift));
    return out;
}

// Lays boxes of the given sizes back to back from offset (header bytes only; the rest stays fill).
struct Layout {
    test::SparseByteSource source;
    std::uint64_t position;
    Layout(std::uint64_t deviceBytes, std::uint64_t start) : source(deviceBytes, 0xAA), position(start) {}
    Layout& add(std::uint32_t size, std::string_view type) {
        source.patch(position, box(size, type));
        position += size;
        return *this;
    }
};

std::optional<std::uint64_t> walk(Layout& layout, std::uint64_t offset) {
    SourceCandidateReader reader(layout.source);
    return ISOBoxWalk::walk(reader, offset, layout.source.length() - offset);
}

TEST(ISOBoxWalk, AMovieEndsWithWhicheverOfMoovAndMdatComesLast) {
    Layout mdatFirst(64 * MiB, 100);
    mdatFirst.add(32, "ftyp").add(5000, "mdat").add(700, "moov").add(64, "free");
    EXPECT_EQ(walk(mdatFirst, 100), 32u + 5000 + 700);

    Layout moovFirst(64 * MiB, 0);
    moovFirst.add(32, "ftyp").add(700, "moov").add(64, "free").add(9000, "mdat");
    EXPECT_EQ(walk(moovFirst, 0), 32u + 700 + 64 + 9000);
}

TEST(ISOBoxWalk, ABoxOfSizeZeroRunsToTheEndAndCountsItself) {
    Layout layout(8 * MiB, 0);
    layout.add(32, "ftyp").add(700, "moov");
    layout.source.patch(layout.position, box(0, "mdat"));
    EXPECT_EQ(walk(layout, 0), 8 * MiB);

    // Without a moov before it, an mdat to the end does not make a movie.
    Layout bare(8 * MiB, 0);
    bare.add(32, "ftyp");
    bare.source.patch(bare.position, box(0, "mdat"));
    EXPECT_EQ(walk(bare, 0), std::nullopt);
}

TEST(ISOBoxWalk, APictureEndsAtItsMdatOrAtTheLastPlausibleBox) {
    Layout heif(8 * MiB, 0);
    heif.add(24, "ftyp").add(400, "meta").add(3000, "mdat").add(100, "free");
    EXPECT_EQ(walk(heif, 0), 24u + 400 + 3000);

    Layout garbage(8 * MiB, 0);
    garbage.add(24, "ftyp").add(400, "meta");
    garbage.source.patch(garbage.position, box(3, "zzzz"));
    EXPECT_EQ(walk(garbage, 0), 24u + 400);

    Layout unprintable(8 * MiB, 0);
    unprintable.add(24, "ftyp").add(400, "meta");
    unprintable.source.patch(unprintable.position, box(100, std::string_view("\x01\x02\x03\x04", 4)));
    EXPECT_EQ(walk(unprintable, 0), 24u + 400);
}

TEST(ISOBoxWalk, RejectsImpossibleSizes) {
    Layout tiny(MiB, 0);
    tiny.add(32, "ftyp").add(3, "moov");
    EXPECT_EQ(walk(tiny, 0), std::nullopt);

    // A 64-bit size whose value cannot be read at the device's end.
    test::SparseByteSource source(32 + 12, 0);
    source.patch(0, box(32, "ftyp"));
    source.patch(32, box(1, "mdat"));
    SourceCandidateReader reader(source);
    EXPECT_EQ(ISOBoxWalk::walk(reader, 0, source.length()), std::nullopt);
}

TEST(ISOBoxWalk, AHugeSizeNeverWrapsAround) {
    Layout layout(8 * MiB, 0);
    layout.add(32, "ftyp").add(700, "moov");
    // pos + size would wrap to a small number; it must count as running past the device instead.
    layout.source.patch(layout.position, largeBox(UINT64_MAX - 100, "mdat"));
    EXPECT_EQ(walk(layout, 0), 8 * MiB);

    Layout noMovie(8 * MiB, 0);
    noMovie.add(32, "ftyp");
    noMovie.source.patch(noMovie.position, largeBox(UINT64_MAX - 20, "free"));
    EXPECT_EQ(walk(noMovie, 0), std::nullopt);
}

TEST(ISOBoxWalk, ALongVideoComesBackWholePastFiveHundredMebibytes) {
    const std::uint64_t device = 4096 * MiB;
    Layout layout(device, 1000);
    layout.add(32, "ftyp").add(2000, "moov");
    layout.source.patch(layout.position, largeBox(1500 * MiB, "mdat"));
    EXPECT_EQ(walk(layout, 1000), 32 + 2000 + 1500 * MiB);
    // Sixteen bytes per box, not the file.
    EXPECT_LE(layout.source.bytesRead(), 16u * 4);
}

TEST(ISOBoxWalk, StopsAfterItsBoxLimit) {
    Layout layout(8 * MiB, 0);
    layout.add(32, "ftyp").add(100, "moov");
    for (int i = 0; i < 400; ++i) layout.add(16, "free");
    // Never saw an mdat, and no meta: the walk ends after its limit without a length.
    EXPECT_EQ(walk(layout, 0), std::nullopt);
}

} // namespace
} // namespace vantrel
