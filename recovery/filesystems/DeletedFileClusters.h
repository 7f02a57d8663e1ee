#pragma once
// Where a deleted FAT or exFAT file's bytes are read from, one rule for the scan that describes the file
// and the reader that extracts it: its FAT chain while one is left, then, where the chain is gone (a
// deletion cleared it), the clusters after the last one read that no live file or folder holds, skipping
// those that one does (a file written into the holes between live files comes back whole). A file that
// skipped clusters, or whose chain left consecutive order, is fragmented.
//
// Which clusters are held comes from the volume's own record: a non-zero FAT entry on FAT12/16/32, the
// allocation bitmap on exFAT (whose FAT holds nothing for contiguous files). An exFAT volume whose bitmap
// cannot be found skips nothing.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/fat/FatEntryReader.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"
#include "recovery/model/AllocatedRegionMap.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel {

// Which clusters of one volume are held. Reads the FAT through a window, or the exFAT bitmap once.
class ClusterAllocation {
public:
    ClusterAllocation(ByteSource& source, const VolumeGeometry& geometry);
    // Whether a live file or folder holds the cluster. A FAT entry or bitmap that cannot be read counts as
    // free; a device that is gone propagates.
    bool isHeld(std::uint32_t cluster);

private:
    void loadBitmap();

    ByteSource& m_source;
    VolumeGeometry m_geometry;
    FatEntryReader m_fat;
    bool m_bitmapLoaded = false;
    std::optional<Bytes> m_bitmap;  // exFAT: bit (c - 2) for cluster c
};

// One run of consecutive clusters.
struct ClusterRun {
    std::uint32_t first = 0;
    std::uint64_t count = 0;
    friend bool operator==(const ClusterRun&, const ClusterRun&) = default;
};

struct DeletedFileLayout {
    std::vector<ClusterRun> runs;   // in file order; together they cover the file unless the volume ends
    bool fragmented = false;        // more than one run
    std::uint64_t chainClusters = 0; // clusters the first cluster and the chain placed; those after them are assumed
    bool chainUnread = false;       // a bad spot in the FAT ended the chain
    std::int64_t badSpots = 0;      // bad spots of the FAT passed over
};

namespace DeletedFileClusters {

// The runs of a deleted file of byteLength bytes from firstCluster: its FAT chain while a link leads to a
// cluster not met before (followChain false: no chain at all), then the next clusters that allocation
// says are free, up to one the file already took (a chain that looped back ends there). Nothing for an
// invalid first cluster, byteLength 0 or a geometry without clusters. A bad spot in the FAT ends the
// chain there (counted); a device that is gone propagates.
DeletedFileLayout layout(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                         std::uint64_t byteLength, bool followChain, ClusterAllocation& allocation);

// Whether a byte of the file as the layout places it lies in a range of the map.
bool meetsRegions(const VolumeGeometry& geometry, const DeletedFileLayout& layout, std::uint64_t byteLength,
                  const AllocatedRegionMap& regions);

} // namespace DeletedFileClusters

} // namespace vantrel
