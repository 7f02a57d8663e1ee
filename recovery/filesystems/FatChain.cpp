#include "recovery/filesystems/FatChain.h"

#include "recovery/filesystems/FatEntryReader.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/VisitedClusters.h"

#include <algorithm>

namespace vantrel::FatChain {

std::uint64_t clustersSpanned(const VolumeGeometry& geometry, std::uint64_t byteLength) {
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    if (clusterBytes == 0) return 0;
    const std::uint64_t clusters = byteLength / clusterBytes + (byteLength % clusterBytes != 0 ? 1 : 0);
    return std::min<std::uint64_t>(clusters, geometry.clusterCount);
}

Bytes readClusterChain(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                       std::uint64_t maxClusters) {
    Bytes contents;
    Bytes cluster;
    VisitedClusters visited;
    FatEntryReader fat(source, geometry);
    const std::uint64_t limit = std::min<std::uint64_t>(maxClusters, geometry.clusterCount);
    std::uint32_t current = firstCluster;
    for (std::uint64_t read = 0; read < limit; ++read) {
        const auto offset = geometry.clusterByteOffset(current);
        if (!offset || !visited.insert(current)) break;
        SourceReads::readAvailableInto(source, *offset, geometry.bytesPerCluster(), cluster);
        contents.insert(contents.end(), cluster.begin(), cluster.end());
        if (cluster.size() < geometry.bytesPerCluster()) break;
        const auto next = fat.nextCluster(current);
        if (!next) break;
        current = *next;
    }
    return contents;
}

void appendChainExtents(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                        std::uint64_t byteLength, AllocatedRegionMap& into) {
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    VisitedClusters visited;
    FatEntryReader fat(source, geometry);
    std::uint64_t remaining = byteLength;
    std::uint32_t current = firstCluster;
    while (remaining > 0) {
        const auto start = geometry.clusterByteOffset(current);
        if (!start || !visited.insert(current)) return;
        if (clusterBytes == 0) return;
        const std::uint64_t length = std::min(remaining, clusterBytes);
        into.add(*start, length);
        remaining -= length;
        if (remaining == 0) return;
        const auto next = fat.nextCluster(current);
        if (!next) return;
        current = *next;
    }
}

bool isChainFragmented(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                       std::uint64_t byteLength) {
    const std::uint64_t clusters = clustersSpanned(geometry, byteLength);
    if (clusters < 2 || !geometry.isValidCluster(firstCluster)) return false;
    FatEntryReader fat(source, geometry);
    std::uint32_t current = firstCluster;
    // Consecutive links only climb, so this loop cannot revisit a cluster.
    for (std::uint64_t link = 0; link + 1 < clusters; ++link) {
        const auto next = fat.nextCluster(current);
        if (!next) return false;
        if (std::uint64_t{*next} != std::uint64_t{current} + 1) return true;
        current = *next;
    }
    return false;
}

} // namespace vantrel::FatChain
