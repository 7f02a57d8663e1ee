#pragma once
// Declared length and picture size of a Windows bitmap (BITMAPFILEHEADER followed by a
// BITMAPCOREHEADER, BITMAPINFOHEADER or one of its V2 to V5 successors). Pure functions over a buffer
// that begins at the candidate file's first byte.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <optional>

namespace vantrel::BMPMetadata {

// The file size stated in the file header, when it lies in the accepted range and the DIB header size
// is a known one.
std::optional<std::uint64_t> fileLength(ByteView buffer);

// Width and height (a top-down bitmap's negative height by its magnitude), each from 1 to 65,536, when
// the header is plausible and, if the file states a size, that size can hold a 1-bit picture of them.
std::optional<ImageDimensions> dimensions(ByteView buffer);

// True when both the file length and the dimensions can be read.
bool looksValid(ByteView buffer);

} // namespace vantrel::BMPMetadata
