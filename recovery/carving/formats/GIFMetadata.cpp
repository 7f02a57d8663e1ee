// GIF header read here (little-endian):
//   0  6  "GIF87a" or "GIF89a"
//   6  2  logical screen width, non-zero
//   8  2  logical screen height, non-zero

#include "recovery/carving/formats/GIFMetadata.h"

namespace vantrel::GIFMetadata {

namespace {
constexpr std::size_t headerBytes = 10;
} // namespace

std::optional<ImageDimensions> dimensions(ByteView buffer) {
    if (buffer.size() < headerBytes) return std::nullopt;
    if (!FieldReader::matches(buffer, 0, "GIF87a") && !FieldReader::matches(buffer, 0, "GIF89a")) return std::nullopt;
    const std::uint16_t width = FieldReader::u16le(buffer, 6);
    const std::uint16_t height = FieldReader::u16le(buffer, 8);
    if (width == 0 || height == 0) return std::nullopt;
    return ImageDimensions{width, height};
}

} // namespace vantrel::GIFMetadata
