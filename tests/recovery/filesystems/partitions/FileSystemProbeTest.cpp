#include "recovery/filesystems/partitions/FileSystemProbe.h"

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/fat/FatEntryReader.h"
#include "recovery/filesystems/partitions/PartitionMap.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/LoopDevice.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <tuple>

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

// Writes count bytes of from, starting at fromOffset, into the image at offset.
void copyBytes(const std::filesystem::path& from, std::uint64_t fromOffset, std::uint64_t count,
               const std::filesystem::path& image, std::uint64_t offset) {
    const Bytes all = test::readFile(from);
    ASSERT_LE(fromOffset + count, all.size());
    std::fstream out(image, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(all.data() + fromOffset), static_cast<std::streamsize>(count));
    ASSERT_TRUE(out.good());
}

// Partitions a device with sfdisk, one partition from start for size sectors of the device's own size.
void partitionDevice(const std::string& device, const std::string& label, std::uint64_t start, std::uint64_t size) {
    test::TempDir dir;
    test::writeFile(dir / "script", [&] {
        const std::string script = "label: " + label + "\nstart=" + std::to_string(start) + ", size=" + std::to_string(size) +
                                   (label == "dos" ? ", type=e" : "") + "\n";
        return Bytes(script.begin(), script.end());
    }());
    test::runOrFail({"/bin/sh", "-c", test::programPath("sfdisk") + " --no-reread --no-tell-kernel -q '" + device +
                                          "' < '" + (dir / "script").string() + "'"});
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
    const std::tuple<const char*, std::function<void(Bytes&)>, std::uint64_t> cases[] = {
        {"3 sectors per cluster", [](Bytes& boot) { boot[13] = 3; }, 16 * mebibyte},
        {"520 bytes per sector", [](Bytes& boot) { put16(boot, 11, 520); }, 16 * mebibyte},
        {"no total sectors", [](Bytes& boot) { put16(boot, 19, 0); }, 16 * mebibyte},
        {"FAT too small for its clusters", [](Bytes& boot) { put16(boot, 22, 2); }, 16 * mebibyte},
        {"more clusters than 16-bit entries address", [](Bytes& boot) { put16(boot, 19, 0); put32(boot, 32, 0x7FFFFFFF); }, UINT64_MAX},
    };
    for (const auto& [why, change, volumeBytes] : cases) {
        Bytes boot = fat16BootSector();
        change(boot);
        EXPECT_FALSE(FileSystemProbe::fatGeometry(boot, 0, volumeBytes)) << why;
    }
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

// The case's name in test names and in gtest's report of its parameter: "Fat16_20MiB".
std::string nameOf(const MadeVolume& made) {
    return "Fat" + std::to_string(made.fatBits) + "_" + std::to_string(made.volumeBytes / mebibyte) + "MiB";
}
void PrintTo(const MadeVolume& made, std::ostream* out) { *out << nameOf(made); }

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
        EXPECT_EQ(FatEntryReader(source, geometry, 0).entry(first), first + 1);
        const std::uint64_t clusters = (contents.size() + geometry.bytesPerCluster() - 1) / geometry.bytesPerCluster();
        const std::uint32_t last = first + static_cast<std::uint32_t>(clusters) - 1;
        EXPECT_FALSE(geometry.isValidCluster(FatEntryReader(source, geometry, 0).entry(last))) << "end of chain";
    }
}

INSTANTIATE_TEST_SUITE_P(
    FileSystemProbe, ProbeOfMadeVolumes,
    ::testing::Values(MadeVolume{12, 2 * mebibyte, {"-s", "1"}, 12, DetectedFileSystem::fat16},
                      MadeVolume{16, 20 * mebibyte, {"-s", "2"}, 16, DetectedFileSystem::fat16},
                      // Above 32 MiB a FAT16 volume counts its sectors in the 32-bit field.
                      MadeVolume{16, 64 * mebibyte, {"-s", "4"}, 16, DetectedFileSystem::fat16},
                      MadeVolume{32, 40 * mebibyte, {"-s", "1"}, 32, DetectedFileSystem::fat32}),
    [](const auto& param) { return nameOf(param.param); });

