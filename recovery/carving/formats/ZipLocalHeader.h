#pragma once
// Whether bytes that begin with "PK" 03 04 begin a ZIP archive's first local file header (PKWARE
// APPNOTE.TXT, section 4.3.7), little-endian:
//   0  signature 50 4B 03 04 (4)
//   4  version needed to extract (2): low byte the version times ten, at most 6.3; high byte the host
//      system of section 4.4.2, 0 to 19
//   6  general purpose flags (2)
//   8  compression method (2): one that section 4.4.5 assigns
//  10  time, date, CRC-32, sizes (16)
//  26  file name length (2): 1 to maxNameBytes
//  28  extra field length (2)
//  30  file name: printable ASCII, or well-formed UTF-8 sequences (names in an old code page with high
//      bytes that are no UTF-8 fail; cards rarely hold such archives)
// A header of chance bytes fails one of these tests almost always; a real archive passes them all.

#include "recovery/bytesource/FieldReaders.h"

#include <cstddef>

namespace vantrel::ZipLocalHeader {

inline constexpr std::size_t fixedBytes = 30;
// A path inside an archive is no longer than a path on a disk.
inline constexpr std::size_t maxNameBytes = 4096;

// The bytes the header takes up to the end of its name; fixedBytes when fewer than that are given.
std::size_t bytesWithName(ByteView bytes);

// Whether the bytes open with a sound local file header whose name lies wholly in them; false when
// they hold less than bytesWithName.
bool looksValid(ByteView bytes);

} // namespace vantrel::ZipLocalHeader
