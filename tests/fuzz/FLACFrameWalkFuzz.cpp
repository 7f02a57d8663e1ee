// Fuzz target: the FLAC frame walk over hostile bytes (see CursorWalkFuzz.h). A stream holds its
// marker, STREAMINFO and at least one frame.
#include "recovery/carving/formats/FLACFrameWalk.h"

#include "CursorWalkFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::walkCursor<vantrel::FLACFrameWalk::walk>(data, size, 48);
}
