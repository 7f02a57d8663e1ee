#pragma once
// Picture size from a PNG file's IHDR chunk (ISO/IEC 15948, sections 5.2 and 11.2.2). Pure functions
// over a buffer that begins at the candidate file's first byte.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredHit.h"

#include <optional>

namespace vantrel::PNGMetadata {

// Width and height of the IHDR chunk that must follow the signature; nothing when either is 0.
std::optional<ImageDimensions> dimensions(ByteView buffer);

} // namespace vantrel::PNGMetadata
