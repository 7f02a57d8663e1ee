#include "recovery/carving/formats/JPEGEndWalk.h"

#include "recovery/carving/formats/JPEGMetadata.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/carving/FileLengthEstimator.h"
#include "recovery/carving/WindowedReader.h"
#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/SparseByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace vantrel {
namespace {

// The top-level end walked over a whole buffer from its start, marker by marker: the plain form that the
// chunked walk must agree with.
std::optional<std::uint64_t> referenceTopLevelEnd(ByteView b) {
    const std::uint64_t n = b.size();
    if (n < 4 || b[0] != 0xFF || b[1] != 0xD8) return std::nullopt;
    const auto search = [&](std::uint64_t s) -> std::optional<std::uint64_t> {
        for (std::uint64_t k = s; k + 1 < n; ++k)
            if (b[k] == 0xFF && b[k + 1] == 0xD9) return k + 2;
        return std::nullopt;
    };
    bool sawFrame = false;
    std::uint64_t p = 2;
    for (;;) {
        if (p + 1 >= n) return std::nullopt;
        if (b[p] != 0xFF) return sawFrame ? search(p) : std::nullopt;
        std::uint8_t m = b[p + 1];
        while (m == 0xFF) {
            ++p;
            if (p + 1 >= n) return std::nullopt;
            m = b[p + 1];
        }
        if (m == 0x01 || m == 0xD8 || (m >= 0xD0 && m <= 0xD7)) { p += 2; continue; }
        if (m == 0xD9) return sawFrame ? std::optional<std::uint64_t>(p + 2) : std::nullopt;
        if (p + 3 >= n) return std::nullopt;
        const std::uint64_t length = std::uint64_t{b[p + 2]} << 8 | b[p + 3];
        if (length < 2) return std::nullopt;
        if (m == 0xDA) {
            const std::uint64_t q = p + 2 + length;
            if (q >= n) return std::nullopt;
            return search(q);
        }
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) sawFrame = true;
        p += length + 2;
    }
}

void append(Bytes& out, std::initializer_list<int> bytes) {
    for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
}

void appendSegment(Bytes& out, std::uint8_t marker, const Bytes& payload) {
    const std::size_t length = payload.size() + 2;
    append(out, {0xFF, marker, static_cast<int>(length >> 8), static_cast<int>(length & 0xFF)});
    out.insert(out.end(), payload.begin(), payload.end());
}

