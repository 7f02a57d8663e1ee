// Fuzz target: the bitmap header readers on arbitrary bytes.
#include "recovery/carving/formats/BMPMetadata.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    const ByteView buffer(data, size);
    const auto length = BMPMetadata::fileLength(buffer);
    const auto dimensions = BMPMetadata::dimensions(buffer);
    if (length && (*length < 54 || *length > 536'870'912)) std::abort();
    if (dimensions && (dimensions->width < 1 || dimensions->width > 65'536 || dimensions->height < 1 ||
                       dimensions->height > 65'536))
        std::abort();
    if (BMPMetadata::looksValid(buffer) != (length && dimensions)) std::abort();
    return 0;
}
