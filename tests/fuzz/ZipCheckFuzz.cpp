// Fuzz target: the ZIP archive check (central directory, local headers, inflation) on arbitrary bytes.
#include "Vantrel/verify/ZipCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    static_cast<void>(ZipCheck::check(ByteView(data, size)));
    return 0;
}