// A JPEG with an EXIF thumbnail (its own FF D8 ... FF D9) in APP1, a frame header, a table, a scan of
// scanBytes entropy-coded bytes (stuffed FF 00 and restart markers, never FF D9) and the end marker.
Bytes makeJPEG(std::size_t scanBytes, std::uint64_t seed) {
    Bytes out;
    append(out, {0xFF, 0xD8});
    Bytes thumbnail{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04, 0x01, 0x02, 0xFF, 0xD9};
    appendSegment(out, 0xE1, thumbnail);
    append(out, {0xFF, 0xFF, 0xFF}); // fill bytes before the next marker
    out.pop_back();
    appendSegment(out, 0xC0, {8, 0x01, 0xE0, 0x02, 0x80, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
    appendSegment(out, 0xC4, Bytes(30, 0x01));
    appendSegment(out, 0xDA, {3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0});
    std::mt19937_64 random(seed);
    for (std::size_t i = 0; i < scanBytes; ++i) {
        auto byte = static_cast<std::uint8_t>(random());
        out.push_back(byte);
        if (byte == 0xFF) out.push_back(i % 97 == 0 ? 0xD3 : 0x00);
    }
    append(out, {0xFF, 0xD9});
    return out;
}

std::optional<std::uint64_t> walk(ByteSource& source, std::uint64_t offset, std::uint64_t limit, std::uint64_t headBytes,
                                  std::uint64_t chunkBytes = JPEGEndWalk::chunkBytes) {
    SourceCandidateReader reader(source);
    Bytes head;
    if (headBytes > 0) head = source.read(offset, static_cast<std::int64_t>(std::min(headBytes, limit)));
    CandidateCursor cursor(reader, offset, limit, head, chunkBytes);
    return JPEGEndWalk::find(cursor);
}

TEST(JPEGEndWalk, EndsAfterTheOuterEndMarkerNotTheThumbnails) {
    const Bytes jpeg = makeJPEG(5000, 1);
    Bytes device = jpeg;
    append(device, {0xFF, 0xD9, 0x00, 0x00}); // another end marker after the file must not matter
    MemoryByteSource source(device);
    EXPECT_EQ(walk(source, 0, device.size(), 0x40000), jpeg.size());
    EXPECT_EQ(walk(source, 0, device.size(), 0, 7), jpeg.size());
}

TEST(JPEGEndWalk, FindsAnEndFarPastTheHeadAndReadsEachByteOnce) {
    const Bytes jpeg = makeJPEG(700 * 1024, 2);
    test::SparseByteSource source(64 * 1024 * 1024);
    source.patch(4096, jpeg);
    EXPECT_EQ(walk(source, 4096, 64 * 1024 * 1024 - 4096, 0x40000), jpeg.size());
    // The head plus one pass over the rest: no re-reading from the start after every chunk.
    EXPECT_LE(source.bytesRead(), jpeg.size() + JPEGEndWalk::chunkBytes + 0x40000);
}

TEST(JPEGEndWalk, GivesNothingWithoutAnEndWithinTheLimit) {
    Bytes jpeg = makeJPEG(10000, 3);
    jpeg.resize(jpeg.size() - 2);
    MemoryByteSource source(jpeg);
    EXPECT_EQ(walk(source, 0, jpeg.size(), 0x40000), std::nullopt);
    // An end marker just past the limit does not count.
    const Bytes whole = makeJPEG(10000, 3);
    MemoryByteSource wholeSource(whole);
    EXPECT_EQ(walk(wholeSource, 0, whole.size() - 1, 100), std::nullopt);
    EXPECT_EQ(walk(wholeSource, 0, whole.size(), 100), whole.size());
}

TEST(JPEGEndWalk, StopsEarlyWhenTheStructureFails) {
    // No frame header before an end marker: no end, and nothing past it is read.
    Bytes bytes{0xFF, 0xD8, 0xFF, 0xD9};
    bytes.resize(8 * 1024 * 1024, 0x00);
    test::SparseByteSource source(bytes.size());
    source.patch(0, Bytes(bytes.begin(), bytes.begin() + 4));
    EXPECT_EQ(walk(source, 0, bytes.size(), 0), std::nullopt);
    EXPECT_LE(source.bytesRead(), JPEGEndWalk::chunkBytes);
}

TEST(JPEGEndWalk, AgreesWithTheWholeBufferWalkOnMutatedStreams) {
    std::mt19937_64 random(99);
    for (int round = 0; round < 400; ++round) {
        Bytes jpeg = makeJPEG(random() % 3000, random());
        const int edits = static_cast<int>(random() % 6);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % jpeg.size();
            switch (random() % 4) {
            case 0: jpeg[at] = 0xFF; break;
            case 1: jpeg[at] = static_cast<std::uint8_t>(random()); break;
            case 2: jpeg[at] = 0xD9; break;
            case 3: jpeg.resize(std::max<std::size_t>(at, 1)); break;
            }
        }
        MemoryByteSource source(jpeg);
        const auto expected = referenceTopLevelEnd(jpeg);
        ASSERT_EQ(JPEGMetadata::topLevelEndOffset(jpeg), expected) << "round " << round;
        for (const std::uint64_t head : {std::uint64_t{0}, std::uint64_t{3}, std::uint64_t{50}, std::uint64_t{0x40000}})
            for (const std::uint64_t chunk : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{5}, std::uint64_t{4096}})
                ASSERT_EQ(walk(source, 0, jpeg.size(), head, chunk), expected) << "round " << round;
    }
}

