#include "recovery/filesystems/VolumeCache.h"

#include "recovery/filesystems/SourceReads.h"

#include <algorithm>

namespace vantrel {

void VolumeCache::rememberVolumes(ByteSource& source, const std::vector<DetectedPartition>& partitions) {
    std::vector<Volume> volumes;
    for (const DetectedPartition& partition : partitions) {
        if (!partition.fatGeometry) continue;
        const std::uint64_t offset = partition.fatGeometry->partitionOffset;
        volumes.push_back({offset, SourceReads::readAvailable(source, offset, bootSectorBytes)});
    }
    std::lock_guard lock(m_lock);
    // What was learned of a volume that is no longer there (another boot sector at its offset) goes.
    for (const Volume& old : m_volumes) {
        const bool same = std::any_of(volumes.begin(), volumes.end(), [&](const Volume& volume) {
            return volume.offset == old.offset && volume.bootSector == old.bootSector;
        });
        if (!same) std::erase_if(m_storage, [&](const auto& entry) { return entry.first.first == old.offset; });
    }
    m_partitions = partitions;
    m_volumes = std::move(volumes);
}

std::optional<std::vector<DetectedPartition>> VolumeCache::partitions(ByteSource& source,
                                                                      const ClusterAllocationHint& hint) const {
    std::vector<DetectedPartition> partitions;
    Bytes expected;
    {
        std::lock_guard lock(m_lock);
        const auto volume = std::find_if(m_volumes.begin(), m_volumes.end(),
                                         [&](const Volume& candidate) { return candidate.offset == hint.partitionOffset; });
        if (volume == m_volumes.end()) return std::nullopt;
        partitions = m_partitions;
        expected = volume->bootSector;
    }
    // The read happens outside the lock: the scan may be adding to the cache meanwhile.
    if (SourceReads::readAvailable(source, hint.partitionOffset, bootSectorBytes) != expected) return std::nullopt;
    return partitions;
}

void VolumeCache::rememberStorage(std::uint64_t partitionOffset, std::uint32_t firstCluster, std::uint64_t byteLength,
                                  bool noFatChain) {
    std::lock_guard lock(m_lock);
    m_storage[{partitionOffset, firstCluster}].emplace_back(byteLength, noFatChain);
}

std::optional<bool> VolumeCache::storedWithoutFatChain(std::uint64_t partitionOffset, std::uint32_t firstCluster,
                                                       std::uint64_t byteLength) const {
    std::lock_guard lock(m_lock);
    const auto files = m_storage.find({partitionOffset, firstCluster});
    if (files == m_storage.end()) return std::nullopt;
    for (const auto& [size, noFatChain] : files->second)
        if (size >= byteLength) return noFatChain;
    return std::nullopt;
}

} // namespace vantrel
