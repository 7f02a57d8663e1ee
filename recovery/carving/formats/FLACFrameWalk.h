#pragma once
// The length of a FLAC stream from its metadata blocks and audio frames (FLAC format, RFC 9639:
// "Metadata block header", "Frame header", "Subframes", "Frame footer"). The stream is the marker
// "fLaC", the metadata blocks (the first is STREAMINFO, see FLACStreamInfo.h; the last has its flag
// set), then the frames. The walk follows the frames one by one and ends after the last frame whose
// CRC-16 holds: the one that holds the last sample when STREAMINFO states the total, otherwise the one
// after which no frame follows.
//
// Metadata block header (big-endian):
//   0 bit 7 last-block flag, bits 6-0 block type (127 not allowed)
//   1 block length (3): the bytes after this header
// Frame header (big-endian, bit fields from the most significant bit):
//   0 sync code (14 bits) 0b11111111111110, reserved bit 0, blocking strategy (0 fixed, 1 variable)
//   2 block size code (4 bits): 0 reserved, 1 192, 2-5 576 × 2^(n-2), 6 8 bits follow, 7 16 bits
//     follow (size - 1), 8-15 256 × 2^(n-8); sample rate code (4 bits): 0 from STREAMINFO, 1-11 fixed
//     rates, 12 8 bits of kHz follow, 13 16 bits of Hz, 14 16 bits of tens of Hz, 15 not allowed
//   3 channels (4 bits): 0-7 that many plus one, 8-10 two channels coded left/side, side/right,
//     mid/side, 11-15 reserved; sample size code (3 bits): 0 from STREAMINFO, 1 8, 2 12, 3 reserved,
//     4 16, 5 20, 6 24, 7 32 bits; reserved bit 0
//   4 coded number: frame number (fixed blocking) or first sample's number (variable), UTF-8 style in
//     1 to 7 bytes; then the block size and sample rate bytes the codes call for; then CRC-8
//     (polynomial 07, initial value 0) of the header before it
// Then one subframe per channel (bit-packed, see FLACFrameWalk.cpp), zero bits to the byte boundary
// and the CRC-16 (polynomial 8005, initial value 0) of the whole frame before it.

#include "recovery/carving/CandidateCursor.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vantrel::FLACFrameWalk {

inline constexpr std::uint64_t chunkBytes = 0x40000;
// Metadata blocks followed; writers put a handful (STREAMINFO, tags, seek table, padding, pictures).
inline constexpr std::size_t maxMetadataBlocks = 1024;

// The CRC-8 and CRC-16 of bytes held in memory, as the frame header and footer use them.
std::uint8_t headerChecksum(ByteView bytes);
std::uint16_t frameChecksum(ByteView bytes);

// The length up to the end of the last frame whose CRC-16 holds, or nothing when the bytes are no
// sound STREAMINFO, the metadata blocks run past the cursor's limit, or not even the first frame holds.
// A failed read throws.
std::optional<std::uint64_t> walk(CandidateCursor& cursor);

} // namespace vantrel::FLACFrameWalk
