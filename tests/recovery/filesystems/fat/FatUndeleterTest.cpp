#include "recovery/filesystems/fat/FatUndeleter.h"

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/carving/ContentSniffer.h"
#include "recovery/carving/RunCheck.h"
#include "recovery/carving/RunStructureCheck.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "recovery/filesystems/fat/FatDirectoryEntry.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/MemoryVolume.h"
#include "tests/fixtures/PictureBytes.h"
#include "tests/fixtures/SampleDocuments.h"
#include "tests/fixtures/TestSupport.h"
#include "tests/fixtures/WalkedHits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>

namespace vantrel {
namespace {

using test::FatImageBuilder;
using test::Walked;

constexpr std::uint64_t mebibyte = 1024 * 1024;

RecoveryFilters everything() {
    RecoveryFilters filters;
    for (const RecoveredFileKind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    return filters;
}

Walked walk(ByteSource& source, const VolumeGeometry& geometry, const AllocatedRegionMap& live = AllocatedRegionMap::empty(),
            std::function<bool()> cancel = [] { return false; }, const PictureDimensionReader& dimensions = {},
            const ContentKindReader& kinds = {}, const ContiguousRunCheck& checkRun = {}) {
    Walked walked;
    walked.outcome = FatUndeleter::recoverDeleted(source, geometry, everything(), live, cancel,
                                                  [&](const RecoveredHit& hit) { walked.hits.push_back(hit); }, dimensions,
                                                  kinds, checkRun);
    return walked;
}

VolumeGeometry probeOne(ByteSource& source) {
    const auto partitions = FileSystemProbe::probeAll(source);
    EXPECT_EQ(partitions.size(), 1u);
    EXPECT_TRUE(partitions.at(0).fatGeometry);
    return *partitions.at(0).fatGeometry;
}

struct Layout {
    int fatBits;
    std::uint64_t volumeBytes;
    std::string label;  // "" whole device, "dos", "gpt"
};

// The case's name in test names and in gtest's report of its parameter: "Fat16_dos".
std::string nameOf(const Layout& layout) {
    return "Fat" + std::to_string(layout.fatBits) + "_" + (layout.label.empty() ? std::string("whole") : layout.label);
}
void PrintTo(const Layout& layout, std::ostream* out) { *out << nameOf(layout); }

class FatUndeleterOnMadeVolumes : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        if (!FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk missing";
    }
    FatImageBuilder makeVolume() {
        const Layout& layout = GetParam();
        const std::uint64_t offset = layout.label.empty() ? 0 : mebibyte;
        FatImageBuilder builder(m_dir / "volume.img", layout.volumeBytes + 2 * offset, offset, layout.volumeBytes);
        if (!layout.label.empty()) builder.partition(layout.label);
        builder.format(layout.fatBits, {"-s", "1", "-S", "512"});
        return builder;
    }
    test::TempDir m_dir;
};

// Deleted files in the root, in a folder and three folders down come back byte for byte by cluster
// chain, named, and their folders too, by their long names where they have one; live files and unknown
// kinds are not reported.
TEST_P(FatUndeleterOnMadeVolumes, RecoversDeletedFilesByteForByte) {
    FatImageBuilder builder = makeVolume();
    const Bytes rootJpeg = test::randomBytes(20000, 1);
    const Bytes holiday = test::randomBytes(50001, 2);
    const Bytes deep = test::randomBytes(3000, 3);
    const Bytes live = test::randomBytes(7000, 4);
    builder.makeDirectory("/DCIM");
    builder.makeDirectory("/A");
    builder.makeDirectory("/A/B");
    builder.makeDirectory("/A/B/C");
    builder.makeDirectory("/DCIM/Grüße 日本");
    builder.makeDirectory("/My Holiday Pictures");
    builder.copyIn(rootJpeg, "/IMG_0001.JPG");
    builder.copyIn(holiday, "/DCIM/Holiday photo.jpg");
    builder.copyIn(live, "/DCIM/keep.jpg");
    builder.copyIn(deep, "/A/B/C/deep clip.mov");
    builder.copyIn(live, "/NOTES.TXT");
    builder.copyIn(deep, "/DCIM/Grüße 日本/Straße über.jpg");
    builder.copyIn(rootJpeg, "/My Holiday Pictures/beach day.jpg");
    for (const char* path : {"/IMG_0001.JPG", "/DCIM/Holiday photo.jpg", "/A/B/C/deep clip.mov", "/NOTES.TXT",
                             "/DCIM/Grüße 日本/Straße über.jpg", "/My Holiday Pictures/beach day.jpg"})
        builder.remove(path);

    FileByteSource source(builder.image().string());
    const VolumeGeometry geometry = probeOne(source);
    const Walked walked = walk(source, geometry);
    EXPECT_EQ(walked.outcome.readErrors, 0);
    const auto hits = walked.byPath();
    ASSERT_EQ(hits.size(), 5u) << "deleted .TXT and live files are not reported";
    // Folders are named by their long names too (short names GRÜßE~1 and MYHOLI~1).
    const std::map<std::string, const Bytes*> expected{{"/recovered_00001.jpg", &rootJpeg},
                                                       {"/DCIM/Holiday photo.jpg", &holiday},
                                                       {"/A/B/C/deep clip.mov", &deep},
                                                       {"/DCIM/Grüße 日本/Straße über.jpg", &deep},
                                                       {"/My Holiday Pictures/beach day.jpg", &rootJpeg}};
    for (const auto& [path, contents] : expected) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(hits.contains(path));
        const RecoveredHit& hit = hits.at(path);
        EXPECT_EQ(hit.source, HitSource::fatUndelete);
        EXPECT_EQ(hit.integrity, HitIntegrity::pending);
        EXPECT_EQ(hit.byteLength, contents->size());
        EXPECT_FALSE(hit.isFragmented);
        ASSERT_TRUE(hit.clusterHint);
        EXPECT_EQ(hit.clusterHint->partitionOffset, builder.volumeOffset());
        EXPECT_EQ(hit.clusterHint->fileSystem, geometry.fileSystem);
        EXPECT_EQ(ClusterChainReader::extractBytes(source, hit, UINT64_MAX), *contents);
    }
}

// Long extensions lose a letter in the short name (HOLIDA~1.JPE, CLIP~1.WEB): the whole long name gives the
// kind. A name that gives none (no extension, a foreign one) is sniffed before it is passed over.
TEST_P(FatUndeleterOnMadeVolumes, TakesTheKindFromTheLongNameAndSniffsNamesThatGiveNone) {
    FatImageBuilder builder = makeVolume();
    const std::vector<std::pair<std::string, RecoveredFileKind>> named{
        {"holiday.jpeg", RecoveredFileKind::jpeg}, {"clip.webp", RecoveredFileKind::webp},
        {"IMG_0002.heic", RecoveredFileKind::heic}, {"song.flac", RecoveredFileKind::flac},
        {"pic.avif", RecoveredFileKind::avif},
        // Thirteen characters fill one long-name entry exactly.
        {"holiday1.jpeg", RecoveredFileKind::jpeg}};
    int seed = 10;
    for (const auto& [name, kind] : named) builder.copyIn(test::randomBytes(3000, seed++), "/" + name);
    const Bytes picture = test::jpegBytes(64, 48, 6000, 3);
    builder.copyIn(picture, "/PHOTO");
    builder.copyIn(picture, "/scan of page.txt");
    builder.copyIn(test::randomBytes(3000, 9), "/NOTES");
    for (const auto& [name, kind] : named) builder.remove("/" + name);
    for (const char* name : {"/PHOTO", "/scan of page.txt", "/NOTES"}) builder.remove(name);

    FileByteSource source(builder.image().string());
    const VolumeGeometry geometry = probeOne(source);
    const auto byName = walk(source, geometry).byPath();
    ASSERT_EQ(byName.size(), named.size()) << "without a sniffer, names without a kind are passed over";
    for (const auto& [name, kind] : named) {
        ASSERT_TRUE(byName.contains("/" + name)) << name;
        EXPECT_EQ(byName.at("/" + name).kind, kind) << name;
    }
    const auto sniffed = walk(source, geometry, AllocatedRegionMap::empty(), [] { return false; }, {}, ContentSniffer::kindOf);
    const auto hits = sniffed.byPath();
    EXPECT_EQ(hits.size(), named.size() + 2) << "the two pictures, not the random NOTES";
    std::size_t pictures = 0;
    for (const auto& [path, hit] : hits)
        if (ClusterChainReader::extractBytes(source, hit, UINT64_MAX) == picture) {
            ++pictures;
            EXPECT_EQ(hit.kind, RecoveredFileKind::jpeg) << path;
        }
    EXPECT_EQ(pictures, 2u);
    EXPECT_TRUE(hits.contains("/scan of page.jpg")) << "named after its long name, with the kind's extension";
}

// A file written into the holes that deleted files left between live ones, then deleted itself: its
// chain is cleared, and it comes back byte for byte from the clusters no live file holds, fragmented.
TEST_P(FatUndeleterOnMadeVolumes, ADeletedFileThatFilledHolesComesBackWholeAndFragmented) {
    FatImageBuilder builder = makeVolume();
    const Bytes kept = test::randomBytes(3000, 21);
    for (const char* name : {"/A.BIN", "/B.BIN", "/C.BIN", "/D.BIN"}) builder.copyIn(kept, name);
    builder.remove("/B.BIN");
    builder.remove("/D.BIN");
    if (GetParam().fatBits == 32) builder.forgetFreeClusterHint();
    const Bytes photo = test::randomBytes(12'000, 22);  // 24 clusters: the two holes of 6 and 12 more
    builder.copyIn(photo, "/PHOTO.JPG");
    builder.remove("/PHOTO.JPG");

    FileByteSource source(builder.image().string());
    const VolumeGeometry geometry = probeOne(source);
    AllocatedRegionMap live;
    EXPECT_EQ(FatUndeleter::collectActiveRegions(source, geometry, live), 0);
    const Walked walked = walk(source, geometry, live);
    ASSERT_EQ(walked.hits.size(), 1u) << "B and D have no kind";
    const RecoveredHit& hit = walked.hits[0];
    EXPECT_TRUE(hit.isFragmented) << "it skipped the clusters of C";
    EXPECT_FALSE(hit.clusterReallocated);
    EXPECT_EQ(hit.integrity, HitIntegrity::pending);
    EXPECT_EQ(ClusterChainReader::extractBytes(source, hit, UINT64_MAX), photo);
}

// Some writers give every long name the short name "~N" without an extension: the kind comes from the
// long name all the same.
TEST_P(FatUndeleterOnMadeVolumes, AShortNameOfTildeAndNumberGivesWayToTheLongName) {
    FatImageBuilder builder = makeVolume();
    builder.copyIn(test::randomBytes(3000, 31), "/holiday.jpeg");
    builder.copyIn(test::randomBytes(3000, 32), "/clip.webp");
    // Rename the short entries (ending .JPE and .WEB, archive attribute) to "~1" and "~2" and give their long-name entries
    // the new checksum, as such a writer leaves them; then delete both.
    Bytes image = test::readFile(builder.image());
    int renamed = 0;
    for (const std::string extension : {"JPE", "WEB"}) {
        const auto isShortEntry = [&](std::size_t at) {
            const auto name = image.begin() + static_cast<std::ptrdiff_t>(at);
            return image[at + 11] == 0x20 && std::equal(extension.begin(), extension.end(), name + 8);
        };
        std::size_t entry = 0;
        while (entry + 32 <= image.size() && !isShortEntry(entry)) entry += 32;
        ASSERT_LT(entry + 32, image.size()) << extension;
        const std::string tilde = "~" + std::to_string(++renamed) + "         ";
        std::copy(tilde.begin(), tilde.end(), image.begin() + static_cast<std::ptrdiff_t>(entry));
        const std::uint8_t checksum = shortNameChecksum(ByteView(image).subspan(entry, 32));
        for (std::size_t name = entry - 32; image[name + 11] == 0x0F; name -= 32) image[name + 13] = checksum;
    }
    test::writeFile(builder.image(), image);
    builder.remove("/holiday.jpeg");
    builder.remove("/clip.webp");

    FileByteSource source(builder.image().string());
    const auto hits = walk(source, probeOne(source)).byPath();
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits.at("/holiday.jpeg").kind, RecoveredFileKind::jpeg);
    EXPECT_EQ(hits.at("/clip.webp").kind, RecoveredFileKind::webp);
}

// A deleted file whose first cluster a later file took is marked as reallocated and suspect.
TEST_P(FatUndeleterOnMadeVolumes, MarksReusedClustersAsReallocated) {
    FatImageBuilder builder = makeVolume();
    // The folder first: mtools gives a new entry the slot of a deleted one.
    builder.makeDirectory("/SUB");
    builder.copyIn(test::randomBytes(5000, 5), "/OLD.JPG");
    builder.remove("/OLD.JPG");
    if (GetParam().fatBits == 32) builder.forgetFreeClusterHint();
    builder.copyIn(test::randomBytes(700, 6), "/SUB/NEW.JPG");

    FileByteSource source(builder.image().string());
    const VolumeGeometry geometry = probeOne(source);
    AllocatedRegionMap live;
    EXPECT_EQ(FatUndeleter::collectActiveRegions(source, geometry, live), 0);
    ASSERT_EQ(live.count(), 1u) << "700 bytes in two consecutive 512-byte clusters";
    const Walked walked = walk(source, geometry, live);
    ASSERT_EQ(walked.hits.size(), 1u);
    EXPECT_TRUE(walked.hits[0].clusterReallocated);
    EXPECT_EQ(walked.hits[0].integrity, HitIntegrity::suspect);
}

INSTANTIATE_TEST_SUITE_P(FatUndeleter, FatUndeleterOnMadeVolumes,
                         ::testing::Values(Layout{12, 2 * mebibyte, ""}, Layout{16, 8 * mebibyte, "dos"},
                                           Layout{32, 40 * mebibyte, "gpt"}, Layout{32, 40 * mebibyte, ""}),
                         [](const auto& param) { return nameOf(param.param); });

Bytes imageBytes(const FatImageBuilder& builder) {
    FileByteSource file(builder.image().string());
    return file.read(0, static_cast<std::int64_t>(file.length()));
}

class FatUndeleterOnFat32 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk missing";
    }
    FatImageBuilder makeVolume() {
        // Above 65,524 clusters, so that mtools too sees FAT32 (it goes by the cluster count).
        FatImageBuilder builder(m_dir / "volume.img", 34 * mebibyte, 0, 34 * mebibyte);
        builder.format(32, {"-s", "1"});
        return builder;
    }
    test::TempDir m_dir;
};

