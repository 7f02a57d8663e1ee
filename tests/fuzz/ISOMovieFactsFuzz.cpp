// Fuzz target: the movie box reader of MP4, QuickTime and M4A files.
#include "recovery/carving/formats/ISOMovieFacts.h"

#include "MediaFactsFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vantrel::fuzz::readMediaFacts<vantrel::ISOMovieFacts::read>(data, size);
}
