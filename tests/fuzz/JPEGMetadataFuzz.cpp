// Fuzz target: the JPEG marker walks on arbitrary bytes.
#include "recovery/carving/formats/JPEGMetadata.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    const ByteView buffer(data, size);
    if (const auto dimensions = JPEGMetadata::dimensions(buffer)) {
        if (dimensions->width < 1 || dimensions->width > 65'535 || dimensions->height < 1 || dimensions->height > 65'535)
            std::abort();
        JPEGMetadata::isPlausiblePayloadSize(size, *dimensions);
    }
    if (const auto end = JPEGMetadata::topLevelEndOffset(buffer); end && (*end < 4 || *end > size)) std::abort();
    if (const auto end = JPEGMetadata::firstSegmentEnd(buffer); end && (*end < 6 || *end > 0xFFFF + 4)) std::abort();
    return 0;
}
