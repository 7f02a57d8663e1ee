#pragma once
// Identifies the file system at the start of each partition candidate and derives the geometry of
// FAT12/16/32 (Microsoft FAT standard, 2005, sections 3 and 3.5) and exFAT volumes (exFAT file
// system standard, section 3.1). HFS, HFS+ (Apple TN1150) and APFS are recognised by their
// signatures only.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/partitions/DetectedPartition.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel::FileSystemProbe {

// Boot-sector buffer read at the start of each partition.
inline constexpr std::uint64_t bootSectorBufferBytes = 4096;
// A partition shorter than one sector holds no file system we can name.
inline constexpr std::uint64_t minimumPartitionBytes = 512;
// FAT type boundaries by count of data clusters (FAT standard, section 3.5).
inline constexpr std::uint32_t fat12MaxClusters = 4084;
inline constexpr std::uint32_t fat16MaxClusters = 65524;
inline constexpr std::uint32_t fat32MaxClusters = 0x0FFFFFF5;
// exFAT cluster numbers run to 0xFFFFFFF6 (exFAT standard, 3.1.9).
inline constexpr std::uint32_t exfatMaxClusters = 0xFFFFFFF5;

// One detected partition per candidate of the partition maps (PartitionMap), in map order. When none
// holds a file system and the map is an MBR read in 512-byte sectors of an image, the MBR's partitions in
// 4 KiB sectors when one of them holds a file system (PartitionMap::alternateMbrRanges). Read errors
// propagate (no partial list).
std::vector<DetectedPartition> probeAll(ByteSource& source);

// As above, but a bad spot (an unreadable map sector or boot sector) is counted in readErrors and
// passed over: the map concerned counts as absent, the partition as unknown. A device that is gone
// still propagates.
std::vector<DetectedPartition> probeAll(ByteSource& source, std::int64_t& readErrors);

// One partition: exFAT, else FAT, else by signature, else unknown. The length is clamped to the source.
DetectedPartition probePartition(ByteSource& source, std::uint64_t offset, std::uint64_t length);

// The geometry an exFAT or FAT boot sector describes, or nothing when a field is out of range or the
// cluster heap does not start inside the partition of the given length. A volume that claims more than
// the partition holds keeps only the clusters inside it (VolumeGeometry::clusterCount).
std::optional<VolumeGeometry> exfatGeometry(ByteView bootSector, std::uint64_t partitionOffset, std::uint64_t partitionLength);
std::optional<VolumeGeometry> fatGeometry(ByteView bootSector, std::uint64_t partitionOffset, std::uint64_t partitionLength);

// APFS, HFS+ or HFS by signature; reads two bytes at 0x2000 when the buffer does not hold them.
std::optional<DetectedFileSystem> signatureFileSystem(ByteView bootSector, ByteSource& source,
                                                      std::uint64_t partitionOffset, std::uint64_t partitionLength);

} // namespace vantrel::FileSystemProbe
