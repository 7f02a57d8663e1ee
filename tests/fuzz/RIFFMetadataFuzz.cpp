// Fuzz target: the RIFF length reader on arbitrary bytes.
#include "recovery/carving/formats/RIFFMetadata.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    if (const auto length = RIFFMetadata::fileLength(ByteView(data, size)); length && *length < 12) std::abort();
    return 0;
}
