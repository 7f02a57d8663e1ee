#include "recovery/filesystems/AllocatedRegionCollector.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "recovery/filesystems/exfat/ExFATUndeleter.h"
#include "recovery/filesystems/fat/FatUndeleter.h"
#include "recovery/filesystems/hfsplus/HfsPlusCatalogWalker.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace vantrel {
namespace {

constexpr std::uint64_t mebibyte = 1024 * 1024;

RecoveryFilters everything() {
    RecoveryFilters filters;
    for (const RecoveredFileKind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    return filters;
}

// One device with an MBR and three partitions: FAT32 (made with mkfs.fat and mtools), exFAT (mkfs.exfat
// and the entry writer) and HFS Plus (the image builder), each with live and deleted files. Made once
// for the suite.
class MixedDevice : public ::testing::Test {
protected:
    static constexpr std::uint64_t fatOffset = 1 * mebibyte, fatBytes = 40 * mebibyte;
    static constexpr std::uint64_t exfatOffset = 41 * mebibyte, exfatBytes = 4 * mebibyte;
    static constexpr std::uint64_t hfsOffset = 45 * mebibyte, hfsBytes = 4 * mebibyte;
    static constexpr std::uint64_t deviceBytes = 50 * mebibyte;

    static void SetUpTestSuite() {
        if (!test::FatImageBuilder::available() || !test::haveProgram("mkfs.exfat")) return;
        const auto devicePath = m_dir / "device.img";
        test::FatImageBuilder fat(devicePath, deviceBytes, fatOffset, fatBytes);
        writePartitionTable(devicePath);
        fat.format(32, {"-s", "1"});
        m_live = {test::randomBytes(7'000, 1), test::randomBytes(30'000, 2)};
        fat.makeDirectory("/DCIM");
        fat.copyIn(m_live[0], "/DCIM/live.pdf");
        fat.copyIn(m_live[1], "/notes.doc");
        m_deleted.push_back(test::randomBytes(20'000, 3));
        fat.copyIn(m_deleted.back(), "/DCIM/Deleted photo.jpg");
        fat.remove("/DCIM/Deleted photo.jpg");
        Bytes device = test::readFile(devicePath);

        const auto exfatPath = m_dir / "exfat.img";
        test::writeFile(exfatPath, Bytes(exfatBytes));
        test::runOrFail({"mkfs.exfat", "-c", "4096", exfatPath.string()});
        test::ExFatImageWriter exfat(test::readFile(exfatPath));
        m_live.push_back(test::randomBytes(9'000, 4));
        exfat.addFile(exfat.rootCluster(), "clip.mov", m_live.back());
        m_live.push_back(test::randomBytes(12'000, 5));
        test::ExFatFileOptions chained;
        chained.noFatChain = false;
        chained.clusters = {60, 62, 61};
        exfat.addFile(exfat.rootCluster(), "chained.zip", m_live.back(), chained);
        m_deleted.push_back(test::randomBytes(11'000, 6));
        test::ExFatFileOptions deleted;
        deleted.deleted = true;
        exfat.addFile(exfat.rootCluster(), "gone.mp4", m_deleted.back(), deleted);
        std::copy(exfat.image().begin(), exfat.image().end(), device.begin() + static_cast<std::ptrdiff_t>(exfatOffset));

        test::HfsPlusImageBuilder::Options options;
        options.totalBlocks = static_cast<std::uint32_t>(hfsBytes / options.blockSize);
        test::HfsPlusImageBuilder hfs(options);
        m_live.push_back(test::randomBytes(5'000, 7));
        hfs.addFile(hfs.addFolder(2, "Pictures"), "photo.png", m_live.back());
        m_live.push_back(test::randomBytes(5'000, 8));
        hfs.addFileAt(2, "split.pdf", m_live.back(), {{900, 1}, {950, 1}});
        const Bytes hfsImage = hfs.build();
        std::copy(hfsImage.begin(), hfsImage.end(), device.begin() + static_cast<std::ptrdiff_t>(hfsOffset));
        m_device = std::move(device);
    }

    void SetUp() override {
        if (m_device.empty()) GTEST_SKIP() << "mkfs.fat, mtools, sfdisk or mkfs.exfat missing";
    }

    static void writePartitionTable(const std::filesystem::path& device) {
        const auto script = m_dir / "table.sfdisk";
        std::ofstream(script) << "label: dos\n"
                              << "start=" << fatOffset / 512 << ", size=" << fatBytes / 512 << ", type=c\n"
                              << "start=" << exfatOffset / 512 << ", size=" << exfatBytes / 512 << ", type=7\n"
                              << "start=" << hfsOffset / 512 << ", size=" << hfsBytes / 512 << ", type=af\n";
        // sfdisk reads its script from standard input; run() gives the child /dev/null, so go through sh.
        test::runOrFail({"/bin/sh", "-c", test::programPath("sfdisk") + " --no-reread --no-tell-kernel -q '" +
                                              device.string() + "' < '" + script.string() + "'"});
    }

    static inline test::TempDir m_dir;
    static inline Bytes m_device;
    static inline std::vector<Bytes> m_live;
    static inline std::vector<Bytes> m_deleted;
};

TEST_F(MixedDevice, LiveRegionsCoverExactlyTheLiveFilesOfEveryPartition) {
    MemoryByteSource source(m_device);
    const auto partitions = FileSystemProbe::probeAll(source);
    ASSERT_EQ(partitions.size(), 3u);
    EXPECT_EQ(partitions[0].fileSystem, DetectedFileSystem::fat32);
    EXPECT_EQ(partitions[1].fileSystem, DetectedFileSystem::exfat);
    EXPECT_EQ(partitions[2].fileSystem, DetectedFileSystem::hfsPlus);

    std::int64_t readErrors = 0;
    const AllocatedRegionMap live = AllocatedRegionCollector::collect(source, partitions, readErrors);
    EXPECT_EQ(readErrors, 0);
    std::uint64_t liveBytes = 0, coveredBytes = 0;
    for (const Bytes& file : m_live) liveBytes += file.size();
    for (const auto& [start, end] : live.ranges()) coveredBytes += end - start;
    EXPECT_EQ(coveredBytes, liveBytes);
    // Every live file begins where some range begins, and the ranges stay in partition order.
    for (const Bytes& file : m_live) {
        const bool found = std::any_of(live.ranges().begin(), live.ranges().end(), [&](const auto& range) {
            return std::equal(file.begin(), file.begin() + 64, m_device.begin() + static_cast<std::ptrdiff_t>(range.first));
        });
        EXPECT_TRUE(found);
    }
    EXPECT_LT(live.ranges().front().first, exfatOffset);
    EXPECT_GE(live.ranges().back().first, hfsOffset);

    // The deleted files of the FAT and exFAT partitions come back whole and are not taken as reused.
    std::vector<RecoveredHit> hits;
    const auto onHit = [&](const RecoveredHit& hit) { hits.push_back(hit); };
    const auto never = [] { return false; };
    FatUndeleter::recoverDeleted(source, *partitions[0].fatGeometry, everything(), live, never, onHit);
    ExFATUndeleter::recoverDeleted(source, *partitions[1].fatGeometry, everything(), live, never, onHit);
    ASSERT_EQ(hits.size(), 2u);
    for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_FALSE(hits[i].clusterReallocated);
        EXPECT_EQ(ClusterChainReader::extractBytes(source, hits[i], UINT64_MAX), m_deleted[i]);
    }
    EXPECT_EQ(*hits[0].reconstructedPath, "/DCIM/Deleted photo.jpg");
    EXPECT_EQ(*hits[1].reconstructedPath, "/gone.mp4");
}

TEST_F(MixedDevice, ABadSpotInOnePartitionLeavesTheOthersCollected) {
    test::FaultyByteSource source(m_device);
    const auto partitions = FileSystemProbe::probeAll(source);
    ASSERT_EQ(partitions.size(), 3u);
    // The exFAT root directory becomes unreadable.
    const VolumeGeometry& exfat = *partitions[1].fatGeometry;
    source.addBadRange(*exfat.clusterByteOffset(exfat.rootCluster), 512);
    std::int64_t readErrors = 0;
    const AllocatedRegionMap live = AllocatedRegionCollector::collect(source, partitions, readErrors);
    EXPECT_EQ(readErrors, 1);

    // What remains is exactly the FAT32 and HFS+ ranges of an undamaged collection.
    MemoryByteSource intact(m_device);
    std::int64_t intactErrors = 0;
    std::vector<AllocatedRegionMap::Range> expected;
    const AllocatedRegionMap whole = AllocatedRegionCollector::collect(intact, partitions, intactErrors);
    for (const auto& range : whole.ranges())
        if (range.first < exfatOffset || range.first >= hfsOffset) expected.push_back(range);
    EXPECT_EQ(live.ranges(), expected);

    source.unplug();
    EXPECT_THROW(AllocatedRegionCollector::collect(source, partitions, readErrors), PosixError);
}

TEST(AllocatedRegionCollector, GivesAnEmptyMapWithoutFileSystemsToWalk) {
    MemoryByteSource source(Bytes(64 * 1024));
    std::int64_t readErrors = 0;
    DetectedPartition exfatWithoutRoot{0, 64 * 1024, DetectedFileSystem::exfat, VolumeGeometry{}};
    exfatWithoutRoot.fatGeometry->fileSystem = DetectedFileSystem::exfat;
    exfatWithoutRoot.fatGeometry->rootCluster = 1;
    const std::vector<DetectedPartition> partitions{
        {0, 64 * 1024, DetectedFileSystem::unknown, std::nullopt},
        {0, 64 * 1024, DetectedFileSystem::apfs, std::nullopt},
        {0, 64 * 1024, DetectedFileSystem::fat32, std::nullopt},
        exfatWithoutRoot};
    EXPECT_EQ(AllocatedRegionCollector::collect(source, partitions, readErrors).count(), 0u);
    EXPECT_EQ(readErrors, 0);
}

} // namespace
} // namespace vantrel
