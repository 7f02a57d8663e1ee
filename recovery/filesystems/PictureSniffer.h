#pragma once
// The picture size of an undeleted file, read from its first bytes, and the test that drops a picture
// whose sides no picture has. Shared by the FAT and exFAT walks.

#include "recovery/filesystems/ContiguousRunReader.h"
#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace vantrel {

// Reads a picture's size from the bytes at the start of a candidate file (the JPEG, PNG and BMP header
// parsers). Supplied by the caller, so the walks do not depend on the format parsers; may be empty.
using PictureDimensionReader = std::function<std::optional<ImageDimensions>(RecoveredFileKind kind, ByteView head)>;

// The kind a file's first bytes show (the carver's header tests), unknown when they show none. Supplied by
// the caller like the dimension reader; may be empty.
using ContentKindReader = std::function<RecoveredFileKind(ByteView head)>;


namespace PictureSniffer {

// How much of a file is read to find its picture size.
inline constexpr std::uint64_t sniffWindowBytes = 65536;

// The dimensions of a jpeg, png or bmp file of fileBytes bytes at offset, reading no further than endLimit
// (the end of the volume). Nothing for other kinds, without a reader, or when the parser finds none.
// A bad spot is counted in readErrors and gives nothing; other failures propagate.
std::optional<ImageDimensions> sniff(ByteSource& source, const PictureDimensionReader& reader, RecoveredFileKind kind,
                                     std::uint64_t offset, std::uint64_t fileBytes, std::uint64_t endLimit,
                                     std::int64_t& readErrors);

// The kind the first bytes of a file of fileBytes bytes at offset show, reading no further than endLimit;
// unknown without a reader or when they show none. A bad spot is counted in readErrors and gives unknown.
RecoveredFileKind sniffKind(ByteSource& source, const ContentKindReader& reader, std::uint64_t offset,
                            std::uint64_t fileBytes, std::uint64_t endLimit, std::int64_t& readErrors);

// Whether a hit's picture size is one a picture can have (the side rules of RecoveryFilters), applied
// before the hit is named. Bytes per pixel are judged with the file's structure (DeletedFileWalk).
bool isPlausiblePicture(const RecoveredHit& hit);

} // namespace PictureSniffer
} // namespace vantrel
