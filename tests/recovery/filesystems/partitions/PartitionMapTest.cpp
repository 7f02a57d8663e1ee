#include "recovery/filesystems/partitions/PartitionMap.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/StrictByteSource.h"

#include <gtest/gtest.h>

#include <string_view>

namespace vantrel {
namespace {

using PartitionMap::ByteRange;

void putLe(Bytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void putBe(Bytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
}
void putText(Bytes& b, std::size_t at, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) b[at + i] = static_cast<std::uint8_t>(text[i]);
}

void putMbrEntry(Bytes& disk, int index, std::uint8_t type, std::uint32_t start, std::uint32_t count) {
    const std::size_t at = 446 + 16 * static_cast<std::size_t>(index);
    disk[at + 4] = type;
    putLe(disk, at + 8, start, 4);
    putLe(disk, at + 12, count, 4);
    disk[510] = 0x55;
    disk[511] = 0xAA;
}

// A GPT header at LBA 1 whose entries start at LBA 2, in sectors of the given size.
void putGptHeader(Bytes& disk, std::uint32_t entryCount, std::uint32_t entryBytes, std::size_t sectorBytes = 512) {
    putText(disk, sectorBytes, "EFI PART");
    putLe(disk, sectorBytes + 72, 2, 8);
    putLe(disk, sectorBytes + 80, entryCount, 4);
    putLe(disk, sectorBytes + 84, entryBytes, 4);
}
void putGptEntry(Bytes& disk, std::size_t index, std::uint64_t first, std::uint64_t last, std::size_t sectorBytes = 512) {
    const std::size_t at = 2 * sectorBytes + 128 * index;
    disk[at] = 0xA2;  // any non-zero type GUID
    putLe(disk, at + 32, first, 8);
    putLe(disk, at + 40, last, 8);
}

void putAppleBlock(Bytes& disk, std::uint32_t block, std::uint32_t mapEntries, std::string_view type,
                   std::uint32_t start, std::uint32_t count) {
    const std::size_t at = 512 * std::size_t{block};
    putText(disk, at, "PM");
    putBe(disk, at + 4, mapEntries, 4);
    putBe(disk, at + 8, start, 4);
    putBe(disk, at + 12, count, 4);
    putText(disk, at + 48, type);
}

// Memory that reports a logical block size, as a disk with 4 KiB sectors does.
class BlockSizedSource final : public ByteSource {
public:
    BlockSizedSource(Bytes data, std::uint64_t blockBytes) : m_memory(std::move(data)), m_blockBytes(blockBytes) {}
    std::uint64_t length() const override { return m_memory.length(); }
    std::uint64_t blockSize() const override { return m_blockBytes; }
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override { m_memory.readInto(offset, count, out); }

private:
    MemoryByteSource m_memory;
    std::uint64_t m_blockBytes;
};

TEST(PartitionMap, ShortSourceIsTheWholeDevice) {
    MemoryByteSource source(Bytes(100, 0));
    EXPECT_EQ(PartitionMap::partitionRanges(source), (std::vector<ByteRange>{{0, 100}}));
}

TEST(PartitionMap, GptEntriesAreClampedSkippedOrDroppedAtTheDeviceEnd) {
    Bytes disk(64 * 512, 0);
    putMbrEntry(disk, 0, 0xEE, 1, 63);
    putGptHeader(disk, 4, 128);
    putGptEntry(disk, 0, 40, 49);
    putGptEntry(disk, 1, 60, 1000);  // runs past the end: clamped
    putGptEntry(disk, 2, 64, 70);    // starts at the end: dropped
    putGptEntry(disk, 3, 30, 20);    // last before first: skipped
    test::StrictByteSource source(disk);
    EXPECT_EQ(PartitionMap::partitionRanges(source),
              (std::vector<ByteRange>{{40 * 512, 10 * 512}, {60 * 512, 4 * 512}}));
    EXPECT_EQ(source.refusedReads(), 0) << "every map read stays inside the device";
}

TEST(PartitionMap, GptWithEntrySizeOrCountOutOfRangeFallsBackToMbr) {
    for (const auto& [count, size] : {std::pair{4u, 127u}, std::pair{257u, 128u}, std::pair{4u, 1u << 20}}) {
        Bytes disk(64 * 512, 0);
        putGptHeader(disk, count, size);
        putGptEntry(disk, 0, 40, 49);
        putMbrEntry(disk, 0, 0x0C, 8, 16);
        MemoryByteSource source(disk);
        EXPECT_EQ(PartitionMap::partitionRanges(source), (std::vector<ByteRange>{{8 * 512, 16 * 512}}));
    }
}

TEST(PartitionMap, ProtectiveMbrWithoutGptIsTheWholeDeviceButAnUnreadableHeaderFails) {
    Bytes disk(64 * 512, 0);
    putMbrEntry(disk, 0, 0xEE, 1, 63);
    test::FaultyByteSource source(disk);
    EXPECT_EQ(PartitionMap::partitionRanges(source), (std::vector<ByteRange>{{0, 64 * 512}}));
    source.addBadRange(512, 512);
    EXPECT_THROW(PartitionMap::partitionRanges(source), ByteSourceError);
    std::int64_t readErrors = 0;
    EXPECT_EQ(PartitionMap::partitionRanges(source, readErrors), (std::vector<ByteRange>{{0, 64 * 512}}));
    EXPECT_EQ(readErrors, 1) << "the GPT header; the Apple map stops at its missing signature";
}

// An extended boot record at the sector: its logical partition counted from itself, its link to the next
// counted from the extended partition's start (none when next is 0).
void putEbr(Bytes& disk, std::uint32_t sector, std::uint32_t logicalStart, std::uint32_t logicalCount, std::uint32_t next) {
    Bytes record(512, 0);
    putMbrEntry(record, 0, 0x0C, logicalStart, logicalCount);
    if (next != 0) putMbrEntry(record, 1, 0x05, next, 8);
    std::copy(record.begin(), record.end(), disk.begin() + 512 * std::ptrdiff_t{sector});
}

TEST(PartitionMap, MbrFollowsTheExtendedChainAndDropsEntriesPastTheEnd) {
    for (const int extendedType : {0x05, 0x0F, 0x85}) {
        Bytes disk(64 * 512, 0);
        putMbrEntry(disk, 0, 0x06, 2, 8);
        putMbrEntry(disk, 1, static_cast<std::uint8_t>(extendedType), 10, 100);  // runs past the end
        putMbrEntry(disk, 2, 0x0B, 64, 8);            // starts at the end: dropped
        putMbrEntry(disk, 3, 0x0B, 0, 8);             // no start: dropped
        putEbr(disk, 10, 2, 8, 20);
        putEbr(disk, 30, 2, 100, 0);                  // cut to the extended partition, then to the device
        MemoryByteSource source(disk);
        EXPECT_EQ(PartitionMap::mbrRanges(source),
                  (std::vector<ByteRange>{{2 * 512, 8 * 512}, {12 * 512, 8 * 512}, {32 * 512, 32 * 512}}))
            << extendedType;
    }
}

TEST(PartitionMap, AnExtendedChainThatLoopsLeavesOrRunsOnEndsThere) {
    struct Case {
        const char* what;
        std::uint32_t thirdLink;  // the third EBR's link, counted from the extended partition's start
    };
    for (const Case& c : {Case{"back to the second EBR", 20}, Case{"to itself", 30},
                          Case{"outside the extended partition", 60}}) {
        Bytes disk(128 * 512, 0);
        putMbrEntry(disk, 0, 0x0C, 2, 8);
        putMbrEntry(disk, 1, 0x0F, 10, 50);
        putEbr(disk, 10, 2, 4, 20);
        putEbr(disk, 30, 2, 4, 30);
        putEbr(disk, 40, 2, 4, c.thirdLink);
        putEbr(disk, 70, 2, 4, 0);  // where the link outside leads
        MemoryByteSource source(disk);
        EXPECT_EQ(PartitionMap::mbrRanges(source), (std::vector<ByteRange>{{2 * 512, 8 * 512}, {12 * 512, 4 * 512},
                                                                            {32 * 512, 4 * 512}, {42 * 512, 4 * 512}}))
            << c.what;
    }

    // An EBR that cannot be read ends the chain there, counted; what came before it stays.
    Bytes damaged(128 * 512, 0);
    putMbrEntry(damaged, 0, 0x0C, 2, 8);
    putMbrEntry(damaged, 1, 0x0F, 10, 50);
    putEbr(damaged, 10, 2, 4, 20);
    putEbr(damaged, 30, 2, 4, 0);
    test::FaultyByteSource unreadable(damaged);
    unreadable.addBadRange(30 * 512, 512);
    std::int64_t readErrors = 0;
    EXPECT_EQ(PartitionMap::partitionRanges(unreadable, readErrors),
              (std::vector<ByteRange>{{2 * 512, 8 * 512}, {12 * 512, 4 * 512}}));
    EXPECT_EQ(readErrors, 1);

    // 130 links: the first 128 logical partitions are taken.
    Bytes disk(400 * 512, 0);
    putMbrEntry(disk, 0, 0x05, 10, 390);
    std::vector<ByteRange> expected;
    for (std::uint32_t i = 0; i < 130; ++i) {
        putEbr(disk, 10 + 2 * i, 1, 1, 2 * (i + 1));
        if (i < PartitionMap::maxLogicalPartitions) expected.push_back({(11 + 2 * i) * 512ULL, 512});
    }
    MemoryByteSource source(disk);
    EXPECT_EQ(PartitionMap::mbrRanges(source), expected);
}

TEST(PartitionMap, AppleMapListsOnlyDataPartitions) {
    Bytes disk(200 * 512, 0);
    putText(disk, 0, "ER");
    putAppleBlock(disk, 1, 5, "Apple_partition_map", 1, 63);
    putAppleBlock(disk, 2, 5, "Apple_Driver43", 64, 10);
    putAppleBlock(disk, 3, 5, "Apple_Free", 74, 6);
    putAppleBlock(disk, 4, 5, "  Apple_HFS  ", 80, 100);
    putAppleBlock(disk, 5, 5, "", 180, 100);  // an empty type is a partition too; clamped
    MemoryByteSource source(disk);
    EXPECT_EQ(PartitionMap::partitionRanges(source),
              (std::vector<ByteRange>{{80 * 512, 100 * 512}, {180 * 512, 20 * 512}}));
    putBe(disk, 512 + 4, 65, 4);
    MemoryByteSource tooMany(disk);
    EXPECT_TRUE(PartitionMap::appleMapRanges(tooMany).empty());
}

TEST(PartitionMap, AStaleGptBehindAnMbrInUseIsIgnored) {
    Bytes disk(64 * 512, 0);
    putGptHeader(disk, 1, 128);
    putGptEntry(disk, 0, 40, 49);
    putMbrEntry(disk, 0, 0x0C, 8, 16);
    MemoryByteSource repartitioned(disk);
    EXPECT_EQ(PartitionMap::partitionRanges(repartitioned), (std::vector<ByteRange>{{8 * 512, 16 * 512}}))
        << "sector 0 was rewritten as an MBR; the GPT it replaced is stale";

    putMbrEntry(disk, 1, 0xEE, 1, 63);
    MemoryByteSource hybrid(disk);
    EXPECT_EQ(PartitionMap::partitionRanges(hybrid), (std::vector<ByteRange>{{40 * 512, 10 * 512}}))
        << "an MBR with the protective entry defers to the GPT";

    disk[510] = 0;
    MemoryByteSource noMbr(disk);
    EXPECT_EQ(PartitionMap::partitionRanges(noMbr), (std::vector<ByteRange>{{40 * 512, 10 * 512}}));
}

TEST(PartitionMap, MapsAreReadInTheSectorSizeTheDeviceReports) {
    constexpr std::size_t sector = 4096;
    Bytes gpt(64 * sector, 0);
    putMbrEntry(gpt, 0, 0xEE, 1, 63);
    putGptHeader(gpt, 2, 128, sector);
    putGptEntry(gpt, 0, 8, 15, sector);
    putGptEntry(gpt, 1, 16, 100, sector);  // clamped to the end
    BlockSizedSource gptDisk(gpt, sector);
    EXPECT_EQ(PartitionMap::partitionRanges(gptDisk),
              (std::vector<ByteRange>{{8 * sector, 8 * sector}, {16 * sector, 48 * sector}}));

    Bytes mbr(64 * sector, 0);
    putMbrEntry(mbr, 0, 0x0C, 2, 8);
    BlockSizedSource mbrDisk(mbr, sector);
    EXPECT_EQ(PartitionMap::partitionRanges(mbrDisk), (std::vector<ByteRange>{{2 * sector, 8 * sector}}));
    BlockSizedSource oddReport(mbr, 3000);
    EXPECT_EQ(PartitionMap::partitionRanges(oddReport), (std::vector<ByteRange>{{2 * 512, 8 * 512}}))
        << "a block size no disk has is read as 512";
}

TEST(PartitionMap, AnImageOfA4KiBSectorDiskIsProvenByItsGptHeader) {
    constexpr std::size_t sector = 4096;
    Bytes disk(64 * sector, 0);
    putMbrEntry(disk, 0, 0xEE, 1, 63);
    putGptHeader(disk, 1, 128, sector);
    putGptEntry(disk, 0, 8, 15, sector);
    MemoryByteSource image(disk);
    EXPECT_EQ(PartitionMap::partitionRanges(image), (std::vector<ByteRange>{{8 * sector, 8 * sector}}));
    EXPECT_TRUE(PartitionMap::alternateMbrRanges(image).empty()) << "the GPT is the map in use";
    // An MBR image proves nothing by itself: its entries stay in 512-byte sectors, and their reading in
    // 4 KiB sectors is only offered, clamped to the image, for the probe to try.
    Bytes mbr(64 * sector, 0);
    putMbrEntry(mbr, 0, 0x0C, 2, 8);
    putMbrEntry(mbr, 1, 0x0C, 60, 8);
    MemoryByteSource mbrImage(mbr);
    EXPECT_EQ(PartitionMap::partitionRanges(mbrImage), (std::vector<ByteRange>{{2 * 512, 8 * 512}, {60 * 512, 8 * 512}}));
    EXPECT_EQ(PartitionMap::alternateMbrRanges(mbrImage),
              (std::vector<ByteRange>{{2 * sector, 8 * sector}, {60 * sector, 4 * sector}}));
    // A device that reports its sector size is believed.
    BlockSizedSource device(mbr, sector);
    EXPECT_TRUE(PartitionMap::alternateMbrRanges(device).empty());
}

} // namespace
} // namespace vantrel
