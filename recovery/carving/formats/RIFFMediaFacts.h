#pragma once
// The duration of a WAVE sound and the duration and picture size of an AVI video, from their RIFF
// chunks (Microsoft's RIFF and WAVE format documents; AVI's "AVIMAINHEADER"). Little-endian:
//   0 "RIFF" (4), 4 size (4), 8 form type (4): "WAVE" or "AVI "
//   12 chunks: identifier (4), size (4), contents, a pad byte when the size is odd
// WAVE:
//   "fmt ": format tag (2: 1 PCM, 3 float, 0xFFFE extensible; others are compressed), channels (2),
//           sample rate (4), average bytes a second (4), block align (2), bits per sample (2)
//   "fact": samples a channel (4), in a compressed sound
//   "data": the samples; its size over the average bytes a second is the duration, or the fact
//           chunk's samples over the sample rate when it comes before
// AVI: "LIST" of type "hdrl" (4, after the list's size) holding "avih":
//   microseconds a frame (4), max bytes a second (4), padding granularity (4), flags (4),
//   total frames (4), initial frames (4), streams (4), suggested buffer size (4), width (4),
//   height (4)

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/MediaFacts.h"

#include <optional>

namespace vantrel::RIFFMediaFacts {

// Chunks walked at most.
inline constexpr int maxChunks = 1024;
// The header list of an AVI is read up to this size.
inline constexpr std::uint64_t maxHeaderListBytes = 64 * 1024;

// Nothing when the source is no WAVE or AVI, or states no duration or size. The duration of a
// compressed WAVE without a fact chunk, from its average rate, is estimated. A failed read throws.
std::optional<MediaFacts> read(ByteSource& source);

} // namespace vantrel::RIFFMediaFacts
