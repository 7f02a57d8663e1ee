#pragma once
// The length of a GIF file from its block structure (GIF89a standard, sections 17-27): header,
// logical screen descriptor, global colour table, then extensions and images, each with its data
// sub-blocks, up to the trailer byte 3B. Unlike a search for the first 3B byte, the walk is not fooled
// by a 3B inside the picture data.
//
// Logical screen descriptor (little-endian, after the 6-byte header): 6 width (2), 8 height (2),
// 10 packed fields (1: bit 7 = global colour table present, bits 0-2 = its size N, 3 × 2^(N+1) bytes),
// 11 background colour index (1), 12 pixel aspect ratio (1).
// Image descriptor: 0 separator 2C, 1 left, 3 top, 5 width, 7 height (2 bytes each), 9 packed fields
// (bit 7 = local colour table present, bits 0-2 its size as above), then the LZW minimum code size (1)
// and the image data sub-blocks.
// Extension: 0 introducer 21, 1 label, then data sub-blocks.
// Data sub-blocks: a size byte (1 to 255) and that many bytes, ended by a size byte of 0.

#include "recovery/carving/CandidateCursor.h"

#include <cstdint>
#include <optional>

namespace vantrel::GIFBlockWalk {

inline constexpr std::uint64_t chunkBytes = 0x40000;

// The length up to and including the trailer, or nothing when the blocks do not lead to one before the
// cursor's limit. A failed read throws.
std::optional<std::uint64_t> walk(CandidateCursor& cursor);

} // namespace vantrel::GIFBlockWalk
