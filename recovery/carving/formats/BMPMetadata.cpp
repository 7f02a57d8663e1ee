// Bitmap headers read here (little-endian):
// BITMAPFILEHEADER
//    0  2  "BM"
//    2  4  file size in bytes; accepted from 54 (the two headers of a BITMAPINFOHEADER file) to 2^29
//   14  4  DIB header size: 12 (core), 40 (info), 52 (V2), 56 (V3), 108 (V4) or 124 (V5)
// BITMAPCOREHEADER (DIB size 12)
//   18  2  width, unsigned
//   20  2  height, unsigned
// BITMAPINFOHEADER and successors
//   18  4  width, taken as unsigned
//   22  4  height, signed; negative for a top-down bitmap
//   26  2  planes, always 1
//   28  2  bits per pixel: 1, 4, 8, 16, 24 or 32

#include "recovery/carving/formats/BMPMetadata.h"

#include <algorithm>
#include <array>

namespace vantrel::BMPMetadata {

namespace {

constexpr std::size_t fileHeaderBytes = 14;
constexpr std::uint32_t minimumFileBytes = 54;
constexpr std::uint32_t maximumFileBytes = 536'870'912;
constexpr std::uint32_t coreHeaderBytes = 12;
constexpr std::array<std::uint32_t, 6> knownDIBHeaderBytes{coreHeaderBytes, 40, 52, 56, 108, 124};
constexpr std::int64_t maximumSidePixels = 65'536;
constexpr std::array<std::uint16_t, 6> knownBitsPerPixel{1, 4, 8, 16, 24, 32};

std::optional<std::uint32_t> dibHeaderSize(ByteView buffer) {
    const std::uint32_t size = FieldReader::u32le(buffer, 14);
    if (std::find(knownDIBHeaderBytes.begin(), knownDIBHeaderBytes.end(), size) == knownDIBHeaderBytes.end())
        return std::nullopt;
    return size;
}

} // namespace

std::optional<std::uint64_t> fileLength(ByteView buffer) {
    if (buffer.size() < 18 || !FieldReader::matches(buffer, 0, "BM")) return std::nullopt;
    const std::uint32_t size = FieldReader::u32le(buffer, 2);
    if (size < minimumFileBytes || size > maximumFileBytes) return std::nullopt;
    if (!dibHeaderSize(buffer)) return std::nullopt;
    return size;
}

std::optional<ImageDimensions> dimensions(ByteView buffer) {
    if (buffer.size() < 26 || !FieldReader::matches(buffer, 0, "BM")) return std::nullopt;
    const auto dibSize = dibHeaderSize(buffer);
    if (!dibSize) return std::nullopt;
    std::int64_t width = 0;
    std::int64_t height = 0;
    if (*dibSize == coreHeaderBytes) {
        width = FieldReader::u16le(buffer, 18);
        height = FieldReader::u16le(buffer, 20);
    } else {
        if (buffer.size() < 30) return std::nullopt;
        width = FieldReader::u32le(buffer, 18);
        // Taken as signed 32-bit and widened before the magnitude, so INT32_MIN becomes 2^31 (and is
        // then refused by the range test) instead of overflowing.
        height = static_cast<std::int32_t>(FieldReader::u32le(buffer, 22));
        if (height < 0) height = -height;
        if (FieldReader::u16le(buffer, 26) != 1) return std::nullopt;
        const std::uint16_t bitsPerPixel = FieldReader::u16le(buffer, 28);
        if (std::find(knownBitsPerPixel.begin(), knownBitsPerPixel.end(), bitsPerPixel) == knownBitsPerPixel.end())
            return std::nullopt;
    }
    if (width < 1 || width > maximumSidePixels || height < 1 || height > maximumSidePixels) return std::nullopt;
    // A stated size must hold at least a 1-bit picture and both headers; the product is at most 2^32.
    if (const auto declared = fileLength(buffer)) {
        const auto minimum = static_cast<std::uint64_t>(width * height) / 8 + *dibSize + fileHeaderBytes;
        if (*declared < minimum) return std::nullopt;
    }
    return ImageDimensions{width, height};
}

bool looksValid(ByteView buffer) {
    return dimensions(buffer).has_value() && fileLength(buffer).has_value();
}

} // namespace vantrel::BMPMetadata