TEST_F(FatUndeleterOnFat32, WalksFifteenLevelsBelowTheRootAndNoFurther) {
    FatImageBuilder builder = makeVolume();
    // Folders first: mtools gives a new entry the slot of a deleted one.
    std::vector<std::string> files;
    std::string path;
    for (int level = 1; level <= 16; ++level) {
        path += "/D" + std::to_string(level);
        builder.makeDirectory(path);
        files.push_back(path + "/F" + std::to_string(level) + ".JPG");
    }
    for (const auto& file : files) builder.copyIn(test::randomBytes(600, files.size()), file);
    for (const auto& file : files) builder.remove(file);
    FileByteSource source(builder.image().string());
    const Walked walked = walk(source, probeOne(source));
    EXPECT_EQ(walked.hits.size(), 15u);
}

TEST_F(FatUndeleterOnFat32, CancellationBeforeTheFirstEntryGivesNothing) {
    FatImageBuilder builder = makeVolume();
    builder.copyIn(test::randomBytes(600, 1), "/A.JPG");
    builder.remove("/A.JPG");
    FileByteSource source(builder.image().string());
    const Walked walked = walk(source, probeOne(source), AllocatedRegionMap::empty(), [] { return true; });
    EXPECT_TRUE(walked.hits.empty());
    EXPECT_TRUE(walked.outcome.cancelled);
}

