// Fuzz target: the MP3 duration reader.
#include "recovery/carving/formats/MP3MediaFacts.h"

#include "MediaFactsFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::readMediaFacts<vantrel::MP3MediaFacts::read>(data, size);
}
