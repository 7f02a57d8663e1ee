#include "recovery/filesystems/partitions/VolumeGeometry.h"

#include "base/Bounds.h"

namespace vantrel {

std::uint8_t VolumeGeometry::entryBits() const {
    if (fatEntryBits == 12 || fatEntryBits == 16 || fatEntryBits == 32) return fatEntryBits;
    return (fileSystem == DetectedFileSystem::fat32 || fileSystem == DetectedFileSystem::exfat) ? 32 : 16;
}

std::optional<std::uint64_t> VolumeGeometry::clusterByteOffset(std::uint64_t cluster) const {
    if (!isValidCluster(cluster)) return std::nullopt;
    const auto relative = checkedMultiply(cluster - 2, bytesPerCluster());
    if (!relative) return std::nullopt;
    return checkedAdd(clusterHeapByteOffset, *relative);
}

bool isFatFamily(DetectedFileSystem fileSystem) {
    switch (fileSystem) {
    case DetectedFileSystem::fat16:
    case DetectedFileSystem::fat32: return true;
    case DetectedFileSystem::unknown:
    case DetectedFileSystem::exfat:
    case DetectedFileSystem::hfs:
    case DetectedFileSystem::hfsPlus:
    case DetectedFileSystem::apfs: return false;
    }
    return false;
}

bool isClusteredFileSystem(DetectedFileSystem fileSystem) {
    return isFatFamily(fileSystem) || fileSystem == DetectedFileSystem::exfat;
}

std::uint64_t VolumeGeometry::clusterHeapEnd() const {
    const auto heapBytes = checkedMultiply(clusterCount, bytesPerCluster());
    const auto end = heapBytes ? checkedAdd(clusterHeapByteOffset, *heapBytes) : std::nullopt;
    return end.value_or(UINT64_MAX);
}

} // namespace vantrel
