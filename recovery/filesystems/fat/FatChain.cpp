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

namespace {

// want bytes of a directory cluster at offset. A cluster that cannot be read whole is read again sector
// by sector, and a sector that fails (counted in unreadable) is held as unreadableFillByte, so that only
// the entries it held are lost. Fewer bytes only at the end of the source.
void readClusterSectors(ByteSource& source, const VolumeGeometry& geometry, std::uint64_t offset, std::uint64_t want,
                        Bytes& out, std::int64_t& unreadable) {
    std::int64_t wholeFailed = 0;
    const auto read = [&](std::uint64_t at, std::uint64_t count, Bytes& into, std::int64_t& failures) {
        return SourceReads::passOverBadSpot(failures, [&] {
            SourceReads::readAvailableInto(source, at, count, into);
            return true;
        }).has_value();
    };
    if (read(offset, want, out, wholeFailed)) return;
    const std::uint64_t sectorBytes = std::max<std::uint64_t>(geometry.bytesPerSector, 1);
    const std::uint64_t available = std::min(want, source.length() - std::min(source.length(), offset));
    out.clear();
    Bytes sector;
    for (std::uint64_t at = 0; at < available; at += sectorBytes) {
        const std::uint64_t count = std::min(sectorBytes, available - at);
        if (!read(offset + at, count, sector, unreadable)) sector.assign(count, unreadableFillByte);
        out.insert(out.end(), sector.begin(), sector.end());
    }
}

} // namespace

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
        readClusterSectors(source, geometry, *offset, want, cluster, contents.unreadable);
        contents.bytes.insert(contents.bytes.end(), cluster.begin(), cluster.end());
        if (cluster.size() < want) break;
        if (want < clusterBytes) {
            // A cluster larger than what was left of the cap: the rest of it is directory too.
            contents.cut = true;
            break;
        }
        const auto next = SourceReads::passOverBadSpot(contents.unreadable, [&] { return fat.nextCluster(current); })
                              .value_or(std::nullopt);
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

void appendClustersNotFree(ByteSource& source, const VolumeGeometry& geometry, AllocatedRegionMap& into) {
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    if (clusterBytes == 0) return;
    FatEntryReader fat(source, geometry);
    std::int64_t unreadable = 0;
    for (std::uint64_t cluster = 2; cluster <= geometry.maxCluster(); ++cluster) {
        const auto value = SourceReads::passOverBadSpot(unreadable, [&] { return fat.entry(static_cast<std::uint32_t>(cluster)); });
        if (value == 0u) continue;
        if (const auto start = geometry.clusterByteOffset(cluster)) into.add(*start, clusterBytes);
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