TEST_F(FatUndeleterOnFat32, AnUnreadableFolderIsCountedAndTheRestOfTheTreeWalked) {
    FatImageBuilder builder = makeVolume();
    builder.makeDirectory("/BAD");
    builder.copyIn(test::randomBytes(600, 1), "/BAD/LOST.JPG");
    builder.copyIn(test::randomBytes(600, 2), "/FOUND.JPG");
    builder.remove("/BAD/LOST.JPG");
    builder.remove("/FOUND.JPG");
    test::FaultyByteSource source(imageBytes(builder));
    const VolumeGeometry geometry = probeOne(source);
    // The folder made first takes the cluster after the root.
    source.addBadRange(*geometry.clusterByteOffset(geometry.rootCluster + 1), 512);
    const Walked walked = walk(source, geometry);
    EXPECT_EQ(walked.outcome.readErrors, 1);
    ASSERT_EQ(walked.hits.size(), 1u);
    EXPECT_EQ(walked.hits[0].reconstructedPath, "/recovered_00001.jpg");
    source.unplug();
    EXPECT_THROW(walk(source, geometry), PosixError) << "a device that is gone ends the walk";
}

// A folder entry that points back at its own parent, and a FAT whose root chain loops, end the walk
// after each folder was read once.
TEST_F(FatUndeleterOnFat32, LoopingTreesAreWalkedOnce) {
    FatImageBuilder builder = makeVolume();
    builder.makeDirectory("/LOOP");
    builder.copyIn(test::randomBytes(600, 1), "/LOOP/X.JPG");
    builder.remove("/LOOP/X.JPG");
    test::FaultyByteSource source(imageBytes(builder));
    const VolumeGeometry geometry = probeOne(source);
    const std::uint32_t loop = geometry.rootCluster + 1;
    // Turn the folder's deleted entry (after "." and "..") into a live folder entry for the root, and
    // a second entry into one for the folder itself.
    Bytes& image = source.data();
    const std::uint64_t folder = *geometry.clusterByteOffset(loop);
    for (const auto& [slot, target] : {std::pair{2u, geometry.rootCluster}, std::pair{3u, loop}}) {
        const std::uint64_t entry = folder + 32 * slot;
        std::copy_n("SUB        ", 11, image.begin() + static_cast<std::ptrdiff_t>(entry));
        image[entry + 11] = 0x10;
        image[entry + 20] = static_cast<std::uint8_t>(target >> 16);
        image[entry + 21] = static_cast<std::uint8_t>(target >> 24);
        image[entry + 26] = static_cast<std::uint8_t>(target);
        image[entry + 27] = static_cast<std::uint8_t>(target >> 8);
    }
    // The root's FAT entry links to itself.
    const std::uint64_t rootLink = geometry.fatByteOffset + 4 * geometry.rootCluster;
    for (int i = 0; i < 4; ++i) image[rootLink + i] = static_cast<std::uint8_t>(geometry.rootCluster >> (8 * i));
    const std::int64_t readsBefore = source.readCount();
    const Walked walked = walk(source, geometry);
    EXPECT_TRUE(walked.hits.empty());
    EXPECT_LT(source.readCount() - readsBefore, 20);
    AllocatedRegionMap live;
    EXPECT_EQ(FatUndeleter::collectActiveRegions(source, geometry, live), 0);
}

