#pragma once
// The duration of a FLAC stream from its STREAMINFO block (FLAC format, "METADATA_BLOCK_STREAMINFO";
// the layout is in FLACStreamInfo.h): total samples (36 bits, 0 when unknown) over the sample rate
// (20 bits, 1 to 655,350 Hz).

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/MediaFacts.h"

#include <optional>

namespace vantrel::FLACMediaFacts {

// Reads the first FLACStreamInfo::headerBytes of the source; nothing when they are not a sound
// STREAMINFO or state no sample count. A failed read throws.
std::optional<MediaFacts> read(ByteSource& source);

} // namespace vantrel::FLACMediaFacts
