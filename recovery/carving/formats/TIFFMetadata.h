#pragma once
// Image file directories of a TIFF-structured file held in memory: plain TIFF and the camera raw
// formats built on it (CR2, NEF, ARW, ORF). From a bounded walk of the directories come the largest
// picture's size, an estimate of the file's length (the furthest byte any directory or image data
// references) and the camera maker. Pure functions over a buffer that begins at the file's first byte.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vantrel::TIFFMetadata {

// The size of the directory with the largest picture (each side 1 to 65,536; the earlier directory in
// walk order wins a tie), or nothing.
std::optional<ImageDimensions> dimensions(ByteView buffer);

// The furthest byte referenced by any walked directory: directory ends, out-of-line values, strips,
// tiles and an embedded JPEG. Nothing unless some directory has both a width and a height, some has
// image data, and the result is at least 64. May lie beyond the buffer; callers cap it.
std::optional<std::uint64_t> estimatedFileLength(ByteView buffer);

// True when estimatedFileLength gives a value.
bool looksValid(ByteView buffer);

// The first directory's Make text (ASCII, zero bytes removed), or nothing.
std::optional<std::string> makeString(ByteView buffer);

// The date and time texts of a picture (EXIF 2.32, sections 4.6.4 and 4.6.5): DateTime (tag 306) of the
// first directory, and from the EXIF directory that its tag 34665 points to DateTimeOriginal (36867),
// DateTimeDigitized (36868) and the offsets from universal time OffsetTime (36880), OffsetTimeOriginal
// (36881) and OffsetTimeDigitized (36882). ASCII values only, each up to its first zero byte.
struct CaptureTimes {
    std::optional<std::string> dateTime;
    std::optional<std::string> dateTimeOriginal;
    std::optional<std::string> dateTimeDigitized;
    std::optional<std::string> offsetTime;
    std::optional<std::string> offsetTimeOriginal;
    std::optional<std::string> offsetTimeDigitized;
};
CaptureTimes captureTimes(ByteView buffer);

} // namespace vantrel::TIFFMetadata
