#pragma once
// Where the EXIF metadata of a picture file lies: the TIFF-structured block that holds its directories
// (EXIF 2.32, section 4.5). A JPEG holds it in an APP1 segment after "Exif\0\0" (section 4.5.4); a PNG in
// its eXIf chunk (PNG third edition, section 11.3.6.1); a WebP in the RIFF chunk "EXIF" (the WebP
// container format); a TIFF or a TIFF-based camera raw is itself the block. Pure functions over a buffer
// that begins at the file's first byte.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"

#include <optional>

namespace vantrel::EXIFBlock {

// Segments, chunks or RIFF chunks looked at before giving up: a 12 MiB PNG holds some 1,500 chunks
// of image data in the usual 8 KiB pieces.
inline constexpr int maxBlocksWalked = 65'536;

// The TIFF block of the picture's EXIF data, a view into buffer; nothing when the kind keeps none
// where this reader looks or the file holds none.
std::optional<ByteView> find(RecoveredFileKind kind, ByteView buffer);

} // namespace vantrel::EXIFBlock
