// Scans of a FAT volume whose sectors fail on purpose, in the FAT, the root folder, a sub-folder and a
// file's data: each costs what the sector held and no more, and no live file is offered as a recovery.

#include "recovery/engine/RecoveryEngine.h"

#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

namespace vantrel {
namespace {

constexpr std::uint64_t sectorBytes = 512;

struct File {
    std::string path;
    Bytes bytes;
    ImageDimensions dimensions;
    bool deleted;
};

// A FAT16 volume of 512-byte clusters, made once: four deleted photos among live ones, the root's fourth
// deleted photo in its second sector, the sub-folder's second deleted photo in its second cluster.
struct DamagedVolume {
    std::vector<File> files;
    Bytes image;
    VolumeGeometry geometry;

    DamagedVolume() {
        test::TempDir dir;
        const auto add = [&](const std::string& path, std::uint16_t width, std::size_t bytes, bool deleted) {
            files.push_back({path, test::SampleContent::jpeg(width, 240, bytes, files.size() + 60),
                             ImageDimensions{width, 240}, deleted});
        };
        add("/Gone first.jpg", 320, 20000, true);
        for (int i = 1; i <= 5; ++i) add("/Live " + std::to_string(i) + ".jpg", 300, 20000, false);
        add("/PAD1.JPG", 310, 14000, false);  // short names alone: one entry each
        add("/PAD2.JPG", 311, 14000, false);
        add("/PAD3.JPG", 312, 14000, false);
        add("/DCIM/Gone second.jpg", 330, 20000, true);
        for (int i = 6; i <= 12; ++i) add("/DCIM/Live " + std::to_string(i) + ".jpg", 301, 14000, false);
        add("/DCIM/Gone third.jpg", 340, 100000, true);
        add("/Gone fourth.jpg", 350, 20000, true);

        test::FatImageBuilder fat(dir / "card.img", 16 * 1024 * 1024, 0, 16 * 1024 * 1024);
        fat.format(16, {"-s", "1"});
        for (const File& file : files) {
            if (file.path == "/DCIM/Gone second.jpg") fat.makeDirectory("/DCIM");
            fat.copyIn(file.bytes, file.path);
        }
        for (const File& file : files)
            if (file.deleted) fat.remove(file.path);
        image = test::readFile(fat.image());
        test::FaultyByteSource source(image);
        geometry = *FileSystemProbe::probeAll(source).at(0).fatGeometry;
    }

