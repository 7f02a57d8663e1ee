#include "recovery/filesystems/partitions/FileSystemProbe.h"

#include "base/Bounds.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/partitions/PartitionMap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

namespace vantrel::FileSystemProbe {
namespace {

using FieldReader::matches;
using FieldReader::u16le;
using FieldReader::u32le;
using FieldReader::u64le;
using FieldReader::u8;
using PartitionMap::ByteRange;

constexpr std::uint64_t dirEntryBytes = 32;

// exFAT boot sector (exFAT standard, 3.1), the fields we read:
//   3   8  file system name "EXFAT   "
//  72   8  VolumeLength in sectors; 0 here is replaced by the span of the cluster heap; may run past
//          the partition, whose end then ends the heap
//  80   4  FatOffset in sectors from the volume start; at least 24
//  84   4  FatLength in sectors; must hold clusterCount + 2 entries of 4 bytes
//  88   4  ClusterHeapOffset in sectors; at or after the last FAT
//  92   4  ClusterCount; 1 to exfatMaxClusters
//  96   4  FirstClusterOfRootDirectory; kept as stored (the walks refuse 0 and 1)
// 108   1  BytesPerSectorShift; 9 to 12
// 109   1  SectorsPerClusterShift; at most 16, and at most 25 with the sector shift
// 110   1  NumberOfFats; 1 or 2, 0 read as 1
constexpr std::uint64_t exfatMinimumBootBytes = 120;
constexpr std::uint8_t exfatMinSectorShift = 9;
constexpr std::uint8_t exfatMaxSectorShift = 12;
constexpr std::uint8_t exfatMaxClusterShift = 16;
constexpr std::uint8_t exfatMaxClusterBytesShift = 25;
constexpr std::uint32_t exfatMinFatOffsetSectors = 24;

// FAT boot sector and BIOS parameter block (FAT standard, 3.1 to 3.3), the fields we read:
//  11   2  BytesPerSec; 512, 1024, 2048 or 4096
//  13   1  SecPerClus; a power of two, 1 to 128
//  14   2  RsvdSecCnt; not 0
//  16   1  NumFATs; not 0
//  17   2  RootEntCnt; 0 on FAT32, else the entries of the fixed root directory
//  19   2  TotSec16; 0 when TotSec32 holds the count
//  22   2  FATSz16; 0 on FAT32
//  32   4  TotSec32
//  36   4  FATSz32 (FAT32 only)
//  44   4  RootClus (FAT32 only); below 2 read as 2
constexpr std::uint64_t fatMinimumBootBytes = 64;
constexpr std::array<std::uint16_t, 4> fatSectorSizes{512, 1024, 2048, 4096};

// Signature positions within a partition: the volume header lies 1024 bytes in (Apple TN1150). 0x2000
// is tested as well. That offset is a rule of ours, not of TN1150, which places the HFS+ volume embedded
// in an HFS wrapper where the wrapper's drEmbedExtent says (not read here). APFS keeps its container
// superblock magic at byte 32 of block 0.
constexpr std::array<std::uint64_t, 2> hfsSignatureOffsets{0x400, 0x2000};
constexpr std::int64_t apfsMagicOffset = 32;

// Whether the first FAT has room for the entries of every cluster, 0 to clusterCount + 1.
bool fatHoldsClusters(std::uint64_t fatBytes, std::uint8_t entryBits, std::uint64_t clusterCount) {
    const auto bits = checkedMultiply(fatBytes, 8);
    return bits && *bits / entryBits >= clusterCount + 2;
}

// FAT type from the count of data clusters (FAT standard, 3.5). A boot sector in the FAT32 form
// (no fixed root directory, 16-bit FAT size 0) is FAT32 even below 65,525 clusters: mkfs.fat writes
// such small FAT32 volumes and the Linux driver mounts them by that form. A FAT12/16 form with more
// clusters than 16-bit entries can address is no valid volume.
std::optional<std::uint8_t> fatEntryBitsFor(bool fat32Form, std::uint16_t rootEntryCount, std::uint64_t clusterCount) {
    if (fat32Form) {
        if (clusterCount > fat32MaxClusters) return std::nullopt;
        return 32;
    }
    // A FAT12/16 volume without a root directory has nowhere to keep its files.
    if (rootEntryCount == 0) return std::nullopt;
    if (clusterCount <= fat12MaxClusters) return 12;
    if (clusterCount <= fat16MaxClusters) return 16;
    return std::nullopt;
}

// The data clusters of a volume that lie inside its partition, counted from the heap's start: a volume
// whose boot sector claims more than its partition holds (a partition made smaller after formatting) is
// taken up to the partition's end, and the clusters beyond count as unreadable. 0 when the heap starts at
// or past the end, or not even one cluster fits.
std::uint64_t clustersInside(std::uint64_t partitionLength, std::uint64_t heapStartBytes, std::uint64_t bytesPerCluster,
                             std::uint64_t declaredClusters) {
    if (heapStartBytes >= partitionLength) return 0;
    return std::min(declaredClusters, (partitionLength - heapStartBytes) / bytesPerCluster);
}

} // namespace

std::optional<VolumeGeometry> exfatGeometry(ByteView bootSector, std::uint64_t partitionOffset, std::uint64_t partitionLength) {
    if (bootSector.size() < exfatMinimumBootBytes) return std::nullopt;
    if (!matches(bootSector, 3, "EXFAT")) return std::nullopt;
    const std::uint8_t sectorShift = u8(bootSector, 108);
    const std::uint8_t clusterShift = u8(bootSector, 109);
    if (sectorShift < exfatMinSectorShift || sectorShift > exfatMaxSectorShift) return std::nullopt;
    if (clusterShift > exfatMaxClusterShift || sectorShift + clusterShift > exfatMaxClusterBytesShift) return std::nullopt;

    const std::uint64_t volumeLength = u64le(bootSector, 72);
    const std::uint32_t fatOffset = u32le(bootSector, 80);
    const std::uint32_t fatLength = u32le(bootSector, 84);
    const std::uint32_t heapOffset = u32le(bootSector, 88);
    const std::uint32_t clusterCount = u32le(bootSector, 92);
    const std::uint32_t rootCluster = u32le(bootSector, 96);
    const std::uint8_t fatCount = std::max<std::uint8_t>(u8(bootSector, 110), 1);
    const std::uint64_t bytesPerSector = std::uint64_t{1} << sectorShift;
    const std::uint64_t sectorsPerCluster = std::uint64_t{1} << clusterShift;

    if (fatOffset < exfatMinFatOffsetSectors || fatLength == 0) return std::nullopt;
    if (clusterCount == 0 || clusterCount > exfatMaxClusters) return std::nullopt;
    if (!fatHoldsClusters(std::uint64_t{fatLength} * bytesPerSector, 32, clusterCount)) return std::nullopt;
    // The FATs lie between FatOffset and ClusterHeapOffset.
    if (std::uint64_t{fatOffset} + std::uint64_t{fatLength} * fatCount > heapOffset) return std::nullopt;
    const std::uint64_t heapEndSectors = heapOffset + std::uint64_t{clusterCount} * sectorsPerCluster;
    const std::uint64_t totalSectors = volumeLength != 0 ? volumeLength : std::uint64_t{clusterCount} * sectorsPerCluster;
    // The cluster heap lies inside the volume it belongs to.
    if (volumeLength != 0 && heapEndSectors > volumeLength) return std::nullopt;
    // Only clusters inside the partition are read, or the walks would read another volume.
    const std::uint64_t heapStartBytes = std::uint64_t{heapOffset} * bytesPerSector;
    const std::uint64_t clustersRead =
        clustersInside(partitionLength, heapStartBytes, bytesPerSector * sectorsPerCluster, clusterCount);
    if (clustersRead == 0) return std::nullopt;
    const auto fatByteOffset = checkedAdd(partitionOffset, std::uint64_t{fatOffset} * bytesPerSector);
    const auto heapByteOffset = checkedAdd(partitionOffset, heapStartBytes);
    if (!fatByteOffset || !heapByteOffset || !checkedAdd(*heapByteOffset, clustersRead * bytesPerSector * sectorsPerCluster))
        return std::nullopt;

    VolumeGeometry geometry;
    geometry.fileSystem = DetectedFileSystem::exfat;
    geometry.bytesPerSector = static_cast<std::uint16_t>(bytesPerSector);
    geometry.sectorsPerCluster = static_cast<std::uint32_t>(sectorsPerCluster);
    geometry.reservedSectorCount = fatOffset;
    geometry.numberOfFATs = fatCount;
    geometry.rootEntryCount = 0;
    geometry.totalSectors = totalSectors;
    geometry.fatSizeSectors = fatLength;
    geometry.rootCluster = rootCluster;
    geometry.partitionOffset = partitionOffset;
    geometry.fatByteOffset = *fatByteOffset;
    geometry.clusterHeapByteOffset = *heapByteOffset;
    geometry.fatEntryBits = 32;
    geometry.clusterCount = static_cast<std::uint32_t>(clustersRead);
    return geometry;
}

std::optional<VolumeGeometry> fatGeometry(ByteView bootSector, std::uint64_t partitionOffset, std::uint64_t partitionLength) {
    if (bootSector.size() < fatMinimumBootBytes) return std::nullopt;
    const std::uint16_t bytesPerSector = u16le(bootSector, 11);
    const std::uint8_t sectorsPerCluster = u8(bootSector, 13);
    if (std::find(fatSectorSizes.begin(), fatSectorSizes.end(), bytesPerSector) == fatSectorSizes.end()) return std::nullopt;
    // One byte, so a single set bit means 1 to 128; 0 fails.
    if (!std::has_single_bit(sectorsPerCluster)) return std::nullopt;

    const std::uint16_t reservedSectors = u16le(bootSector, 14);
    const std::uint8_t fatCount = u8(bootSector, 16);
    const std::uint16_t rootEntryCount = u16le(bootSector, 17);
    const std::uint16_t totalSectors16 = u16le(bootSector, 19);
    const std::uint16_t fatSize16 = u16le(bootSector, 22);
    const std::uint32_t totalSectors32 = u32le(bootSector, 32);
    const std::uint32_t fatSize32 = u32le(bootSector, 36);
    const std::uint32_t storedRootCluster = u32le(bootSector, 44);

    const std::uint64_t fatSize = fatSize16 != 0 ? fatSize16 : fatSize32;
    if (fatCount == 0 || reservedSectors == 0 || fatSize == 0) return std::nullopt;
    const std::uint64_t totalSectors = totalSectors16 != 0 ? totalSectors16 : totalSectors32;
    if (totalSectors == 0) return std::nullopt;

    // Sector counts here are at most 2^16 + 2^8 × 2^32 + 2^16, far from overflowing.
    const std::uint64_t rootDirSectors = (rootEntryCount * dirEntryBytes + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t metadataSectors = reservedSectors + fatCount * fatSize + rootDirSectors;
    if (metadataSectors >= totalSectors) return std::nullopt;
    const std::uint64_t clusterCount = (totalSectors - metadataSectors) / sectorsPerCluster;
    if (clusterCount == 0) return std::nullopt;

    const bool fat32Form = rootEntryCount == 0 && fatSize16 == 0;
    const auto entryBits = fatEntryBitsFor(fat32Form, rootEntryCount, clusterCount);
    if (!entryBits) return std::nullopt;
    if (!fatHoldsClusters(fatSize * bytesPerSector, *entryBits, clusterCount)) return std::nullopt;
    // The FAT type follows from the declared count; only the clusters inside the partition (and so inside
    // the device) are read.
    const std::uint64_t heapStartBytes = metadataSectors * bytesPerSector;
    const std::uint64_t bytesPerCluster = std::uint64_t{sectorsPerCluster} * bytesPerSector;
    const std::uint64_t clustersRead = clustersInside(partitionLength, heapStartBytes, bytesPerCluster, clusterCount);
    if (clustersRead == 0 || !checkedAdd(partitionOffset, heapStartBytes + clustersRead * bytesPerCluster)) return std::nullopt;

    VolumeGeometry geometry;
    geometry.fileSystem = *entryBits == 32 ? DetectedFileSystem::fat32 : DetectedFileSystem::fat16;
    geometry.bytesPerSector = bytesPerSector;
    geometry.sectorsPerCluster = sectorsPerCluster;
    geometry.reservedSectorCount = reservedSectors;
    geometry.numberOfFATs = fatCount;
    geometry.rootEntryCount = rootEntryCount;
    geometry.totalSectors = totalSectors;
    geometry.fatSizeSectors = fatSize;
    geometry.rootCluster = *entryBits == 32 ? std::max<std::uint32_t>(storedRootCluster, 2) : 0;
    geometry.partitionOffset = partitionOffset;
    geometry.fatByteOffset = partitionOffset + std::uint64_t{reservedSectors} * bytesPerSector;
    // The fixed root directory occupies whole sectors between the last FAT and cluster 2.
    geometry.clusterHeapByteOffset = geometry.fatByteOffset + (fatCount * fatSize + rootDirSectors) * bytesPerSector;
    geometry.fatEntryBits = *entryBits;
    geometry.clusterCount = static_cast<std::uint32_t>(clustersRead);
    return geometry;
}

std::optional<DetectedFileSystem> signatureFileSystem(ByteView bootSector, ByteSource& source,
                                                      std::uint64_t partitionOffset, std::uint64_t partitionLength) {
    if (matches(bootSector, apfsMagicOffset, "NXSB")) return DetectedFileSystem::apfs;
    for (const std::uint64_t at : hfsSignatureOffsets) {
        if (!fitsWithin(at, 2, partitionLength)) continue;
        Bytes signature;
        if (fitsWithin(at, 2, bootSector.size())) {
            signature.assign(bootSector.begin() + static_cast<std::ptrdiff_t>(at),
                             bootSector.begin() + static_cast<std::ptrdiff_t>(at + 2));
        } else {
            const auto absolute = checkedAdd(partitionOffset, at);
            if (!absolute) continue;
            // An unreadable signature only means this test finds nothing.
            std::int64_t ignoredErrors = 0;
            signature = SourceReads::passOverBadSpot(ignoredErrors, [&] {
                            return SourceReads::readAvailable(source, *absolute, 2);
                        }).value_or(Bytes{});
        }
        if (signature.size() < 2) continue;
        if (matches(signature, 0, "BD")) return DetectedFileSystem::hfs;
        if (matches(signature, 0, "H+") || matches(signature, 0, "HX")) return DetectedFileSystem::hfsPlus;
    }
    return std::nullopt;
}

DetectedPartition probePartition(ByteSource& source, std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t sourceLength = source.length();
    length = offset < sourceLength ? std::min(length, sourceLength - offset) : 0;
    DetectedPartition partition{offset, length, DetectedFileSystem::unknown, std::nullopt};
    if (length < minimumPartitionBytes) return partition;
    // The buffer reaches into the first FAT of a volume with few reserved sectors; a bad spot there
    // must not hide the boot sector itself, so fall back to its first sector alone.
    std::int64_t passedOver = 0;
    auto buffer = SourceReads::passOverBadSpot(passedOver, [&] {
        return SourceReads::readAvailable(source, offset, std::min(length, bootSectorBufferBytes));
    });
    const Bytes bootSector = buffer ? std::move(*buffer) : SourceReads::readAvailable(source, offset, minimumPartitionBytes);

    // Precedence: exFAT first, since its boot sector is the more specific (a name and strict shifts)
    // and leaves the FAT parameter block zeroed; then FAT; then the signature-only file systems.
    if (auto geometry = exfatGeometry(bootSector, offset, length)) {
        partition.fileSystem = DetectedFileSystem::exfat;
        partition.fatGeometry = geometry;
    } else if (auto fat = fatGeometry(bootSector, offset, length)) {
        partition.fileSystem = fat->fileSystem;
        partition.fatGeometry = fat;
    } else if (auto named = signatureFileSystem(bootSector, source, offset, length)) {
        partition.fileSystem = *named;
    }
    return partition;
}

namespace {

bool holdsAFileSystem(const std::vector<DetectedPartition>& partitions) {
    return std::any_of(partitions.begin(), partitions.end(),
                       [](const DetectedPartition& partition) { return partition.fileSystem != DetectedFileSystem::unknown; });
}

// The partitions of the ranges, probed one by one through probeOne(range); an MBR image whose ranges
// hold no file system is tried once more in 4 KiB sectors and taken so when a file system is found there.
template <typename ProbeOne, typename Guard>
std::vector<DetectedPartition> probeRanges(ByteSource& source, const std::vector<ByteRange>& ranges, ProbeOne&& probeOne,
                                           Guard&& guard) {
    const auto probeEach = [&](const std::vector<ByteRange>& candidates) {
        std::vector<DetectedPartition> partitions;
        for (const ByteRange& range : candidates) partitions.push_back(probeOne(range));
        return partitions;
    };
    std::vector<DetectedPartition> partitions = probeEach(ranges);
    if (holdsAFileSystem(partitions)) return partitions;
    const auto alternate = guard([&] { return PartitionMap::alternateMbrRanges(source); });
    if (alternate.empty()) return partitions;
    std::vector<DetectedPartition> inLargeSectors = probeEach(alternate);
    return holdsAFileSystem(inLargeSectors) ? inLargeSectors : partitions;
}

} // namespace

std::vector<DetectedPartition> probeAll(ByteSource& source) {
    return probeRanges(
        source, PartitionMap::partitionRanges(source),
        [&](const ByteRange& range) { return probePartition(source, range.offset, range.length); },
        [](auto&& read) { return read(); });
}

std::vector<DetectedPartition> probeAll(ByteSource& source, std::int64_t& readErrors) {
    const std::vector<ByteRange> ranges = PartitionMap::partitionRanges(source, readErrors);
    return probeRanges(
        source, ranges,
        [&](const ByteRange& range) {
            auto partition = SourceReads::passOverBadSpot(readErrors, [&] {
                return probePartition(source, range.offset, range.length);
            });
            return partition.value_or(DetectedPartition{range.offset, range.length, DetectedFileSystem::unknown, std::nullopt});
        },
        [&](auto&& read) { return SourceReads::passOverBadSpot(readErrors, read).value_or(std::vector<ByteRange>{}); });
}

} // namespace vantrel::FileSystemProbe
