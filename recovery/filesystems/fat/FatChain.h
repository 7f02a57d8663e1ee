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

// What stands in a directory's bytes for a cluster or sector that could not be read. Each 32-byte entry
// of it reads, on FAT, as a volume label (attributes 0x08) and, on exFAT, as an entry of no type the
// walks know (0x08); both walks skip such entries, and neither takes one for the end of the directory
// (0x00), so the entries after the hole are still walked. A long name never reaches across it.
inline constexpr std::uint8_t unreadableFillByte = 0x08;

// A directory's bytes as read, and whether the read was cut short of the directory's end.
struct DirectoryContents {
    Bytes bytes;
    // The directory goes on past the bytes read and these hold no end-of-directory entry (an entry
    // whose first byte is 0x00, on FAT and exFAT alike), so entries were left unread.
    bool cut = false;
    // Sectors that could not be read (held as unreadableFillByte), and a link that could not be read
    // (the chain ends there): the entries they held are missing.
    std::int64_t unreadable = 0;
};

// At most maxBytes of the chain from firstCluster, in chain order (the last cluster read only up to
// the cap). Stops at a cluster met before, a link that is no cluster of the volume, or the end of
// the source. A cluster that cannot be read whole is read sector by sector, and a sector that cannot be
// read (a bad spot) is held as unreadableFillByte; the chain goes on. A link that cannot be read ends
// the chain there. Both are counted in unreadable. Other read errors
// (a device that is gone) propagate.
DirectoryContents readDirectory(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                                std::uint64_t maxBytes = maxDirectoryBytes);

// Whether some 32-byte entry of a directory's bytes begins with 0x00 (the end of the directory).
bool holdsEndOfDirectory(ByteView directory);

// Adds the byte ranges of a live file's clusters, the last cut to byteLength, to the map. Nothing for
// byteLength 0 or an invalid first cluster. A failed link read propagates (ranges added stay).
void appendChainExtents(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                        std::uint64_t byteLength, AllocatedRegionMap& into);

// Adds the byte range of every cluster that the FAT does not show free: those whose entry is not 0, and
// those whose entry lies in a sector that cannot be read. After a walk that could not read everything,
// these are the clusters a live file may hold. A device that is gone propagates.
void appendClustersNotFree(ByteSource& source, const VolumeGeometry& geometry, AllocatedRegionMap& into);

// Whether the chain of a file of byteLength bytes leaves consecutive clusters. A chain that ends
// before its length is covered (a deleted file whose entries were cleared) counts as one contiguous
// run. False for a file of one cluster or less, or a geometry without clusters. Read errors propagate.
bool isChainFragmented(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                       std::uint64_t byteLength);

// ⌈byteLength ÷ bytesPerCluster⌉, capped at the volume's cluster count; 0 for a geometry without clusters.
std::uint64_t clustersSpanned(const VolumeGeometry& geometry, std::uint64_t byteLength);

} // namespace vantrel::FatChain
