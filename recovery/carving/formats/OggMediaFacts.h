#pragma once
// The duration of an Ogg sound (RFC 3533; the page header is in OggPageWalk.h): the granule position
// of the last page of its sound stream, in that stream's samples, over its sample rate. The streams
// begin with pages that have the beginning-of-stream flag, each holding its identification header:
//   Vorbis (Vorbis I specification, 4.2.2): 0x01 "vorbis" (7), version (4), channels (1), sample rate
//     (4, little-endian)
//   Opus (RFC 7845, 5.1): "OpusHead" (8), version (1), channels (1), pre-skip (2, little-endian),
//     input sample rate (4); granule positions count 48 kHz samples and include the pre-skip
//   FLAC in Ogg: 0x7F "FLAC" (5), version (2), header count (2), "fLaC" (4), then a STREAMINFO block
//     with its 4-byte header; the sample rate is its top 20 bits at 10 bytes into the block
// The first sound stream is followed (a video's Theora stream is passed over). The last page is looked
// for backwards in the last maxTailBytes of the source: a page of that stream, whole in those bytes,
// with a right checksum and a granule position.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/MediaFacts.h"

#include <optional>

namespace vantrel::OggMediaFacts {

// The first pages are read up to this many bytes, the end of the source up to maxTailBytes (the
// largest page is 65,307 bytes).
inline constexpr std::uint64_t maxHeadBytes = 64 * 1024;
inline constexpr std::uint64_t maxTailBytes = 256 * 1024;

// Nothing when the source opens with no sound stream of the three or holds no last page of it. A
// failed read throws.
std::optional<MediaFacts> read(ByteSource& source);

} // namespace vantrel::OggMediaFacts
