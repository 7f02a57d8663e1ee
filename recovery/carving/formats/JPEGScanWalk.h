#pragma once
// Whether a JPEG stream is whole by its structure (ITU-T T.81, annexes B and F): its markers run from SOI to
// the scan, the entropy-coded data of a sequential Huffman scan decodes symbol by symbol, block by block,
// until exactly the frame's count of MCUs is filled (restart markers where the interval puts them, in
// their order), and EOI follows. No pixel is computed: only the Huffman codes and the coefficient counts
// are checked. Scans of other processes (progressive, lossless, arithmetic) are passed over by their
// markers only.
//
// The same decoder finds the piece that continues a picture whose first piece breaks: from the decoder's
// state at a sector start near the break, it goes on at each later sector start in turn, and takes the one
// from which the stream decodes validly to its end.

#include "recovery/bytesource/ByteSource.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace vantrel::JPEGScanWalk {

// The bytes from a position on (counted from the candidate's SOI) that are in hand; empty at the end. A view
// stays valid until the next call.
using ByteFeed = std::function<ByteView(std::uint64_t position)>;

enum class Ending : std::uint8_t {
    whole,   // EOI after every scan filled its frame
    broken,  // a code, a marker or a segment where none can be
    cut,     // the bytes ended first
};

struct Walk {
    Ending ending = Ending::broken;
    // whole: just past EOI; otherwise the first byte the walk could not take as part of the picture.
    std::uint64_t end = 0;
    // Whether the scan data was decoded (a sequential Huffman frame); false when only markers were walked.
    bool decoded = false;
    std::uint64_t mcusDecoded = 0;   // of the scan the walk stopped in (or the last one)
    std::uint64_t mcusInScan = 0;
    friend bool operator==(const Walk&, const Walk&) = default;
};

// Walks the stream of at most limit bytes from position 0, which holds SOI.
Walk walk(const ByteFeed& feed, std::uint64_t limit);

// The same walk with every Huffman code decoded on its own, without the lookahead tables that take a code
// with its value, or a whole block, in one step: what walk is checked against.
Walk walkBySymbol(const ByteFeed& feed, std::uint64_t limit);

// Where the marker segments that open the stream in head end: at the first scan's data, or where the walk
// over them stops (a segment that runs past head, anything but a marker). 0 when head opens no JPEG.
std::uint64_t segmentsEnd(ByteView head);

// Where a two-piece picture's bytes lie, counted from SOI: [0, firstLength) and then
// [secondStart, secondStart + secondLength).
struct Joined {
    std::uint64_t firstLength = 0;
    std::uint64_t secondStart = 0;
    std::uint64_t secondLength = 0;
    friend bool operator==(const Joined&, const Joined&) = default;
};

struct ContinuationSearch {
    // Sector size, and the phase of position 0 within a sector (the SOI's device offset modulo sectorBytes).
    std::uint64_t sectorBytes = 512;
    std::uint64_t phase = 0;
    // The first piece is searched up to firstLimit (a header found there ends it); the second within limit.
    std::uint64_t firstLimit = 0;
    std::uint64_t limit = 0;
    // Sector starts tried as the first piece's end, the latest before the break first.
    std::size_t boundaries = 4;
    // How far past a boundary the second piece may start.
    std::uint64_t maxGapBytes = 16ull << 20;
    // A start is decoded this far before it is taken as a candidate, and at most decodesPerBoundary
    // candidates per boundary are decoded on to their end.
    std::uint64_t screenBytes = 16 * 1024;
    std::size_t decodesPerBoundary = 2;
};

// The two pieces that decode as one picture, or nothing when the first piece is whole, is no sequential
// Huffman picture, or no continuation within the search decodes to the frame's end and EOI.
std::optional<Joined> findContinuation(const ByteFeed& feed, const ContinuationSearch& search);

} // namespace vantrel::JPEGScanWalk
