#include "recovery/filesystems/VolumeCache.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/engine/RecoveryEngine.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "recovery/filesystems/fat/FatEntryReader.h"
#include "tests/fixtures/CountingByteSource.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace vantrel {
namespace {

RecoveryFilters everyKind() {
    RecoveryFilters filters;
    for (const auto kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    return filters;
}

struct Card {
    Bytes image;
    std::map<std::string, Bytes> deleted;  // by name
};

// An exFAT card with 300 live files in 10 folders and 20 deleted pictures of 20 KB, 4 of them
// chained through the FAT; nothing when mkfs.exfat is missing.
std::optional<Card> makeCard(const test::TempDir& dir) {
    if (!test::haveProgram("mkfs.exfat")) return std::nullopt;
    const auto path = dir / "card.img";
    test::writeFile(path, Bytes(16 * 1024 * 1024));
    test::runOrFail({"mkfs.exfat", "-c", "4096", path.string()});
    test::ExFatImageWriter writer(test::readFile(path));
    for (int folder = 0; folder < 10; ++folder) {
        const auto placed = writer.addDirectory(writer.rootCluster(), "Folder " + std::to_string(folder));
        for (int file = 0; file < 30; ++file)
            writer.addFile(placed.firstCluster, "live " + std::to_string(file) + ".txt", test::randomBytes(100, 1));
    }
    const auto dcim = writer.addDirectory(writer.rootCluster(), "DCIM");
    Card card;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "IMG_" + std::to_string(1000 + i) + ".png";
        card.deleted[name] = test::randomBytes(20'000, 100 + static_cast<std::uint64_t>(i));
        test::ExFatImageWriter::FileOptions options;
        options.deleted = true;
        options.noFatChain = i % 5 != 0;
        writer.addFile(dcim.firstCluster, name, card.deleted[name], options);
    }
    card.image = writer.image();
    return card;
}

// After a scan that kept its volume cache, a hit is read back with one check of its volume's boot
// sector, its own clusters and, for a chained file, one FAT window: no probe and no tree walk.
TEST(VolumeCache, ExtractingAHitReadsAboutItsOwnBytes) {
    test::TempDir dir;
    auto card = makeCard(dir);
    if (!card) GTEST_SKIP() << "mkfs.exfat is not installed";
    MemoryByteSource memory(card->image);
    VolumeCache volumes;
    std::vector<RecoveredHit> hits;
    RecoveryEngine().scan(memory, ScanMode::quickUndelete, everyKind(), [] { return false; }, [](const ScanProgress&) {},
                          [&](const RecoveredHit& hit) { hits.push_back(hit); }, &volumes);
    ASSERT_EQ(hits.size(), 20u);

    test::CountingByteSource counted(memory);
    for (const RecoveredHit& hit : hits) {
        SCOPED_TRACE(hit.suggestedName);
        counted.reset();
        EXPECT_EQ(ClusterChainReader::extractBytes(counted, hit, UINT64_MAX), card->deleted.at(hit.suggestedName));
        const std::uint64_t uncachedReads = counted.reads();
        const std::uint64_t uncachedBytes = counted.bytes();

        counted.reset();
        Bytes bytes;
        ClusterChainReader::extract(
            counted, hit, [&](ByteView chunk) { bytes.insert(bytes.end(), chunk.begin(), chunk.end()); },
            ClusterChainReader::defaultChunkBytes, &volumes);
        EXPECT_EQ(bytes, card->deleted.at(hit.suggestedName));
        EXPECT_LE(counted.reads(), 3u);
        EXPECT_LE(counted.bytes(), hit.byteLength + VolumeCache::bootSectorBytes + 2 * FatEntryReader::defaultWindowBytes);
        // Without the cache each hit probes the device and walks the tree, its 11 folders here.
        EXPECT_GT(uncachedReads, 5 * counted.reads());
        EXPECT_GT(uncachedBytes, counted.bytes() + 10 * 4096);
    }
}

// A volume whose boot sector no longer reads as it did (formatted again, or another card in the
// reader) is probed anew, so the hit is still read right, and the cache is then of the new volume.
TEST(VolumeCache, AVolumeThatChangedIsProbedAgain) {
    test::TempDir dir;
    auto card = makeCard(dir);
    if (!card) GTEST_SKIP() << "mkfs.exfat is not installed";
    VolumeCache volumes;
    std::vector<RecoveredHit> hits;
    {
        MemoryByteSource memory(card->image);
        RecoveryEngine().scan(memory, ScanMode::quickUndelete, everyKind(), [] { return false; },
                              [](const ScanProgress&) {}, [&](const RecoveredHit& hit) { hits.push_back(hit); }, &volumes);
    }
    ASSERT_FALSE(hits.empty());
    // exFAT boot sector, offset 100: VolumeSerialNumber.
    card->image[100] ^= 0xFF;
    MemoryByteSource memory(card->image);
    test::CountingByteSource counted(memory);
    const auto read = [&](const RecoveredHit& hit) {
        Bytes bytes;
        counted.reset();
        ClusterChainReader::extract(
            counted, hit, [&](ByteView chunk) { bytes.insert(bytes.end(), chunk.begin(), chunk.end()); },
            ClusterChainReader::defaultChunkBytes, &volumes);
        return bytes;
    };
    EXPECT_EQ(read(hits[0]), card->deleted.at(hits[0].suggestedName));
    EXPECT_GT(counted.reads(), 3u) << "probed again";
    EXPECT_EQ(read(hits[0]), card->deleted.at(hits[0].suggestedName));
    EXPECT_LE(counted.reads(), 3u) << "the cache now holds the volume as it reads";
    // What the scan learned of the other files went with the old volume.
    EXPECT_EQ(volumes.storedWithoutFatChain(0, hits[1].clusterHint->firstCluster, hits[1].byteLength), std::nullopt);
}

} // namespace
} // namespace vantrel
