#pragma once
// The duration and picture size of a sound or video file from its container, by kind: ISO base media
// (mp4, mov, m4a), RIFF (wav), Ogg, MP3 and FLAC. Every reader reads a bounded number of bytes of the
// source, whatever its length, and never trusts a stated length or count.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/MediaFacts.h"
#include "recovery/model/RecoveredFileKind.h"

#include <optional>

namespace vantrel::MediaFactsReader {

// What the file's container states; nothing for kinds that are not sound or video, or when the
// container says nothing readable. A failed read throws.
std::optional<MediaFacts> read(RecoveredFileKind kind, ByteSource& source);

} // namespace vantrel::MediaFactsReader
