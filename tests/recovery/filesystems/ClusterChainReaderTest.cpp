#include "recovery/filesystems/ClusterChainReader.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/DeletedFileClusters.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/MemoryVolume.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::MemoryVolume;
constexpr std::uint64_t sectorBytes = MemoryVolume::clusterBytes;

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

// A deleted file whose chain was cleared is read from its first cluster and the following clusters that
// no live file holds (a non-zero FAT entry), as the scan described it.
TEST_P(ClusterChainReaderByFatWidth, AClearedChainSkipsTheClustersLiveFilesHold) {
    MemoryVolume volume(GetParam());
    volume.chain({7, 8});
    volume.chain({10});
    MemoryByteSource source(volume.image());
    const RecoveredHit hit = volume.hit(5, 4 * sectorBytes + 10);
    EXPECT_EQ(extractAll(source, hit), MemoryVolume::expected({5, 6, 9, 11, 12}, 10));
    const auto partitions = FileSystemProbe::probeAll(source);
    ASSERT_TRUE(partitions.at(0).fatGeometry);
    const VolumeGeometry geometry = *partitions.at(0).fatGeometry;
    ClusterAllocation allocation(source, geometry);
    const DeletedFileLayout layout = DeletedFileClusters::layout(source, geometry, 5, hit.byteLength, true, allocation);
    EXPECT_EQ(layout.runs, (std::vector<ClusterRun>{{5, 2}, {9, 1}, {11, 2}}));
    EXPECT_TRUE(layout.fragmented);
    // A preview reads the same clusters as far as it goes.
    EXPECT_EQ(ClusterChainReader::extractBytes(source, hit, 3 * sectorBytes), MemoryVolume::expected({5, 6, 9}));
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
    EXPECT_EQ(extractAll(shortDevice, truncated.hit(6, 3 * sectorBytes)), MemoryVolume::expected({6, 7}))
        << "the volume keeps the clusters the device holds; the one cut by its end is unreadable";
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

    // Two pieces: the first, then the second, whole or as a prefix; a second piece past the end ends the file.
    RecoveredHit joined;
    joined.byteOffset = volume.clusterOffset(5);
    joined.byteLength = 3 * sectorBytes;
    joined.secondPiece = HitPiece{volume.clusterOffset(9), sectorBytes};
    EXPECT_EQ(extractAll(source, joined), MemoryVolume::expected({5, 6, 9}));
    EXPECT_EQ(ClusterChainReader::extractBytes(source, joined, 2 * sectorBytes + 10), MemoryVolume::expected({5, 6, 9}, 10));
    EXPECT_EQ(ClusterChainReader::extractBytes(source, joined, sectorBytes), MemoryVolume::expected({5}));
    joined.secondPiece->offset = volume.image().size() - 10;
    EXPECT_EQ(extractAll(source, joined).size(), 2 * sectorBytes + 10);
}

// Extractions on one thread share a read buffer from file to file: one that a sink starts while another
// is delivering its chunk, by chain or plain range, must not overwrite that chunk.
TEST(ClusterChainReader, AnExtractionInsideASinkLeavesTheOuterChunkIntact) {
    MemoryVolume volume(5000);
    volume.chain({10, 11, 12, 40, 41});
    volume.chain({20, 21});
    MemoryByteSource source(volume.image());
    RecoveredHit carved;
    carved.byteOffset = volume.clusterOffset(30);
    carved.byteLength = 2 * sectorBytes;
    const std::vector<RecoveredHit> outer = {volume.hit(10, 5 * sectorBytes), carved};
    for (const RecoveredHit& hit : outer) {
        Bytes out, inner;
        ClusterChainReader::extract(source, hit,
                                    [&](ByteView chunk) {
                                        const Bytes before(chunk.begin(), chunk.end());
                                        inner = extractAll(source, volume.hit(20, 2 * sectorBytes));
                                        EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), before.begin(), before.end()));
                                        out.insert(out.end(), chunk.begin(), chunk.end());
                                    },
                                    1024);
        EXPECT_EQ(out, hit.byteOffset == carved.byteOffset ? MemoryVolume::expected({30, 31})
                                                           : MemoryVolume::expected({10, 11, 12, 40, 41}));
        EXPECT_EQ(inner, MemoryVolume::expected({20, 21}));
    }
    // And the buffer the thread kept serves the next file whole.
    EXPECT_EQ(extractAll(source, volume.hit(10, 5 * sectorBytes)), MemoryVolume::expected({10, 11, 12, 40, 41}));
}