// A bitmap's sides are read too: the results drop a bitmap without them.
TEST_F(FatUndeleterOnFat32, DropsJpegsTooSmallForTheirPixelsButNotPngsOrBitmaps) {
    FatImageBuilder builder = makeVolume();
    builder.copyIn(test::randomBytes(50000, 1), "/BIG.JPG");
    builder.copyIn(test::randomBytes(50000, 2), "/BIG.PNG");
    builder.copyIn(test::randomBytes(12288, 3), "/SMALL.JPG");
    builder.copyIn(test::randomBytes(50000, 4), "/BIG.BMP");
    for (const char* path : {"/BIG.JPG", "/BIG.PNG", "/SMALL.JPG", "/BIG.BMP"}) builder.remove(path);
    FileByteSource source(builder.image().string());
    // 1000 × 1000 pixels for the BIG files, 300 × 400 for SMALL, told apart by their first byte.
    const Bytes small = test::randomBytes(12288, 3);
    const PictureDimensionReader reader = [&](RecoveredFileKind, ByteView head) {
        if (head.size() == small.size() && head[0] == small[0]) return ImageDimensions{300, 400};
        return ImageDimensions{1000, 1000};
    };
    const Walked walked = walk(source, probeOne(source), AllocatedRegionMap::empty(), [] { return false; }, reader);
    ASSERT_EQ(walked.hits.size(), 3u);
    EXPECT_EQ(walked.hits[0].kind, RecoveredFileKind::png);
    EXPECT_EQ(walked.hits[0].dimensions, (ImageDimensions{1000, 1000}));
    EXPECT_EQ(walked.hits[1].byteLength, 12288u);
    EXPECT_EQ(walked.hits[2].kind, RecoveredFileKind::bmp);
    EXPECT_EQ(walked.hits[2].dimensions, (ImageDimensions{1000, 1000}));
}

