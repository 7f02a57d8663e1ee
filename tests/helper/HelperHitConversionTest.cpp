#include "VantrelHelper/HelperHitConversion.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(HelperHitConversion, CopiesTheHitAndWritesItsHintsAsNames) {
    RecoveredHit hit;
    hit.kind = RecoveredFileKind::cr2;
    hit.byteOffset = 0xFFFF'FFFF'FFFF'FF00;
    hit.byteLength = 24'000'000;
    hit.suggestedName = "IMG_0042.CR2";
    hit.reconstructedPath = "DCIM/100CANON";
    hit.dimensions = ImageDimensions{5472, 3648};
    hit.isFragmented = true;
    hit.source = HitSource::fatUndelete;
    hit.integrity = HitIntegrity::ok;
    hit.clusterHint = ClusterAllocationHint{4242, 1048576, DetectedFileSystem::fat32};
    hit.clusterReallocated = true;
    const auto record = HelperHitConversion::record(hit);
    EXPECT_EQ(record, HelperHitDTO("cr2", 0xFFFF'FFFF'FFFF'FF00, 24'000'000, "IMG_0042.CR2", "DCIM/100CANON", 5472, 3648,
                                   "fatUndelete", true, true, 4242, 1048576, "fat32"));
    EXPECT_EQ(HelperHitDTO::decode(record.encode()), record);
}

TEST(HelperHitConversion, WritesZerosAndAnEmptyFileSystemWithoutHints) {
    RecoveredHit hit;
    hit.kind = RecoveredFileKind::png;
    hit.suggestedName = "recovered_00001.png";
    const auto encoded = HelperHitConversion::record(hit).encode();
    EXPECT_EQ(encoded["width"], 0);
    EXPECT_EQ(encoded["height"], 0);
    EXPECT_EQ(encoded["firstCluster"], 0);
    EXPECT_EQ(encoded["partitionOffset"], 0);
    EXPECT_EQ(encoded["fileSystem"], "");
    EXPECT_EQ(encoded["source"], "signatureCarve");
    EXPECT_FALSE(encoded.contains("reconstructedPath"));
}

} // namespace
} // namespace vantrel
