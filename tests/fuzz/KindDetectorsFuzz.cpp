// Fuzz target: the Office and ISO media kind detectors on arbitrary bytes; each must give one of its
// family's kinds.
#include "recovery/carving/KindDetectors.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    const ByteView buffer(data, size);
    if (!FileKind::zipRefinableKinds().contains(OfficeKindDetector::refineZipKind(buffer))) std::abort();
    if (!FileKind::ftypRefinableKinds().contains(FtypKindDetector::refine(buffer))) std::abort();
    return 0;
}
