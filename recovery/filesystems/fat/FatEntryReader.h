#pragma once
// Entries of the file allocation table of a FAT12, FAT16, FAT32 or exFAT volume (FAT standard,
// section 4; exFAT standard, section 4.1), and the one rule for the link from a cluster to the next:
// every chain the library follows is followed through nextCluster. Only the first FAT is ever read,
// through a small window of it, so that following a long chain costs one device read per window
// rather than one per cluster (on a card behind a USB reader each read is a round trip).

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"

#include <cstdint>
#include <optional>
#include <set>

namespace vantrel {

class FatEntryReader {
public:
    // One 4 KiB read covers 1,024 FAT32 entries and costs about what a single sector does.
    static constexpr std::uint64_t defaultWindowBytes = 4096;

    // windowBytes 0 reads each entry on its own.
    FatEntryReader(ByteSource& source, const VolumeGeometry& geometry, std::uint64_t windowBytes = defaultWindowBytes);

    // The FAT entry of a cluster: 12 bits (packed, FAT12), 16 bits, the low 28 bits of 32 (FAT32) or
    // all 32 bits (exFAT, whose entries reserve no bits), as the geometry's entryBits() says. An entry
    // that lies outside the first FAT or past the end of the source reads as 0 (free). A window that
    // cannot be read is read again sector by sector: an entry in a sector that fails throws
    // ByteSourceError::readFailed at that sector, now and at every later ask, without another read of
    // it; the other entries read as usual. Other read errors (a device that is gone) propagate.
    std::uint32_t entry(std::uint32_t cluster);
    // The cluster the FAT links to from this one, or nothing when the entry is no cluster of the
    // volume (2 to clusterCount + 1). Free (0), reserved, bad-cluster and end-of-chain values (exFAT:
    // 0xFFFFFFF7 bad, 0xFFFFFFFF end) all lie above that range on a volume whose cluster count is
    // legal for its FAT type, so they end a chain. Read errors propagate as entry() lets them.
    std::optional<std::uint32_t> nextCluster(std::uint32_t cluster);

private:
    // The entry's bytes, read through the window when there is one. Throws for an entry in a sector
    // known to be bad.
    bool load(std::uint64_t fatOffset, std::uint64_t count, Bytes& out);
    // Reads the window at start, sector by sector when it cannot be read whole.
    void loadWindow(std::uint64_t start, std::uint64_t length);

    ByteSource& m_source;
    VolumeGeometry m_geometry;
    std::uint64_t m_windowBytes;
    std::uint64_t m_fatBytes = 0;          // size of one FAT; entries beyond it read as 0
    Bytes m_window;
    std::uint64_t m_windowStart = 0;       // offset of m_window within the FAT
    std::set<std::uint64_t> m_badSectors;  // offsets within the FAT of sectors that could not be read
    Bytes m_sector;
    Bytes m_entryBytes;
};

} // namespace vantrel
