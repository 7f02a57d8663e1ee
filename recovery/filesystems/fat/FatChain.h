#pragma once
// Reads that follow a FAT cluster chain: a directory's contents, the byte ranges of a live file and
// the fragmentation test of a deleted one. Every chain is bounded by the volume's cluster count and a
// set of clusters already met, so a looping or damaged FAT ends quickly.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"
#include "recovery/model/AllocatedRegionMap.h"

#include <cstdint>

namespace vantrel::FatChain {

// Bytes of one directory read at most, on FAT and exFAT alike and whatever the cluster size: FAT's
// largest directory, 65,536 entries of 32 bytes. An exFAT folder may reach 256 MiB, but a card's are far
// smaller, and each level of a walk holds its directory while it walks the folders below. A directory
// that goes on past the cap is read to it and reported cut.
inline constexpr std::uint64_t maxDirectoryBytes = 2 * 1024 * 1024;

// A directory's bytes as read, and whether the read was cut short of the directory's end.
struct DirectoryContents {
    Bytes bytes;
    // The directory goes on past the bytes read and these hold no end-of-directory entry (an entry
    // whose first byte is 0x00, on FAT and exFAT alike), so entries were left unread.
    bool cut = false;
};

// At most maxBytes of the chain from firstCluster, in chain order (the last cluster read only up to
// the cap). Stops at a cluster met before, a link that is no cluster of the volume, or the end of
// the source. Read errors propagate.
DirectoryContents readDirectory(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                                std::uint64_t maxBytes = maxDirectoryBytes);

// Whether some 32-byte entry of a directory's bytes begins with 0x00 (the end of the directory).
bool holdsEndOfDirectory(ByteView directory);

// Adds the byte ranges of a live file's clusters, the last cut to byteLength, to the map. Nothing for
// byteLength 0 or an invalid first cluster. A failed link read propagates (ranges added stay).
void appendChainExtents(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                        std::uint64_t byteLength, AllocatedRegionMap& into);

// Whether the chain of a file of byteLength bytes leaves consecutive clusters. A chain that ends
// before its length is covered (a deleted file whose entries were cleared) counts as one contiguous
// run. False for a file of one cluster or less, or a geometry without clusters. Read errors propagate.
bool isChainFragmented(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                       std::uint64_t byteLength);

// ⌈byteLength ÷ bytesPerCluster⌉, capped at the volume's cluster count; 0 for a geometry without clusters.
std::uint64_t clustersSpanned(const VolumeGeometry& geometry, std::uint64_t byteLength);

} // namespace vantrel::FatChain
