#include "recovery/model/RecoveryFilters.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel {

namespace {

// Pictures larger than this on either side are not plausible camera output.
constexpr std::int64_t maxPlausibleSidePixels = 65'536;
// Below this pixel count a JPEG needs at least smallJpegMinimumBytes; at or above it, a byte per
// jpegPixelsPerByte pixels (9 × 16,384: the point where both rules agree).
constexpr std::uint64_t smallJpegPixelCount = 147'456;
constexpr std::uint64_t smallJpegMinimumBytes = 12'288;
constexpr std::uint64_t jpegPixelsPerByte = 12;

} // namespace

const RecoveryFilters& RecoveryFilters::defaults() {
    static const RecoveryFilters filters{FileKind::defaultAllowedKinds(), 8192, 800, 600};
    return filters;
}

bool RecoveryFilters::accepts(const RecoveredHit& hit) const {
    if (!allowedKinds.contains(hit.kind)) return false;
    if (hit.byteLength < minimumByteSize) return false;
    if (!FileKind::isImage(hit.kind)) return true;
    if (minimumImageWidth && hit.dimensions && hit.dimensions->width < *minimumImageWidth) return false;
    if (minimumImageHeight && hit.dimensions && hit.dimensions->height < *minimumImageHeight) return false;
    if (!hit.dimensions) return true;
    const auto [width, height] = *hit.dimensions;
    if (width > maxPlausibleSidePixels || height > maxPlausibleSidePixels) return false;
    // A negative side is never produced; such a JPEG is not plausible.
    return hit.kind != RecoveredFileKind::jpeg || (width >= 0 && height >= 0);
}

bool isPlausibleJpegPayload(std::uint64_t byteLength, ImageDimensions dimensions) {
    if (dimensions.width <= 0 || dimensions.height <= 0) return true;
    const auto pixels = checkedMultiply(static_cast<std::uint64_t>(dimensions.width), static_cast<std::uint64_t>(dimensions.height));
    // Sides whose product does not fit 64 bits would need more than 2^64 / 12 bytes: no device holds that.
    if (!pixels) return false;
    if (*pixels < smallJpegPixelCount) return byteLength >= smallJpegMinimumBytes;
    return byteLength >= *pixels / jpegPixelsPerByte;
}

double ScanProgress::fractionCompleted() const {
    if (totalBytes == 0) return 0.0;
    return std::min(1.0, static_cast<double>(bytesScanned) / static_cast<double>(totalBytes));
}

} // namespace vantrel
