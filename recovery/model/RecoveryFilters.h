#pragma once
// Which hits a scan reports, and the progress record the scan hands its caller.

#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <optional>

namespace vantrel {

struct RecoveryFilters {
    RecoveredFileKindSet allowedKinds;
    std::uint64_t minimumByteSize = 0;
    std::optional<std::int64_t> minimumImageWidth;   // pixels; absent = no limit
    std::optional<std::int64_t> minimumImageHeight;  // pixels; absent = no limit

    // The 22 default kinds, 8192 bytes, 800 by 600 pixels.
    static const RecoveryFilters& defaults();

    // Every search asks this before it hands a hit on. A JPEG is not judged here by its bytes per pixel:
    // the searches that read its structure apply isPlausibleJpegPayload to what is not whole.
    bool accepts(const RecoveredHit& hit) const;

    friend bool operator==(const RecoveryFilters&, const RecoveryFilters&) = default;
};

// Whether byteLength can hold a JPEG of these dimensions: a compressed picture below one byte per
// 12 pixels (or below 12 KiB for small pictures) whose structure is not whole is a fragment or a
// thumbnail's worth of data (a whole one, however low its detail, is a picture). A picture with a side
// of 0 or less always passes; sides whose product does not fit 64 bits never do.
bool isPlausibleJpegPayload(std::uint64_t byteLength, ImageDimensions dimensions);

struct ScanProgress {
    std::uint64_t bytesScanned = 0;
    std::uint64_t totalBytes = 0;
    std::int64_t hitsFound = 0;
    std::int64_t readErrors = 0;

    // 0 for an empty source, else bytesScanned / totalBytes capped at 1.
    double fractionCompleted() const;

    friend bool operator==(const ScanProgress&, const ScanProgress&) = default;
};

} // namespace vantrel
