// Cards as cameras leave them, made with mkfs.fat and mtools from photos shipped with ImageMagick's
// documentation, re-encoded at test time (some of low detail, far below a byte per 12 pixels, with an EXIF
// thumbnail): filled and quick-formatted, photos deleted, photos written in two pieces, two files whose
// clusters lie in turns. Every hit a standard scan offers is read back and compared with the photos byte
// for byte: each is exact, or flagged, or wrong without a flag, or junk (bytes of no photo's start).

#include "recovery/engine/RecoveryEngine.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <iterator>

namespace vantrel {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t clusterBytes = 4096;
const std::filesystem::path shippedPhotos = "/usr/share/doc/imagemagick-6-common/html/images";

struct Photo {
    std::string name;
    Bytes bytes;
    bool lowDetail = false;
};

// Photos of a camera's size class at test scale: four with detail, three of low detail (blurred, quality 30),
// each with an EXIF block that holds a thumbnail.
std::vector<Photo> makePhotos(const test::TempDir& dir) {
    const struct {
        const char* source;
        std::vector<std::string> options;
        bool low;
    } recipes[] = {
        {"examples.jpg", {"-resize", "1400x1050!", "+noise", "Gaussian", "-attenuate", "0.2", "-quality", "85"}, false},
        {"configure.jpg", {"-resize", "1200x900!", "-quality", "90"}, false},
        {"wizard.jpg", {"-resize", "1024x768!", "+noise", "Gaussian", "-attenuate", "0.3", "-quality", "80"}, false},
        {"sprite.jpg", {"-resize", "1280x960!", "-quality", "92", "-define", "jpeg:restart-interval=4"}, false},
        {"examples.jpg", {"-resize", "2592x1944!", "-blur", "0x8", "-quality", "30"}, true},
        {"bluebells_darker.jpg", {"-resize", "2048x1536!", "-blur", "0x5", "-quality", "35"}, true},
        {"configure.jpg", {"-resize", "1600x1200!", "-blur", "0x10", "-quality", "30"}, true},
    };
    const auto thumbnail = dir / "thumb.jpg";
    test::runOrFail({"convert", (shippedPhotos / "rose.jpg").string(), "-resize", "160x120!", thumbnail.string()});
    std::vector<Photo> photos;
    int serial = 0;
    for (const auto& recipe : recipes) {
        const auto out = dir / ("photo" + std::to_string(++serial) + ".jpg");
        // A fixed seed: +noise draws afresh on every run otherwise, and the cards would differ from run to run.
        std::vector<std::string> argv{"convert", "-seed", "7", (shippedPhotos / recipe.source).string()};
        argv.insert(argv.end(), recipe.options.begin(), recipe.options.end());
        argv.push_back(out.string());
        test::runOrFail(argv);
        test::runOrFail({"exiftool", "-q", "-overwrite_original", "-ThumbnailImage<=" + thumbnail.string(), "-Make=Vantrel",
                         "-DateTimeOriginal=2026:05:01 10:00:00", out.string()});
        photos.push_back({"IMG_" + std::to_string(1000 + serial) + ".JPG", test::readFile(out), recipe.low});
    }
    return photos;
}

struct Counts {
    int exact = 0, flagged = 0, silentlyWrong = 0, junk = 0;
    int silentlyWrongCarved = 0;  // of silentlyWrong
    int joined = 0;               // of exact: put back together from two pieces
    std::vector<std::uint64_t> exactOffsets;  // the photos' starts on the card that came back exact
};

std::ostream& operator<<(std::ostream& out, const Counts& c) {
    return out << c.exact << " exact, " << c.flagged << " flagged, " << c.silentlyWrong << " wrong without a flag, "
               << c.junk << " junk, " << c.joined << " joined";
}

// Where each photo lies whole on the card (its first byte), for the photos found there.
std::vector<std::uint64_t> wholeOnCard(const Bytes& card, const std::vector<Photo>& photos) {
    std::vector<std::uint64_t> starts;
    for (const Photo& photo : photos)
        for (std::size_t at = 0; (at = test::offsetOf(card, photo.bytes, at)) != card.size(); ++at) starts.push_back(at);
    std::sort(starts.begin(), starts.end());
    return starts;
}

// The JPEG hits of a standard scan, read back as extraction reads them, judged against the photos. A hit
// is junk when it starts where no photo does (the photo's first bytes, from its first cluster).
Counts judge(const Bytes& card, const std::vector<Photo>& photos) {
    MemoryByteSource source(card);
    RecoveryFilters filters;
    for (const RecoveredFileKind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    std::vector<RecoveredHit> hits;
    RecoveryEngine().scan(source, ScanMode::standard, filters, [] { return false; }, [](const ScanProgress&) {},
                          [&](const RecoveredHit& hit) { hits.push_back(hit); });
    Counts counts;
    for (const RecoveredHit& hit : hits) {
        if (hit.kind != RecoveredFileKind::jpeg && hit.kind != RecoveredFileKind::tiff) continue;
        const Bytes bytes = ClusterChainReader::extractBytes(source, hit, 64 * MiB);
        const auto same = [&](const Photo& photo) { return photo.bytes == bytes; };
        const auto opens = [&](const Photo& photo) {
            return bytes.size() >= 4096 && std::equal(bytes.begin(), bytes.begin() + 4096, photo.bytes.begin());
        };
        if (std::any_of(photos.begin(), photos.end(), same)) {
            ++counts.exact;
            if (hit.secondPiece) ++counts.joined;
            else counts.exactOffsets.push_back(hit.byteOffset);
        } else if (hit.isFragmented) {
            ++counts.flagged;
        } else if (!std::any_of(photos.begin(), photos.end(), opens)) {
            ++counts.junk;
            std::cout << "junk " << FileKind::preferredExtension(hit.kind) << " at " << hit.byteOffset << ", "
                      << hit.byteLength << " bytes\n";
        } else {
            ++counts.silentlyWrong;
            if (hit.source == HitSource::signatureCarve) ++counts.silentlyWrongCarved;
            std::cout << "wrong without a flag at " << hit.byteOffset << ", " << hit.byteLength << " bytes, source "
                      << HitSourceName::rawValue(hit.source) << "\n";
        }
    }
    std::sort(counts.exactOffsets.begin(), counts.exactOffsets.end());
    counts.exactOffsets.erase(std::unique(counts.exactOffsets.begin(), counts.exactOffsets.end()), counts.exactOffsets.end());
    return counts;
}

class CameraCard : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::FatImageBuilder::available() || !test::haveProgram("convert") || !test::haveProgram("exiftool") ||
            !std::filesystem::exists(shippedPhotos))
            GTEST_SKIP() << "mkfs.fat, mtools, ImageMagick, exiftool and imagemagick-6-doc are needed";
        photos = makePhotos(dir);
    }

    // A FAT16 card of 4 KiB clusters.
    test::FatImageBuilder card(std::uint64_t bytes) {
        test::FatImageBuilder fat(dir / "card.img", bytes, 0, bytes);
        fat.format(16, {"-s", "8"});
        fat.makeDirectory("/DCIM");
        return fat;
    }
    Bytes image() const { return test::readFile(dir / "card.img"); }

    // The card's hits judged: the photos of offered that lie whole on it come back exact, and no hit is junk.
    Counts judgeOffered(const Bytes& card, const std::vector<Photo>& offered, const char* what) const {
        const Counts counts = judge(card, photos);
        std::cout << what << ": " << counts << "\n";
        EXPECT_EQ(counts.exactOffsets, wholeOnCard(card, offered));
        EXPECT_EQ(counts.junk, 0);
        return counts;
    }

    test::TempDir dir;
    std::vector<Photo> photos;
};

