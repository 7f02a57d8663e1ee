#include "recovery/filesystems/FileSystemProbe.h"

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/FatTable.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace vantrel {
namespace {

using test::FatImageBuilder;

constexpr std::uint64_t mebibyte = 1024 * 1024;

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A FAT16 boot sector: 512-byte sectors, 4 sectors per cluster, 1 reserved sector, 2 FATs of 32
// sectors, 512 root entries, 32,768 sectors (16 MiB): 8,159 clusters.
Bytes fat16BootSector() {
    Bytes boot(512, 0);
    put16(boot, 11, 512);
    boot[13] = 4;
    put16(boot, 14, 1);
    boot[16] = 2;
    put16(boot, 17, 512);
    put16(boot, 19, 32768);
    put16(boot, 22, 32);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    return boot;
}

// An exFAT boot sector: 512-byte sectors, 8 sectors per cluster, FAT at 128 for 128 sectors, heap at
// 256, 1,000 clusters, root at cluster 4; the volume is 8,448 sectors.
Bytes exfatBootSector(std::uint8_t sectorShift = 9, std::uint8_t clusterShift = 3) {
    Bytes boot(512, 0);
    for (std::size_t i = 0; i < 8; ++i) boot[3 + i] = static_cast<std::uint8_t>("EXFAT   "[i]);
    put64(boot, 72, 8448);
    put32(boot, 80, 128);
    put32(boot, 84, 128);
    put32(boot, 88, 256);
    put32(boot, 92, 1000);
    put32(boot, 96, 4);
    boot[108] = sectorShift;
    boot[109] = clusterShift;
    boot[110] = 1;
    return boot;
}

TEST(FileSystemProbe, ShortSourceIsOneUnknownPartition) {
    MemoryByteSource source(Bytes(300, 0xAB));
    const auto partitions = FileSystemProbe::probeAll(source);
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(partitions[0], (DetectedPartition{0, 300, DetectedFileSystem::unknown, std::nullopt}));
}

TEST(FileSystemProbe, DerivesFat16GeometryFromClusterCount) {
    const Bytes boot = fat16BootSector();
    const auto geometry = FileSystemProbe::fatGeometry(boot, 1 * mebibyte, 16 * mebibyte);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->fileSystem, DetectedFileSystem::fat16);
    EXPECT_EQ(geometry->fatEntryBits, 16);
    EXPECT_EQ(geometry->clusterCount, (32768u - 1 - 64 - 32) / 4);
    EXPECT_EQ(geometry->fatByteOffset, 1 * mebibyte + 512);
    // The fixed root directory (512 × 32 bytes) lies between the last FAT and cluster 2.
    EXPECT_EQ(geometry->clusterHeapByteOffset, geometry->fatByteOffset + 64 * 512 + 16384);
    EXPECT_EQ(geometry->rootCluster, 0u);
}

TEST(FileSystemProbe, RejectsFatFieldsOutOfRange) {
    Bytes boot = fat16BootSector();
    boot[13] = 3;
    EXPECT_FALSE(FileSystemProbe::fatGeometry(boot, 0, 16 * mebibyte)) << "3 sectors per cluster";
    boot = fat16BootSector();
    put16(boot, 11, 520);
    EXPECT_FALSE(FileSystemProbe::fatGeometry(boot, 0, 16 * mebibyte)) << "520 bytes per sector";
    boot = fat16BootSector();
    put16(boot, 19, 0);
    EXPECT_FALSE(FileSystemProbe::fatGeometry(boot, 0, 16 * mebibyte)) << "no total sectors";
    boot = fat16BootSector();
    put16(boot, 22, 2);
    EXPECT_FALSE(FileSystemProbe::fatGeometry(boot, 0, 16 * mebibyte)) << "FAT too small for its clusters";
    boot = fat16BootSector();
    put16(boot, 19, 0);
    put32(boot, 32, 0x7FFFFFFF);
    EXPECT_FALSE(FileSystemProbe::fatGeometry(boot, 0, UINT64_MAX)) << "more clusters than 16-bit entries address";
}

TEST(FileSystemProbe, Fat32FormKeepsItsRootClusterAtLeastTwo) {
    Bytes boot(512, 0);
    put16(boot, 11, 512);
    boot[13] = 1;
    put16(boot, 14, 32);
    boot[16] = 2;
    put32(boot, 32, 100000);
    put32(boot, 36, 800);
    put32(boot, 44, 1);
    const auto geometry = FileSystemProbe::fatGeometry(boot, 0, 100000 * 512);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->fileSystem, DetectedFileSystem::fat32);
    EXPECT_EQ(geometry->fatEntryBits, 32);
    EXPECT_EQ(geometry->rootCluster, 2u);
}

