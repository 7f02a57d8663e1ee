#pragma once
// What a scan learned about the volumes of one source, kept for reading its hits back: the volumes
// the probe found and, for exFAT files the walk reported, whether each is stored without a FAT
// chain. With it, extracting a hit costs one check of its volume's boot sector and the hit's own
// bytes, instead of a new probe of the device and a walk of the whole exFAT tree for each hit.
//
// The scan thread fills it while extractions on another thread read it, so every operation takes
// the cache's lock. A remembered volume counts only while its boot sector reads as it did (a card
// swapped in the same reader, or formatted again, has another one), so a stale cache costs a probe,
// never a wrong read.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/partitions/DetectedPartition.h"
#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace vantrel {

class VolumeCache {
public:
    // Bytes of a volume's start compared to tell it is still the same volume.
    static constexpr std::uint64_t bootSectorBytes = 512;

    // Replaces the remembered volumes with the FAT and exFAT ones among these, reading each boot
    // sector once, and forgets the files of a volume whose boot sector changed. Read failures propagate.
    void rememberVolumes(ByteSource& source, const std::vector<DetectedPartition>& partitions);
    // The partitions remembered last (all of them, for the hint rules), or nothing when none were
    // or a boot sector no longer reads as it did. One read per volume at most.
    std::optional<std::vector<DetectedPartition>> partitions(ByteSource& source, const ClusterAllocationHint& hint) const;

    // How an exFAT file of byteLength bytes whose data starts at firstCluster stores its clusters.
    void rememberStorage(std::uint64_t partitionOffset, std::uint32_t firstCluster, std::uint64_t byteLength,
                         bool noFatChain);
    // As remembered for a file with that first cluster and at least byteLength bytes (a preview reads a
    // file's first bytes only), or nothing.
    std::optional<bool> storedWithoutFatChain(std::uint64_t partitionOffset, std::uint32_t firstCluster,
                                              std::uint64_t byteLength) const;

private:
    struct Volume {
        std::uint64_t offset = 0;
        Bytes bootSector;
    };

    mutable std::mutex m_lock;
    std::vector<DetectedPartition> m_partitions;
    std::vector<Volume> m_volumes;
    // (partition offset, first cluster) → (file size, NoFatChain), one pair per file reported.
    std::map<std::pair<std::uint64_t, std::uint32_t>, std::vector<std::pair<std::uint64_t, bool>>> m_storage;
};

} // namespace vantrel
