#pragma once
// Entries of the file allocation table of a FAT12, FAT16, FAT32 or exFAT volume (FAT standard,
// section 4; exFAT standard, section 4.1). Only the first FAT is ever read.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"

#include <cstdint>
#include <optional>

namespace vantrel {

// The FAT entry of a cluster: 12 bits (packed, FAT12), 16 bits, the low 28 bits of 32 (FAT32) or
// all 32 bits (exFAT, whose entries reserve no bits), as geometry.fatEntryBits says. An entry that
// lies outside the first FAT or past the end of the source reads as 0 (free). Read errors propagate.
std::uint32_t readFatEntry(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t cluster);

namespace FatTable {

// Whether a FAT entry names a next cluster: one of the volume's clusters, 2 to clusterCount + 1.
// Free (0), reserved, bad-cluster and end-of-chain values all lie above that range on a volume whose
// cluster count is legal for its FAT type, so they end a chain.
bool isChainLink(const VolumeGeometry& geometry, std::uint32_t entry);

// The cluster that follows in the chain, or nothing when the entry is no link. Read errors propagate.
std::optional<std::uint32_t> nextCluster(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t cluster);

} // namespace FatTable
} // namespace vantrel
