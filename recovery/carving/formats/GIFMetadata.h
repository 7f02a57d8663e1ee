#pragma once
// Picture size from a GIF file's logical screen descriptor (GIF89a standard, sections 17 and 18).
// Pure functions over a buffer that begins at the candidate file's first byte.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredHit.h"

#include <optional>

namespace vantrel::GIFMetadata {

// Logical screen width and height of a GIF87a or GIF89a file; nothing when either is 0.
std::optional<ImageDimensions> dimensions(ByteView buffer);

} // namespace vantrel::GIFMetadata