TEST(FileSystemProbe, ExfatShiftsAreBounded) {
    EXPECT_TRUE(FileSystemProbe::exfatGeometry(exfatBootSector(), 0, 8448 * 512));
    EXPECT_FALSE(FileSystemProbe::exfatGeometry(exfatBootSector(13, 3), 0, UINT64_MAX));
    EXPECT_FALSE(FileSystemProbe::exfatGeometry(exfatBootSector(12, 14), 0, UINT64_MAX));
    Bytes boot = exfatBootSector();
    put32(boot, 92, 100000);
    EXPECT_FALSE(FileSystemProbe::exfatGeometry(boot, 0, UINT64_MAX)) << "more clusters than the FAT holds";
}

// A partition made smaller after formatting (or a volume made over more than its partition): the volume
// is taken with the clusters inside the partition; one whose cluster heap starts outside is refused.
TEST(FileSystemProbe, AVolumeLargerThanItsPartitionKeepsTheClustersInsideIt) {
    const Bytes fat16 = fat16BootSector();
    auto geometry = FileSystemProbe::fatGeometry(fat16, mebibyte, 8 * mebibyte);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->clusterCount, (16384u - 1 - 64 - 32) / 4);
    // The FAT type and the volume's size are as the boot sector declares them.
    EXPECT_EQ(geometry->fatEntryBits, 16);
    EXPECT_EQ(geometry->totalSectors, 32768u);
    EXPECT_LE(geometry->clusterHeapEnd(), 9 * mebibyte);
    EXPECT_TRUE(FileSystemProbe::fatGeometry(fat16, 0, (1 + 64 + 32 + 4) * 512)) << "one cluster fits";
    EXPECT_FALSE(FileSystemProbe::fatGeometry(fat16, 0, (1 + 64 + 32 + 3) * 512)) << "no whole cluster fits";
    EXPECT_FALSE(FileSystemProbe::fatGeometry(fat16, 0, (1 + 64 + 32) * 512)) << "heap starts at the partition's end";

    const Bytes exfat = exfatBootSector();
    geometry = FileSystemProbe::exfatGeometry(exfat, 0, 4256 * 512);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->clusterCount, (4256u - 256) / 8);
    EXPECT_EQ(geometry->totalSectors, 8448u);
    EXPECT_EQ(FileSystemProbe::exfatGeometry(exfat, 0, 8447 * 512)->clusterCount, 1000u) << "volume past, heap inside";
    EXPECT_TRUE(FileSystemProbe::exfatGeometry(exfat, 0, 264 * 512));
    EXPECT_FALSE(FileSystemProbe::exfatGeometry(exfat, 0, 263 * 512));
    EXPECT_FALSE(FileSystemProbe::exfatGeometry(exfat, 0, 256 * 512));
    // A heap that runs past the volume's own declared length is no sound volume.
    Bytes pastVolume = exfat;
    put64(pastVolume, 72, 8000);
    EXPECT_FALSE(FileSystemProbe::exfatGeometry(pastVolume, 0, UINT64_MAX));
}

