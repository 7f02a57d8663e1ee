#include "recovery/filesystems/ClusterChainReader.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/FileSystemProbe.h"
#include "tests/fixtures/FaultyByteSource.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

constexpr std::uint64_t sectorBytes = 512;

// A FAT12 or FAT16 volume in memory with 512-byte clusters: boot sector, one FAT, a one-sector root
// directory, then the clusters; every byte of cluster c holds c's low byte. trailingBytes of 0xEE
// follow the volume, as another partition's data would.
class MemoryVolume {
public:
    MemoryVolume(std::uint32_t clusterCount, std::uint64_t trailingBytes = 0) : m_clusterCount(clusterCount) {
        m_bits = clusterCount <= 4084 ? 12 : 16;
        const std::uint64_t fatSectors = ((clusterCount + 2) * m_bits / 8 + sectorBytes) / sectorBytes;
        const std::uint64_t totalSectors = 1 + fatSectors + 1 + clusterCount;
        m_image.assign(totalSectors * sectorBytes, 0);
        put(11, 512, 2);
        m_image[13] = 1;
        put(14, 1, 2);
        m_image[16] = 1;
        put(17, 16, 2);
        put(19, totalSectors, 2);
        put(22, fatSectors, 2);
        m_heap = (2 + fatSectors) * sectorBytes;
        for (std::uint64_t c = 2; c < clusterCount + 2; ++c)
            std::fill_n(m_image.begin() + static_cast<std::ptrdiff_t>(clusterOffset(static_cast<std::uint32_t>(c))),
                        sectorBytes, static_cast<std::uint8_t>(c));
        m_image.insert(m_image.end(), trailingBytes, 0xEE);
    }

    void link(std::uint32_t cluster, std::uint32_t next) {
        if (m_bits == 16) return put(sectorBytes + 2 * cluster, next, 2);
        const std::uint64_t at = sectorBytes + cluster + cluster / 2;
        std::uint16_t pair = static_cast<std::uint16_t>(m_image[at] | (m_image[at + 1] << 8));
        pair = (cluster & 1) ? static_cast<std::uint16_t>((pair & 0x000F) | (next << 4))
                             : static_cast<std::uint16_t>((pair & 0xF000) | (next & 0x0FFF));
        put(at, pair, 2);
    }
    void chain(std::initializer_list<std::uint32_t> clusters, std::uint32_t endMark = 0xFFFF) {
        const std::vector<std::uint32_t> list(clusters);
        for (std::size_t i = 0; i + 1 < list.size(); ++i) link(list[i], list[i + 1]);
        link(list.back(), endMark);
    }

    std::uint64_t clusterOffset(std::uint32_t cluster) const { return m_heap + (cluster - 2) * sectorBytes; }
    // The bytes of the clusters, the last cut to lastBytes.
    static Bytes expected(std::initializer_list<std::uint32_t> clusters, std::uint64_t lastBytes = sectorBytes) {
        Bytes out;
        std::size_t index = 0;
        for (const std::uint32_t c : clusters)
            out.insert(out.end(), ++index == clusters.size() ? lastBytes : sectorBytes, static_cast<std::uint8_t>(c));
        return out;
    }

    RecoveredHit hit(std::uint32_t firstCluster, std::uint64_t length) const {
        RecoveredHit hit;
        hit.byteOffset = clusterOffset(firstCluster);
        hit.byteLength = length;
        hit.source = HitSource::fatUndelete;
        hit.clusterHint = ClusterAllocationHint{firstCluster, 0, DetectedFileSystem::fat16};
        return hit;
    }

    Bytes& image() { return m_image; }

private:
    void put(std::uint64_t at, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) m_image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    std::uint32_t m_clusterCount;
    std::uint8_t m_bits;
    std::uint64_t m_heap = 0;
    Bytes m_image;
};

Bytes extractAll(ByteSource& source, const RecoveredHit& hit) {
    return ClusterChainReader::extractBytes(source, hit, UINT64_MAX);
}

class ClusterChainReaderByFatWidth : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ClusterChainReaderByFatWidth, ClearedChainReadsConsecutiveClusters) {
    MemoryVolume volume(GetParam());
    MemoryByteSource source(volume.image());
    EXPECT_EQ(extractAll(source, volume.hit(5, 3 * sectorBytes)), MemoryVolume::expected({5, 6, 7}));
}

TEST_P(ClusterChainReaderByFatWidth, FragmentedChainIsFollowedAndTheLastClusterCut) {
    MemoryVolume volume(GetParam());
    volume.chain({5, 9, 12});
    MemoryByteSource source(volume.image());
    EXPECT_EQ(extractAll(source, volume.hit(5, 2 * sectorBytes + 100)), MemoryVolume::expected({5, 9, 12}, 100));
}

TEST_P(ClusterChainReaderByFatWidth, LoopingChainTurnsConsecutiveAndEndsAtAClusterAlreadyRead) {
    MemoryVolume volume(GetParam());
    volume.chain({5, 6});
    volume.link(6, 5);
    MemoryByteSource source(volume.image());
    EXPECT_EQ(extractAll(source, volume.hit(5, 3 * sectorBytes)), MemoryVolume::expected({5, 6, 7}));
    volume.chain({20, 22, 21});
    volume.link(21, 22);
    MemoryByteSource looping(volume.image());
    EXPECT_EQ(extractAll(looping, volume.hit(20, 10 * sectorBytes)), MemoryVolume::expected({20, 22, 21}));
}

