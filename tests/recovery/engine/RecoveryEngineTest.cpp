#include "recovery/engine/RecoveryEngine.h"

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/LoopDevice.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace vantrel {
namespace {

using Kind = RecoveredFileKind;
constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * 1024;

RecoveryFilters everything() {
    RecoveryFilters filters;
    for (const Kind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    return filters;
}

// What one scan handed back.
struct Outcome {
    std::vector<ScanProgress> progress;
    std::vector<RecoveredHit> hits;
};

Outcome scan(ByteSource& source, ScanMode mode, const RecoveryFilters& filters = everything(),
             const std::function<bool()>& shouldCancel = [] { return false; }) {
    Outcome outcome;
    RecoveryEngine().scan(source, mode, filters, shouldCancel,
                          [&](const ScanProgress& progress) { outcome.progress.push_back(progress); },
                          [&](const RecoveredHit& hit) { outcome.hits.push_back(hit); });
    return outcome;
}

ScanProgress at(std::uint64_t scanned, std::uint64_t total, std::int64_t hits = 0, std::int64_t errors = 0) {
    return ScanProgress{scanned, total, hits, errors};
}

TEST(RecoveryEngine, ReportsTheStartAndTheFirstPercentOfASourceWithoutFileSystems) {
    MemoryByteSource empty;
    const auto none = scan(empty, ScanMode::quickUndelete);
    ASSERT_FALSE(none.progress.empty());
    EXPECT_EQ(none.progress.front(), at(0, 0));
    EXPECT_EQ(none.progress.back(), at(0, 0));

    MemoryByteSource fifty(Bytes(50, 0));
    const auto small = scan(fifty, ScanMode::quickUndelete);
    ASSERT_EQ(small.progress.size(), 3u);
    EXPECT_EQ(small.progress[0], at(0, 50));
    EXPECT_EQ(small.progress[1], at(1, 50));
    EXPECT_EQ(small.progress[2], at(50, 50));

    MemoryByteSource odd(Bytes(12345, 0));
    const auto oddScan = scan(odd, ScanMode::quickUndelete);
    ASSERT_EQ(oddScan.progress.size(), 3u);
    EXPECT_EQ(oddScan.progress[1], at(123, 12345));
    EXPECT_TRUE(oddScan.hits.empty());
}

TEST(RecoveryEngine, ACancelBeforeTheFirstPartitionEndsQuietly) {
    Bytes device(8 * MiB, 0);
    const Bytes jpeg = test::SampleContent::jpeg(320, 240, 20000, 1);
    std::copy(jpeg.begin(), jpeg.end(), device.begin() + static_cast<std::ptrdiff_t>(MiB));
    MemoryByteSource source(device);
    const auto outcome = scan(source, ScanMode::standard, everything(), [] { return true; });
    EXPECT_TRUE(outcome.hits.empty());
    ASSERT_EQ(outcome.progress.size(), 2u); // the start and the first percent; no carving, no final report
    EXPECT_EQ(outcome.progress[1], at(8 * MiB / 100, 8 * MiB));
}

TEST(RecoveryEngine, AVanishedDeviceEndsTheScanWithItsError) {
    test::FaultyByteSource source(Bytes(8 * MiB, 0));
    source.unplug();
    EXPECT_THROW(scan(source, ScanMode::standard), PosixError);
}

TEST(RecoveryEngine, ADeviceThatVanishesWhileCarvingEndsTheScanWithoutAFinalReport) {
    test::FaultyByteSource source(Bytes(24 * MiB, 0));
    std::vector<ScanProgress> reports;
    const auto onProgress = [&](const ScanProgress& progress) {
        reports.push_back(progress);
        // Pulled out after the carver's first window.
        if (progress.bytesScanned > 8 * MiB / 100) source.unplug();
    };
    try {
        RecoveryEngine().scan(source, ScanMode::standard, everything(), [] { return false; }, onProgress,
                              [](const RecoveredHit&) {});
        ADD_FAILURE() << "the scan ended as if complete";
    } catch (const PosixError& error) {
        EXPECT_TRUE(error.isDeviceGone());
    }
    ASSERT_FALSE(reports.empty());
    EXPECT_LT(reports.back().bytesScanned, 24 * MiB);
}

// Runs a scan in which shrink() is called from the first progress report past progressBefore, and
// expects it to end with deviceChanged rather than as complete. Gives the reports seen.
std::vector<ScanProgress> scanThatShrinks(ByteSource& source, ScanMode mode, std::uint64_t progressBefore,
                                          const std::function<void()>& shrink) {
    std::vector<ScanProgress> reports;
    bool shrunk = false;
    const auto onProgress = [&](const ScanProgress& progress) {
        reports.push_back(progress);
        if (!shrunk && progress.bytesScanned >= progressBefore) {
            shrunk = true;
            shrink();
        }
    };
    try {
        RecoveryEngine().scan(source, mode, everything(), [] { return false; }, onProgress, [](const RecoveredHit&) {});
        ADD_FAILURE() << "the scan ended as if complete";
    } catch (const ByteSourceError& error) {
        EXPECT_EQ(error.kind(), ByteSourceError::Kind::deviceChanged) << error.what();
        EXPECT_NE(std::string(error.what()).find("device changed"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(shrunk);
    return reports;
}

TEST(RecoveryEngine, ADeviceThatShrinksMidScanEndsWithADeviceChange) {
    for (const ScanMode mode : {ScanMode::standard, ScanMode::quickUndelete}) {
        SCOPED_TRACE(std::string(ScanModeName::rawValue(mode)));
        test::FaultyByteSource source(Bytes(24 * MiB, 0));
        // During the walks for the quick scan, after the carver's first window for the standard one.
        const auto reports = scanThatShrinks(source, mode, mode == ScanMode::standard ? 4 * MiB : 0,
                                             [&] { source.shrinkTo(2 * MiB); });
        ASSERT_FALSE(reports.empty());
        EXPECT_LT(reports.back().bytesScanned, 24 * MiB);
        EXPECT_EQ(reports.back().readErrors, 0) << "the missing end is not read block by block";
    }
}

TEST(RecoveryEngine, AnImageTruncatedMidScanEndsWithADeviceChange) {
    test::TempDir dir;
    const auto image = dir / "card.img";
    test::writeFile(image, Bytes(24 * MiB, 0));
    FileByteSource source(image.string());
    scanThatShrinks(source, ScanMode::standard, 4 * MiB, [&] { std::filesystem::resize_file(image, 6 * MiB); });
}

TEST(RecoveryEngine, ALoopDeviceResizedMidScanEndsWithADeviceChange) {
    if (const auto reason = test::LoopDevice::unavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    test::TempDir dir;
    const auto image = dir / "disk.img";
    { std::ofstream create(image, std::ios::binary); }
    std::filesystem::resize_file(image, 64 * MiB);
    test::LoopDevice loop(image, 512);
    if (loop.path().empty()) GTEST_SKIP() << "no loop device available";
    FileByteSource source(loop.path());
    scanThatShrinks(source, ScanMode::standard, 4 * MiB, [&] {
        std::filesystem::resize_file(image, 8 * MiB);
        EXPECT_TRUE(loop.refreshCapacity());
    });
}

// An MBR with one partition entry of the given type over [startSector, startSector + sectors).
void writeMBR(Bytes& device, std::uint8_t type, std::uint32_t startSector, std::uint32_t sectors) {
    device[446 + 4] = type;
    for (int i = 0; i < 4; ++i) {
        device[446 + 8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(startSector >> (8 * i));
        device[446 + 12 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sectors >> (8 * i));
    }
    device[510] = 0x55;
    device[511] = 0xAA;
}

TEST(RecoveryEngine, HFSAndAPFSPartitionsAreOnlyCarved) {
    for (const bool apfs : {true, false}) {
        Bytes device(8 * MiB, 0);
        writeMBR(device, 0xAF, 2048, 7 * 2048);
        const std::size_t partition = MiB;
        if (apfs) {
            std::copy_n("NXSB", 4, device.begin() + static_cast<std::ptrdiff_t>(partition + 32));
        } else {
            device[partition + 1024] = 'B';
            device[partition + 1025] = 'D';
        }
        const Bytes jpeg = test::SampleContent::jpeg(320, 240, 20000, 3);
        std::copy(jpeg.begin(), jpeg.end(), device.begin() + static_cast<std::ptrdiff_t>(partition + MiB));
        MemoryByteSource source(device);
        const auto partitions = FileSystemProbe::probeAll(source);
        ASSERT_EQ(partitions.size(), 1u);
        EXPECT_EQ(partitions[0].fileSystem, apfs ? DetectedFileSystem::apfs : DetectedFileSystem::hfs);
        EXPECT_TRUE(scan(source, ScanMode::quickUndelete).hits.empty());
        const auto carved = scan(source, ScanMode::standard).hits;
        ASSERT_EQ(carved.size(), 1u);
        EXPECT_EQ(carved[0].byteOffset, partition + MiB);
        EXPECT_EQ(carved[0].source, HitSource::signatureCarve);
    }
}

TEST(RecoveryEngine, BadSpotsBeforeCarvingAreCountedAndTheScanGoesOn) {
    Bytes device(8 * MiB, 0);
    const Bytes jpeg = test::SampleContent::jpeg(320, 240, 20000, 2);
    std::copy(jpeg.begin(), jpeg.end(), device.begin() + static_cast<std::ptrdiff_t>(2 * MiB));
    test::FaultyByteSource source(device);
    source.addBadRange(0, 512); // the partition map
    const auto outcome = scan(source, ScanMode::standard);
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_GE(outcome.progress.back().readErrors, 1);
    EXPECT_EQ(outcome.progress.back().bytesScanned, 8 * MiB);
    ASSERT_EQ(outcome.hits.size(), 1u);
    EXPECT_EQ(outcome.hits[0].byteOffset, 2 * MiB);
    EXPECT_EQ(outcome.hits[0].byteLength, jpeg.size());
}


// ---------------------------------------------------------------------------------------------------
// Whole images: FAT16, FAT32, HFS+ and exFAT partitions made at test time, and free space holding files that
// only carving finds.

struct Placed {
    HitSource source;
    Kind kind;
    std::uint64_t offset;
    std::uint64_t length;
    std::optional<ImageDimensions> dimensions;
};

std::string describe(HitSource source, Kind kind, std::uint64_t offset, std::uint64_t length,
                     const std::optional<ImageDimensions>& dimensions) {
    std::ostringstream line;
    line << HitSourceName::rawValue(source) << ' ' << FileKind::rawValue(kind) << ' ' << offset << ' ' << length;
    if (dimensions) line << ' ' << dimensions->width << 'x' << dimensions->height;
    return line.str();
}

std::vector<std::string> sortedLines(const std::vector<RecoveredHit>& hits) {
    std::vector<std::string> lines;
    for (const auto& hit : hits) lines.push_back(describe(hit.source, hit.kind, hit.byteOffset, hit.byteLength, hit.dimensions));
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::uint64_t find(const Bytes& image, const Bytes& content) {
    const auto at = test::offsetOf(image, content);
    EXPECT_NE(at, image.size());
    return at;
}

Bytes readWhole(const std::filesystem::path& path) {
    Bytes bytes(std::filesystem::file_size(path));
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// An exFAT volume made by mkfs.exfat with 4 KiB clusters over a file of the given size.
test::ExFatImageWriter formattedExFat(const std::filesystem::path& path, std::uint64_t bytes) {
    test::writeFile(path, Bytes(bytes));
    test::runOrFail({"mkfs.exfat", "-c", "4096", path.string()});
    return test::ExFatImageWriter(readWhole(path));
}

test::ExFatFileOptions deletedFile() {
    test::ExFatFileOptions options;
    options.deleted = true;
    return options;
}

// A volume made on 8 MiB in a partition that the table says holds 6 MiB (a partition shrunk after
// formatting): its files inside the partition are walked, its live ones kept out of carving.
TEST(RecoveryEngine, AVolumeThatClaimsMoreThanItsPartitionIsTakenUpToThePartitionsEnd) {
    if (!test::FatImageBuilder::available() || !test::haveProgram("mkfs.exfat"))
        GTEST_SKIP() << "mkfs.fat, mtools, sfdisk or mkfs.exfat is not installed";
    constexpr std::uint64_t partitionOffset = MiB, partitionBytes = 6 * MiB, volumeBytes = 8 * MiB;
    const Bytes liveJPEG = test::SampleContent::jpeg(320, 240, 40000, 31);
    const Bytes goneJPEG = test::SampleContent::jpeg(400, 300, 50000, 32);
    for (const DetectedFileSystem fileSystem : {DetectedFileSystem::exfat, DetectedFileSystem::fat16}) {
        SCOPED_TRACE(std::string(FileSystemName::rawValue(fileSystem)));
        test::TempDir dir;
        const auto volumePath = dir / "volume.img";
        Bytes volume;
        if (fileSystem == DetectedFileSystem::exfat) {
            test::ExFatImageWriter exfat = formattedExFat(volumePath, volumeBytes);
            exfat.addFile(exfat.rootCluster(), "live.jpg", liveJPEG);
            exfat.addFile(exfat.rootCluster(), "gone.jpg", goneJPEG, deletedFile());
            volume = exfat.image();
        } else {
            test::FatImageBuilder fat(volumePath, volumeBytes, 0, volumeBytes);
            fat.format(16, {"-s", "1"});
            fat.copyIn(liveJPEG, "/live.jpg");
            fat.copyIn(goneJPEG, "/gone.jpg");
            fat.remove("/gone.jpg");
            volume = readWhole(volumePath);
        }
        Bytes device(partitionOffset + partitionBytes + MiB, 0);
        std::copy_n(volume.begin(), partitionBytes, device.begin() + static_cast<std::ptrdiff_t>(partitionOffset));
        writeMBR(device, fileSystem == DetectedFileSystem::exfat ? 0x07 : 0x06,
                 static_cast<std::uint32_t>(partitionOffset / 512), static_cast<std::uint32_t>(partitionBytes / 512));
        MemoryByteSource source(device);

        const auto partitions = FileSystemProbe::probeAll(source);
        ASSERT_EQ(partitions.size(), 1u);
        ASSERT_EQ(partitions[0].fileSystem, fileSystem);
        const VolumeGeometry& geometry = *partitions[0].fatGeometry;
        EXPECT_LE(geometry.clusterHeapEnd(), partitionOffset + partitionBytes);
        EXPECT_GT(geometry.clusterHeapEnd() + geometry.bytesPerCluster(), partitionOffset + partitionBytes);

        const auto lines = sortedLines(scan(source, ScanMode::standard).hits);
        const HitSource walk = fileSystem == DetectedFileSystem::exfat ? HitSource::exfatUndelete : HitSource::fatUndelete;
        const std::uint64_t gone = find(device, goneJPEG);
        std::vector<std::string> expected{
            describe(HitSource::signatureCarve, Kind::jpeg, gone, goneJPEG.size(), ImageDimensions{400, 300}),
            describe(walk, Kind::jpeg, gone, goneJPEG.size(), ImageDimensions{400, 300})};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(lines, expected);
    }
}

// A disk of older layout: a primary FAT partition, then an extended one holding two logical FAT volumes,
// each with a deleted file that a quick scan finds by its name. A chain whose first link points outside
// the extended partition loses the second logical volume only.
TEST(RecoveryEngine, LogicalPartitionsInsideAnExtendedOneAreWalkedLikePrimaries) {
    if (!test::FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk is not installed";
    constexpr std::uint64_t sector = 512;
    struct Volume {
        std::uint64_t startSector;
        const char* path;
        std::uint64_t seed;
    };
    const std::vector<Volume> volumes{{2048, "/Primary photo.jpg", 41}, {12288, "/Logical one.jpg", 42},
                                      {30720, "/DCIM/Logical two.jpg", 43}};
    constexpr std::uint64_t volumeSectors = 16384;
    test::TempDir dir;
    const auto imagePath = dir / "disk.img";
    {
        test::FatImageBuilder first(imagePath, 24 * MiB, volumes[0].startSector * sector, 8 * MiB);
        test::FatImageBuilder::writePartitionTable(imagePath, "label: dos\n"
                                                              "start=2048, size=8192, type=c\n"
                                                              "start=10240, size=38912, type=5\n"
                                                              "start=12288, size=16384, type=c\n"
                                                              "start=30720, size=16384, type=e\n");
    }
    std::vector<Bytes> contents;
    for (const Volume& volume : volumes) {
        auto fat = test::FatImageBuilder::inExistingImage(imagePath, volume.startSector * sector,
                                                          volume.startSector == 2048 ? 4 * MiB : volumeSectors * sector);
        fat.format(16, {"-s", "1"});
        contents.push_back(test::SampleContent::jpeg(320, 240, 30000, volume.seed));
        const std::string path = volume.path;
        if (path.rfind('/') > 0) fat.makeDirectory(path.substr(0, path.rfind('/')));
        fat.copyIn(test::SampleContent::jpeg(200, 100, 15000, volume.seed + 100), path + ".live.jpg");
        fat.copyIn(contents.back(), path);
        fat.remove(path);
    }
    Bytes disk = readWhole(imagePath);

    const auto deletedHits = [&](const Bytes& image) {
        MemoryByteSource source(image);
        std::vector<std::string> found;
        for (const RecoveredHit& hit : scan(source, ScanMode::quickUndelete).hits) {
            EXPECT_EQ(hit.source, HitSource::fatUndelete);
            found.push_back(hit.reconstructedPath.value_or("") + " @" + std::to_string(hit.byteOffset));
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < volumes.size(); ++i)
        expected.push_back(std::string(volumes[i].path) + " @" + std::to_string(find(disk, contents[i])));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(deletedHits(disk), expected);

    // The first EBR's link to the next: second entry, first LBA, counted from the extended partition.
    const std::size_t link = 10240 * sector + 446 + 16 + 8;
    for (const std::uint32_t outside : {38912u, 0x7FFFFFFFu}) {
        for (int i = 0; i < 4; ++i) disk[link + i] = static_cast<std::uint8_t>(outside >> (8 * i));
        std::vector<std::string> withoutSecond = expected;
        std::erase_if(withoutSecond, [](const std::string& line) { return line.starts_with("/DCIM/"); });
        EXPECT_EQ(deletedHits(disk), withoutSecond) << "a link to sector " << outside << " of the extended partition";
    }
}

// The files of the image, and the image itself, made once for the suite (the FAT tools take seconds). The
// scans read the image's file: a copy of it in memory for each is written byte by byte in the sanitizer build.
struct ImageContents {
    static constexpr std::uint64_t fat16Offset = 1 * MiB, fat16Bytes = 16 * MiB;
    static constexpr std::uint64_t fat32Offset = 17 * MiB, fat32Bytes = 36 * MiB;
    static constexpr std::uint64_t hfsOffset = 53 * MiB, hfsBytes = 4 * MiB;
    static constexpr std::uint64_t exfatOffset = 57 * MiB, exfatBytes = 4 * MiB;
    static constexpr std::uint64_t freeOffset = 61 * MiB, imageBytes = 68 * MiB;

    const Bytes goneJPEG = test::SampleContent::jpeg(640, 480, 60000, 11);
    const Bytes liveJPEG = test::SampleContent::jpeg(320, 240, 30000, 12);
    const Bytes gonePNG = test::SampleContent::png(200, 100, 20000, 13);
    const Bytes livePDF = test::SampleContent::pdf(40000, 14);
    const Bytes goneGIF = test::SampleContent::gif(100, 80, 10000, 15);
    const Bytes goneDOCX = test::SampleContent::zip({{"[Content_Types].xml", Bytes(300, 'x')},
                                                     {"word/document.xml", test::randomBytes(50000, 16)}}, "");
    const Bytes hfsJPEG = test::SampleContent::jpeg(800, 600, 90000, 17);
    const Bytes liveMOV = test::SampleContent::isoMedia("qt  ", 120000, 25);
    const Bytes goneMP4 = test::SampleContent::isoMedia("isom", 150000, 26);
    const Bytes goneExFatJPEG = test::SampleContent::jpeg(400, 300, 25000, 27);
    const Bytes freeJPEG = test::SampleContent::jpeg(1024, 768, 200000, 18);
    const Bytes freePNG = test::SampleContent::png(64, 64, 30000, 19);
    const Bytes freeGIF = test::SampleContent::gif(32, 32, 5000, 20);
    const Bytes freePDF = test::SampleContent::pdf(100000, 21);
    const Bytes freeDOCX = test::SampleContent::zip({{"word/document.xml", test::randomBytes(70000, 22)}}, "made by hand");
    const Bytes tinyA = test::SampleContent::jpeg(16, 16, 13000, 23);
    const Bytes tinyB = test::SampleContent::jpeg(16, 16, 14000, 24);
    test::TempDir dir;
    const std::filesystem::path path = dir / "disk.img";
    Bytes image;

    ImageContents() {
        image.assign(imageBytes, 0);

        // FAT16: a deleted photo right before a live one, and a deleted PNG.
        test::FatImageBuilder fat16(dir / "fat16.img", fat16Bytes, 0, fat16Bytes);
        fat16.format(16, {"-s", "4"});
        fat16.makeDirectory("/DCIM");
        fat16.copyIn(goneJPEG, "/DCIM/gone1.jpg");
        fat16.copyIn(liveJPEG, "/DCIM/live1.jpg");
        fat16.copyIn(gonePNG, "/gone.png");
        fat16.remove("/DCIM/gone1.jpg");
        fat16.remove("/gone.png");
        place(readWhole(fat16.image()), fat16Offset);

        // FAT32: a live PDF, a deleted GIF and a deleted Word document.
        test::FatImageBuilder fat32(dir / "fat32.img", fat32Bytes, 0, fat32Bytes);
        fat32.format(32, {"-s", "1"});
        fat32.copyIn(livePDF, "/live.pdf");
        fat32.makeDirectory("/DOCS");
        fat32.copyIn(goneGIF, "/gone.gif");
        fat32.copyIn(goneDOCX, "/DOCS/gone.docx");
        fat32.remove("/gone.gif");
        fat32.remove("/DOCS/gone.docx");
        place(readWhole(fat32.image()), fat32Offset);

        // HFS+: one catalogued photo.
        test::HfsPlusImageBuilder::Options options;
        options.totalBlocks = static_cast<std::uint32_t>(hfsBytes / options.blockSize);
        test::HfsPlusImageBuilder hfs(options);
        hfs.addFile(test::HfsPlusImageBuilder::rootFolderId, "photo.jpg", hfsJPEG);
        place(hfs.build(), hfsOffset);

        // exFAT: a live movie, a deleted movie and a deleted photo.
        {
            test::ExFatImageWriter exfat = formattedExFat(dir / "exfat.img", exfatBytes);
            exfat.addFile(exfat.rootCluster(), "clip.mov", liveMOV);
            exfat.addFile(exfat.rootCluster(), "gone.mp4", goneMP4, deletedFile());
            exfat.addFile(exfat.rootCluster(), "gone.jpg", goneExFatJPEG, deletedFile());
            place(exfat.image(), exfatOffset);
        }

        // Free space: files only carving finds, two small ones back to back.
        place(freeJPEG, freeOffset + 4096);
        place(freePNG, freeOffset + MiB);
        place(freeGIF, freeOffset + MiB + 512 * KiB);
        place(freePDF, freeOffset + 2 * MiB);
        place(freeDOCX, freeOffset + 3 * MiB + 100);
        place(tinyA, freeOffset + 4 * MiB);
        place(tinyB, freeOffset + 4 * MiB + tinyA.size());

        test::writeFile(path, image);
        const std::string script = "label: dos\nstart=" + std::to_string(fat16Offset / 512) + ", size=" +
                                   std::to_string(fat16Bytes / 512) + ", type=6\nstart=" +
                                   std::to_string(fat32Offset / 512) + ", size=" + std::to_string(fat32Bytes / 512) +
                                   ", type=c\nstart=" + std::to_string(hfsOffset / 512) + ", size=" +
                                   std::to_string(hfsBytes / 512) + ", type=af\nstart=" +
                                   std::to_string(exfatOffset / 512) + ", size=" + std::to_string(exfatBytes / 512) +
                                   ", type=7\n";
        test::writeFile(dir / "table", Bytes(script.begin(), script.end()));
        test::runOrFail({"/bin/sh", "-c", test::programPath("sfdisk") + " --no-reread --no-tell-kernel -q '" +
                                              path.string() + "' < '" + (dir / "table").string() + "'"});
        image = readWhole(path);
    }

    void place(const Bytes& content, std::uint64_t offset) {
        std::copy(content.begin(), content.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
    }
};

class WholeImage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (test::FatImageBuilder::available() && test::haveProgram("mkfs.exfat")) contents = new ImageContents();
    }
    static void TearDownTestSuite() {
        delete contents;
        contents = nullptr;
    }
    void SetUp() override {
        if (contents == nullptr) GTEST_SKIP() << "mkfs.fat, mtools, sfdisk or mkfs.exfat is not installed";
    }

    static constexpr std::uint64_t imageBytes = ImageContents::imageBytes;
    static ImageContents* contents;
};

ImageContents* WholeImage::contents = nullptr;

TEST_F(WholeImage, AStandardScanFindsEveryFileOnceByEachSearchThatCanSeeIt) {
    const ImageContents& c = *contents;
    FileByteSource source(c.path.string());
    const auto outcome = scan(source, ScanMode::standard);

    std::vector<Placed> expected;
    const auto undeleted = [&](HitSource from, Kind kind, const Bytes& content, std::optional<ImageDimensions> dims) {
        expected.push_back({from, kind, find(c.image, content), content.size(), dims});
    };
    const auto carved = [&](Kind kind, const Bytes& content, std::optional<ImageDimensions> dims) {
        expected.push_back({HitSource::signatureCarve, kind, find(c.image, content), content.size(), dims});
    };
    undeleted(HitSource::fatUndelete, Kind::jpeg, c.goneJPEG, ImageDimensions{640, 480});
    undeleted(HitSource::fatUndelete, Kind::png, c.gonePNG, ImageDimensions{200, 100});
    undeleted(HitSource::fatUndelete, Kind::gif, c.goneGIF, std::nullopt);
    // The FAT walk takes a deleted file's kind from its whole long name (gone.docx), not from its short
    // name (GONE~1.DOC).
    undeleted(HitSource::fatUndelete, Kind::docx, c.goneDOCX, std::nullopt);
    undeleted(HitSource::hfsPlusCatalog, Kind::jpeg, c.hfsJPEG, ImageDimensions{800, 600});
    undeleted(HitSource::exfatUndelete, Kind::mp4, c.goneMP4, std::nullopt);
    undeleted(HitSource::exfatUndelete, Kind::jpeg, c.goneExFatJPEG, ImageDimensions{400, 300});
    carved(Kind::mp4, c.goneMP4, std::nullopt);
    carved(Kind::jpeg, c.goneExFatJPEG, ImageDimensions{400, 300});
    carved(Kind::jpeg, c.goneJPEG, ImageDimensions{640, 480});
    carved(Kind::png, c.gonePNG, ImageDimensions{200, 100});
    carved(Kind::gif, c.goneGIF, ImageDimensions{100, 80});
    carved(Kind::docx, c.goneDOCX, std::nullopt);
    carved(Kind::jpeg, c.freeJPEG, ImageDimensions{1024, 768});
    carved(Kind::png, c.freePNG, ImageDimensions{64, 64});
    carved(Kind::gif, c.freeGIF, ImageDimensions{32, 32});
    carved(Kind::pdf, c.freePDF, std::nullopt);
    carved(Kind::docx, c.freeDOCX, std::nullopt);
    carved(Kind::jpeg, c.tinyA, ImageDimensions{16, 16});
    carved(Kind::jpeg, c.tinyB, ImageDimensions{16, 16});
    std::vector<std::string> expectedLines;
    for (const auto& placed : expected)
        expectedLines.push_back(describe(placed.source, placed.kind, placed.offset, placed.length, placed.dimensions));
    std::sort(expectedLines.begin(), expectedLines.end());
    const auto lines = sortedLines(outcome.hits);
    EXPECT_EQ(lines, expectedLines);

    // The same list as checked in, so that a change of any search shows up as a change of this file.
    std::ifstream checkedIn(std::string(VANTREL_FIXTURE_DIR) + "/../recovery/engine/expected/whole-image-standard.txt");
    std::vector<std::string> checkedInLines;
    for (std::string line; std::getline(checkedIn, line);)
        if (!line.empty()) checkedInLines.push_back(line);
    EXPECT_EQ(lines, checkedInLines);

    // Progress: the start, the first percent, then the carver's reports ending twice at the end.
    ASSERT_GE(outcome.progress.size(), 4u);
    EXPECT_EQ(outcome.progress[0], at(0, imageBytes));
    EXPECT_EQ(outcome.progress[1], at(imageBytes / 100, imageBytes));
    const auto& last = outcome.progress.back();
    EXPECT_EQ(last.bytesScanned, imageBytes);
    EXPECT_EQ(last.hitsFound, 13);
    EXPECT_EQ(last.readErrors, 0);
    EXPECT_EQ(outcome.progress[outcome.progress.size() - 2], last);
    for (std::size_t i = 1; i < outcome.progress.size(); ++i)
        EXPECT_LE(outcome.progress[i - 1].bytesScanned, outcome.progress[i].bytesScanned);
}

TEST_F(WholeImage, AQuickUndeleteScanWalksOnly) {
    const ImageContents& c = *contents;
    FileByteSource source(c.path.string());
    const auto outcome = scan(source, ScanMode::quickUndelete);
    EXPECT_EQ(outcome.hits.size(), 7u);
    for (const auto& hit : outcome.hits) EXPECT_NE(hit.source, HitSource::signatureCarve);
    ASSERT_EQ(outcome.progress.size(), 3u);
    EXPECT_EQ(outcome.progress[2], at(imageBytes, imageBytes));
}

TEST_F(WholeImage, CancellationIsHonouredAtEveryCheck) {
    const ImageContents& c = *contents;
    FileByteSource source(c.path.string());
    for (const ScanMode mode : ScanModeName::allCases()) {
        int questions = 0;
        scan(source, mode, everything(), [&] { return ++questions < 0; });
        ASSERT_GT(questions, 3);
        // Answer true from the n-th question on: the scan returns without an error and calls back nothing
        // after the first true answer, so no final report. Every one of the first questions (the file
        // system walks), then about sixteen spread evenly up to the very last one: each answer costs a scan
        // of the image, which is slow under the sanitizers.
        std::vector<int> answers;
        for (int n = 1; n < questions; n += n < 12 ? 1 : std::max(1, questions / 16)) answers.push_back(n);
        answers.push_back(questions);
        for (const int answerAt : answers) {
            int asked = 0;
            bool cancelled = false;
            bool calledAfterCancel = false;
            RecoveryEngine().scan(
                source, mode, everything(), [&] { return cancelled = cancelled || ++asked >= answerAt; },
                [&](const ScanProgress&) { calledAfterCancel = calledAfterCancel || cancelled; },
                [&](const RecoveredHit&) { calledAfterCancel = calledAfterCancel || cancelled; });
            EXPECT_TRUE(cancelled) << ScanModeName::rawValue(mode) << " " << answerAt;
            EXPECT_FALSE(calledAfterCancel) << ScanModeName::rawValue(mode) << " " << answerAt;
        }
    }
}

} // namespace
} // namespace vantrel
