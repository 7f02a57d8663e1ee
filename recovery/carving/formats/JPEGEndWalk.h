#pragma once
// Where a JPEG stream's top-level end-of-image marker lies, found by walking its markers (ITU-T T.81,
// annex B) through a forward cursor: segments are jumped by their lengths, so the end marker of an
// embedded thumbnail inside an APP1 segment is never taken for the file's end.
//
// The walk gives the same answer as walking a buffer that holds the file's first `limit` bytes, but reads
// the file once, chunk by chunk, keeping no more than one chunk, and stops as soon as the structure fails.

#include "recovery/carving/CandidateCursor.h"

#include <cstdint>
#include <optional>

namespace vantrel::JPEGEndWalk {

// Bytes per read beyond the head.
inline constexpr std::uint64_t chunkBytes = 0x80000;

// The length up to and including the top-level FF D9, or nothing when the walk fails or the end does not
// lie before the cursor's limit. A failed read throws.
std::optional<std::uint64_t> find(CandidateCursor& cursor);

} // namespace vantrel::JPEGEndWalk
