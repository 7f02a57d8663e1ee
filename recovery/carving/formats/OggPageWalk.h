#pragma once
// The length of an Ogg file (RFC 3533) from its pages. A file, a physical bitstream, begins with the
// beginning-of-stream pages of all its logical streams (a Vorbis sound has one, a Theora video with its
// sound two), before any other page, and ends with the page that ends the last of them. Files chained
// back to back are separate files: the next one begins with fresh beginning-of-stream pages after every
// stream of the one before has ended.
//
// Page header (little-endian):
//    0 capture pattern "OggS" (4)
//    4 stream structure version (1): 0
//    5 header type (1): bit 0 continues a packet, bit 1 beginning of stream, bit 2 end of stream
//    6 granule position (8)
//   14 bitstream serial number (4): one per logical stream of the file
//   18 page sequence number (4)
//   22 checksum (4): CRC-32 with the polynomial 04C11DB7, not reflected, initial value 0 and no final
//      exclusive or, over the whole page with these four bytes taken as 0
//   26 number of segments (1)
//   27 segment table (one size byte, 0 to 255, per segment), then the segments.

#include "recovery/carving/CandidateCursor.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vantrel::OggPageWalk {

inline constexpr std::uint64_t chunkBytes = 0x40000;
// Logical streams followed in one file; a file that begins more is taken for chance bytes.
inline constexpr std::size_t maxStreams = 32;

// The checksum of a whole page held in memory, its checksum field taken as 0 (compare with the field at
// offset 22).
std::uint32_t pageChecksum(ByteView page);

// True when the bytes start with a page that can begin a file: version 0 with the beginning-of-stream
// flag. Every other page lies inside a file.
bool beginsFile(ByteView bytes);

// The length up to and including the page that ends the last logical stream begun at the file's start,
// or nothing when the walk breaks off before: a page with a wrong checksum, no page where one must be,
// a page of no open stream, a stream begun after the first pages, the cursor's limit. A failed read
// throws.
std::optional<std::uint64_t> walk(CandidateCursor& cursor);

} // namespace vantrel::OggPageWalk
