#include "recovery/filesystems/PartitionMap.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "tests/fixtures/FaultyByteSource.h"

#include <gtest/gtest.h>

#include <string_view>

namespace vantrel {
namespace {

using FileSystemProbe::ByteRange;

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

// A GPT header at LBA 1 whose entries start at LBA 2.
void putGptHeader(Bytes& disk, std::uint32_t entryCount, std::uint32_t entryBytes) {
    putText(disk, 512, "EFI PART");
    putLe(disk, 512 + 72, 2, 8);
    putLe(disk, 512 + 80, entryCount, 4);
    putLe(disk, 512 + 84, entryBytes, 4);
}
void putGptEntry(Bytes& disk, std::size_t index, std::uint64_t first, std::uint64_t last) {
    const std::size_t at = 1024 + 128 * index;
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

TEST(PartitionMap, ShortSourceIsTheWholeDevice) {
    MemoryByteSource source(Bytes(100, 0));
    EXPECT_EQ(FileSystemProbe::partitionRanges(source), (std::vector<ByteRange>{{0, 100}}));
}

TEST(PartitionMap, GptEntriesAreClampedSkippedOrDroppedAtTheDeviceEnd) {
    Bytes disk(64 * 512, 0);
    putMbrEntry(disk, 0, 0xEE, 1, 63);
    putGptHeader(disk, 4, 128);
    putGptEntry(disk, 0, 40, 49);
    putGptEntry(disk, 1, 60, 1000);  // runs past the end: clamped
    putGptEntry(disk, 2, 64, 70);    // starts at the end: dropped
    putGptEntry(disk, 3, 30, 20);    // last before first: skipped
    MemoryByteSource source(disk);
    EXPECT_EQ(FileSystemProbe::partitionRanges(source),
              (std::vector<ByteRange>{{40 * 512, 10 * 512}, {60 * 512, 4 * 512}}));
}

TEST(PartitionMap, GptWithEntrySizeOrCountOutOfRangeFallsBackToMbr) {
    for (const auto& [count, size] : {std::pair{4u, 127u}, std::pair{257u, 128u}, std::pair{4u, 1u << 20}}) {
        Bytes disk(64 * 512, 0);
        putGptHeader(disk, count, size);
        putGptEntry(disk, 0, 40, 49);
        putMbrEntry(disk, 0, 0x0C, 8, 16);
        MemoryByteSource source(disk);
        EXPECT_EQ(FileSystemProbe::partitionRanges(source), (std::vector<ByteRange>{{8 * 512, 16 * 512}}));
    }
}

TEST(PartitionMap, ProtectiveMbrWithoutGptIsTheWholeDeviceButAnUnreadableHeaderFails) {
    Bytes disk(64 * 512, 0);
    putMbrEntry(disk, 0, 0xEE, 1, 63);
    test::FaultyByteSource source(disk);
    EXPECT_EQ(FileSystemProbe::partitionRanges(source), (std::vector<ByteRange>{{0, 64 * 512}}));
    source.addBadRange(512, 512);
    EXPECT_THROW(FileSystemProbe::partitionRanges(source), ByteSourceError);
    std::int64_t readErrors = 0;
    EXPECT_EQ(FileSystemProbe::partitionRanges(source, readErrors), (std::vector<ByteRange>{{0, 64 * 512}}));
    EXPECT_EQ(readErrors, 1) << "the GPT header; the Apple map stops at its missing signature";
}

TEST(PartitionMap, MbrKeepsExtendedEntriesAndDropsEntriesPastTheEnd) {
    Bytes disk(64 * 512, 0);
    putMbrEntry(disk, 0, 0x06, 2, 8);
    putMbrEntry(disk, 1, 0x0F, 10, 100);  // extended, clamped to the end
    putMbrEntry(disk, 2, 0x0B, 64, 8);    // starts at the end: dropped
    putMbrEntry(disk, 3, 0x0B, 0, 8);     // no start: dropped
    MemoryByteSource source(disk);
    EXPECT_EQ(FileSystemProbe::mbrRanges(source), (std::vector<ByteRange>{{2 * 512, 8 * 512}, {10 * 512, 54 * 512}}));
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
    EXPECT_EQ(FileSystemProbe::partitionRanges(source),
              (std::vector<ByteRange>{{80 * 512, 100 * 512}, {180 * 512, 20 * 512}}));
    putBe(disk, 512 + 4, 65, 4);
    MemoryByteSource tooMany(disk);
    EXPECT_TRUE(FileSystemProbe::appleMapRanges(tooMany).empty());
}

} // namespace
} // namespace vantrel