// A sink may keep a chunk's buffer and give the reader another to go on with, of any size and content:
// every hit still reads whole and in order, by chain, plain range or two pieces, and in any chunk size.
TEST(ClusterChainReader, ASinkThatSwapsTheBufferAwayStillGetsEveryChunk) {
    MemoryVolume volume(5000);
    volume.chain({10, 11, 12, 40, 41, 42, 60});
    MemoryByteSource source(volume.image());
    RecoveredHit carved;
    carved.byteOffset = volume.clusterOffset(30) + 3;
    carved.byteLength = 5 * sectorBytes - 7;
    RecoveredHit joined;
    joined.byteOffset = volume.clusterOffset(5);
    joined.byteLength = 4 * sectorBytes;
    joined.secondPiece = HitPiece{volume.clusterOffset(90), 2 * sectorBytes};
    const RecoveredHit hits[] = {volume.hit(10, 7 * sectorBytes - 100), carved, joined};
    for (const RecoveredHit& hit : hits) {
        const Bytes expected = extractAll(source, hit);
        for (const std::uint64_t chunkBytes : {std::uint64_t{1}, std::uint64_t{700}, sectorBytes, 3 * sectorBytes}) {
            SCOPED_TRACE(std::to_string(hit.byteOffset) + " in chunks of " + std::to_string(chunkBytes));
            Bytes out;
            std::vector<Bytes> keptChunks;
            std::size_t turn = 0;
            const auto delivered = ClusterChainReader::extractBuffers(
                source, hit,
                [&](Bytes& chunk) {
                    out.insert(out.end(), chunk.begin(), chunk.end());
                    // Kept as it is, the reader going on with a stale buffer of another size.
                    keptChunks.push_back(std::exchange(chunk, Bytes(turn++ % 3 * 1000, 0xEE)));
                },
                chunkBytes);
            EXPECT_EQ(delivered, expected.size());
            EXPECT_EQ(out, expected);
            Bytes joinedChunks;
            for (const auto& chunk : keptChunks) joinedChunks.insert(joinedChunks.end(), chunk.begin(), chunk.end());
            EXPECT_EQ(joinedChunks, expected) << "a chunk handed over is never written again";
        }
    }
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

// A device that gives fewer bytes than asked for reads reaching one offset, though it goes on past it.
class ShortReadSource final : public ByteSource {
public:
    ShortReadSource(Bytes data, std::uint64_t shortAt) : m_data(std::move(data)), m_shortAt(shortAt) {}
    std::uint64_t length() const override { return m_data.size(); }
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override {
        std::uint64_t end = std::min<std::uint64_t>(offset + static_cast<std::uint64_t>(count), m_data.size());
        if (offset < m_shortAt && end > m_shortAt) end = m_shortAt;
        out.assign(m_data.begin() + static_cast<std::ptrdiff_t>(offset), m_data.begin() + static_cast<std::ptrdiff_t>(end));
    }

private:
    Bytes m_data;
    std::uint64_t m_shortAt;
};

TEST(ClusterChainReader, AReadThatFailsOrComesUpShortInsideTheClustersIsAReadErrorAtItsOffset) {
    MemoryVolume volume(5000);
    volume.chain({3000, 3001, 3002});
    const std::uint64_t shortAt = volume.clusterOffset(3001) + 100;
    ShortReadSource shortSource(volume.image(), shortAt);
    test::FaultyByteSource failing(volume.image());
    failing.addBadRange(shortAt, 1);
    for (ByteSource* source : {static_cast<ByteSource*>(&shortSource), static_cast<ByteSource*>(&failing)}) {
        try {
            extractAll(*source, volume.hit(3000, 3 * sectorBytes));
            ADD_FAILURE() << "a file with an unreadable cluster was read as whole";
        } catch (const ByteSourceError& error) {
            EXPECT_EQ(error.kind(), ByteSourceError::Kind::readFailed);
            const std::uint64_t at = source == &shortSource ? shortAt : volume.clusterOffset(3000);
            EXPECT_STREQ(error.what(), ("read failed at offset " + std::to_string(at)).c_str());
        }
    }
}

} // namespace
} // namespace vantrel
