#pragma once
// How long a carved file is. A carved header has no directory entry, so its length comes from the file's
// own bytes: a declared size (BMP, RIFF), the extent of the TIFF directories, the JPEG marker walk, the ISO
// base media box walk, the GIF block walk, the ZIP end-of-central-directory record, the OLE2 allocation
// table, the PDF linearization dictionary and end markers, the Ogg page walk, the MP3 and FLAC frame
// walks, the RTF group depth, the CIFF heap's table, a footer search, or else a fixed guess.
//
// Every rule counts from the header offset and stays within `available` (the smaller of the bytes left
// on the device and the row's longest scan length); only the ISO box walk may go on to the device's end,
// since it reads 16 bytes per box and long videos must come back whole.

#include "recovery/carving/CandidateReader.h"
#include "recovery/carving/FooterFinder.h"
#include "recovery/model/RecoveredFileKind.h"

#include <cstdint>
#include <optional>

namespace vantrel {

// Where a length came from. The carver skips the candidates inside a file only after a structural
// length; after a guess it skips nothing, so that small files lying back to back are all found, and it
// tests only the header's position against live files, cutting the guess at the next live range.
enum class LengthBasis : std::uint8_t {
    structural, // declared size, marker/box/block/frame/group walk, footer, TIFF extents, end-of-central-directory,
                // OLE2 FAT, CIFF heap table
    guessed,    // the fixed 2 MiB rule or the generic length
};

struct LengthEstimate {
    std::uint64_t length = 0;
    LengthBasis basis = LengthBasis::guessed;
    friend bool operator==(const LengthEstimate&, const LengthEstimate&) = default;
};

// One candidate as the carver's hit building sees it.
struct LengthCandidate {
    RecoveredFileKind rowKind = RecoveredFileKind::unknown;     // the matched signature row's kind
    RecoveredFileKind refinedKind = RecoveredFileKind::unknown; // after the Office and ftyp detectors
    ByteView footer;                // the row's footer; empty when the row has none
    std::uint64_t offset = 0;       // device offset of the header
    std::uint64_t available = 0;    // min(device bytes from offset, the row's maxScanLength)
    std::uint64_t deviceRemaining = 0; // device bytes from offset (the box walk's limit)
    // The first min(available, headBytes) bytes of the file. Must stay valid during estimate(): keep it
    // out of any scratch buffer that the reader is handed.
    ByteView head;
    std::uint64_t minimumByteSize = 0; // the filters' minimum size, for the generic length
};

// One estimator per carve: it remembers, per footer, where the next footer lies, so candidates that
// share a footer search do not read the same bytes again. Not for use from two threads at once.
class FileLengthEstimator {
public:
    // How much of the file the carver reads up front.
    static constexpr std::uint64_t headBytes = 0x40000;
    // The TIFF directories are walked over at most this much of the file.
    static constexpr std::uint64_t tiffReadBytes = 0x100000;
    // The fixed guess for formats whose end cannot be told from their first bytes.
    static constexpr std::uint64_t fixedGuessBytes = 0x200000;
    // The generic length is at least this much (or the filters' minimum size, when larger).
    static constexpr std::uint64_t genericMinimumBytes = 0x10000;
    // The smallest BMP (file header and core-size DIB header) and the smallest TIFF length accepted.
    static constexpr std::uint64_t minimumBMPBytes = 54;
    static constexpr std::uint64_t minimumTIFFBytes = 64;

    // The candidate's length, or nothing when it makes no hit (a BMP, TIFF, JPEG or ISO media file whose
    // structure gives no usable length, an Ogg page that begins no stream), by the rows of its refined and
    // its row kind in the table of length rules. Reads through the reader beyond head; a failed read
    // throws, and the carver then drops the candidate.
    std::optional<LengthEstimate> estimate(const LengthCandidate& candidate, CandidateReader& reader);

    // The bytes the TIFF rule walked for the last candidate of a TIFF-family kind (head, or up to
    // tiffReadBytes read afresh), for the kind refinement and dimensions; empty after other kinds. Valid
    // until the next estimate() and while the candidate's reader lives.
    ByteView tiffData() const { return m_tiffData; }

private:
    FooterFinder m_footers;
    Bytes m_tiffScratch;
    ByteView m_tiffData;
    // The chunks the rules' walks read outside the carver's windows, kept from candidate to candidate.
    Bytes m_cursorScratch;
};

} // namespace vantrel
