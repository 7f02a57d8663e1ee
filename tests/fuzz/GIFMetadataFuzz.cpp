// Fuzz target: the GIF header reader on arbitrary bytes.
#include "recovery/carving/formats/GIFMetadata.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    if (const auto dimensions = GIFMetadata::dimensions(ByteView(data, size)); dimensions && (dimensions->width < 1 || dimensions->height < 1))
        std::abort();
    return 0;
}
