// Fuzz target: the CIFF heap length over hostile bytes (see CursorWalkFuzz.h). A file holds its header
// and a table of one record with the table's offset.
#include "recovery/carving/formats/CIFFHeapLength.h"

#include "CursorWalkFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::walkCursor<vantrel::CIFFHeapLength::fileLength>(data, size, 42);
}
