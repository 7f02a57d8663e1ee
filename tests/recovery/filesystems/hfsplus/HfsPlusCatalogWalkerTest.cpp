#include "recovery/filesystems/hfsplus/HfsPlusCatalogWalker.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/carving/formats/JPEGMetadata.h"
#include "recovery/carving/formats/PNGMetadata.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/PictureBytes.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace vantrel {
namespace {

using test::HfsPlusImageBuilder;

RecoveryFilters everything() {
    RecoveryFilters filters;
    for (const auto kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    return filters;
}

const PictureDimensionReader pictureHeaders = [](RecoveredFileKind kind, ByteView head) {
    return kind == RecoveredFileKind::jpeg ? JPEGMetadata::dimensions(head) : PNGMetadata::dimensions(head);
};

struct Walk {
    std::vector<RecoveredHit> hits;
    std::int64_t readErrors = 0;
    std::map<std::string, RecoveredHit> byPath() const {
        std::map<std::string, RecoveredHit> out;
        for (const auto& hit : hits) out[hit.reconstructedPath.value_or("")] = hit;
        return out;
    }
};

Walk walk(ByteSource& source, std::uint64_t offset, std::uint64_t length, const RecoveryFilters& filters = everything(),
          const HfsPlusCatalogWalker::CancelCheck& cancel = [] { return false; }) {
    Walk result;
    result.readErrors = HfsPlusCatalogWalker::recoverFiles(source, offset, length, filters, cancel,
                                                           [&](const RecoveredHit& hit) { result.hits.push_back(hit); },
                                                           pictureHeaders)
                            .readErrors;
    return result;
}

Walk walk(const Bytes& image) {
    MemoryByteSource source(image);
    return walk(source, 0, image.size());
}

TEST(HfsPlusCatalogWalker, DeliversCataloguedFilesWithTheirFolderPaths) {
    HfsPlusImageBuilder builder;
    const auto dcim = builder.addFolder(HfsPlusImageBuilder::rootFolderId, "DCIM");
    const auto canon = builder.addFolder(dcim, "100CANON");
    const Bytes photo = test::jpegBytes(4000, 3000, 2'000'000, 7);
    builder.addFile(canon, "IMG_0001.JPG", photo);
    builder.addFile(HfsPlusImageBuilder::rootFolderId, "clip.MOV", test::randomBytes(20'000, 2));
    builder.addFile(HfsPlusImageBuilder::rootFolderId, "a/b.png", test::pngBytes(10, 10, 13'000, 3));
    builder.addFile(HfsPlusImageBuilder::rootFolderId, ".DS_Store", test::randomBytes(6'148, 4));
    builder.addFile(HfsPlusImageBuilder::rootFolderId, "notes.txt", test::randomBytes(100, 5));
    builder.addFile(HfsPlusImageBuilder::rootFolderId, "empty.jpg", {});
    const Bytes image = builder.build();

    const auto hits = walk(image).byPath();
    ASSERT_EQ(hits.size(), 3u);
    const RecoveredHit& jpeg = hits.at("/DCIM/100CANON/IMG_0001.JPG");
    EXPECT_EQ(jpeg.kind, RecoveredFileKind::jpeg);
    EXPECT_EQ(jpeg.suggestedName, "IMG_0001.JPG");
    EXPECT_EQ(jpeg.byteLength, photo.size());
    EXPECT_EQ(jpeg.dimensions, (ImageDimensions{4000, 3000}));
    EXPECT_EQ(jpeg.source, HitSource::hfsPlusCatalog);
    EXPECT_EQ(jpeg.integrity, HitIntegrity::pending);
    EXPECT_FALSE(jpeg.clusterHint.has_value());
    EXPECT_TRUE(std::equal(photo.begin(), photo.end(), image.begin() + static_cast<std::ptrdiff_t>(jpeg.byteOffset)));
    EXPECT_EQ(hits.at("/clip.MOV").kind, RecoveredFileKind::mov);
    // A "/" in a catalog name cannot add a folder level nor reach the file name of a recovered file.
    EXPECT_EQ(hits.at("/a_b.png").suggestedName, "a_b.png");
}

TEST(HfsPlusCatalogWalker, NamesOnlyFoldersWhoseRecordsCameEarlierInTheLeafChain) {
    HfsPlusImageBuilder builder;
    // Records sort by parent ID: the file's folder (ID 17) is itself filed under folder 40, so its
    // record comes after the file's record.
    const auto dcim = builder.addFolder(HfsPlusImageBuilder::rootFolderId, "DCIM", 40);
    const auto canon = builder.addFolder(dcim, "100CANON", 17);
    builder.addFile(canon, "IMG_0001.JPG", test::randomBytes(30'000, 1));
    const auto hits = walk(builder.build()).byPath();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_TRUE(hits.contains("/IMG_0001.JPG"));
}

TEST(HfsPlusCatalogWalker, DeliversOnlyFilesWhoseExtentsFormOneRunHoldingTheirSize) {
    HfsPlusImageBuilder::Options options;
    options.blockSize = 512;
    options.totalBlocks = 400;
    options.nodeSize = 512;
    options.catalogNodes = 24;
    HfsPlusImageBuilder builder(options);
    const Bytes data = test::randomBytes(22 * 512, 9);
    builder.addFileAt(2, "run.mov", data, {{100, 10}, {110, 5}, {115, 7}});
    builder.addFileAt(2, "gap.mov", data, {{200, 10}, {211, 5}, {216, 7}});
    builder.addFileAt(2, "short.mov", data, {{300, 10}, {310, 5}, {315, 7}}, 22 * 512 + 1);
    const Bytes image = builder.build();
    const auto hits = walk(image).byPath();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits.at("/run.mov").byteOffset, 100u * 512);
    EXPECT_FALSE(hits.at("/run.mov").isFragmented);

    // The live regions hold every extent of every file, cut to its logical size; extents that
    // follow one another are one range.
    MemoryByteSource source(image);
    AllocatedRegionMap regions;
    EXPECT_EQ(HfsPlusCatalogWalker::collectActiveRegions(source, 0, image.size(), regions), 0);
    const std::vector<AllocatedRegionMap::Range> expected{
        {100 * 512, 122 * 512}, {200 * 512, 210 * 512}, {211 * 512, 223 * 512}, {300 * 512, 322 * 512}};
    EXPECT_EQ(regions.ranges(), expected);
}

TEST(HfsPlusCatalogWalker, SkipsJpegsTooShortForTheirSizeButCountsThemAsLive) {
    HfsPlusImageBuilder::Options options;
    options.totalBlocks = 2048;
    HfsPlusImageBuilder builder(options);
    builder.addFile(2, "tiny.jpg", test::jpegBytes(100, 100, 4'000));
    builder.addFile(2, "thumb.jpg", test::jpegBytes(4000, 3000, 500'000));
    builder.addFile(2, "fine.jpg", test::jpegBytes(4000, 3000, 2'000'000));
    builder.addFile(2, "small.png", test::pngBytes(100, 100, 4'000));
    builder.addFile(2, "README", test::randomBytes(100, 1));
    const Bytes image = builder.build();
    // Only JPEG pictures have a byte rule; PNG compresses too differently for one.
    const auto hits = walk(image).byPath();
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_TRUE(hits.contains("/fine.jpg"));
    EXPECT_TRUE(hits.contains("/small.png"));

    MemoryByteSource source(image);
    AllocatedRegionMap regions;
    HfsPlusCatalogWalker::collectActiveRegions(source, 0, image.size(), regions);
    EXPECT_EQ(regions.count(), 5u);
}

TEST(HfsPlusCatalogWalker, FindsTheHeaderAt8192AndRejectsOddBlockSizes) {
    HfsPlusImageBuilder::Options options;
    options.volumeHeaderOffset = 8192;
    HfsPlusImageBuilder builder(options);
    builder.addFile(2, "a.pdf", test::randomBytes(5'000, 1));
    Bytes image = builder.build();
    image[1024] = 'B';
    image[1025] = 'D';
    EXPECT_EQ(walk(image).hits.size(), 1u);

    for (const std::uint32_t blockSize : {1'536u, 131'072u, 0u}) {
        Bytes bad = image;
        bad[8192 + 40] = static_cast<std::uint8_t>(blockSize >> 24);
        bad[8192 + 41] = static_cast<std::uint8_t>(blockSize >> 16);
        bad[8192 + 42] = static_cast<std::uint8_t>(blockSize >> 8);
        bad[8192 + 43] = static_cast<std::uint8_t>(blockSize);
        EXPECT_TRUE(walk(bad).hits.empty()) << blockSize;
    }
}

TEST(HfsPlusCatalogWalker, WalksEveryLeafAndStopsAtALoop) {
    HfsPlusImageBuilder::Options options;
    options.maxRecordsPerLeaf = 3;
    options.catalogNodes = 32;
    HfsPlusImageBuilder builder(options);
    for (int i = 0; i < 10; ++i) builder.addFile(2, "photo" + std::to_string(i) + ".pdf", test::randomBytes(3'000, i));
    Bytes image = builder.build();
    EXPECT_EQ(walk(image).hits.size(), 10u);

    // Leaf 3 links back to leaf 2: the walk ends there without error.
    const std::uint64_t leaf3 = builder.blockOffset(builder.catalogStartBlock()) + 3 * options.nodeSize;
    image[leaf3 + 3] = 2;
    const auto looped = walk(image);
    EXPECT_GT(looped.hits.size(), 0u);
    EXPECT_LT(looped.hits.size(), 10u);
    EXPECT_EQ(looped.readErrors, 0);
}

TEST(HfsPlusCatalogWalker, ReportsAbsoluteOffsetsInsideAPartitionAndStopsOnCancel) {
    HfsPlusImageBuilder builder;
    builder.addFile(2, "a.pdf", test::randomBytes(5'000, 1));
    builder.addFile(2, "b.pdf", test::randomBytes(5'000, 2));
    const Bytes volume = builder.build();
    Bytes device(1 << 20);
    device.insert(device.end(), volume.begin(), volume.end());
    MemoryByteSource source(device);
    const auto result = walk(source, 1 << 20, volume.size());
    ASSERT_EQ(result.hits.size(), 2u);
    EXPECT_EQ(device[result.hits[0].byteOffset], volume[result.hits[0].byteOffset - (1 << 20)]);
    EXPECT_GE(result.hits[0].byteOffset, 1u << 20);

    int asked = 0;
    const auto cancelled = walk(source, 1 << 20, volume.size(), everything(), [&] { return ++asked > 2; });
    EXPECT_LT(cancelled.hits.size(), 2u);
}

TEST(HfsPlusCatalogWalker, CountsAnUnreadableCatalogNodeAndFailsWhenTheDeviceIsGone) {
    HfsPlusImageBuilder builder;
    builder.addFile(2, "a.pdf", test::randomBytes(5'000, 1));
    const Bytes image = builder.build();
    test::FaultyByteSource source(image);
    source.addBadRange(builder.blockOffset(builder.catalogStartBlock()) + builder.options().nodeSize, 512);
    const auto result = walk(source, 0, image.size());
    EXPECT_TRUE(result.hits.empty());
    EXPECT_EQ(result.readErrors, 1);

    AllocatedRegionMap regions;
    EXPECT_EQ(HfsPlusCatalogWalker::collectActiveRegions(source, 0, image.size(), regions), 1);

    source.unplug();
    EXPECT_THROW(walk(source, 0, image.size()), PosixError);
}

TEST(HfsPlusCatalogWalker, BoundsSizesTakenFromTheDisk) {
    HfsPlusImageBuilder builder;
    builder.addFile(2, "a.pdf", test::randomBytes(5'000, 1));
    const Bytes image = builder.build();
    auto patched = [&](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
        Bytes copy = image;
        std::copy(bytes.begin(), bytes.end(), copy.begin() + static_cast<std::ptrdiff_t>(at));
        return copy;
    };
    // A catalog claiming 2^62 bytes in an extent of 2^32 - 1 blocks far past the partition.
    const Bytes hugeCatalog = patched(1024 + 272, {0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                                   0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_TRUE(walk(hugeCatalog).hits.empty());
    // Node size 0 and 65,535 in the catalog's header record.
    const std::uint64_t catalog = builder.blockOffset(builder.catalogStartBlock());
    EXPECT_TRUE(walk(patched(catalog + 32, {0x00, 0x00})).hits.empty());
    EXPECT_TRUE(walk(patched(catalog + 32, {0xFF, 0xFF})).hits.empty());
    // A file extent past the partition's end: not delivered, and its live range is cut to the partition.
    const Bytes farFile = [&] {
        HfsPlusImageBuilder b;
        b.addFileAt(2, "far.pdf", test::randomBytes(100, 1), {{1020, 100}}, 100 * 4096);
        return b.build();
    }();
    EXPECT_TRUE(walk(farFile).hits.empty());
    MemoryByteSource source(farFile);
    AllocatedRegionMap regions;
    HfsPlusCatalogWalker::collectActiveRegions(source, 0, farFile.size(), regions);
    ASSERT_EQ(regions.count(), 1u);
    EXPECT_EQ(regions.ranges()[0], (AllocatedRegionMap::Range{1020 * 4096, farFile.size()}));
}

// The builder's images are real HFS Plus volumes: the hfsplus package's tools list them.
TEST(HfsPlusImageBuilder, ImagesOpenWithTheHfsplusTools) {
    if (!test::haveProgram("hpmount") || !test::haveProgram("hpls")) GTEST_SKIP() << "hfsplus tools not installed";
    test::TempDir dir;
    HfsPlusImageBuilder::Options options;
    options.maxRecordsPerLeaf = 4;
    options.catalogNodes = 32;
    HfsPlusImageBuilder builder(options);
    const auto dcim = builder.addFolder(2, "DCIM");
    builder.addFile(dcim, "IMG_0001.JPG", test::jpegBytes(640, 480, 40'000));
    builder.addFile(dcim, "IMG_0002.JPG", test::jpegBytes(640, 480, 40'000, 2));
    builder.addFile(2, "notes.txt", test::randomBytes(10, 1));
    Bytes bytes = builder.build();
    // hfsplus 1.0.4-17 cannot size a regular file and reads the alternate volume header at 512-byte
    // block 1 instead of the volume's end, failing with "This is not a HFS+ volume"; the boot blocks
    // are free, so a copy of the header there lets it open the image.
    std::copy_n(bytes.begin() + 1024, 512, bytes.begin() + 512);
    const auto image = dir / "volume.img";
    test::writeFile(image, bytes);
    const std::string home = "HOME=" + dir.path().string();
    // The tools keep their state in $HOME; read-only mounting skips their interactive write prompt;
    // a time limit guards against a tool stuck on a bad image.
    test::runOrFail({"timeout", "20", "env", home, "hpmount", "-r", image.string()});
    const std::string root = test::runOrFail({"timeout", "20", "env", home, "hpls"});
    EXPECT_NE(root.find("DCIM"), std::string::npos) << root;
    EXPECT_NE(root.find("notes.txt"), std::string::npos) << root;
    const std::string folder = test::runOrFail({"timeout", "20", "env", home, "hpls", "-l", "DCIM"});
    EXPECT_NE(folder.find("IMG_0001.JPG"), std::string::npos) << folder;
    EXPECT_NE(folder.find("IMG_0002.JPG"), std::string::npos) << folder;
    EXPECT_NE(folder.find("40000"), std::string::npos) << folder;
    test::run({"timeout", "20", "env", home, "hpumount"});
}

} // namespace
} // namespace vantrel
