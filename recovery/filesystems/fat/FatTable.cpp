#include "recovery/filesystems/fat/FatTable.h"

#include "recovery/filesystems/fat/FatEntryReader.h"

namespace vantrel {

std::uint32_t readFatEntry(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t cluster) {
    return FatEntryReader(source, geometry, 0).entry(cluster);
}

namespace FatTable {

bool isChainLink(const VolumeGeometry& geometry, std::uint32_t entry) {
    return geometry.isValidCluster(entry);
}

std::optional<std::uint32_t> nextCluster(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t cluster) {
    return FatEntryReader(source, geometry, 0).nextCluster(cluster);
}

} // namespace FatTable
} // namespace vantrel
