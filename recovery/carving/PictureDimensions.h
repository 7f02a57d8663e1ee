#pragma once
// The picture size of a file, read from its first bytes by the reader of its kind: the one answer the
// carver and the undelete walks share.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredHit.h"

#include <optional>

namespace vantrel::PictureDimensions {

// bytes are the file's first bytes; for the TIFF family, as many as its directories are read over.
// Nothing for a kind without a size reader (HEIC, AVIF, WebP, the non-TIFF raws, everything that is not
// a picture) or when the reader finds no size.
std::optional<ImageDimensions> read(RecoveredFileKind kind, ByteView bytes);

} // namespace vantrel::PictureDimensions
