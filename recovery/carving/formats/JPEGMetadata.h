#pragma once
// Marker structure of a JPEG stream held in memory (ITU-T T.81, Annex B): the picture's size from the
// first usable frame header, the end of the outer stream, and whether a byte length is plausible for a
// picture of a given size. Pure functions over a buffer that begins at the candidate file's first byte.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <optional>

namespace vantrel::JPEGMetadata {

// Width and height of the first start-of-frame segment with both non-zero, walking the markers from
// the start; nothing when the walk meets anything but a marker before such a frame.
std::optional<ImageDimensions> dimensions(ByteView buffer);

// Offset just past the outer stream's end-of-image marker. Segments (an EXIF thumbnail with its own
// FF D8 ... FF D9 among them) are jumped over by their lengths; from the first scan on the end marker
// is searched byte by byte. Nothing when no frame was seen or the end lies beyond the buffer.
std::optional<std::uint64_t> topLevelEndOffset(ByteView buffer);

// Whether byteLength can hold a picture of these dimensions: a compressed picture below one byte per
// 12 pixels (or below 12 KiB for small pictures) is a fragment or a thumbnail. 0 pixels always pass.
bool isPlausiblePayloadSize(std::uint64_t byteLength, ImageDimensions dimensions);

// The bytes a first segment needs: SOI, the marker and its length.
inline constexpr std::uint64_t firstSegmentHeaderBytes = 6;

// Offset just past the segment that follows SOI, when that segment is one a JPEG file opens with: an
// application segment (APP0-15), DQT, DHT, a start of frame, DRI or COM, with a length of at least 2.
// Nothing for any other marker (FF D8 FF is common in compressed and audio data, mostly followed by
// bytes that open no JPEG), for fill bytes, or when the buffer holds fewer than
// firstSegmentHeaderBytes. The segment itself may run past the buffer.
std::optional<std::uint64_t> firstSegmentEnd(ByteView buffer);

} // namespace vantrel::JPEGMetadata
