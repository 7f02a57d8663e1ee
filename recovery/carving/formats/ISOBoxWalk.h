#pragma once
// The length of an ISO base media file (ISO/IEC 14496-12: MP4, QuickTime, HEIF, AVIF, CR3) from its
// top-level boxes. A movie ends with whichever of its moov and mdat boxes comes last; a picture laid out
// as ftyp, meta, ..., mdat ends with its mdat box, or with the last plausible box after the meta box.
//
// Box header (big-endian): 0 size (4 bytes; 1 = a 64-bit size follows the type, 0 = to the end of the
// file, otherwise at least 8), 4 type (4 ASCII characters), 8 largesize (8 bytes, only when size is 1).

#include "recovery/carving/CandidateReader.h"

#include <cstdint>
#include <optional>

namespace vantrel::ISOBoxWalk {

// Top-level boxes walked at most.
inline constexpr int maxBoxes = 256;

// The file's length, or nothing. The walk reads 16 bytes per box, so available may be the whole rest of
// the device. A failed read throws.
std::optional<std::uint64_t> walk(CandidateReader& reader, std::uint64_t offset, std::uint64_t available);

} // namespace vantrel::ISOBoxWalk