// At 512-byte clusters a folder of 1,500 files spans 94 clusters: every deleted file is found and the
// live file after them is mapped.
TEST_F(FatUndeleterOnFat32, ReadsAFolderOfFifteenHundredFilesWhole) {
    FatImageBuilder builder = makeVolume();
    builder.makeDirectory("/MANY");
    std::vector<std::pair<std::string, Bytes>> files;
    char name[16];
    for (int i = 1; i <= 1500; ++i) {
        std::snprintf(name, sizeof name, "IMG_%04d.JPG", i);
        files.emplace_back(name, test::randomBytes(600, static_cast<std::uint64_t>(i)));
    }
    builder.copyAllIn(files, "/MANY");
    builder.copyIn(test::randomBytes(600, 9999), "/MANY/LAST.PNG");
    builder.remove("/MANY/*.JPG");

    FileByteSource source(builder.image().string());
    const VolumeGeometry geometry = probeOne(source);
    ASSERT_EQ(geometry.bytesPerCluster(), 512u);
    const Walked walked = walk(source, geometry);
    EXPECT_EQ(walked.outcome.readErrors, 0);
    EXPECT_EQ(walked.hits.size(), 1500u);
    EXPECT_TRUE(walked.byPath().contains("/MANY/recovered_01500.jpg"));
    AllocatedRegionMap live;
    EXPECT_EQ(FatUndeleter::collectActiveRegions(source, geometry, live), 0);
    EXPECT_GT(live.count(), 0u) << "LAST.PNG, the 1,503rd entry of its folder, is live";
}

