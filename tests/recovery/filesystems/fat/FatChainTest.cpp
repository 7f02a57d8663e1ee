#include "recovery/filesystems/fat/FatChain.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/MemoryVolume.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::MemoryVolume;
constexpr std::uint64_t clusterBytes = MemoryVolume::clusterBytes;

VolumeGeometry geometryOf(MemoryVolume& volume) {
    MemoryByteSource source(volume.image());
    return *FileSystemProbe::probeAll(source).at(0).fatGeometry;
}

// The cap is in bytes whatever the cluster size; a directory that goes on past it without an end
// mark in the part read is reported cut, one that ends at the cap or holds an end mark is not.
TEST(FatChain, DirectoryReadsStopAtTheByteCapAndAtLoops) {
    MemoryVolume volume(5000);
    for (std::uint32_t c = 100; c < 300; ++c) volume.link(c, c + 1);
    volume.chain({10, 11, 12});
    volume.link(12, 10);
    volume.chain({400, 401, 402, 403});
    const VolumeGeometry geometry = geometryOf(volume);
    test::FaultyByteSource source(volume.image());

    const auto capped = FatChain::readDirectory(source, geometry, 100, 64 * clusterBytes);
    EXPECT_EQ(capped.bytes.size(), 64 * clusterBytes);
    EXPECT_TRUE(capped.cut) << "the chain goes on and no byte of clusters 100 to 163 is 0";
    const auto halfCluster = FatChain::readDirectory(source, geometry, 100, clusterBytes / 2);
    EXPECT_EQ(halfCluster.bytes.size(), clusterBytes / 2);
    EXPECT_TRUE(halfCluster.cut);
    const auto ending = FatChain::readDirectory(source, geometry, 400, 4 * clusterBytes);
    EXPECT_EQ(ending.bytes, MemoryVolume::expected({400, 401, 402, 403}));
    EXPECT_FALSE(ending.cut) << "the chain ends at the cap";
    // Cluster 256's bytes are 0: an end-of-directory entry, so what lies past the cap is not needed.
    EXPECT_FALSE(FatChain::readDirectory(source, geometry, 200, 64 * clusterBytes).cut);

    const auto looping = FatChain::readDirectory(source, geometry, 10);
    EXPECT_EQ(looping.bytes, MemoryVolume::expected({10, 11, 12}));
    EXPECT_FALSE(looping.cut);
    EXPECT_TRUE(FatChain::readDirectory(source, geometry, 10, 0).bytes.empty());
    EXPECT_TRUE(FatChain::readDirectory(source, geometry, 1).bytes.empty());
}

TEST(FatChain, FragmentationIsJudgedFromTheLinksThatRemain) {
    MemoryVolume volume(5000);
    volume.chain({5, 6, 9});
    volume.chain({20, 21, 22});
    const VolumeGeometry geometry = geometryOf(volume);
    test::FaultyByteSource source(volume.image());
    EXPECT_TRUE(FatChain::isChainFragmented(source, geometry, 5, 3 * clusterBytes));
    EXPECT_FALSE(FatChain::isChainFragmented(source, geometry, 20, 3 * clusterBytes));
    EXPECT_FALSE(FatChain::isChainFragmented(source, geometry, 40, 3 * clusterBytes)) << "cleared chain";
    EXPECT_FALSE(FatChain::isChainFragmented(source, geometry, 5, clusterBytes)) << "one cluster";
    source.addBadRange(clusterBytes + 2 * 5, 2);
    EXPECT_THROW(FatChain::isChainFragmented(source, geometry, 5, 3 * clusterBytes), ByteSourceError);
}

TEST(FatChain, ExtentsCoverTheChainCutToTheFileLength) {
    MemoryVolume volume(100);
    volume.chain({5, 9, 12});
    volume.chain({40, 41, 42, 43});
    volume.chain({30, 31});
    volume.link(31, 30);
    const VolumeGeometry geometry = geometryOf(volume);
    MemoryByteSource source(volume.image());
    AllocatedRegionMap map;
    FatChain::appendChainExtents(source, geometry, 5, 2 * clusterBytes + 10, map);
    const auto start = [&](std::uint32_t c) { return volume.clusterOffset(c); };
    EXPECT_EQ(map.ranges(), (std::vector<AllocatedRegionMap::Range>{
                                {start(5), start(5) + clusterBytes}, {start(9), start(9) + clusterBytes}, {start(12), start(12) + 10}}));
    AllocatedRegionMap looping;
    FatChain::appendChainExtents(source, geometry, 30, 100 * clusterBytes, looping);
    EXPECT_EQ(looping.ranges(), (std::vector<AllocatedRegionMap::Range>{{start(30), start(32)}}));
    // Consecutive clusters are one range.
    AllocatedRegionMap contiguous;
    FatChain::appendChainExtents(source, geometry, 40, 4 * clusterBytes, contiguous);
    EXPECT_EQ(contiguous.ranges(), (std::vector<AllocatedRegionMap::Range>{{start(40), start(44)}}));
}

} // namespace
} // namespace vantrel