TEST(JPEGEndWalk, FindsTheEndOfRealPhotosWhereverTheChunksCutTheirEndMarker) {
    // Photos shipped with Debian's ImageMagick documentation, each as it is, followed by zeros, by fill bytes
    // and by another photo, and cut short. The head and the chunks are cut so that the end marker lies across
    // the head's end, across a chunk's end, or starts a chunk.
    const std::filesystem::path photos = "/usr/share/doc/imagemagick-6-common/html/images";
    if (!std::filesystem::exists(photos)) GTEST_SKIP() << "imagemagick-6-doc is not installed";
    std::vector<Bytes> files;
    for (const auto& entry : std::filesystem::directory_iterator(photos))
        if (entry.path().extension() == ".jpg") files.push_back(test::readFile(entry.path()));
    ASSERT_GE(files.size(), 3u);
    for (std::size_t f = 0; f < files.size(); ++f) {
        const Bytes& photo = files[f];
        const auto end = referenceTopLevelEnd(photo);
        ASSERT_TRUE(end) << f;
        Bytes whole = photo, zeros = photo, fill = photo, twice = photo;
        zeros.resize(photo.size() + 5000, 0x00);
        fill.resize(photo.size() + 5000, 0xFF);
        const Bytes& other = files[(f + 1) % files.size()];
        twice.insert(twice.end(), other.begin(), other.end());
        Bytes cut(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(*end - 1));
        for (const Bytes* device : {&whole, &zeros, &fill, &twice, &cut}) {
            MemoryByteSource source(*device);
            const auto expected = referenceTopLevelEnd(*device);
            EXPECT_EQ(expected, device == &cut ? std::nullopt : end) << f;
            const std::uint64_t marker = *end - 2;  // the FF of the end marker
            for (const std::uint64_t head : {marker, marker + 1, marker + 2, std::uint64_t{0x40000}})
                EXPECT_EQ(walk(source, 0, device->size(), head), expected) << f << " head " << head;
            for (const std::uint64_t chunk : {marker - 999, marker - 1000, std::uint64_t{4096}, std::uint64_t{31}})
                EXPECT_EQ(walk(source, 0, device->size(), 1000, chunk), expected) << f << " chunk " << chunk;
        }
    }
}

// As the carver walks a photo that runs past its window: the windows are in memory, the source fails
// every read, and the end marker lies at every place around the window's end (and the 64 bytes the next
// window shares with it). A short head makes the walk read on through the windows; the carver's own head
// may hold the whole photo. The photos are one made here (stuffed bytes, restart markers) and those shipped
// with Debian's ImageMagick documentation.
TEST(JPEGEndWalk, WalksAcrossTheCarversWindowsInPlaceWhereverTheyEnd) {
    std::vector<Bytes> photos{makeJPEG(400 * 1024, 9)};
    const std::filesystem::path shipped = "/usr/share/doc/imagemagick-6-common/html/images";
    if (std::filesystem::exists(shipped))
        for (const auto& entry : std::filesystem::directory_iterator(shipped))
            if (entry.path().extension() == ".jpg") photos.push_back(test::readFile(entry.path()));
    for (std::size_t f = 0; f < photos.size(); ++f) {
        const auto end = referenceTopLevelEnd(photos[f]);
        ASSERT_TRUE(end) << f;
        Bytes device = photos[f];
        device.resize(photos[f].size() + 4096, 0xFF);  // fill bytes after the end
        test::ScriptedByteSource source(device);
        source.failAll();
        const std::uint64_t marker = *end - 2;
        const ByteView all(device);
        for (std::uint64_t windowEnd = std::max<std::uint64_t>(marker, 200) - 66; windowEnd <= marker + 3; ++windowEnd) {
            const std::uint64_t next = windowEnd - 64;
            WindowedReader reader(source, {all.first(static_cast<std::size_t>(windowEnd)), 0},
                                  {all.subspan(static_cast<std::size_t>(next)), next});
            for (const std::uint64_t headBytes : {std::uint64_t{100}, FileLengthEstimator::headBytes}) {
                const ByteView head = all.first(static_cast<std::size_t>(std::min<std::uint64_t>(headBytes, device.size())));
                CandidateCursor cursor(reader, 0, device.size(), head, JPEGEndWalk::chunkBytes);
                ASSERT_EQ(JPEGEndWalk::find(cursor), end) << "photo " << f << ", window ends at " << windowEnd;
            }
        }
        EXPECT_TRUE(source.reads.empty()) << f;
    }
}

TEST(JPEGEndWalk, PassesOnAFailedRead) {
    const Bytes jpeg = makeJPEG(600 * 1024, 4);
    test::SparseByteSource source(jpeg.size());
    source.patch(0, jpeg);
    source.failReads(500 * 1024, 501 * 1024);
    EXPECT_THROW(walk(source, 0, jpeg.size(), 0x40000), ByteSourceError);
}

} // namespace
} // namespace vantrel