TEST_F(CameraCard, EveryPhotoOfACardFilledAndQuickFormattedComesBackWhole) {
    auto fat = card(24 * MiB);
    std::vector<std::pair<std::string, Bytes>> files;
    for (int round = 0; round < 4; ++round)
        for (const Photo& photo : photos) files.emplace_back(std::to_string(round) + photo.name, photo.bytes);
    fat.copyAllIn(files, "/DCIM");
    fat.format(16, {"-s", "8"});
    const Bytes formatted = image();
    ASSERT_EQ(wholeOnCard(formatted, photos).size(), files.size());
    const Counts counts = judgeOffered(formatted, photos, "formatted card");
    EXPECT_EQ(counts.silentlyWrong + counts.flagged, 0);
}

TEST_F(CameraCard, DeletedPhotosOfLowDetailAreOfferedByTheWalkAndTheCarve) {
    auto fat = card(16 * MiB);
    for (const Photo& photo : photos) fat.copyIn(photo.bytes, "/DCIM/" + photo.name);
    for (const Photo& photo : photos)
        if (photo.lowDetail) fat.remove("/DCIM/" + photo.name);
    std::vector<Photo> deleted;
    std::copy_if(photos.begin(), photos.end(), std::back_inserter(deleted), [](const Photo& photo) { return photo.lowDetail; });
    const Counts counts = judgeOffered(image(), deleted, "deleted photos");
    // Each deleted photo twice (the walk and the carve), none of the live ones.
    EXPECT_EQ(counts.exact, 6);
    EXPECT_EQ(counts.flagged + counts.silentlyWrong, 0);
}