// Values for FAT12 (100 clusters) and FAT16 (5,000 clusters): the 12-bit links of odd and even
// clusters share bytes, so a 16-bit reading of them would go astray.
INSTANTIATE_TEST_SUITE_P(ClusterChainReader, ClusterChainReaderByFatWidth, ::testing::Values(100u, 5000u),
                         [](const auto& param) { return param.param <= 4084 ? "Fat12" : "Fat16"; });

TEST(ClusterChainReader, StaysInsideTheVolumeAndStopsAtTheDeviceEnd) {
    MemoryVolume volume(100, 4096);
    MemoryByteSource source(volume.image());
    EXPECT_EQ(extractAll(source, volume.hit(100, 3 * sectorBytes)), MemoryVolume::expected({100, 101}))
        << "the bytes after the last cluster belong to no cluster";

    MemoryVolume truncated(100);
    truncated.image().resize(truncated.clusterOffset(8) + 200);
    test::FaultyByteSource shortDevice(truncated.image());
    EXPECT_EQ(extractAll(shortDevice, truncated.hit(6, 3 * sectorBytes)), MemoryVolume::expected({6, 7, 8}, 200))
        << "no volume is probed on a device shorter than the volume, so the plain range is read";
}

TEST(ClusterChainReader, ReadFileStopsShortAtTheDeviceEnd) {
    MemoryVolume volume(100);
    MemoryByteSource full(volume.image());
    const VolumeGeometry geometry = *FileSystemProbe::probeAll(full)[0].fatGeometry;
    volume.image().resize(volume.clusterOffset(8) + 200);
    test::FaultyByteSource source(volume.image());
    Bytes out;
    const auto delivered = ClusterChainReader::readFile(source, geometry, 6, 5 * sectorBytes,
                                                        [&](ByteView chunk) { out.insert(out.end(), chunk.begin(), chunk.end()); });
    EXPECT_EQ(delivered, 2 * sectorBytes + 200);
    EXPECT_EQ(out, MemoryVolume::expected({6, 7, 8}, 200));
}

TEST(ClusterChainReader, StreamsInBoundedChunksWithAdjacentClustersReadTogether) {
    MemoryVolume volume(5000);
    volume.chain({10, 11, 12, 13, 40, 41, 42, 43});
    test::FaultyByteSource source(volume.image());
    std::vector<std::size_t> chunkSizes;
    Bytes out;
    const std::int64_t readsBefore = source.readCount();
    ClusterChainReader::extract(source, volume.hit(10, 8 * sectorBytes),
                                [&](ByteView chunk) {
                                    chunkSizes.push_back(chunk.size());
                                    out.insert(out.end(), chunk.begin(), chunk.end());
                                },
                                1536);
    EXPECT_EQ(out, MemoryVolume::expected({10, 11, 12, 13, 40, 41, 42, 43}));
    EXPECT_EQ(chunkSizes, (std::vector<std::size_t>{1536, 512, 1536, 512}));
    EXPECT_LT(source.readCount() - readsBefore, 20) << "one probe, eight link reads, four data reads";
}

TEST(ClusterChainReader, CarvedHitsAndEmptyHitsAreReadAsTheirPlainRange) {
    MemoryVolume volume(100);
    volume.chain({5, 9});
    MemoryByteSource source(volume.image());
    RecoveredHit carved;
    carved.byteOffset = volume.clusterOffset(5);
    carved.byteLength = 2 * sectorBytes;
    EXPECT_EQ(extractAll(source, carved), MemoryVolume::expected({5, 6}));
    EXPECT_TRUE(extractAll(source, volume.hit(5, 0)).empty());
    carved.byteOffset = volume.image().size();
    EXPECT_THROW(extractAll(source, carved), ByteSourceError);
}

TEST(ClusterChainReader, HintOfAnotherFatTypeStillReadsByChain) {
    MemoryVolume volume(5000);
    volume.chain({5, 9});
    MemoryByteSource source(volume.image());
    RecoveredHit hit = volume.hit(5, 2 * sectorBytes);
    hit.clusterHint->fileSystem = DetectedFileSystem::fat32;
    EXPECT_EQ(extractAll(source, hit), MemoryVolume::expected({5, 9}));
    hit.clusterHint->partitionOffset = 4096;
    EXPECT_EQ(extractAll(source, hit), MemoryVolume::expected({5, 6})) << "no volume there: the plain range";
    hit.clusterHint.reset();
    EXPECT_EQ(extractAll(source, hit), MemoryVolume::expected({5, 9})) << "the cluster is inferred from the offset";
}

TEST(ClusterChainReader, FailedLinkReadsOnlyEndTheChain) {
    MemoryVolume volume(5000);
    // Far enough into the FAT that the partition-map and boot-sector reads do not touch the bad spot.
    volume.chain({3000, 3009});
    test::FaultyByteSource source(volume.image());
    source.addBadRange(sectorBytes + 2 * 3000, 2);
    EXPECT_EQ(extractAll(source, volume.hit(3000, 2 * sectorBytes)), MemoryVolume::expected({3000, 3001}));
    source.addBadRange(volume.clusterOffset(3001), 1);
    EXPECT_THROW(extractAll(source, volume.hit(3000, 2 * sectorBytes)), ByteSourceError) << "data read failures propagate";
}

} // namespace
} // namespace vantrel
