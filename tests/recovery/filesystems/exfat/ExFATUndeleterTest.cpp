#include "recovery/filesystems/exfat/ExFATUndeleter.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/carving/SignatureCarver.h"
#include "recovery/carving/SignatureCatalog.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/PictureBytes.h"
#include "tests/fixtures/TestSupport.h"
#include "tests/fixtures/WalkedHits.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace vantrel {
namespace {

using test::ExFatImageWriter;
using test::Walked;
using Options = ExFatImageWriter::FileOptions;

constexpr std::uint64_t clusterBytes = 4096;

RecoveryFilters everything() {
    RecoveryFilters filters;
    for (const RecoveredFileKind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    return filters;
}

// A fresh exFAT volume (4 MiB unless told) with 4 KiB clusters, or nothing (and the test skipped)
// without the tool.
std::optional<Bytes> freshVolume(const test::TempDir& dir, std::size_t volumeBytes = 4 * 1024 * 1024) {
    if (!test::haveProgram("mkfs.exfat")) return std::nullopt;
    const auto path = dir / "exfat.img";
    test::writeFile(path, Bytes(volumeBytes));
    test::runOrFail({"mkfs.exfat", "-c", std::to_string(clusterBytes), path.string()});
    return test::readFile(path);
}

// Declares the test's folder `dir` and a writer over a fresh volume made in it, or skips the test.
#define FRESH_WRITER_OR_SKIP(...)                                                 \
    test::TempDir dir;                                                            \
    const auto freshBytes = freshVolume(dir __VA_OPT__(, ) __VA_ARGS__);          \
    if (!freshBytes) GTEST_SKIP() << "mkfs.exfat is not installed";               \
    ExFatImageWriter writer(*freshBytes)

VolumeGeometry probeOne(ByteSource& source) {
    const auto partitions = FileSystemProbe::probeAll(source);
    EXPECT_EQ(partitions.size(), 1u);
    EXPECT_EQ(partitions.at(0).fileSystem, DetectedFileSystem::exfat);
    return partitions.at(0).fatGeometry.value_or(VolumeGeometry{});
}

Walked walk(ByteSource& source, const VolumeGeometry& geometry, const AllocatedRegionMap& live = AllocatedRegionMap::empty(),
            std::function<bool()> cancel = [] { return false; }) {
    Walked walked;
    walked.outcome = ExFATUndeleter::recoverDeleted(source, geometry, everything(), live, cancel,
                                                    [&](const RecoveredHit& hit) { walked.hits.push_back(hit); });
    return walked;
}

Options deletedFile(bool noFatChain = true, std::vector<std::uint32_t> clusters = {}) {
    Options options;
    options.deleted = true;
    options.noFatChain = noFatChain;
    options.clusters = std::move(clusters);
    return options;
}

Options chained(std::vector<std::uint32_t> clusters = {}) {
    Options options;
    options.noFatChain = false;
    options.clusters = std::move(clusters);
    return options;
}

TEST(ExFatImageWriter, VolumesWithLiveAndDeletedEntriesPassFsck) {
    if (!test::haveProgram("fsck.exfat")) GTEST_SKIP() << "fsck.exfat is not installed";
    FRESH_WRITER_OR_SKIP();
    const auto dcim = writer.addDirectory(writer.rootCluster(), "DCIM");
    writer.addFile(dcim.firstCluster, "contiguous.jpg", test::randomBytes(10'000, 1));
    writer.addFile(writer.rootCluster(), "chained.mov", test::randomBytes(9'000, 2), chained({40, 45, 41}));
    const auto folder = writer.addDirectory(writer.rootCluster(), "Chained folder", chained(), 2);
    writer.addFile(folder.firstCluster, "A name longer than fifteen characters.pdf", test::randomBytes(100, 3));
    writer.addFile(writer.rootCluster(), "gone.jpg", test::randomBytes(5'000, 4), deletedFile());
    writer.addFile(dcim.firstCluster, "gone.mov", test::randomBytes(9'000, 5), deletedFile(false));
    const auto path = dir / "written.img";
    test::writeFile(path, writer.image());
    const auto result = test::run({"fsck.exfat", "-n", path.string()});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("clean"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("files 3"), std::string::npos) << result.output;
}

TEST(ExFATUndeleter, FindsDeletedFilesThatReadBackByteIdentical) {
    FRESH_WRITER_OR_SKIP();
    const Bytes holiday = test::randomBytes(10'000, 1);
    const Bytes clip = test::randomBytes(3 * clusterBytes - 100, 2);
    const auto dcim = writer.addDirectory(writer.rootCluster(), "DCIM");
    writer.addFile(writer.rootCluster(), "Holiday photo.jpg", holiday, deletedFile());
    writer.addFile(dcim.firstCluster, "Movie.MOV", clip, deletedFile(false, {60, 64, 61}));
    writer.addFile(dcim.firstCluster, "notes.txt", test::randomBytes(500, 3), deletedFile());
    writer.addFile(dcim.firstCluster, "live.jpg", test::randomBytes(500, 4));
    writer.addFile(writer.rootCluster(), "FILE0001.JPG", test::randomBytes(9'000, 5), deletedFile());
    writer.addFile(writer.rootCluster(), "holiday PHOTO.jpg", test::randomBytes(9'000, 6), deletedFile());
    MemoryByteSource source(writer.image());
    const VolumeGeometry geometry = probeOne(source);

    const Walked walked = walk(source, geometry);
    EXPECT_EQ(walked.outcome.readErrors, 0);
    const auto hits = walked.byPath();
    ASSERT_EQ(hits.size(), 4u);
    const RecoveredHit& photo = hits.at("/Holiday photo.jpg");
    EXPECT_EQ(photo.source, HitSource::exfatUndelete);
    EXPECT_EQ(photo.byteLength, holiday.size());
    EXPECT_FALSE(photo.isFragmented);
    EXPECT_EQ(photo.integrity, HitIntegrity::pending);
    EXPECT_EQ(photo.clusterHint->fileSystem, DetectedFileSystem::exfat);
    EXPECT_EQ(ClusterChainReader::extractBytes(source, photo, UINT64_MAX), holiday);

    const RecoveredHit& movie = hits.at("/DCIM/Movie.MOV");
    EXPECT_TRUE(movie.isFragmented);
    EXPECT_EQ(movie.clusterHint->firstCluster, 60u);
    EXPECT_EQ(ClusterChainReader::extractBytes(source, movie, UINT64_MAX), clip);
    // Weak names and a name already handed out (ignoring case) get numbered names.
    EXPECT_TRUE(hits.contains("/recovered_00001.jpg"));
    EXPECT_TRUE(hits.contains("/recovered_00002.jpg"));
}

TEST(ExFATUndeleter, ReadsNoFatChainFilesAsOneRunWhateverTheFatHolds) {
    FRESH_WRITER_OR_SKIP();
    const Bytes data = test::randomBytes(3 * clusterBytes, 7);
    const auto placed = writer.addFile(writer.rootCluster(), "clip.mp4", data, deletedFile(true, {80, 81, 82}));
    // Stale links from an earlier file: 80 → 90 → 91, 81 → 0xFFFFFFFF.
    Bytes& image = writer.image();
    for (const auto& [cluster, link] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{{80, 90}, {90, 91}, {81, 0xFFFFFFFF}})
        for (int i = 0; i < 4; ++i) image[writer.fatEntryOffset(cluster) + i] = static_cast<std::uint8_t>(link >> (8 * i));
    MemoryByteSource source(image);
    const VolumeGeometry geometry = probeOne(source);
    const auto hits = walk(source, geometry).hits;
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_FALSE(hits[0].isFragmented);
    EXPECT_EQ(hits[0].byteOffset, placed.byteOffset);
    EXPECT_EQ(ClusterChainReader::extractBytes(source, hits[0], UINT64_MAX), data);
    EXPECT_EQ(ExFATUndeleter::storedWithoutFatChain(source, geometry, 80, data.size()), true);
}

TEST(ExFATUndeleter, LiveRegionsCoverExactlyTheLiveFilesAndMarkReusedClusters) {
    FRESH_WRITER_OR_SKIP();
    const auto folder = writer.addDirectory(writer.rootCluster(), "Folder", chained(), 2);
    const auto contiguous = writer.addFile(folder.firstCluster, "a.pdf", test::randomBytes(10'000, 1));
    writer.addFile(writer.rootCluster(), "b.pdf", test::randomBytes(2 * clusterBytes, 2), chained({100, 103}));
    // Deleted files whose clusters live files now hold, and one whose clusters are free.
    writer.addFile(writer.rootCluster(), "reused.jpg", test::randomBytes(9'000, 3), deletedFile(true, {contiguous.firstCluster}));
    writer.addFile(writer.rootCluster(), "reused.mov", test::randomBytes(9'000, 4), deletedFile(false, {110, 103}));
    writer.addFile(writer.rootCluster(), "free.jpg", test::randomBytes(9'000, 5), deletedFile(true, {120, 121, 122}));
    MemoryByteSource source(writer.image());
    const VolumeGeometry geometry = probeOne(source);

    AllocatedRegionMap live;
    EXPECT_EQ(ExFATUndeleter::collectActiveRegions(source, geometry, live), 0);
    const std::vector<AllocatedRegionMap::Range> expected{
        {contiguous.byteOffset, contiguous.byteOffset + 10'000},
        {writer.clusterOffset(100), writer.clusterOffset(100) + clusterBytes},
        {writer.clusterOffset(103), writer.clusterOffset(103) + clusterBytes}};
    EXPECT_EQ(live.ranges(), expected);

    const auto hits = walk(source, geometry, live).byPath();
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_TRUE(hits.at("/reused.jpg").clusterReallocated);
    EXPECT_EQ(hits.at("/reused.jpg").integrity, HitIntegrity::suspect);
    EXPECT_TRUE(hits.at("/reused.mov").clusterReallocated);
    EXPECT_FALSE(hits.at("/free.jpg").clusterReallocated);
}

TEST(ExFATUndeleter, ReadsEntrySetsAsTheSpecificationLaysThemOut) {
    auto entry = [](std::initializer_list<std::uint8_t> head) {
        Bytes bytes(32);
        std::copy(head.begin(), head.end(), bytes.begin());
        return bytes;
    };
    auto name = [](const std::u16string& units) {
        Bytes bytes(32);
        bytes[0] = 0x41;
        for (std::size_t i = 0; i < units.size(); ++i) {
            bytes[2 + 2 * i] = static_cast<std::uint8_t>(units[i]);
            bytes[3 + 2 * i] = static_cast<std::uint8_t>(units[i] >> 8);
        }
        return bytes;
    };
    Bytes stream = entry({0x40, 0x03});
    stream[20] = 7;                   // first cluster
    stream[24] = 0x40, stream[25] = 0x9C;  // data length 40,000; valid data length 0
    std::vector<Bytes> entries{
        entry({0x05, 0x01}), stream,  // secondary count 1: skipped entry by entry
        entry({0x05, 0x04}), stream, name(u"abcdefghijklmno"), name(u"pqrstuvwxyz0123"), name(u"456789.jpg"),
        entry({0x85, 0x02}), stream, name(u"after.jpg")};  // runs past the data: skipped
    Bytes directory;
    for (const auto& e : entries) directory.insert(directory.end(), e.begin(), e.end());
    directory.resize(directory.size() - 32);

    std::vector<ExFATUndeleter::EntrySet> sets;
    ExFATUndeleter::forEachEntrySet(directory, {}, [&](const ExFATUndeleter::EntrySet& set) {
        sets.push_back(set);
        return true;
    });
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_FALSE(sets[0].inUse);
    EXPECT_TRUE(sets[0].noFatChain);
    EXPECT_EQ(sets[0].name, "abcdefghijklmnopqrstuvwxyz0123456789.jpg");
    EXPECT_EQ(sets[0].fileSize(), 40'000u);
    EXPECT_EQ(sets[0].firstCluster, 7u);
    EXPECT_EQ(ExFATUndeleter::exfatNameFragment(name(u"456789.jpg")), "456789.jpg");

    // An end-of-directory entry ends the walk; a stop request before an entry ends it too.
    Bytes ended(32);
    ended.insert(ended.end(), directory.begin(), directory.end());
    int visited = 0;
    ExFATUndeleter::forEachEntrySet(ended, {}, [&](const auto&) { return ++visited, true; });
    EXPECT_EQ(visited, 0);
    EXPECT_FALSE(ExFATUndeleter::forEachEntrySet(directory, [] { return true; }, [&](const auto&) { return ++visited, true; }));
    EXPECT_EQ(visited, 0);
}

TEST(ExFATUndeleter, EndsQuicklyOnLoopsAndPassesOverBadSpots) {
    FRESH_WRITER_OR_SKIP();
    const auto a = writer.addDirectory(writer.rootCluster(), "A", chained());
    const auto b = writer.addDirectory(writer.rootCluster(), "B");
    writer.addFile(a.firstCluster, "in-a.jpg", test::randomBytes(9'000, 1), deletedFile());
    writer.addFile(b.firstCluster, "in-b.jpg", test::randomBytes(9'000, 2), deletedFile());
    // A folder whose chain loops onto itself, and a folder entry inside B pointing back at the root.
    Bytes& image = writer.image();
    for (int i = 0; i < 4; ++i) image[writer.fatEntryOffset(a.firstCluster) + i] = static_cast<std::uint8_t>(a.firstCluster >> (8 * i));
    const auto loop = writer.addDirectory(b.firstCluster, "up", chained());
    const auto firstClusterField = loop.entryOffset + 32 + 20;
    for (int i = 0; i < 4; ++i) image[firstClusterField + i] = static_cast<std::uint8_t>(writer.rootCluster() >> (8 * i));

    test::FaultyByteSource source(image);
    const VolumeGeometry geometry = probeOne(source);
    const auto hits = walk(source, geometry).byPath();
    EXPECT_EQ(hits.size(), 2u);
    EXPECT_LT(source.readCount(), 200);

    // An unreadable folder is counted and passed over; the rest is still walked.
    source.addBadRange(writer.clusterOffset(b.firstCluster), 512);
    const Walked damaged = walk(source, geometry);
    EXPECT_EQ(damaged.outcome.readErrors, 1);
    EXPECT_EQ(damaged.byPath().size(), 1u);
    AllocatedRegionMap live;
    EXPECT_EQ(ExFATUndeleter::collectActiveRegions(source, geometry, live), 1);

    // Cancelling before the first entry yields nothing; a device that is gone ends the walk with its error.
    const Walked cancelled = walk(source, geometry, AllocatedRegionMap::empty(), [] { return true; });
    EXPECT_TRUE(cancelled.hits.empty());
    EXPECT_TRUE(cancelled.outcome.cancelled);
    source.unplug();
    EXPECT_THROW(walk(source, geometry), PosixError);
}

TEST(ExFATUndeleter, CountsAFileWhoseFatCannotBeReadAsFragmented) {
    FRESH_WRITER_OR_SKIP();
    writer.addFile(writer.rootCluster(), "frag.mov", test::randomBytes(3 * clusterBytes, 1), deletedFile(false, {300, 305, 301}));
    test::FaultyByteSource source(writer.image());
    source.addBadRange(writer.fatEntryOffset(300), 4);
    const Walked walked = walk(source, probeOne(source));
    ASSERT_EQ(walked.hits.size(), 1u);
    EXPECT_TRUE(walked.hits[0].isFragmented);
    EXPECT_GE(walked.outcome.readErrors, 1);
}

// Moves the entry sets of files to the given byte offsets of the image, and fills the rest of the folder's
// clusters with filler (no end-of-directory mark).
void moveEntrySets(ExFatImageWriter& writer, const ExFatImageWriter::Placed& folder,
                   const std::vector<std::pair<ExFatImageWriter::Placed, std::uint64_t>>& moves) {
    Bytes& image = writer.image();
    std::vector<Bytes> sets;
    for (const auto& [file, to] : moves)
        sets.emplace_back(image.begin() + static_cast<std::ptrdiff_t>(file.entryOffset),
                          image.begin() + static_cast<std::ptrdiff_t>(file.entryOffset + 96));
    for (const std::uint32_t cluster : folder.clusters)
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(writer.clusterOffset(cluster)), clusterBytes, 0x01);
    for (std::size_t i = 0; i < moves.size(); ++i)
        std::copy(sets[i].begin(), sets[i].end(), image.begin() + static_cast<std::ptrdiff_t>(moves[i].second));
}

// A folder is read through its first two mebibytes whatever its cluster count; the cut is counted.
TEST(ExFATUndeleter, ReadsALongFolderThroughItsFirstTwoMebibytesAndCountsTheCut) {
    FRESH_WRITER_OR_SKIP(8 * 1024 * 1024);
    const auto folder = writer.addDirectory(writer.rootCluster(), "Long", chained(), 600);
    // Two deleted files in the folder's first cluster, moved to its 301st cluster (1.2 MiB in) and
    // its 551st (2.2 MiB in); the entries before them are filler (no end-of-directory mark).
    const auto early = writer.addFile(folder.firstCluster, "early.pdf", test::randomBytes(100, 1), deletedFile());
    const auto late = writer.addFile(folder.firstCluster, "late.pdf", test::randomBytes(100, 2), deletedFile());
    moveEntrySets(writer, folder, {{early, writer.clusterOffset(folder.clusters[300])}, {late, writer.clusterOffset(folder.clusters[550])}});
    MemoryByteSource source(writer.image());
    const Walked walked = walk(source, probeOne(source));
    const auto hits = walked.byPath();
    EXPECT_EQ(hits.size(), 1u);
    EXPECT_TRUE(hits.contains("/Long/early.pdf"));
    EXPECT_EQ(walked.outcome.readErrors, 1);
}

// The live walk is not capped: every live file of a folder far past 2 MiB of entries is in the map, also
// one whose entry set straddles two of the pieces the folder is read in, so that the carver leaves them.
TEST(ExFATUndeleter, LiveWalkReadsALongFolderWholeSoNoLiveFileIsCarved) {
    FRESH_WRITER_OR_SKIP(8 * 1024 * 1024);
    const auto folder = writer.addDirectory(writer.rootCluster(), "Long", chained(), 600);
    const Bytes picture = test::jpegBytes(64, 48, 20'000, 7);
    std::vector<ExFatImageWriter::Placed> files;
    for (int i = 0; i < 3; ++i) files.push_back(writer.addFile(folder.firstCluster, "live" + std::to_string(i) + ".jpg", picture));
    // 1.2 MiB in; across the end of the first mebibyte (cluster 256); 2.2 MiB in.
    moveEntrySets(writer, folder, {{files[0], writer.clusterOffset(folder.clusters[300])},
                                   {files[1], writer.clusterOffset(folder.clusters[255]) + clusterBytes - 32},
                                   {files[2], writer.clusterOffset(folder.clusters[550])}});
    MemoryByteSource source(writer.image());
    const VolumeGeometry geometry = probeOne(source);

    AllocatedRegionMap live;
    EXPECT_EQ(ExFATUndeleter::collectActiveRegions(source, geometry, live), 0);
    for (const auto& file : files) EXPECT_TRUE(live.overlaps(file.byteOffset, picture.size())) << file.byteOffset;

    const auto carvedOffsets = [&](const AllocatedRegionMap& regions) {
        std::set<std::uint64_t> offsets;
        SignatureCarver(SignatureCatalog::carveMVP(), 512)
            .carve(source, everything(), regions, {}, {}, [&](const RecoveredHit& hit) { offsets.insert(hit.byteOffset); });
        return offsets;
    };
    ASSERT_TRUE(carvedOffsets(AllocatedRegionMap::empty()).contains(files[2].byteOffset)) << "the pictures carve";
    const auto carved = carvedOffsets(live);
    for (const auto& file : files) EXPECT_FALSE(carved.contains(file.byteOffset)) << "a live file was carved";
}

// A chained file written around live files and deleted with its FAT entries cleared (as exfat-fuse does)
// comes back from the clusters the bitmap leaves free, fragmented; with its chain left in place, by the
// chain. A contiguous file is one run whatever lies in it.
TEST(ExFATUndeleter, ADeletedFileWhoseChainIsGoneSkipsTheClustersLiveFilesHold) {
    FRESH_WRITER_OR_SKIP();
    writer.addFile(writer.rootCluster(), "live.pdf", test::randomBytes(2 * clusterBytes, 1), chained({102, 103}));
    Options contiguous;
    contiguous.clusters = {106};
    writer.addFile(writer.rootCluster(), "live2.pdf", test::randomBytes(clusterBytes, 2), contiguous);
    const Bytes cleared = test::randomBytes(5 * clusterBytes - 100, 3);
    const Bytes kept = test::randomBytes(2 * clusterBytes, 4);
    Options clearedOptions = deletedFile(false, {100, 101, 104, 105, 107});
    clearedOptions.clearFatOnDelete = true;
    writer.addFile(writer.rootCluster(), "cleared.mov", cleared, clearedOptions);
    writer.addFile(writer.rootCluster(), "kept.mov", kept, deletedFile(false, {120, 122}));
    MemoryByteSource source(writer.image());
    const VolumeGeometry geometry = probeOne(source);
    AllocatedRegionMap live;
    EXPECT_EQ(ExFATUndeleter::collectActiveRegions(source, geometry, live), 0);
    const auto hits = walk(source, geometry, live).byPath();
    ASSERT_EQ(hits.size(), 2u);
    for (const auto& [path, contents] : std::vector<std::pair<std::string, const Bytes*>>{{"/cleared.mov", &cleared},
                                                                                          {"/kept.mov", &kept}}) {
        const RecoveredHit& hit = hits.at(path);
        EXPECT_TRUE(hit.isFragmented) << path;
        EXPECT_FALSE(hit.clusterReallocated) << path;
        EXPECT_EQ(ClusterChainReader::extractBytes(source, hit, UINT64_MAX), *contents) << path;
    }
}

TEST(ExFATUndeleter, IgnoresSizesAndClustersTheVolumeCannotHold) {
    FRESH_WRITER_OR_SKIP();
    Options huge = deletedFile();
    huge.clusters = {200};
    huge.dataLength = 1ull << 40;
    huge.validDataLength = 0;
    writer.addFile(writer.rootCluster(), "huge.jpg", test::randomBytes(100, 1), huge);
    Options outside = deletedFile();
    outside.firstCluster = 0x00FFFFFF;
    writer.addFile(writer.rootCluster(), "outside.jpg", test::randomBytes(100, 2), outside);
    Options runsOff = deletedFile();
    runsOff.firstCluster = writer.clusterCount();  // the volume's last cluster is clusterCount + 1
    runsOff.dataLength = 3 * clusterBytes;
    runsOff.validDataLength = 0;
    writer.addFile(writer.rootCluster(), "runs-off.jpg", test::randomBytes(100, 3), runsOff);
    MemoryByteSource source(writer.image());
    VolumeGeometry geometry = probeOne(source);
    for (const auto& hit : walk(source, geometry).hits) ADD_FAILURE() << *hit.reconstructedPath << " " << hit.byteLength;

    // A volume whose root cluster is 0 or 1 has nothing to walk.
    for (const std::uint32_t root : {0u, 1u}) {
        geometry.rootCluster = root;
        AllocatedRegionMap live;
        EXPECT_TRUE(walk(source, geometry).hits.empty());
        EXPECT_EQ(ExFATUndeleter::collectActiveRegions(source, geometry, live), 0);
        EXPECT_EQ(live.count(), 0u);
    }
}

// A folder that cannot be read hides the live files it lists; the clusters the allocation bitmap holds
// stand in for them in the live map, so that carving offers none of them.
TEST(ExFATUndeleter, AnUnreadableFolderLeavesItsLiveFilesInTheMapByTheBitmap) {
    FRESH_WRITER_OR_SKIP();
    const auto folder = writer.addDirectory(writer.rootCluster(), "DCIM");
    const auto live = writer.addFile(folder.firstCluster, "live.jpg", test::randomBytes(3 * clusterBytes, 81), chained());
    for (const bool damaged : {false, true}) {
        test::FaultyByteSource source(writer.image());
        if (damaged) source.addBadRange(folder.byteOffset, 512);
        AllocatedRegionMap map;
        EXPECT_EQ(ExFATUndeleter::collectActiveRegions(source, probeOne(source), map), damaged ? 1 : 0);
        EXPECT_TRUE(map.overlaps(live.byteOffset, 3 * clusterBytes)) << (damaged ? "from the bitmap" : "from the walk");
        EXPECT_EQ(map.overlaps(folder.byteOffset, 1), damaged) << "a folder's own cluster counts only by the bitmap";
    }
}

} // namespace
} // namespace vantrel
