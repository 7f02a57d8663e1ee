#include "Vantrel/model/IntakeKeySet.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>

namespace vantrel {
namespace {

TEST(IntakeKeySet, AgreesWithAPlainSetThroughGrowthErasuresAndReuse) {
    // Offsets as a card gives them (cluster multiples, the same offset under several kinds, offsets near
    // the top of 64 bits), many erased and added again, so that erased slots are passed over and reused.
    IntakeKeySet set;
    std::set<std::pair<std::uint64_t, RecoveredFileKind>> expected;
    std::mt19937_64 random(17);
    const auto key = [&] {
        const std::uint64_t offset = random() % 4 ? (random() % 60'000) * 4096 : ~std::uint64_t{0} - random() % 4;
        return std::make_pair(offset, static_cast<RecoveredFileKind>(random() % 3));
    };
    for (int step = 0; step < 200'000; ++step) {
        const auto [offset, kind] = key();
        switch (random() % 4) {
        case 0:
            set.erase(offset, kind);
            expected.erase({offset, kind});
            break;
        case 1:
            ASSERT_EQ(set.contains(offset, kind), expected.contains({offset, kind})) << step;
            break;
        default:
            ASSERT_EQ(set.insert(offset, kind), expected.insert({offset, kind}).second) << step;
        }
    }
    EXPECT_EQ(set.size(), expected.size());
    for (const auto& [offset, kind] : expected) ASSERT_TRUE(set.contains(offset, kind));
    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_FALSE(set.contains(expected.begin()->first, expected.begin()->second));
    EXPECT_TRUE(set.insert(expected.begin()->first, expected.begin()->second));
}

} // namespace
} // namespace vantrel