    std::uint64_t offsetOf(const File& file) const {
        const auto at = test::offsetOf(image, file.bytes);
        EXPECT_NE(at, image.size()) << file.path;
        return at;
    }
    const File& file(const std::string& path) const {
        return *std::find_if(files.begin(), files.end(), [&](const File& file) { return file.path == path; });
    }
    std::uint64_t clusterOf(const std::string& path) const {
        return (offsetOf(file(path)) - geometry.clusterHeapByteOffset) / geometry.bytesPerCluster() + 2;
    }
};

const DamagedVolume& volume() {
    static const DamagedVolume made;
    return made;
}

std::string line(HitSource source, std::uint64_t offset, std::uint64_t length, const std::optional<ImageDimensions>& size,
                 const std::string& path = {}) {
    std::ostringstream out;
    out << HitSourceName::rawValue(source) << ' ' << offset << ' ' << length;
    if (size) out << ' ' << size->width << 'x' << size->height;
    if (!path.empty()) out << ' ' << path;
    return out.str();
}

struct Scanned {
    std::vector<std::string> hits;
    std::int64_t unreadableSectors = 0;
};

Scanned scan(ByteSource& source) {
    RecoveryFilters filters;
    filters.allowedKinds = {RecoveredFileKind::jpeg};
    Scanned scanned;
    RecoveryEngine().scan(
        source, ScanMode::standard, filters, [] { return false; },
        [&](const ScanProgress& progress) { scanned.unreadableSectors = progress.readErrors; },
        [&](const RecoveredHit& hit) {
            const bool walked = hit.source == HitSource::fatUndelete;
            scanned.hits.push_back(line(hit.source, hit.byteOffset, hit.byteLength, hit.dimensions,
                                        walked ? hit.reconstructedPath.value_or("?") : ""));
        });
    std::sort(scanned.hits.begin(), scanned.hits.end());
    return scanned;
}

struct Damage {
    const char* what;
    std::uint64_t offset;                 // of the unreadable sector
    std::set<std::string> entriesLost;    // deleted files the walk no longer finds
    std::set<std::string> dataUnknown;    // deleted files carving no longer offers
};

TEST(DamagedMedia, AnUnreadableSectorCostsWhatItHeldAndNoLiveFileIsOffered) {
    if (!test::FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    const DamagedVolume& card = volume();
    const VolumeGeometry& geometry = card.geometry;
    const std::uint64_t rootOffset = geometry.fatByteOffset + std::uint64_t{geometry.numberOfFATs} *
                                                                   geometry.fatSizeSectors * geometry.bytesPerSector;
    // The FAT sector that holds the entry of "Live 3"'s first cluster holds those of 255 clusters about it.
    const std::uint64_t live3 = card.clusterOf("/Live 3.jpg");
    const std::uint64_t fatSector = geometry.fatByteOffset + live3 * 2 / sectorBytes * sectorBytes;
    const auto heldByFatSector = [&] {
        std::set<std::string> held;
        const std::uint64_t first = (fatSector - geometry.fatByteOffset) / 2;
        for (const File& file : card.files) {
            const std::uint64_t cluster = card.clusterOf(file.path);
            const std::uint64_t last = cluster + (file.bytes.size() - 1) / geometry.bytesPerCluster();
            if (file.deleted && cluster < first + sectorBytes / 2 && last >= first) held.insert(file.path);
        }
        return held;
    }();
    // The folder made after the root's first files holds the first sub-folder cluster after theirs.
    const std::uint64_t dcimCluster = card.clusterOf("/PAD3.JPG") + (14000 + sectorBytes - 1) / sectorBytes;
    const File& third = card.file("/DCIM/Gone third.jpg");  // 100,000 bytes

    const std::vector<Damage> cases{
        {"none", 0, {}, {}},
        {"a FAT sector", fatSector, {}, heldByFatSector},
        {"the root folder's first sector", rootOffset, {"/Gone first.jpg"}, {}},
        {"the sub-folder's first cluster", *geometry.clusterByteOffset(dcimCluster), {"/DCIM/Gone second.jpg"}, {}},
        // Its header and its end are still read, so carving still offers it (its extraction then fails
        // at the unreadable sector).
        {"a sector of a deleted file's data", card.offsetOf(third) + 80000 / sectorBytes * sectorBytes, {}, {}},
    };
    ASSERT_FALSE(heldByFatSector.empty() || heldByFatSector.count("/Gone fourth.jpg")) << "the image's layout changed";
    for (const Damage& damage : cases) {
        SCOPED_TRACE(damage.what);
        test::FaultyByteSource source(card.image);
        if (damage.offset != 0) source.addBadRange(damage.offset, sectorBytes);
        std::vector<std::string> expected;
        for (const File& file : card.files) {
            if (!file.deleted) continue;
            const std::uint64_t offset = card.offsetOf(file);
            if (!damage.entriesLost.count(file.path))
                expected.push_back(line(HitSource::fatUndelete, offset, file.bytes.size(), file.dimensions, file.path));
            if (!damage.dataUnknown.count(file.path))
                expected.push_back(line(HitSource::signatureCarve, offset, file.bytes.size(), file.dimensions));
        }
        std::sort(expected.begin(), expected.end());
        const Scanned scanned = scan(source);
        EXPECT_EQ(scanned.hits, expected);
        EXPECT_EQ(scanned.unreadableSectors, damage.offset != 0 ? 1 : 0);
    }
}

} // namespace
} // namespace vantrel
