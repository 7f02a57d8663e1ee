#pragma once
// Partition maps: splits a device into the byte ranges in which a file system may start. Reads the
// primary GUID partition table (UEFI standard 2.10, section 5.3), the Apple partition map
// (Inside Macintosh: Devices, "Partition Map Entry") and an MBR's four primary entries with the chain
// of logical partitions inside an extended one. No checksums, no backup GPT. GPT and MBR are read in
// the device's logical sector size; Apple map blocks are 512 bytes.

#include "recovery/bytesource/ByteSource.h"

#include <cstdint>
#include <vector>

namespace vantrel::PartitionMap {

// One partition candidate, in bytes from the start of the source.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// The sector size of a source that reports no other, and of Apple map blocks.
inline constexpr std::uint64_t mapSectorBytes = 512;
// The largest logical sector size taken from a device's report; a larger one is read as 512.
inline constexpr std::uint64_t maxMapSectorBytes = 4096;
// The other sector size a GPT is looked for in on a source that reports 512: the image of a disk with
// 4 KiB logical sectors (a USB enclosure of a large disk) keeps its maps in that unit.
inline constexpr std::uint64_t imageAlternateSectorBytes = 4096;
// A GPT holds 128 entries in practice; more is taken as a damaged header.
inline constexpr std::uint32_t maxGptEntries = 256;
// GPT entries are 128 × 2^n bytes; anything beyond this is a damaged header, and the bound keeps the
// entry table read to at most maxGptEntries × maxGptEntryBytes.
inline constexpr std::uint32_t maxGptEntryBytes = 4096;
inline constexpr std::uint32_t maxAppleMapEntries = 64;
// The links of an extended partition's chain that are followed; a longer chain is taken as damaged.
inline constexpr std::uint32_t maxLogicalPartitions = 128;

// GPT (only while the MBR is protective or absent), else the Apple map, else MBR, each when it yields a
// range; else the whole source. Map order. Read errors propagate; a malformed map counts as absent.
std::vector<ByteRange> partitionRanges(ByteSource& source);
// As above, but a bad spot in one map is counted in readErrors and that map taken as absent, so the
// next is tried. A device that is gone still propagates.
std::vector<ByteRange> partitionRanges(ByteSource& source, std::int64_t& readErrors);

// The partitions of the MBR in use counted in 4 KiB sectors, when partitionRanges took them in 512-byte
// sectors because the source reports 512 (an image file says nothing else); empty otherwise. The image
// of a disk with 4 KiB logical sectors and only an MBR keeps its LBAs in that unit, which the map itself
// does not prove: the probe takes these ranges only when the 512-byte ones hold no file system and these
// do. Read errors propagate.
std::vector<ByteRange> alternateMbrRanges(ByteSource& source);

// One map's ranges, its LBAs counted in sectors of the given size. The MBR's are its primary partitions
// in table order, then the logical partitions of its extended ones (an extended entry is no partition of
// its own); a chain that loops or leaves its extended partition ends there.
std::vector<ByteRange> gptRanges(ByteSource& source, std::uint64_t sectorBytes = mapSectorBytes);
std::vector<ByteRange> appleMapRanges(ByteSource& source);
std::vector<ByteRange> mbrRanges(ByteSource& source, std::uint64_t sectorBytes = mapSectorBytes);

} // namespace vantrel::PartitionMap