// mtools gives a new file the first free slot, the farthest long-name entry of a deleted name: the
// name is then cut short of its extension and the file gets a numbered name of its kind instead.
TEST_F(FatUndeleterOnFat32, ALongNameCutByAReusedSlotGivesANumberedName) {
    for (const bool reuse : {false, true}) {
        SCOPED_TRACE(reuse);
        FatImageBuilder builder = makeVolume();
        const Bytes photo = test::randomBytes(30000, 7);
        builder.copyIn(photo, "/Holiday in Rome 2019.jpg");
        builder.remove("/Holiday in Rome 2019.jpg");
        if (reuse) builder.copyIn(test::randomBytes(10, 8), "/NEW.TXT");
        FileByteSource source(builder.image().string());
        const Walked walked = walk(source, probeOne(source));
        ASSERT_EQ(walked.hits.size(), 1u);
        EXPECT_EQ(walked.hits[0].suggestedName, reuse ? "recovered_00001.jpg" : "Holiday in Rome 2019.jpg");
        EXPECT_EQ(ClusterChainReader::extractBytes(source, walked.hits[0], UINT64_MAX), photo);
    }
}

// A folder chain longer than FAT's 65,536 entries is read to the byte cap, and the cut counts as a
// read error, once, so the user learns that entries were left unread.
TEST(FatUndeleter, CutsAFolderAtTwoMebibytesAndCountsTheCut) {
    for (const std::uint32_t folderClusters : {4096u, 4200u}) {
        SCOPED_TRACE(folderClusters);
        test::MemoryVolume volume(4500);
        Bytes& image = volume.image();
        const std::uint64_t root = volume.clusterOffset(2) - 512;
        std::copy_n("BIG        ", 11, image.begin() + static_cast<std::ptrdiff_t>(root));
        image[root + 11] = 0x10;
        image[root + 26] = 2;
        for (std::uint32_t c = 2; c < 2 + folderClusters; ++c) {
            volume.link(c, c + 1 < 2 + folderClusters ? c + 1 : 0xFFFF);
            // Deleted entries with attribute byte 0xE5 count as volume labels: filler without an end mark.
            std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(volume.clusterOffset(c)), 512, 0xE5);
        }
        const auto deletedJpeg = [&](std::uint32_t directoryCluster, const char* name11, std::uint16_t firstCluster) {
            const std::uint64_t at = volume.clusterOffset(directoryCluster);
            std::copy_n(name11, 11, image.begin() + static_cast<std::ptrdiff_t>(at));
            image[at + 11] = 0x20;
            image[at + 26] = static_cast<std::uint8_t>(firstCluster);
            image[at + 27] = static_cast<std::uint8_t>(firstCluster >> 8);
            image[at + 28] = 0x58;
            image[at + 29] = 0x02;  // 600 bytes
        };
        deletedJpeg(4000, "\xE5NSIDE  JPG", 4400);
        deletedJpeg(4097, "\xE5" "AST    JPG", 4410);  // the 4,096th cluster of the folder: still inside
        if (folderClusters > 4096) deletedJpeg(4150, "\xE5UTSIDE JPG", 4420);
        MemoryByteSource source(image);
        const VolumeGeometry geometry = probeOne(source);
        const Walked walked = walk(source, geometry);
        EXPECT_EQ(walked.hits.size(), 2u);
        EXPECT_EQ(walked.outcome.readErrors, folderClusters > 4096 ? 1 : 0);
        AllocatedRegionMap live;
        EXPECT_EQ(FatUndeleter::collectActiveRegions(source, geometry, live), 0) << "the deleted-file walk counts the cut";
    }
}

