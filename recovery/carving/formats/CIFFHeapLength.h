#pragma once
// The length of a Canon raw file in the camera image file format (CIFF, version 1.0r4: "Heap File
// Structure", "Heap Structure", "Record Entry") from its root heap. The file is a header and one heap
// that runs to the file's end; a heap holds its records' data first and its table last, and its last
// four bytes give where the table starts. So the file ends four bytes past a position whose value
// points back at a table that ends exactly there.
//
// File header (little-endian with "II"; the carver's signature row takes only that byte order):
//    0 byte order "II" (2)
//    2 header length (4): where the root heap starts; 26 for every known writer
//    6 type "HEAP", subtype "CCDR" (8)
//   14 version (4), 18 reserved (8)
// Heap, all offsets counted from the heap's start:
//   records' data, then the table: record count (2), count records of 10 bytes each, then the table's
//   offset (4), the heap's last bytes
// Record (10):
//   0 type (2): bits 15-14 where the data lie: 0 in the heap, 1 in the record's own 8 bytes below,
//     2 and 3 undefined; bits 13-0 the data type and code
//   2 data length (4), 6 data offset (4): for data in the heap, within the heap before the table
#include "recovery/carving/CandidateCursor.h"

#include <cstdint>
#include <optional>

namespace vantrel::CIFFHeapLength {

inline constexpr std::uint64_t chunkBytes = 0x40000;
inline constexpr std::uint64_t headerBytes = 26;
// Records in the root heap; cameras write about ten (the picture, the raw data, two subheaps, ...).
inline constexpr std::uint64_t maxRecords = 1024;

// The file's length: the end of the first table, from the header on, that ends with its own offset,
// whose records' data lie before it and that lists the raw data or the picture from it (0x2005,
// 0x2007); else the end of the first such table without them; nothing when the header is not CIFF's
// or no such table lies within the cursor's limit. A failed read throws.
std::optional<std::uint64_t> fileLength(CandidateCursor& cursor);

} // namespace vantrel::CIFFHeapLength
