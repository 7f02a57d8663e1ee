#include "support/HelperHitDTO.h"

#include "tests/fixtures/TransferRecords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using test::sampleRecord;
HelperHitDTO sample() { return sampleRecord(); }

nlohmann::json withField(const char* key, nlohmann::json value) {
    auto object = sample().encode();
    object[key] = std::move(value);
    return object;
}

// The refusal decode() gives; check() must refuse the same object.
std::string refusal(const nlohmann::json& object) {
    std::string problem;
    EXPECT_FALSE(HelperHitDTO::decode(object, &problem)) << object.dump();
    EXPECT_TRUE(HelperHitDTO::check(object)) << object.dump();
    return problem;
}

TEST(HelperHitDTO, EncodesEveryFieldUnderItsName) {
    const auto encoded = sample().encode();
    EXPECT_EQ(encoded, nlohmann::json::parse(R"({"$class":"HelperHitDTO","kind":"jpeg","byteOffset":1024,"byteLength":2048,
        "suggestedName":"IMG_0001.JPG","width":4000,"height":3000,"source":"fatUndelete","isFragmented":false,
        "clusterReallocated":true,"firstCluster":17,"partitionOffset":1048576,"fileSystem":"fat32","secondOffset":0,
        "secondLength":0})"));
    EXPECT_EQ(HelperHitDTO::decode(encoded), sample());
}

TEST(HelperHitDTO, KeepsAReconstructedPathOnlyWhenPresent) {
    auto hit = sample();
    EXPECT_FALSE(hit.encode().contains("reconstructedPath"));
    EXPECT_FALSE(HelperHitDTO::decode(hit.encode())->reconstructedPath);
    hit.reconstructedPath = "DCIM/100MEDIA";
    EXPECT_EQ(hit.encode()["reconstructedPath"], "DCIM/100MEDIA");
    EXPECT_EQ(HelperHitDTO::decode(hit.encode()), hit);
}

TEST(HelperHitDTO, CarriesUnsignedValuesAboveTheSignedRangeUnchanged) {
    auto hit = sample();
    hit.byteOffset = 0x8000'0000'0000'0005;
    hit.byteLength = UINT64_MAX;
    hit.partitionOffset = 0xF000'0000'0000'0000;
    hit.firstCluster = UINT32_MAX;
    hit.secondOffset = 0x9000'0000'0000'0000;
    hit.secondLength = 0x8000'0000'0000'0001;
    const auto encoded = hit.encode();
    EXPECT_LT(encoded["byteOffset"].get<std::int64_t>(), 0);  // the same bits, signed, as the protocol's integers are
    EXPECT_EQ(HelperHitDTO::decode(encoded), hit);
    const std::string text = hit.encodeText();
    EXPECT_EQ(text, encoded.dump());
    HelperHitDTO read = sample();
    EXPECT_EQ(HelperHitDTO::readText(text, read), text.size());
    EXPECT_EQ(read, hit);
}

TEST(HelperHitDTO, TextFormIsTheDumpOfTheMessageForm) {
    for (const auto& hit : test::recordsOfAwkwardTexts())
        ASSERT_EQ(hit.encodeText(), hit.encode().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) << hit.suggestedName;
}

TEST(HelperHitDTO, NamesTheTextItsReceiverWouldRefuse) {
    EXPECT_FALSE(sample().problem());
    EXPECT_FALSE(HelperHitDTO::check(sample().encode()));
    auto hit = sample();
    hit.suggestedName = std::string("a\0b", 3);
    ASSERT_TRUE(hit.problem());
    EXPECT_NE(hit.problem()->find("suggestedName"), std::string::npos);
    EXPECT_TRUE(HelperHitDTO::check(hit.encode()));
    hit = sample();
    hit.reconstructedPath = std::string(4097, 'p');
    ASSERT_TRUE(hit.problem());
    EXPECT_NE(hit.problem()->find("reconstructedPath"), std::string::npos);
    hit.reconstructedPath = std::string(4096, 'p');
    EXPECT_FALSE(hit.problem());
}

TEST(HelperHitDTO, GivesDefaultsForMissingKeys) {
    const auto hit = HelperHitDTO::decode(nlohmann::json{{"$class", "HelperHitDTO"}});
    ASSERT_TRUE(hit);
    EXPECT_EQ(*hit, HelperHitDTO("unknown", 0, 0, "file", std::nullopt, 0, 0, "signatureCarve", false, false, 0, 0, ""));
    auto withoutFlag = sample().encode();
    withoutFlag.erase("clusterReallocated");
    EXPECT_FALSE(HelperHitDTO::decode(withoutFlag)->clusterReallocated);
}

TEST(HelperHitDTO, RefusesAFirstClusterOutsideThirtyTwoBits) {
    // 4,294,967,298 is refused rather than cut to 2, which would read the wrong cluster chain.
    EXPECT_NE(refusal(withField("firstCluster", 4'294'967'298LL)).find("firstCluster"), std::string::npos);
    refusal(withField("firstCluster", -1));
    EXPECT_EQ(HelperHitDTO::decode(withField("firstCluster", 4'294'967'295LL))->firstCluster, UINT32_MAX);
}

TEST(HelperHitDTO, RefusesFieldsOfTheWrongType) {
    refusal(withField("kind", 7));
    refusal(withField("suggestedName", nullptr));
    refusal(withField("suggestedName", std::string("a\0b", 3)));
    refusal(withField("reconstructedPath", std::string(4097, 'p')));
    refusal(withField("byteOffset", 1.5));
    refusal(withField("byteOffset", "1024"));
    refusal(withField("byteLength", nlohmann::json::parse("18446744073709551615")));  // beyond the signed range
    refusal(withField("width", true));
    refusal(withField("isFragmented", 1));
    refusal(withField("clusterReallocated", "true"));
    refusal(nlohmann::json{{"$class", "RecoveredHit"}});
    refusal(nlohmann::json("HelperHitDTO"));
    refusal(nlohmann::json::array());
}

} // namespace
} // namespace vantrel
