// Fuzz target: the check that a PDF's FlateDecode streams inflate whole, on arbitrary bytes.
#include "Vantrel/verify/PDFStreamCheck.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    // Every broken stream was found after a "stream" keyword, which takes six bytes.
    if (PDFStreamCheck::brokenStreams(ByteView(data, size), 1) > size / 6) std::abort();
    return 0;
}
