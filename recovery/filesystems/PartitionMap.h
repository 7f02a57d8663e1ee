#pragma once
// Partition maps: splits a device into the byte ranges in which a file system may start. Reads the
// primary GUID partition table (UEFI standard 2.10, section 5.3), the Apple partition map
// (Inside Macintosh: Devices, "Partition Map Entry") and the four primary entries of an MBR. No
// checksums, no backup GPT, no extended-partition chain. Sectors and map blocks are 512 bytes
// whatever the device reports.

#include "recovery/bytesource/ByteSource.h"

#include <cstdint>
#include <vector>

namespace vantrel::FileSystemProbe {

// One partition candidate, in bytes from the start of the source.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// The sector size every partition map is read with.
inline constexpr std::uint64_t mapSectorBytes = 512;
// A GPT holds 128 entries in practice; more is taken as a damaged header.
inline constexpr std::uint32_t maxGptEntries = 256;
// GPT entries are 128 × 2^n bytes; anything beyond this is a damaged header, and the bound keeps the
// entry table read to at most maxGptEntries × maxGptEntryBytes.
inline constexpr std::uint32_t maxGptEntryBytes = 4096;
inline constexpr std::uint32_t maxAppleMapEntries = 64;

// GPT, else the Apple map, else MBR, each when it yields a range; else the whole source. Map order.
// Read errors propagate; a malformed map counts as absent.
std::vector<ByteRange> partitionRanges(ByteSource& source);
// As above, but a bad spot in one map is counted in readErrors and that map taken as absent, so the
// next is tried. A device that is gone still propagates.
std::vector<ByteRange> partitionRanges(ByteSource& source, std::int64_t& readErrors);

std::vector<ByteRange> gptRanges(ByteSource& source);
std::vector<ByteRange> appleMapRanges(ByteSource& source);
std::vector<ByteRange> mbrRanges(ByteSource& source);

} // namespace vantrel::FileSystemProbe
