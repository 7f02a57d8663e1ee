#pragma once
// The geometry of one FAT12, FAT16, FAT32 or exFAT volume as the probe derives it from the boot sector.
// Every offset is absolute (from the start of the byte source), never relative to the partition.

#include "recovery/model/DetectedFileSystem.h"

#include <cstdint>
#include <optional>

namespace vantrel {

struct VolumeGeometry {
    DetectedFileSystem fileSystem = DetectedFileSystem::unknown;  // fat16 (also FAT12), fat32 or exfat
    std::uint16_t bytesPerSector = 0;        // 512, 1024, 2048 or 4096 (exFAT up to 4096 too)
    std::uint32_t sectorsPerCluster = 0;     // a power of two
    std::uint32_t reservedSectorCount = 0;   // sectors before the first FAT (exFAT: the FAT offset in sectors)
    std::uint8_t numberOfFATs = 0;           // FAT copies; only the first is ever read
    std::uint16_t rootEntryCount = 0;        // entries of the fixed root directory (FAT12/16); 0 otherwise
    std::uint64_t totalSectors = 0;          // sectors of the volume
    std::uint64_t fatSizeSectors = 0;        // sectors of one FAT
    std::uint32_t rootCluster = 0;           // first cluster of the root directory (FAT32, exFAT); 0 for FAT12/16
    std::uint64_t partitionOffset = 0;       // byte offset of the partition
    std::uint64_t fatByteOffset = 0;         // byte offset of the first FAT
    std::uint64_t clusterHeapByteOffset = 0; // byte offset of cluster 2
    // Width of one FAT entry in bits: 12 or 16 for fat16 volumes, 32 for fat32 and exfat. The FAT type
    // follows from the count of data clusters (FAT standard, section 3.5), so a small card formatted
    // FAT12 is stored as fat16 but read with 12-bit links.
    std::uint8_t fatEntryBits = 0;
    // Data clusters of the volume; valid cluster numbers run from 2 to clusterCount + 1. Every chain is
    // bounded by it. The probe counts only the clusters that lie inside the partition, so a volume that
    // claims more than its partition keeps fewer than its boot sector declares.
    std::uint32_t clusterCount = 0;

    // fatEntryBits when it holds 12, 16 or 32; else what the file system implies (32 for fat32 and
    // exfat, 16 otherwise), for a geometry made by hand.
    std::uint8_t entryBits() const;
    std::uint64_t bytesPerCluster() const { return std::uint64_t{sectorsPerCluster} * bytesPerSector; }
    std::uint64_t dataAreaOffset() const { return clusterHeapByteOffset; }
    std::uint64_t fatOffset() const { return fatByteOffset; }
    // The highest valid cluster number.
    std::uint64_t maxCluster() const { return std::uint64_t{clusterCount} + 1; }
    bool isValidCluster(std::uint64_t cluster) const { return cluster >= 2 && cluster <= maxCluster(); }
    // The first byte of a data cluster, or nothing for a cluster number outside the volume.
    std::optional<std::uint64_t> clusterByteOffset(std::uint64_t cluster) const;
    // The first byte past the cluster heap.
    std::uint64_t clusterHeapEnd() const;

    friend bool operator==(const VolumeGeometry&, const VolumeGeometry&) = default;
};

// FAT12, FAT16 or FAT32 (fat16 or fat32): one directory format, one FAT, one walk.
bool isFatFamily(DetectedFileSystem fileSystem);
// The file systems a VolumeGeometry describes: the FAT family and exFAT, whose files lie in clusters
// linked by a FAT.
bool isClusteredFileSystem(DetectedFileSystem fileSystem);

} // namespace vantrel
