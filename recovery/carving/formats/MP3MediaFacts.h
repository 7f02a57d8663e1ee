#pragma once
// The duration of an MP3 file: from the frame count of a Xing or Info header (in the first frame,
// after its side information) or of a VBRI header (32 bytes after the first frame's header), else
// estimated from the first frame's bitrate and the bytes of the frames. The frame header and the ID3v2
// tag are read as MP3FrameWalk.h describes them.
//   Xing/Info (big-endian): "Xing" or "Info" (4), flags (4): bit 0 a frame count follows, frames (4).
//     It starts after the header (4), the CRC when there is one (2) and the side information: MPEG 1
//     32 bytes (17 mono), MPEG 2 and 2.5 17 bytes (9 mono).
//   VBRI (big-endian): "VBRI" (4), version (2), delay (2), quality (2), bytes (4), frames (4).
// The first frame is looked for where the ID3v2 tag ends, or up to MP3FrameWalk::maxGapBytes later;
// a frame is taken only when the next one follows it where its length says, or it holds one of the
// two headers. An ID3v1 tag at the end is not counted among the frames' bytes.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/MediaFacts.h"

#include <optional>

namespace vantrel::MP3MediaFacts {

// Nothing when no frame is found or its stream states no duration. A failed read throws.
std::optional<MediaFacts> read(ByteSource& source);

} // namespace vantrel::MP3MediaFacts