// Entries crafted into the fixed root directory of a FAT16 volume in memory.
TEST(FatUndeleter, ReportsOnlyDeletedFilesBeforeTheEndMark) {
    test::MemoryVolume volume(5000);
    const std::uint64_t root = volume.clusterOffset(2) - 512;  // one sector of 16 entries
    std::size_t slot = 0;
    const auto entry = [&](std::string_view name11, std::uint8_t attributes, std::uint16_t high, std::uint16_t low,
                           std::uint32_t size) {
        Bytes& image = volume.image();
        const std::uint64_t at = root + 32 * slot++;
        std::copy(name11.begin(), name11.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        image[at + 11] = attributes;
        for (int i = 0; i < 2; ++i) {
            image[at + 20 + i] = static_cast<std::uint8_t>(high >> (8 * i));
            image[at + 26 + i] = static_cast<std::uint8_t>(low >> (8 * i));
        }
        for (int i = 0; i < 4; ++i) image[at + 28 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    };
    entry("\xE5OLUME  JPG", 0x08, 0, 5, 600);      // a deleted volume label
    entry("\xE5IR     JPG", 0x10, 0, 6, 600);      // a deleted folder
    entry("\xE5MPTY   JPG", 0x20, 0, 7, 0);        // no bytes
    entry("\xE5" "ERO    JPG", 0x20, 0, 1, 600);      // no cluster
    entry("\xE5MG_0001JPG", 0x20, 0xFFFF, 9, 600); // FAT16 keeps other data in the high word
    entry(std::string_view("\0\0\0\0\0\0\0\0\0\0\0", 11), 0, 0, 0, 0);
    entry("\xE5" "FTER   JPG", 0x20, 0, 12, 600);     // after the end mark
    MemoryByteSource source(volume.image());
    const VolumeGeometry geometry = probeOne(source);
    ASSERT_EQ(geometry.fatEntryBits, 16);
    const Walked walked = walk(source, geometry);
    ASSERT_EQ(walked.hits.size(), 1u);
    EXPECT_EQ(walked.hits[0].byteOffset, volume.clusterOffset(9));
    EXPECT_EQ(walked.hits[0].clusterHint->firstCluster, 9u);
    EXPECT_EQ(ClusterChainReader::extractBytes(source, walked.hits[0], UINT64_MAX), test::MemoryVolume::expected({9, 10}, 88));
}

} // namespace
} // namespace vantrel

