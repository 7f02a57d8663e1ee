#include "recovery/filesystems/DeletedFileClusters.h"

#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/VisitedClusters.h"
#include "recovery/filesystems/fat/FatChain.h"

#include <algorithm>

namespace vantrel {

namespace {

// exFAT directory entry type of the allocation bitmap (exFAT standard 7.1): first cluster at 20, data
// length at 24.
constexpr std::uint8_t bitmapEntryType = 0x81;
constexpr std::size_t entryBytes = 32;
// The root holds the bitmap entry among its first entries; this much of it is searched.
constexpr std::uint64_t rootSearchBytes = 64 * 1024;

template <typename Read>
auto orNothingAtBadSpot(Read&& read) {
    std::int64_t passedOver = 0;
    return SourceReads::passOverBadSpot(passedOver, read);
}

} // namespace

ClusterAllocation::ClusterAllocation(ByteSource& source, const VolumeGeometry& geometry)
    : m_source(source), m_geometry(geometry), m_fat(source, geometry) {}

void ClusterAllocation::loadBitmap() {
    m_bitmapLoaded = true;
    const auto root = orNothingAtBadSpot([&] {
        return FatChain::readDirectory(m_source, m_geometry, m_geometry.rootCluster, rootSearchBytes).bytes;
    });
    if (!root) return;
    for (std::size_t at = 0; at + entryBytes <= root->size(); at += entryBytes) {
        const ByteView entry = ByteView(*root).subspan(at, entryBytes);
        if (entry[0] == 0x00) return;
        if (entry[0] != bitmapEntryType) continue;
        const std::uint32_t first = FieldReader::u32le(entry, 20);
        const std::uint64_t needed = (std::uint64_t{m_geometry.clusterCount} + 7) / 8;
        const std::uint64_t stated = FieldReader::u64le(entry, 24);
        if (!m_geometry.isValidCluster(first) || stated < needed) return;
        auto bitmap = orNothingAtBadSpot([&] { return FatChain::readDirectory(m_source, m_geometry, first, needed); });
        // A bitmap with a hole says nothing true about the clusters the hole held.
        if (bitmap && bitmap->unreadable == 0 && bitmap->bytes.size() >= needed) m_bitmap = std::move(bitmap->bytes);
        return;
    }
}

bool ClusterAllocation::isHeld(std::uint32_t cluster) {
    if (!m_geometry.isValidCluster(cluster)) return false;
    if (m_geometry.fileSystem == DetectedFileSystem::exfat) {
        if (!m_bitmapLoaded) loadBitmap();
        if (!m_bitmap) return false;
        const std::uint64_t bit = std::uint64_t{cluster} - 2;
        return ((*m_bitmap)[bit / 8] >> (bit % 8) & 1) != 0;
    }
    return orNothingAtBadSpot([&] { return m_fat.entry(cluster); }).value_or(0) != 0;
}

namespace DeletedFileClusters {

DeletedFileLayout layout(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                         std::uint64_t byteLength, bool followChain, ClusterAllocation& allocation) {
    DeletedFileLayout result;
    const std::uint64_t clusters = FatChain::clustersSpanned(geometry, byteLength);
    if (!geometry.isValidCluster(firstCluster) || clusters == 0) return result;
    FatEntryReader fat(source, geometry);
    VisitedClusters visited;
    auto take = [&](std::uint64_t cluster) {
        visited.insert(static_cast<std::uint32_t>(cluster));
        if (!result.runs.empty() && std::uint64_t{result.runs.back().first} + result.runs.back().count == cluster)
            ++result.runs.back().count;
        else
            result.runs.push_back({static_cast<std::uint32_t>(cluster), 1});
    };
    std::uint64_t cluster = firstCluster;
    take(cluster);
    result.chainClusters = 1;
    for (std::uint64_t taken = 1; taken < clusters; ++taken) {
        if (followChain) {
            std::int64_t badSpots = 0;
            const auto link = SourceReads::passOverBadSpot(badSpots, [&] {
                                  return fat.nextCluster(static_cast<std::uint32_t>(cluster));
                              }).value_or(std::nullopt);
            result.chainUnread = badSpots > 0;
            result.badSpots += badSpots;
            if (link && *link != cluster && !visited.contains(*link)) {
                take(cluster = *link);
                ++result.chainClusters;
                continue;
            }
            // From here the chain is gone (cleared by the deletion, or looping).
            followChain = false;
        }
        // The next cluster after this one that nothing holds.
        std::uint64_t next = cluster + 1;
        while (next <= geometry.maxCluster() && !visited.contains(static_cast<std::uint32_t>(next)) &&
               allocation.isHeld(static_cast<std::uint32_t>(next)))
            ++next;
        if (next > geometry.maxCluster() || visited.contains(static_cast<std::uint32_t>(next))) break;
        take(cluster = next);
    }
    result.fragmented = result.runs.size() > 1;
    return result;
}

bool meetsRegions(const VolumeGeometry& geometry, const DeletedFileLayout& layout, std::uint64_t byteLength,
                  const AllocatedRegionMap& regions) {
    if (regions.count() == 0) return false;
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    std::uint64_t remaining = byteLength;
    for (const ClusterRun& run : layout.runs) {
        const auto start = geometry.clusterByteOffset(run.first);
        if (!start || remaining == 0) break;
        const std::uint64_t length = std::min(remaining, run.count * clusterBytes);
        if (regions.overlaps(*start, length)) return true;
        remaining -= length;
    }
    return false;
}

} // namespace DeletedFileClusters

} // namespace vantrel
