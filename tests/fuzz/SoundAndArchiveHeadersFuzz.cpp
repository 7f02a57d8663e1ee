// Fuzz target: the FLAC stream header and ZIP local header checks on arbitrary bytes, each also behind the
// signature it follows, so that the fields past the signature are reached.
#include "recovery/carving/formats/FLACStreamInfo.h"
#include "recovery/carving/formats/ZipLocalHeader.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    for (const char* signature : {"", "fLaC", "PK\x03\x04"}) {
        std::vector<std::uint8_t> bytes(signature, signature + std::strlen(signature));
        bytes.insert(bytes.end(), data, data + size);
        const ByteView view(bytes);
        if (FLACStreamInfo::looksValid(view) && view.size() < FLACStreamInfo::headerBytes) std::abort();
        const std::size_t needed = ZipLocalHeader::bytesWithName(view);
        if (needed < ZipLocalHeader::fixedBytes) std::abort();
        if (ZipLocalHeader::looksValid(view) && (view.size() < needed || needed == ZipLocalHeader::fixedBytes)) std::abort();
    }
    return 0;
}
