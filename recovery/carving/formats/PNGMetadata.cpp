// PNG layout read here (big-endian):
//   0  8  signature 89 50 4E 47 0D 0A 1A 0A
//   8  4  length of the first chunk (not read)
//  12  4  type of the first chunk, "IHDR" in every valid file
//  16  4  width in pixels, non-zero (unsigned; the format caps it at 2^31 - 1, not checked)
//  20  4  height in pixels, non-zero

#include "recovery/carving/formats/PNGMetadata.h"

namespace vantrel::PNGMetadata {

namespace {
constexpr std::string_view signature{"\x89PNG\r\n\x1A\n", 8};
constexpr std::size_t headerBytes = 24;
} // namespace

std::optional<ImageDimensions> dimensions(ByteView buffer) {
    if (buffer.size() < headerBytes) return std::nullopt;
    if (!FieldReader::matches(buffer, 0, signature) || !FieldReader::matches(buffer, 12, "IHDR")) return std::nullopt;
    const std::uint32_t width = FieldReader::u32be(buffer, 16);
    const std::uint32_t height = FieldReader::u32be(buffer, 20);
    if (width == 0 || height == 0) return std::nullopt;
    // Both sides fit ImageDimensions' 64-bit fields whole; callers multiply them in 64-bit unsigned.
    return ImageDimensions{width, height};
}

} // namespace vantrel::PNGMetadata
