// Fuzz target: the JPEG structure walk (against its code-by-code decoding) and the search for a picture's
// second piece on arbitrary bytes. The first byte picks the feed's chunk size and the search's sector size;
// the rest is the stream.
#include "recovery/carving/formats/JPEGScanWalk.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    if (size < 1) return 0;
    const std::size_t chunk = std::size_t{1} << (data[0] & 0x0F);
    const ByteView stream(data + 1, size - 1);
    const JPEGScanWalk::ByteFeed feed = [&](std::uint64_t position) -> ByteView {
        if (position >= stream.size()) return {};
        return stream.subspan(static_cast<std::size_t>(position), std::min<std::size_t>(chunk, stream.size() - position));
    };
    const auto walked = JPEGScanWalk::walk(feed, stream.size());
    // The lookahead tables decide as the code-by-code decoding, to the byte.
    if (!(walked == JPEGScanWalk::walkBySymbol(feed, stream.size()))) std::abort();
    if (walked.end > stream.size()) std::abort();
    if (walked.ending == JPEGScanWalk::Ending::whole && walked.decoded && walked.mcusDecoded != walked.mcusInScan) std::abort();
    if (JPEGScanWalk::segmentsEnd(stream) > stream.size()) std::abort();
    JPEGScanWalk::ContinuationSearch search;
    search.sectorBytes = std::uint64_t{16} << (data[0] >> 4);
    search.limit = stream.size();
    search.firstLimit = stream.size() / 2;
    if (const auto joined = JPEGScanWalk::findContinuation(feed, search)) {
        if (joined->firstLength > joined->secondStart || joined->secondStart + joined->secondLength > stream.size())
            std::abort();
    }
    return 0;
}
