// Fuzz target: the RTF group walk over hostile bytes (see CursorWalkFuzz.h). A document holds its
// opening "{\rtf" and the closing brace.
#include "recovery/carving/formats/RTFGroupWalk.h"

#include "CursorWalkFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::walkCursor<vantrel::RTFGroupWalk::walk>(data, size, 6);
}
