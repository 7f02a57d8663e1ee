#pragma once
// The duration and picture size of an ISO base media file (ISO/IEC 14496-12: MP4, QuickTime, M4A)
// from its movie box. The top-level boxes are walked to "moov", which is read whole (up to
// maxMovieBoxBytes); inside it:
//   mvhd (movie header), after version (1) and flags (3):
//     version 0: creation (4), modification (4), timescale (4, units a second), duration (4)
//     version 1: creation (8), modification (8), timescale (4), duration (8)
//     a duration of all ones is unknown
//   trak > tkhd (track header), after version and flags:
//     version 0: creation (4), modification (4), track ID (4), reserved (4), duration (4)
//     version 1: creation (8), modification (8), track ID (4), reserved (4), duration (8)
//     then reserved (8), layer (2), alternate group (2), volume (2), reserved (2), matrix (9 × 4:
//     a, b, u, c, d, v, x, y, w), width (4, 16.16 fixed point), height (4, 16.16)
//   trak > mdia > hdlr (handler), after version and flags: pre-defined (4), handler type (4): "vide"
//     for a video track
// Box header (big-endian): size (4; 1 = a 64-bit size follows the type, 0 = to the end of its
// container, otherwise at least 8), type (4), largesize (8, only when size is 1).

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/MediaFacts.h"

#include <optional>

namespace vantrel::ISOMovieFacts {

// Top-level boxes walked at most, and boxes looked at inside the movie box at most.
inline constexpr int maxTopBoxes = 256;
inline constexpr int maxInnerBoxes = 4096;
// The movie box is read up to this size; a larger one is read in part (its headers come first).
inline constexpr std::uint64_t maxMovieBoxBytes = 16ULL << 20;

// The movie's duration and the picture size of its first video track; nothing when the source holds
// no movie box (a file cut before it) or the box states neither. A failed read throws.
std::optional<MediaFacts> read(ByteSource& source);

// The same from the bytes of a movie box's contents (after its header).
MediaFacts fromMovieBox(ByteView contents);

} // namespace vantrel::ISOMovieFacts
