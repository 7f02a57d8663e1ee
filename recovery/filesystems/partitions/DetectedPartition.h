#pragma once
// One partition the probe found on a device, with its file system and, for FAT and exFAT, its geometry.

#include "recovery/filesystems/partitions/VolumeGeometry.h"

#include <cstdint>
#include <optional>

namespace vantrel {

struct DetectedPartition {
    std::uint64_t offset = 0;   // bytes from the start of the source
    std::uint64_t length = 0;   // bytes
    DetectedFileSystem fileSystem = DetectedFileSystem::unknown;
    std::optional<VolumeGeometry> fatGeometry;  // present exactly for fat16, fat32 and exfat

    // Whether fatGeometry is present and of the partition's own file system, the FAT types counting as
    // one: only then may a walk read the volume by it.
    bool geometryAgrees() const;

    friend bool operator==(const DetectedPartition&, const DetectedPartition&) = default;
};

} // namespace vantrel
