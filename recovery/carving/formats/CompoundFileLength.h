#pragma once
// The length of an OLE2 compound file (legacy Word .doc and its siblings) from its header and its file
// allocation table ([MS-CFB] sections 2.2 and 2.3). The file ends after the highest sector the table
// marks as used.
//
// Header (little-endian):
//    0 signature D0 CF 11 E0 A1 B1 1A E1 (8)
//   26 major version (2): 3 (512-byte sectors) or 4 (4096-byte sectors)
//   28 byte order (2): FFFE
//   30 sector shift (2): 9 for version 3, 12 for version 4
//   32 mini sector shift (2): 6
//   44 number of FAT sectors (4)
//   48 first directory sector (4)
//   68 first DIFAT sector (4), 72 number of DIFAT sectors (4)
//   76 the first 109 FAT sector numbers (4 each).
// Sector n lies at (n + 1) × sector size (the header takes the first sector). Each DIFAT sector holds
// sector size / 4 - 1 further FAT sector numbers and then the number of the next DIFAT sector. FAT
// entries: FFFFFFFF free, FFFFFFFD a FAT sector, FFFFFFFC a DIFAT sector, other values a chain link.

#include "recovery/carving/CandidateCursor.h"

#include <cstdint>
#include <optional>

namespace vantrel::CompoundFileLength {

inline constexpr std::uint64_t chunkBytes = 0x10000;

// The file's length when the header and the allocation table are consistent and the file fits within
// the cursor's limit; otherwise nothing. A failed read throws.
std::optional<std::uint64_t> fromAllocationTable(CandidateCursor& cursor);

} // namespace vantrel::CompoundFileLength