TEST(FileSystemProbe, ExfatGeometryIsAbsolute) {
    const auto geometry = FileSystemProbe::exfatGeometry(exfatBootSector(), 2048 * 512, 8448 * 512);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->fileSystem, DetectedFileSystem::exfat);
    EXPECT_EQ(geometry->bytesPerCluster(), 4096u);
    EXPECT_EQ(geometry->fatByteOffset, 2048u * 512 + 128 * 512);
    EXPECT_EQ(geometry->clusterHeapByteOffset, 2048u * 512 + 256 * 512);
    EXPECT_EQ(geometry->rootCluster, 4u);
    EXPECT_EQ(geometry->clusterCount, 1000u);
}

TEST(FileSystemProbe, SignaturesFollowTheirPrecedence) {
    Bytes image(16384, 0);
    image[0x2000] = 'B';
    image[0x2001] = 'D';
    MemoryByteSource hfs(image);
    EXPECT_EQ(FileSystemProbe::probeAll(hfs)[0].fileSystem, DetectedFileSystem::hfs);
    image[0x400] = 'H';
    image[0x401] = '+';
    MemoryByteSource hfsPlus(image);
    EXPECT_EQ(FileSystemProbe::probeAll(hfsPlus)[0].fileSystem, DetectedFileSystem::hfsPlus);
    for (std::size_t i = 0; i < 4; ++i) image[32 + i] = static_cast<std::uint8_t>("NXSB"[i]);
    MemoryByteSource apfs(image);
    EXPECT_EQ(FileSystemProbe::probeAll(apfs)[0].fileSystem, DetectedFileSystem::apfs);
}

TEST(FileSystemProbe, UnreadableBootSectorIsCountedAndThePartitionUnknown) {
    Bytes image(16 * mebibyte, 0);
    const Bytes boot = fat16BootSector();
    std::copy(boot.begin(), boot.end(), image.begin());
    test::FaultyByteSource source(image);
    ASSERT_EQ(FileSystemProbe::probeAll(source)[0].fileSystem, DetectedFileSystem::fat16);
    source.addBadRange(2048, 512);
    EXPECT_EQ(FileSystemProbe::probeAll(source)[0].fileSystem, DetectedFileSystem::fat16)
        << "a bad spot in the FAT does not hide the boot sector before it";
    source.addBadRange(0, 512);
    EXPECT_THROW(FileSystemProbe::probeAll(source), ByteSourceError);
    std::int64_t readErrors = 0;
    const auto partitions = FileSystemProbe::probeAll(source, readErrors);
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(partitions[0].fileSystem, DetectedFileSystem::unknown);
    EXPECT_GE(readErrors, 1);
    source.unplug();
    EXPECT_THROW(FileSystemProbe::probeAll(source, readErrors), PosixError) << "a device that is gone ends the probe";
}

struct MadeVolume {
    int fatBits;
    std::uint64_t volumeBytes;
    std::vector<std::string> mkfsArguments;
    std::uint8_t expectedEntryBits;
    DetectedFileSystem expectedFileSystem;
};

class ProbeOfMadeVolumes : public ::testing::TestWithParam<MadeVolume> {};

