#include "Vantrel/model/IntakeKeySet.h"

#include "base/ShardGrowth.h"

#include <gtest/gtest.h>

#include <map>
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
        // Asking for a pair's memory changes nothing, an empty set's (before the first insert) included.
        set.prefetch(offset, kind);
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
    set.prefetch(expected.begin()->first, expected.begin()->second);
    EXPECT_EQ(set.size(), 0u);
    EXPECT_FALSE(set.contains(expected.begin()->first, expected.begin()->second));
    EXPECT_TRUE(set.insert(expected.begin()->first, expected.begin()->second));
}

TEST(ShardGrowth, AShardGrowsAtItsOwnLoadBetweenAHalfAndThreeQuarters) {
    const struct {
        std::size_t taken, capacity, shard;
        bool due;
    } cases[] = {
        {0, 0, 0, true},      {0, 0, 63, true},     // an empty table grows before its first
        {7, 16, 0, false},    {8, 16, 0, true},     // the first shard past a half
        {10, 16, 63, false},  {11, 16, 63, true},   // the last at three quarters
        {1279, 2048, 32, false}, {1280, 2048, 32, true},  // the middle one at five eighths
    };
    for (const auto& c : cases) EXPECT_EQ(ShardGrowth::due(c.taken, c.capacity, c.shard, 64), c.due) << c.taken << " of " << c.capacity;
}

// Shards of a set fill evenly: grown at one load, all 64 would grow in one step (the whole set rehashed at
// once). At loads of their own, no two large ones grow in the same step.
TEST(ShardGrowth, EvenlyFilledShardsGrowOneAtATime) {
    constexpr std::size_t shards = 64;
    std::vector<std::size_t> capacity(shards, 0);
    std::map<std::size_t, int> growths;  // by the count each shard held, for shards of over 1,024 slots
    for (std::size_t taken = 0; taken < 50'000; ++taken) {
        for (std::size_t shard = 0; shard < shards; ++shard) {
            if (!ShardGrowth::due(taken, capacity[shard], shard, shards)) continue;
            capacity[shard] = std::max<std::size_t>(16, 2 * capacity[shard]);
            if (capacity[shard] > 1024) ++growths[taken];
        }
    }
    ASSERT_FALSE(growths.empty());
    for (const auto& [taken, count] : growths) EXPECT_EQ(count, 1) << "at " << taken;
}

} // namespace
} // namespace vantrel
