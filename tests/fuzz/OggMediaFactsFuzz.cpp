// Fuzz target: the Ogg sound duration reader.
#include "recovery/carving/formats/OggMediaFacts.h"

#include "MediaFactsFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::readMediaFacts<vantrel::OggMediaFacts::read>(data, size);
}