// A file as long as half of photo A, then photo B; the first is deleted and A written, so that A fills its
// clusters and goes on after B. Then the card is quick-formatted: A is put back together, B is whole.
TEST_F(CameraCard, APhotoInTwoPiecesIsPutBackTogetherAndTheOneBetweenIsWhole) {
    auto fat = card(24 * MiB);
    for (std::size_t a = 0; a < photos.size(); ++a) {
        const Photo& first = photos[a];
        const Photo& between = photos[(a + 1) % photos.size()];
        fat.copyIn(Bytes(first.bytes.begin(), first.bytes.begin() + static_cast<std::ptrdiff_t>(first.bytes.size() / 2)),
                   "/DCIM/X" + std::to_string(a));
        fat.copyIn(between.bytes, "/DCIM/B" + std::to_string(a) + ".JPG");
        fat.remove("/DCIM/X" + std::to_string(a));
        fat.forgetFreeClusterHint();
        fat.copyIn(first.bytes, "/DCIM/A" + std::to_string(a) + ".JPG");
    }
    fat.format(16, {"-s", "8"});
    const Counts counts = judgeOffered(image(), photos, "two-piece photos");
    EXPECT_EQ(counts.joined, static_cast<int>(photos.size()));
    EXPECT_EQ(counts.flagged + counts.silentlyWrong, 0);
}

// Two photos written at once, a cluster of each in turn, then both deleted: nothing on the card separates
// their clusters, and the walk's run from each first cluster holds both. mtools cannot append, so the
// clusters of two files written one after the other are put in turns afterwards, the directory entries
// left as they are.
TEST_F(CameraCard, PhotosWhoseClustersLieInTurnsAreFlaggedWhenDeleted) {
    auto fat = card(16 * MiB);
    const Photo& a = photos[0];
    const Photo& b = photos[1];
    fat.copyIn(a.bytes, "/DCIM/A.JPG");
    fat.copyIn(b.bytes, "/DCIM/B.JPG");
    fat.remove("/DCIM/A.JPG");
    fat.remove("/DCIM/B.JPG");
    Bytes interleaved = image();
    const std::uint64_t start = wholeOnCard(interleaved, {a})[0];
    const std::uint64_t clustersA = (a.bytes.size() + clusterBytes - 1) / clusterBytes;
    const std::uint64_t clustersB = (b.bytes.size() + clusterBytes - 1) / clusterBytes;
    std::vector<Bytes> clusters;
    for (std::uint64_t i = 0; i < std::max(clustersA, clustersB); ++i)
        for (const auto& [photo, count, base] : {std::tuple{&a, clustersA, std::uint64_t{0}}, std::tuple{&b, clustersB, clustersA}}) {
            if (i >= count) continue;
            const auto from = interleaved.begin() + static_cast<std::ptrdiff_t>(start + (base + i) * clusterBytes);
            clusters.emplace_back(from, from + static_cast<std::ptrdiff_t>(clusterBytes));
        }
    for (std::size_t i = 0; i < clusters.size(); ++i)
        std::copy(clusters[i].begin(), clusters[i].end(), interleaved.begin() + static_cast<std::ptrdiff_t>(start + i * clusterBytes));
    const Counts counts = judgeOffered(interleaved, {}, "clusters in turns");
    EXPECT_GE(counts.flagged, 2);
    // The walk's two hits are flagged; a carved one whose end lies past clusters of the other photo is left to
    // the quality pass's decode.
    EXPECT_EQ(counts.silentlyWrong - counts.silentlyWrongCarved, 0);
}

} // namespace
} // namespace vantrel