// A GPT card repartitioned by a tool that rewrote only sector 0: its GPT header still lies at LBA 1,
// naming a partition at 1 MiB, while the MBR in use lists the FAT32 volume at 2 MiB that the kernel sees.
TEST(FileSystemProbe, FindsTheVolumeOfTheMbrInUseBehindAStaleGpt) {
    if (!FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk missing";
    test::TempDir dir;
    FatImageBuilder before(dir / "gpt.img", 44 * mebibyte, mebibyte, 40 * mebibyte);
    before.partition("gpt");
    FatImageBuilder card(dir / "card.img", 44 * mebibyte, 2 * mebibyte, 40 * mebibyte);
    card.partition("dos");
    card.format(32, {"-s", "1"});
    const Bytes contents = test::randomBytes(5000, 8);
    card.copyIn(contents, "/LIVE.BIN");
    // The GPT header and its entry array, LBA 1 to 33, as the old table left them.
    copyBytes(before.image(), 512, 33 * 512, card.image(), 512);

    FileByteSource source(card.image().string());
    ASSERT_TRUE(PartitionMap::gptRanges(source).size() == 1) << "the stale GPT is still there";
    const auto partitions = FileSystemProbe::probeAll(source);
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(partitions[0].offset, 2 * mebibyte);
    EXPECT_EQ(partitions[0].fileSystem, DetectedFileSystem::fat32);
}

// A disk with 4 KiB logical sectors, as many USB enclosures of large disks present: its maps count in
// 4 KiB sectors. The device says so itself; its image says so through a GPT header at 4096, or, with only
// an MBR, through the file system that its partitions hold in 4 KiB sectors and not in 512-byte ones.
TEST(FileSystemProbe, FindsTheVolumeOfADiskWith4KiBSectors) {
    if (const auto reason = test::LoopDevice::unavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    if (!FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk missing";
    constexpr std::uint64_t sector = 4096;
    test::TempDir dir;
    FatImageBuilder volume(dir / "volume.img", 32 * mebibyte, 0, 32 * mebibyte);
    volume.format(16, {"-S", "4096", "-s", "1"});
    const Bytes contents = test::randomBytes(9000, 9);
    volume.copyIn(contents, "/LIVE.BIN");

    for (const std::string label : {"gpt", "dos"}) {
        SCOPED_TRACE(label);
        const auto image = dir / (label + ".img");
        { std::ofstream create(image, std::ios::binary | std::ios::trunc); }
        std::filesystem::resize_file(image, 40 * mebibyte);
        {
            test::LoopDevice writable(image, static_cast<int>(sector), false);
            ASSERT_FALSE(writable.path().empty()) << "no loop device available";
            partitionDevice(writable.path(), label, mebibyte / sector, 32 * mebibyte / sector);
        }
        copyBytes(volume.image(), 0, 32 * mebibyte, image, mebibyte);

        test::LoopDevice loop(image, static_cast<int>(sector));
        ASSERT_FALSE(loop.path().empty()) << "no loop device available";
        FileByteSource device(loop.path());
        ASSERT_EQ(device.blockSize(), sector);
        FileByteSource imageFile(image.string());
        for (ByteSource* source : {static_cast<ByteSource*>(&device), static_cast<ByteSource*>(&imageFile)}) {
            const auto partitions = FileSystemProbe::probeAll(*source);
            ASSERT_EQ(partitions.size(), 1u);
            EXPECT_EQ(partitions[0].offset, mebibyte);
            EXPECT_EQ(partitions[0].length, 32 * mebibyte);
            ASSERT_EQ(partitions[0].fileSystem, DetectedFileSystem::fat16);
            const VolumeGeometry& geometry = *partitions[0].fatGeometry;
            EXPECT_EQ(geometry.bytesPerSector, sector);
            const auto first = geometry.clusterByteOffset(2);
            ASSERT_TRUE(first);
            EXPECT_EQ(source->read(*first, 64), Bytes(contents.begin(), contents.begin() + 64));
        }
    }
}

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
    EXPECT_EQ(FatEntryReader(source, geometry, 0).entry(1), 0xFFFFFFFFu);
}

} // namespace
} // namespace vantrel
