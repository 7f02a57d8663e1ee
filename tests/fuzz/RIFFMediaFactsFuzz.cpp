// Fuzz target: the WAVE and AVI header reader.
#include "recovery/carving/formats/RIFFMediaFacts.h"

#include "MediaFactsFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::readMediaFacts<vantrel::RIFFMediaFacts::read>(data, size);
}