namespace vantrel {
namespace {

// A stick on which a ZIP, an MP3 and a PDF were written at the same time, a piece of each in turn,
// then deleted: nothing on the volume separates their clusters, and each comes back as one run from
// its first cluster. Their structure shows that the run holds more than one file. The same three files
// written one after the other and deleted come back whole, unflagged.
struct StickLayout {
    int fatBits;
    std::uint64_t volumeBytes;
    int sectorsPerCluster;
};

class FatUndeleterOnAStickWrittenInTurns : public ::testing::TestWithParam<StickLayout> {};

TEST_P(FatUndeleterOnAStickWrittenInTurns, FlagsFilesWrittenInTurnsAndNotFilesWrittenWhole) {
    if (!FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk missing";
    test::TempDir dir;
    const auto zip = test::zipArchive(dir.path());
    const auto mp3 = test::mp3Tone(dir.path(), 4);
    const auto pdf = test::shippedPDF();
    if (!zip || !mp3 || !pdf) GTEST_SKIP() << "zip, sox, lame or " << test::shippedPDFPath << " missing";
    const StickLayout& layout = GetParam();
    const std::uint64_t bytesPerCluster = 512 * static_cast<std::uint64_t>(layout.sectorsPerCluster);
    FatImageBuilder builder(dir / "stick.img", layout.volumeBytes, 0, layout.volumeBytes);
    builder.format(layout.fatBits, {"-s", std::to_string(layout.sectorsPerCluster), "-S", "512"});
    const auto nextFromTheStart = [&] {
        if (layout.fatBits == 32) builder.forgetFreeClusterHint();
    };

    const std::vector<std::pair<std::string, const Bytes*>> files{{"archive.zip", &*zip}, {"tone.mp3", &*mp3}, {"manual.pdf", &*pdf}};
    // The copies written whole come first, so that no hole the others leave splits them.
    for (const auto& [name, bytes] : files) builder.copyIn(*bytes, "/whole-" + name);
    // Placeholders of two clusters each, in turns for the three files; each file is then written into
    // the holes its placeholders leave, the first free clusters, as the pieces a writer appends in turn.
    const std::uint64_t pieceBytes = 2 * bytesPerCluster;
    std::uint64_t rounds = 0;
    for (const auto& file : files) rounds = std::max<std::uint64_t>(rounds, (file.second->size() + pieceBytes - 1) / pieceBytes);
    std::vector<std::pair<std::string, Bytes>> placeholders;
    for (std::uint64_t round = 0; round < rounds; ++round)
        for (std::size_t i = 0; i < files.size(); ++i) {
            const bool taken = round * pieceBytes < files[i].second->size();
            placeholders.emplace_back((taken ? "P" : "K") + std::to_string(i) + "_" + std::to_string(round) + ".BIN",
                                      Bytes(pieceBytes, static_cast<std::uint8_t>(i)));
        }
    builder.copyAllIn(placeholders, "/");
    for (std::size_t i = 0; i < files.size(); ++i) {
        builder.remove("/P" + std::to_string(i) + "_*.BIN");
        nextFromTheStart();
        builder.copyIn(*files[i].second, "/" + files[i].first);
    }
    // The placeholders left over go too: nothing live stands between the three files' clusters.
    builder.remove("/K*.BIN");
    for (const auto& file : files) {
        builder.remove("/" + file.first);
        builder.remove("/whole-" + file.first);
    }

    FileByteSource source(builder.image().string());
    const VolumeGeometry geometry = probeOne(source);
    ASSERT_EQ(geometry.bytesPerCluster(), bytesPerCluster);
    AllocatedRegionMap live;
    EXPECT_EQ(FatUndeleter::collectActiveRegions(source, geometry, live), 0);
    const auto hits = walk(source, geometry, live, [] { return false; }, {}, {}, RunCheck::verdict).byPath();
    ASSERT_EQ(hits.size(), 6u);
    for (const auto& [name, bytes] : files) {
        const RecoveredHit& whole = hits.at("/whole-" + name);
        EXPECT_EQ(ClusterChainReader::extractBytes(source, whole, UINT64_MAX), *bytes) << name;
        EXPECT_FALSE(whole.isFragmented) << "whole-" << name;
        // The deleted short name, its first letter gone, gives a numbered name of the kind.
        const auto written = std::find_if(hits.begin(), hits.end(), [&](const auto& found) {
            return found.second.kind == whole.kind && !found.first.starts_with("/whole-");
        });
        ASSERT_NE(written, hits.end()) << name;
        EXPECT_NE(ClusterChainReader::extractBytes(source, written->second, UINT64_MAX), *bytes) << name << " was not split";
        EXPECT_TRUE(written->second.isFragmented) << name;
        EXPECT_FALSE(written->second.clusterReallocated) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(FatUndeleter, FatUndeleterOnAStickWrittenInTurns,
                         ::testing::Values(StickLayout{16, 16 * mebibyte, 4}, StickLayout{32, 34 * mebibyte, 1}),
                         [](const auto& param) { return "Fat" + std::to_string(param.param.fatBits); });

} // namespace
} // namespace vantrel
