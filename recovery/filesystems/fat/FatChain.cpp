#include "recovery/filesystems/fat/FatChain.h"

#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/VisitedClusters.h"
#include "recovery/filesystems/fat/FatEntryReader.h"

#include <algorithm>

namespace vantrel::FatChain {

std::uint64_t clustersSpanned(const VolumeGeometry& geometry, std::uint64_t byteLength) {
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    if (clusterBytes == 0) return 0;
    const std::uint64_t clusters = byteLength / clusterBytes + (byteLength % clusterBytes != 0 ? 1 : 0);
    return std::min<std::uint64_t>(clusters, geometry.clusterCount);
}

bool holdsEndOfDirectory(ByteView directory) {
    constexpr std::size_t entryBytes = 32;
    for (std::size_t at = 0; at + entryBytes <= directory.size(); at += entryBytes)
        if (directory[at] == 0x00) return true;
    return false;
}

DirectoryContents readDirectory(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                                std::uint64_t maxBytes) {
    DirectoryContents contents;
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    if (clusterBytes == 0 || maxBytes == 0) return contents;
    Bytes cluster;
    VisitedClusters visited;
    FatEntryReader fat(source, geometry);
    std::uint32_t current = firstCluster;
    for (std::uint64_t read = 0; read < geometry.clusterCount; ++read) {
        const auto offset = geometry.clusterByteOffset(current);
        if (!offset || !visited.insert(current)) break;
        const std::uint64_t want = std::min(clusterBytes, maxBytes - contents.bytes.size());
        SourceReads::readAvailableInto(source, *offset, want, cluster);
        contents.bytes.insert(contents.bytes.end(), cluster.begin(), cluster.end());
        if (cluster.size() < want) break;
        if (want < clusterBytes) {
            // A cluster larger than what was left of the cap: the rest of it is directory too.
            contents.cut = true;
            break;
        }
        const auto next = fat.nextCluster(current);
        if (!next) break;
        if (contents.bytes.size() >= maxBytes) {
            contents.cut = !visited.contains(*next);
            break;
        }
        current = *next;
    }
    if (contents.cut && holdsEndOfDirectory(contents.bytes)) contents.cut = false;
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
