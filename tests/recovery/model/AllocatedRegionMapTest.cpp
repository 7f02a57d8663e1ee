#include "recovery/model/AllocatedRegionMap.h"

#include <gtest/gtest.h>

#include <random>

using namespace vantrel;

TEST(AllocatedRegionMap, OverlapIsHalfOpenAndOverflowCountsAsOverlap) {
    AllocatedRegionMap map;
    map.add(100, 100);
    EXPECT_TRUE(map.overlaps(199, 1));
    EXPECT_FALSE(map.overlaps(200, 10));
    EXPECT_FALSE(map.overlaps(90, 10));
    EXPECT_FALSE(map.overlaps(150, 0));
    EXPECT_TRUE(AllocatedRegionMap::empty().overlaps(UINT64_MAX - 10, 20));
    map.add(500, 0);
    map.add(UINT64_MAX - 5, 10);
    EXPECT_EQ(map.count(), 1u);
}

TEST(AllocatedRegionMap, RangesThatTouchOrOverlapAreMerged) {
    const AllocatedRegionMap map({{300, 400}, {100, 150}, {100, 120}, {150, 160}, {390, 395}});
    EXPECT_EQ(map.ranges(), (std::vector<AllocatedRegionMap::Range>{{100, 160}, {300, 400}}));
    EXPECT_EQ(map.nextRangeStart(101), 300u);
    EXPECT_EQ(map.nextRangeStart(401), UINT64_MAX);

    // Clusters added in chain order become one range as they come; a cluster added out of order
    // that joins two ranges merges them.
    AllocatedRegionMap chain;
    for (std::uint64_t cluster = 0; cluster < 1000; ++cluster) chain.add(4096 * cluster, 4096);
    chain.add(10'000'000, 512);
    chain.add(10'001'024, 512);
    EXPECT_EQ(chain.ranges(), (std::vector<AllocatedRegionMap::Range>{{0, 4'096'000}, {10'000'000, 10'000'512},
                                                                      {10'001'024, 10'001'536}}));
    chain.add(10'000'512, 512);
    chain.add(0, 10);
    EXPECT_EQ(chain.ranges(), (std::vector<AllocatedRegionMap::Range>{{0, 4'096'000}, {10'000'000, 10'001'536}}));
}

TEST(AllocatedRegionMap, IndexedAnswersEqualALinearScan) {
    std::mt19937_64 random(7);
    AllocatedRegionMap map;
    std::vector<AllocatedRegionMap::Range> reference;
    for (int round = 0; round < 2000; ++round) {
        const std::uint64_t start = random() % 100'000;
        const std::uint64_t length = random() % 500;
        map.add(start, length);
        if (length > 0) reference.emplace_back(start, start + length);
        const std::uint64_t offset = random() % 101'000;
        const std::uint64_t queryLength = random() % 300;
        bool expected = false;
        for (const auto& [begin, end] : reference)
            if (queryLength > 0 && offset < end && begin < offset + queryLength) expected = true;
        ASSERT_EQ(map.overlaps(offset, queryLength), expected) << offset << "+" << queryLength;
    }
    const auto& ranges = map.ranges();
    for (std::size_t i = 1; i < ranges.size(); ++i) ASSERT_LT(ranges[i - 1].second, ranges[i].first);
}
