// Fuzz target: the TIFF directory walk and the maker-based kind refinement on arbitrary bytes.
#include "recovery/carving/KindDetectors.h"
#include "recovery/carving/formats/TIFFMetadata.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    const ByteView buffer(data, size);
    if (const auto dimensions = TIFFMetadata::dimensions(buffer);
        dimensions && (dimensions->width < 1 || dimensions->width > 65'536 || dimensions->height < 1 ||
                       dimensions->height > 65'536))
        std::abort();
    const auto length = TIFFMetadata::estimatedFileLength(buffer);
    if (length && *length < 64) std::abort();
    if (TIFFMetadata::looksValid(buffer) != length.has_value()) std::abort();
    TIFFMetadata::makeString(buffer);
    const RecoveredFileKind kind = TIFFKindDetector::refine(buffer);
    if (kind != RecoveredFileKind::tiff && kind != RecoveredFileKind::nef && kind != RecoveredFileKind::arw) std::abort();
    return 0;
}
