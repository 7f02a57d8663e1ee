#pragma once
// Reads FAT entries of one volume through a small window of the first FAT, so that following a long
// chain costs one device read per window rather than one per cluster (on a card behind a USB reader
// each read is a round trip).

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"

#include <cstdint>
#include <optional>

namespace vantrel {

class FatEntryReader {
public:
    // One 4 KiB read covers 1,024 FAT32 entries and costs about what a single sector does.
    static constexpr std::uint64_t defaultWindowBytes = 4096;

    // windowBytes 0 reads each entry on its own.
    FatEntryReader(ByteSource& source, const VolumeGeometry& geometry, std::uint64_t windowBytes = defaultWindowBytes);

    // The entry of a cluster, as readFatEntry describes it. A window that cannot be read is not
    // retried; its entries are then read one by one, so a bad sector fails only its own entries.
    std::uint32_t entry(std::uint32_t cluster);
    // The next cluster of the chain, or nothing when the entry is no cluster of the volume.
    std::optional<std::uint32_t> nextCluster(std::uint32_t cluster);

private:
    // The entry's bytes, read through the window when there is one.
    bool load(std::uint64_t fatOffset, std::uint64_t count, Bytes& out);

    ByteSource& m_source;
    VolumeGeometry m_geometry;
    std::uint64_t m_windowBytes;
    std::uint64_t m_fatBytes = 0;          // size of one FAT; entries beyond it read as 0
    Bytes m_window;
    std::uint64_t m_windowStart = 0;       // offset of m_window within the FAT
    std::optional<std::uint64_t> m_failedWindowStart;
    Bytes m_entryBytes;
};

} // namespace vantrel
