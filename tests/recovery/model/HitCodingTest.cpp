#include "recovery/model/HitCoding.h"

#include "SampleHit.h"

#include <gtest/gtest.h>

using namespace vantrel;
using Json = HitCoding::Json;

namespace {

Json minimalStored() {
    return Json::parse(R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","kind":"jpeg","byteOffset":0,
                           "byteLength":10,"suggestedName":"a.jpg","source":"signatureCarve"})");
}

void expectDecodeFails(const Json& stored, const std::string& messagePart) {
    try {
        HitCoding::decode(stored);
        ADD_FAILURE() << "decoded " << stored.dump();
    } catch (const HitDecodingError& error) {
        EXPECT_NE(std::string(error.what()).find(messagePart), std::string::npos) << error.what();
    }
}

} // namespace

TEST(HitCoding, WritesEveryKeyInFieldOrderAndReadsItBack) {
    const RecoveredHit hit = test::everyFieldHit();
    const Json stored = HitCoding::encode(hit);
    std::vector<std::string> keys;
    for (const auto& item : stored.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "kind", "byteOffset", "byteLength", "suggestedName",
                                              "reconstructedPath", "dimensions", "isFragmented", "source",
                                              "integrity", "captureDate", "clusterHint", "clusterReallocated",
                                              "secondPiece"}));
    EXPECT_EQ(stored["id"], "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    EXPECT_EQ(stored["kind"], "cr2");
    // The camera's clock, with this computer's offset at that time (the picture records none).
    EXPECT_EQ(stored["captureDate"].get<std::string>().substr(0, 19), "2024-05-01T10:00:00");
    EXPECT_EQ(stored["clusterHint"]["fileSystem"], "hfsPlus");
    EXPECT_EQ(HitCoding::decode(Json::parse(stored.dump())), hit);
}

TEST(HitCoding, OmitsAbsentOptionalsAndKeepsZeroDimensions) {
    RecoveredHit hit;
    hit.suggestedName = "x";
    Json stored = HitCoding::encode(hit);
    for (const char* key : {"reconstructedPath", "dimensions", "captureDate", "clusterHint", "secondPiece"})
        EXPECT_FALSE(stored.contains(key)) << key;
    EXPECT_EQ(stored["kind"], "unknown");
    EXPECT_EQ(stored["integrity"], "pending");
    hit.dimensions = ImageDimensions{0, 0};
    stored = HitCoding::encode(hit);
    EXPECT_EQ(stored["dimensions"], Json::parse(R"({"width":0,"height":0})"));
}

TEST(HitCoding, MissingOptionalKeysAndNullsTakeTheirDefaults) {
    Json stored = minimalStored();
    stored["reconstructedPath"] = nullptr;
    stored["captureDate"] = nullptr;
    stored["somethingNew"] = "ignored";
    const RecoveredHit hit = HitCoding::decode(stored);
    EXPECT_FALSE(hit.isFragmented);
    EXPECT_EQ(hit.integrity, HitIntegrity::pending);
    EXPECT_FALSE(hit.clusterReallocated);
    EXPECT_FALSE(hit.reconstructedPath);
    EXPECT_FALSE(hit.captureDate);
}

TEST(HitCoding, RefusesWordsThatNameNoCase) {
    for (const char* key : {"kind", "source", "integrity"}) {
        Json stored = minimalStored();
        stored[key] = "JPEG";
        expectDecodeFails(stored, key);
    }
    Json stored = minimalStored();
    stored["clusterHint"] = Json::parse(R"({"firstCluster":2,"partitionOffset":0,"fileSystem":"HFSPlus"})");
    expectDecodeFails(stored, "fileSystem");
    stored = minimalStored();
    stored["kind"] = "unknown";
    EXPECT_EQ(HitCoding::decode(stored).kind, RecoveredFileKind::unknown);
}

