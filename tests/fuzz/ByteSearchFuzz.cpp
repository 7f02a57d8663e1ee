// Fuzz target: the end-marker and footer search against the simple one, on every path. The first byte
// gives the needle's length, the second where the search starts; the needle follows, then the buffer.
#include "recovery/carving/ByteSearch.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    if (size < 2) return 0;
    const std::size_t needleLength = std::min<std::size_t>(data[0] % 80, size - 2);
    const ByteView needle(data + 2, needleLength);
    const ByteView hay(data + 2 + needleLength, size - 2 - needleLength);
    const std::size_t from = data[1] % (hay.size() + 2);
    std::size_t expected = hay.size();
    if (from <= hay.size()) {
        const auto it = std::search(hay.begin() + static_cast<std::ptrdiff_t>(from), hay.end(), needle.begin(), needle.end());
        if (it != hay.end() || needle.empty()) expected = static_cast<std::size_t>(it - hay.begin());
    }
    for (const int bits : {0, 256})
        if (ByteSearch::findWithin(hay, needle, from, bits) != expected) std::abort();
    return 0;
}
