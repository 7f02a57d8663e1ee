#include "recovery/filesystems/AllocatedRegionMap.h"

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

TEST(AllocatedRegionMap, ConstructionSortsStablyByStartOnly) {
    const AllocatedRegionMap map({{300, 400}, {100, 150}, {100, 120}});
    EXPECT_EQ(map.ranges(), (std::vector<AllocatedRegionMap::Range>{{100, 150}, {100, 120}, {300, 400}}));
    EXPECT_EQ(map.nextRangeStart(101), 300u);
    EXPECT_EQ(map.nextRangeStart(401), UINT64_MAX);
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
}