// The geometry is right when a file written by mtools is found where the geometry puts its first
// cluster, and its FAT chain reads back as the consecutive clusters mtools allocated.
TEST_P(ProbeOfMadeVolumes, FindsWhatMtoolsWrote) {
    if (!FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk missing";
    const MadeVolume& made = GetParam();
    test::TempDir dir;
    for (const std::string label : {"", "dos", "gpt"}) {
        SCOPED_TRACE(label.empty() ? "whole device" : label);
        const std::uint64_t volumeOffset = label.empty() ? 0 : mebibyte;
        const std::uint64_t imageBytes = made.volumeBytes + (label.empty() ? 0 : 2 * mebibyte);
        FatImageBuilder builder(dir / ("v" + label + ".img"), imageBytes, volumeOffset, made.volumeBytes);
        if (!label.empty()) builder.partition(label);
        builder.format(made.fatBits, made.mkfsArguments);
        const Bytes contents = test::randomBytes(70000, 7);
        builder.copyIn(contents, "/FIRST.BIN");

        FileByteSource source(builder.image().string());
        const auto partitions = FileSystemProbe::probeAll(source);
        ASSERT_EQ(partitions.size(), 1u);
        const DetectedPartition& partition = partitions[0];
        EXPECT_EQ(partition.offset, volumeOffset);
        EXPECT_EQ(partition.fileSystem, made.expectedFileSystem);
        ASSERT_TRUE(partition.fatGeometry);
        const VolumeGeometry& geometry = *partition.fatGeometry;
        EXPECT_EQ(geometry.fatEntryBits, made.expectedEntryBits);
        EXPECT_EQ(geometry.partitionOffset, volumeOffset);

        // mtools gives the first file of a fresh volume the first free cluster after the root.
        const std::uint32_t first = made.expectedEntryBits == 32 ? geometry.rootCluster + 1 : 2;
        const auto offset = geometry.clusterByteOffset(first);
        ASSERT_TRUE(offset);
        EXPECT_EQ(source.read(*offset, 64), Bytes(contents.begin(), contents.begin() + 64));
        EXPECT_EQ(readFatEntry(source, geometry, first), first + 1);
        const std::uint64_t clusters = (contents.size() + geometry.bytesPerCluster() - 1) / geometry.bytesPerCluster();
        const std::uint32_t last = first + static_cast<std::uint32_t>(clusters) - 1;
        EXPECT_FALSE(FatTable::isChainLink(geometry, readFatEntry(source, geometry, last))) << "end of chain";
    }
}

INSTANTIATE_TEST_SUITE_P(
    FileSystemProbe, ProbeOfMadeVolumes,
    ::testing::Values(MadeVolume{12, 2 * mebibyte, {"-s", "1"}, 12, DetectedFileSystem::fat16},
                      MadeVolume{16, 20 * mebibyte, {"-s", "2"}, 16, DetectedFileSystem::fat16},
                      // Above 32 MiB a FAT16 volume counts its sectors in the 32-bit field.
                      MadeVolume{16, 64 * mebibyte, {"-s", "4"}, 16, DetectedFileSystem::fat16},
                      MadeVolume{32, 40 * mebibyte, {"-s", "1"}, 32, DetectedFileSystem::fat32}),
    [](const auto& param) {
        return "Fat" + std::to_string(param.param.fatBits) + "_" + std::to_string(param.param.volumeBytes / mebibyte) + "MiB";
    });

TEST(FileSystemProbe, RecognisesAVolumeMadeByMkfsExfat) {
    const std::string mkfs = test::programPath("mkfs.exfat");
    if (mkfs.empty()) GTEST_SKIP() << "mkfs.exfat missing";
    test::TempDir dir;
    const auto image = dir / "exfat.img";
    {
        std::ofstream create(image, std::ios::binary);
    }
    std::filesystem::resize_file(image, 32 * mebibyte);
    test::runOrFail({mkfs, image.string()});
    FileByteSource source(image.string());
    const auto partitions = FileSystemProbe::probeAll(source);
    ASSERT_EQ(partitions.size(), 1u);
    ASSERT_EQ(partitions[0].fileSystem, DetectedFileSystem::exfat);
    const VolumeGeometry& geometry = *partitions[0].fatGeometry;
    EXPECT_GE(geometry.rootCluster, 2u);
    EXPECT_LE(geometry.clusterHeapEnd(), 32 * mebibyte);
    // Clusters 0 and 1 of an exFAT FAT hold the media descriptor and 0xFFFFFFFF.
    EXPECT_EQ(readFatEntry(source, geometry, 1), 0xFFFFFFFFu);
}

} // namespace
} // namespace vantrel
