#include "recovery/model/RecoveryFilters.h"

#include <gtest/gtest.h>

using namespace vantrel;

namespace {
RecoveredHit hitOf(RecoveredFileKind kind, std::uint64_t length, std::optional<ImageDimensions> dimensions = {}) {
    RecoveredHit hit;
    hit.kind = kind;
    hit.byteLength = length;
    hit.dimensions = dimensions;
    return hit;
}
} // namespace

TEST(RecoveryFilters, DefaultFilterRulesInOrder) {
    const auto& filters = RecoveryFilters::defaults();
    EXPECT_FALSE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 4000)));
    EXPECT_FALSE(filters.accepts(hitOf(RecoveredFileKind::mp3, 9000)));
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::pdf, 9000)));
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 20000)));
    EXPECT_FALSE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 20000, ImageDimensions{640, 480})));
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 40000, ImageDimensions{800, 600})));
    // Bytes per pixel are the searches' to judge, with the picture's structure in hand.
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 39999, ImageDimensions{800, 600})));
    EXPECT_FALSE(filters.accepts(hitOf(RecoveredFileKind::png, 40000, ImageDimensions{800, 599})));
}

TEST(RecoveryFilters, PlausibilityWithoutMinimums) {
    const RecoveryFilters filters{FileKind::defaultAllowedKinds(), 0, std::nullopt, std::nullopt};
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 12287, ImageDimensions{300, 400})));
    EXPECT_FALSE(isPlausibleJpegPayload(12287, ImageDimensions{300, 400}));
    EXPECT_TRUE(isPlausibleJpegPayload(12288, ImageDimensions{300, 400}));
    EXPECT_FALSE(filters.accepts(hitOf(RecoveredFileKind::png, 1, ImageDimensions{100000, 10})));
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::png, 1, ImageDimensions{65536, 10})));
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 1, ImageDimensions{0, 0})));
    // A small PNG is never held to the JPEG byte-per-pixel rule.
    EXPECT_TRUE(filters.accepts(hitOf(RecoveredFileKind::png, 100, ImageDimensions{4000, 3000})));
    EXPECT_FALSE(filters.accepts(hitOf(RecoveredFileKind::jpeg, 100000, ImageDimensions{-1, 500})));
}

TEST(ScanProgress, FractionIsCappedAndZeroForEmptySources) {
    EXPECT_EQ((ScanProgress{0, 0, 0, 0}.fractionCompleted()), 0.0);
    EXPECT_EQ((ScanProgress{50, 100, 0, 0}.fractionCompleted()), 0.5);
    EXPECT_EQ((ScanProgress{150, 100, 0, 0}.fractionCompleted()), 1.0);
}
