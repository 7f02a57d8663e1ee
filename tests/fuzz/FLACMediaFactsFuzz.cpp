// Fuzz target: the FLAC duration reader.
#include "recovery/carving/formats/FLACMediaFacts.h"

#include "MediaFactsFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::readMediaFacts<vantrel::FLACMediaFacts::read>(data, size);
}