TEST(HitCoding, RefusesNumbersOfTheWrongShape) {
    const std::vector<std::pair<std::string, Json>> bad{
        {"byteOffset", -5}, {"byteOffset", 1.5}, {"byteLength", "10"}, {"isFragmented", 1}, {"id", "not-a-uuid"}};
    for (const auto& [key, value] : bad) {
        Json stored = minimalStored();
        stored[key] = value;
        expectDecodeFails(stored, key);
    }
    Json stored = minimalStored();
    stored["clusterHint"] = Json::parse(R"({"firstCluster":4294967296,"partitionOffset":0,"fileSystem":"fat32"})");
    expectDecodeFails(stored, "firstCluster");
    stored["clusterHint"] = Json::parse(R"({"firstCluster":2,"fileSystem":"fat32"})");
    expectDecodeFails(stored, "partitionOffset");
    stored = minimalStored();
    stored["dimensions"] = Json::parse(R"({"width":10})");
    expectDecodeFails(stored, "height");
    stored = minimalStored();
    stored.erase("suggestedName");
    expectDecodeFails(stored, "suggestedName");
    // A second piece holds some of the file's 10 bytes, not none or all, and lies after the first piece.
    for (const char* piece : {R"({"offset":20,"length":0})", R"({"offset":20,"length":10})", R"({"offset":3,"length":4})",
                              R"({"offset":18446744073709551615,"length":4})", R"({"offset":20})"}) {
        stored = minimalStored();
        stored["secondPiece"] = Json::parse(piece);
        expectDecodeFails(stored, piece == std::string(R"({"offset":20})") ? "length" : "secondPiece");
    }
    stored["secondPiece"] = Json::parse(R"({"offset":6,"length":4})");
    EXPECT_EQ(HitCoding::decode(stored).secondPiece, (HitPiece{6, 4}));
}

TEST(HitCoding, CaptureDatesAreReadThroughTheGivenStrategy) {
    const Json stored = HitCoding::encode(test::everyFieldHit());
    HitCoding::DateStrategy refusing{[](HitDate date) { return Json(HitCoding::formatIso8601(date)); },
                                     [](const Json&) -> HitDate { throw HitDecodingError("refused"); }};
    EXPECT_THROW(HitCoding::decode(stored, refusing), HitDecodingError);
    EXPECT_EQ(HitCoding::decode(stored).captureDate, test::everyFieldHit().captureDate);
}

TEST(HitCoding, ParsesIso8601WithOffsetsAndFractions) {
    const auto base = HitCoding::parseIso8601("2024-05-01T10:00:00Z");
    ASSERT_TRUE(base);
    EXPECT_EQ(HitCoding::parseIso8601("2024-05-01T12:00:00+02:00"), base);
    EXPECT_EQ(*HitCoding::parseIso8601("2024-05-01T10:00:00.5Z") - *base, std::chrono::milliseconds(500));
    EXPECT_TRUE(HitCoding::parseIso8601("2024-02-29T10:00:00Z"));
    // Days a month does not have, and years outside what a date in nanoseconds can hold.
    for (const char* bad : {"2024-05-01", "2024-13-01T10:00:00Z", "2024-05-01T10:00:00", "2024-05-01T10:00:00+2",
                            "2023-02-29T10:00:00Z", "2024-04-31T10:00:00Z", "9999-12-31T23:59:59Z", "1000-01-01T00:00:00Z"})
        EXPECT_FALSE(HitCoding::parseIso8601(bad)) << bad;
    EXPECT_EQ(HitCoding::formatIso8601(*base), "2024-05-01T10:00:00Z");
}

TEST(RecoveredHit, HitsDifferingOnlyInIdentityAreUnequal) {
    RecoveredHit a = test::everyFieldHit();
    RecoveredHit b = a;
    EXPECT_EQ(a, b);
    b.id = Uuid::random();
    EXPECT_NE(a, b);
    EXPECT_NE(Uuid::random(), Uuid::random());
}

TEST(RecoveredFileKind, StoredNamesExtensionsAndFamilies) {
    EXPECT_EQ(FileKind::allKinds().size(), 29u);
    for (auto kind : FileKind::allKinds()) EXPECT_EQ(FileKind::fromRawValue(FileKind::rawValue(kind)), kind);
    EXPECT_FALSE(FileKind::fromRawValue("JPEG"));
    EXPECT_EQ(FileKind::preferredExtension(RecoveredFileKind::jpeg), "jpg");
    EXPECT_EQ(FileKind::preferredExtension(RecoveredFileKind::tiff), "tif");
    EXPECT_EQ(FileKind::preferredExtension(RecoveredFileKind::unknown), "bin");
    EXPECT_TRUE(FileKind::isImage(RecoveredFileKind::orf));
    EXPECT_FALSE(FileKind::isImage(RecoveredFileKind::mp4));
    EXPECT_FALSE(FileKind::isImage(RecoveredFileKind::pdf));
    EXPECT_FALSE(FileKind::isAudio(RecoveredFileKind::mov));
    EXPECT_TRUE(FileKind::isVideo(RecoveredFileKind::mov));
    EXPECT_EQ(FileKind::defaultAllowedKinds().size(), 22u);
    EXPECT_FALSE(FileKind::defaultAllowedKinds().contains(RecoveredFileKind::zip));
    EXPECT_EQ(FileSystemName::fromRawValue("hfsPlus"), DetectedFileSystem::hfsPlus);
    EXPECT_FALSE(FileSystemName::fromRawValue("HFSPlus"));
}
