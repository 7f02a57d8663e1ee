#include "VantrelHelper/HelperHitConversion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(HelperHitConversion, TheHitWrittenInPlaceIsTheTextOfItsRecord) {
    // Carved hits as a scan finds them, and undeleted ones whose names and folders come from the disk.
    std::vector<RecoveredHit> hits;
    const std::vector<std::string> names{"recovered_00001.jpg", "IMG \"1\".JPG", "Ärger 日本.jpg", "bad\xff.txt", std::string("nul\0in", 6)};
    for (const auto& name : names) {
        RecoveredHit carved;
        carved.kind = RecoveredFileKind::pdf;
        carved.byteOffset = 512;
        carved.byteLength = 0x8000'0000'0000'0000;
        carved.suggestedName = name;
        carved.isFragmented = true;
        hits.push_back(carved);
        RecoveredHit undeleted = carved;
        undeleted.source = HitSource::exfatUndelete;
        undeleted.reconstructedPath = "DCIM/" + name;
        undeleted.dimensions = ImageDimensions{640, 480};
        undeleted.clusterHint = ClusterAllocationHint{UINT32_MAX, 4096, DetectedFileSystem::exfat};
        undeleted.clusterReallocated = true;
        hits.push_back(undeleted);
    }
    for (const auto& hit : hits) {
        const auto record = HelperHitConversion::record(hit);
        std::string text = "kept";
        HelperHitConversion::view(hit).appendText(text);
        EXPECT_EQ(text, "kept" + record.encode().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) << hit.suggestedName;
        EXPECT_EQ(HelperHitConversion::view(hit).problem(), record.problem()) << hit.suggestedName;
    }
}

} // namespace
} // namespace vantrel
