#include "recovery/filesystems/fat/FatEntryReader.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/MemoryVolume.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::MemoryVolume;

VolumeGeometry volumeGeometry(MemoryVolume& volume) {
    MemoryByteSource source(volume.image());
    return *FileSystemProbe::probeAll(source).at(0).fatGeometry;
}

TEST(FatEntryReader, PackedFat12EntriesReadAlikeThroughTheWindowAndAlone) {
    MemoryVolume volume(4000);
    // Cluster 2730's entry occupies FAT bytes 4095 and 4096, across the first window's end.
    for (std::uint32_t c = 2; c < 4000; ++c) volume.link(c, (c * 7) % 4000 + 2);
    const VolumeGeometry geometry = volumeGeometry(volume);
    ASSERT_EQ(geometry.fatEntryBits, 12);
    test::FaultyByteSource source(volume.image());
    FatEntryReader windowed(source, geometry);
    for (std::uint32_t c = 2; c < 4000; ++c) {
        ASSERT_EQ(windowed.entry(c), (c * 7) % 4000 + 2) << c;
        ASSERT_EQ(FatEntryReader(source, geometry, 0).entry(c), (c * 7) % 4000 + 2) << c;
    }
}

TEST(FatEntryReader, BadSectorFailsOnlyItsOwnEntriesAndWindowsAreReadOnce) {
    MemoryVolume volume(5000);
    volume.chain({3000, 3001, 3002});
    const VolumeGeometry geometry = volumeGeometry(volume);
    test::FaultyByteSource source(volume.image());
    FatEntryReader fat(source, geometry);
    const std::int64_t before = source.readCount();
    EXPECT_EQ(fat.nextCluster(3000), 3001u);
    EXPECT_EQ(fat.nextCluster(3001), 3002u);
    EXPECT_EQ(fat.nextCluster(3002), std::nullopt);
    EXPECT_EQ(source.readCount() - before, 1);

    // Cluster 3000's entry lies in the FAT's twelfth 512-byte sector, with those of 2816 to 3071.
    volume.link(3100, 3101);
    test::FaultyByteSource damagedSource(volume.image());
    damagedSource.addBadRange(geometry.fatByteOffset + 2 * 3000, 2);
    FatEntryReader damaged(damagedSource, geometry);
    EXPECT_THROW(damaged.entry(3000), ByteSourceError);
    EXPECT_THROW(damaged.entry(3001), ByteSourceError) << "an entry the bad sector holds";
    EXPECT_EQ(damaged.entry(3100), 3101u) << "the next sector of the same window";
    const std::int64_t afterWindow = damagedSource.readCount();
    EXPECT_THROW(damaged.entry(2816), ByteSourceError);
    EXPECT_EQ(damaged.entry(2815), 0u);
    EXPECT_EQ(damagedSource.readCount(), afterWindow) << "the bad sector is not read again";
    EXPECT_EQ(damaged.entry(6000), 0u) << "past the end of the first FAT";
}

} // namespace
} // namespace vantrel
