#include "recovery/carving/SignatureCarver.h"

#include "recovery/carving/FileLengthEstimator.h"
#include "recovery/carving/HeaderChecks.h"
#include "recovery/carving/KindDetectors.h"
#include "recovery/carving/PictureDimensions.h"
#include "recovery/carving/RunCheck.h"
#include "recovery/carving/SignatureScanIndex.h"
#include "recovery/carving/WindowedReader.h"
#include "recovery/carving/formats/JPEGEndWalk.h"
#include "recovery/carving/formats/JPEGMetadata.h"
#include "recovery/carving/formats/JPEGScanWalk.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <stdexcept>

namespace vantrel {

namespace {

// ---- What the format readers say about a candidate. Every call into them is in this section. ----

// Cheap tests of the bytes at a header found in the window, before any hit is built.
bool passesHeaderCheck(const ScanCandidate& candidate, ByteView window) {
    return HeaderChecks::plausible(candidate.signature->kind, window.subspan(static_cast<std::size_t>(candidate.offset)));
}

// A JPEG far smaller than its pixel count whose structure is not whole is a fragment, not the picture it claims.
bool smallForPixels(std::uint64_t length, const std::optional<ImageDimensions>& dimensions) {
    return dimensions && !JPEGMetadata::isPlausiblePayloadSize(length, *dimensions);
}

// Whether the JPEG of length bytes in the cursor decodes whole.
JPEGScanWalk::Walk walkJpeg(CandidateCursor& cursor, std::uint64_t length) {
    return JPEGScanWalk::walk([&](std::uint64_t position) { return cursor.from(position); }, length);
}

// ---- The carve ----

// "recovered_", the hit's serial (counted from 1) in five digits at least, and the kind's extension: written
// in one string, as a dense card names thousands of hits a second.
std::string suggestedName(std::uint64_t serial, RecoveredFileKind kind) {
    constexpr std::string_view prefix = "recovered_";
    constexpr std::size_t leastDigits = 5;
    char digits[24];
    const std::size_t count = static_cast<std::size_t>(std::to_chars(std::begin(digits), std::end(digits), serial).ptr - digits);
    const std::string_view extension = FileKind::preferredExtension(kind);
    std::string name;
    name.reserve(prefix.size() + std::max(count, leastDigits) + 1 + extension.size());
    name += prefix;
    if (count < leastDigits) name.append(leastDigits - count, '0');
    name.append(digits, count);
    name += '.';
    name += extension;
    return name;
}

// The second piece of a picture put back together is at most this long.
constexpr std::uint64_t maxContinuationBytes = 64ull << 20;

// Windows are read from and to multiples of this (which every device block size divides), so that a
// device read lands straight in the window's buffer instead of going through the source's bounce buffer.
constexpr std::uint64_t readAlignmentBytes = 4096;

// A window whose search ranges all end this close to its start (one inside a live file but for the bytes
// it shares with the window before) is read this far first, and whole only when that finds a header.
constexpr std::uint64_t searchedHeadBytes = 64 * 1024;

// One window of the device in memory: the window is view() of the aligned bytes read around it.
struct WindowBuffer {
    Bytes bytes;
    std::uint64_t readOffset = 0;  // device offset of bytes[0]
    std::uint64_t offset = 0;      // device offset of the window
    std::uint64_t requested = 0;   // the window's length as asked
    std::size_t viewStart = 0;
    std::size_t viewLength = 0;
    std::int64_t readErrors = 0;   // blocks of this window that could not be read (held as zeros)
    bool filled = false;

    ByteView view() const { return filled ? ByteView(bytes).subspan(viewStart, viewLength) : ByteView{}; }
};

struct BuiltHit {
    RecoveredHit hit;
    LengthBasis basis = LengthBasis::guessed;
    // A piece that is no hit of its own still claims its span, so that nothing inside it is taken for a file.
    bool offered = true;
    // A JPEG's marker segments (its EXIF block with the thumbnail and TIFF header in it) end here.
    std::uint64_t segmentsEnd = 0;
};

// What a JPEG's structure says of the length its end walk gave.
struct JpegJudgement {
    std::uint64_t length = 0;
    bool whole = true;
    bool offered = true;
};

// The state of one carve call.
class CarveRun {
public:
    CarveRun(const SignatureCarver& carver, ByteSource& source, const RecoveryFilters& filters,
             const AllocatedRegionMap& regions, const SignatureCarver::CancelCheck& shouldCancel,
             const SignatureCarver::ProgressHandler& onProgress, const SignatureCarver::HitHandler& onHit,
             std::span<const std::uint64_t> wholePictures, JPEGWalkAhead::Provider* walksAhead)
        : m_source(source), m_filters(filters), m_regions(regions), m_shouldCancel(shouldCancel),
          m_onProgress(onProgress), m_onHit(onHit), m_wholePictures(wholePictures), m_walksAhead(walksAhead),
          m_index(carver.signatures(), filters.allowedKinds),
          m_windowSize(static_cast<std::uint64_t>(carver.windowSize())),
          m_blockSize(carver.sectorSize() == 0 ? 512 : carver.sectorSize()) {
        m_candidates.reserve(64);
        // Room for a window and the alignment around it, so that the buffers never move or grow.
        for (WindowBuffer* buffer : {&m_current, &m_next}) buffer->bytes.reserve(m_windowSize + 2 * readAlignmentBytes);
        m_head.bytes.reserve(searchedHeadBytes + 2 * readAlignmentBytes);
    }
    // Walks made ahead over the next window read its buffer until they are told it goes.
    ~CarveRun() {
        if (m_walksAhead != nullptr) m_walksAhead->nextDropped();
    }
    CarveRun(const CarveRun&) = delete;
    CarveRun& operator=(const CarveRun&) = delete;

    void run();

private:
    bool cancelled() const { return m_shouldCancel && m_shouldCancel(); }
    void report(std::uint64_t bytesScanned, std::uint64_t total) const {
        if (m_onProgress) m_onProgress(ScanProgress{bytesScanned, total, m_hitsFound, m_readErrors});
    }

    // Throws deviceChanged when the source is now shorter than when the carve began its window.
    void checkUnchanged();
    // The aligned device range read for the window [offset, offset + count).
    struct ReadSpan {
        std::uint64_t offset = 0;
        std::uint64_t count = 0;
    };
    ReadSpan readSpan(std::uint64_t offset, std::uint64_t count) const;
    void readWindowAndKeepNextRead(std::uint64_t offset, std::uint64_t count, WindowBuffer& into);
    void announceNextRead();
    void readWindow(std::uint64_t offset, std::uint64_t count, WindowBuffer& into);
    void readInPieces(std::uint64_t offset, std::uint64_t count, WindowBuffer& into);
    // Sets ranges to the positions of the window [position, position + windowLength) to search.
    void freeSearchRanges(std::uint64_t position, std::size_t windowLength,
                          std::vector<SignatureScanIndex::PositionRange>& ranges) const;
    // Whether every position of the window [position, position + count) to search lies in its first
    // searchedHeadBytes, with room after it for the longest header (then m_headRanges holds them).
    bool searchedInHeadOnly(std::uint64_t position, std::uint64_t count);
    // Reads the window's head into a buffer of its own (the windows' buffers keep their size, so that
    // they are not filled anew); whether a needle or box type lies in its search ranges, which is where
    // all of the window's headers would be found.
    bool headHoldsHeaders(std::uint64_t position);
    // The end of a window's carve: the last cancellation checks, as after a search of the window.
    bool windowDone(std::size_t windowLength, std::uint64_t ftypSearchStart);
    // Searches the current window and builds and delivers its hits in the order of their offsets; false
    // when the carve was cancelled.
    bool carveCandidates(std::uint64_t position);
    // carveCandidates with the provider of walks made ahead told of the windows, when there is one.
    bool carveWindow(std::uint64_t position);
    void searchFurther(std::uint64_t position, std::size_t pending);
    void carveHeader(std::uint64_t position, const ScanCandidate& candidate, std::uint64_t liveFrom);
    void carveBox(std::uint64_t position, std::uint64_t typeOffset, std::uint64_t liveFrom);
    std::uint64_t liveSuffixStart(std::uint64_t position, std::uint64_t end) const;
    // The merged live run that holds at, or nullptr when at is free.
    const AllocatedRegionMap::Range* liveRunHolding(std::uint64_t at) const;
    // Whether a header at this device offset lies inside a file found before.
    bool insideFoundFile(std::uint64_t at) const;
    std::optional<BuiltHit> tryMakeHit(const FileSignature& signature, std::uint64_t offset);
    std::optional<BuiltHit> makeHit(WindowedReader& reader, const FileSignature& signature, std::uint64_t offset);
    JpegJudgement judgeJpeg(WindowedReader& reader, std::uint64_t offset, std::uint64_t length, ByteView head,
                            const std::optional<ImageDimensions>& dimensions);
    // A picture that is not whole in its first length bytes: where its data goes on, when a later sector
    // start continues it to its end.
    std::optional<JPEGScanWalk::Joined> continuationOf(std::uint64_t offset, std::uint64_t length);
    // Device offsets of the headers at sector starts after `from` and before `length` in the file at offset.
    void headersInside(CandidateCursor& cursor, std::uint64_t offset, std::uint64_t from, std::uint64_t length);
    // Passes over the headers that the span [header, end) holds but at its sector starts, and all of those
    // before segmentsEnd (a JPEG's marker segments).
    void claim(std::uint64_t header, std::uint64_t end, std::uint64_t segmentsEnd);
    // Delivers or drops the hit, then passes over what lies inside it.
    void settle(BuiltHit built, std::uint64_t alignment);
    void offer(BuiltHit built);

    ByteSource& m_source;
    const RecoveryFilters& m_filters;
    const AllocatedRegionMap& m_regions;
    const SignatureCarver::CancelCheck& m_shouldCancel;
    const SignatureCarver::ProgressHandler& m_onProgress;
    const SignatureCarver::HitHandler& m_onHit;
    const std::span<const std::uint64_t> m_wholePictures;
    JPEGWalkAhead::Provider* const m_walksAhead;
    const SignatureScanIndex m_index;
    const std::uint64_t m_windowSize;
    const std::uint64_t m_blockSize;

    FileLengthEstimator m_estimator;
    WindowBuffer m_current, m_next, m_head;
    std::vector<ScanCandidate> m_candidates;
    std::vector<std::int64_t> m_ftypOffsets;
    std::vector<SignatureScanIndex::PositionRange> m_searchRanges;
    std::vector<SignatureScanIndex::PositionRange> m_headRanges;
    std::vector<ScanCandidate> m_headCandidates;
    std::vector<std::int64_t> m_headBoxes;
    std::vector<ScanCandidate> m_innerCandidates;
    std::vector<std::int64_t> m_innerBoxes;
    std::vector<std::pair<std::uint64_t, RecoveredFileKind>> m_innerHeaders;
    // How far the search of the current window has gone through m_searchRanges.
    struct WindowSearch {
        static constexpr std::size_t firstPieceBytes = 1024;
        static constexpr std::size_t largestPieceBytes = 64 * 1024;
        std::size_t range = 0;    // the range being searched
        std::size_t at = 0;       // where its search goes on (or its start)
        std::size_t pieceBytes = firstPieceBytes;
        std::int64_t complete = -1;  // every header that starts before this window position has been found
    } m_search;
    std::optional<ReadSpan> m_nextRead;  // the read of the window after the next, until it is announced
    Bytes m_headScratch, m_pieceScratch;
    // The chunks of a JPEG judged by its structure that lie outside the windows, kept from hit to hit.
    Bytes m_judgeScratch;
    // Heads of candidates close to a window's end lie across it: copied once a window, they are served from here.
    WindowedReader::Seam m_seam{FileLengthEstimator::headBytes};
    std::uint64_t m_length = 0;  // the source's length, asked anew for every window
    std::int64_t m_hitsFound = 0;
    std::int64_t m_readErrors = 0;
    std::uint64_t m_errorsCountedTo = 0;  // unreadable blocks ending at or before this were counted
    // The map's own ranges: sorted by start, none touching another.
    const std::vector<AllocatedRegionMap::Range>& m_liveRuns = m_regions.ranges();
    // Device offsets: the span of the files found last whose inner headers are passed over, and the
    // header of the last of them.
    std::uint64_t m_skipFrom = 0, m_skipUntil = 0, m_lastHeader = 0;
    // The marker segments of the last JPEG header: nothing in them is a file, at a sector start neither.
    std::uint64_t m_segmentsFrom = 0, m_segmentsUntil = 0;
};

void CarveRun::run() {
    const std::uint64_t total = m_source.length();
    std::uint64_t position = 0;
    while (total != 0) {
        if (cancelled()) return;
        m_length = m_source.length();
        checkUnchanged();
        if (position >= m_length) break;
        const std::uint64_t remaining = m_length - position;
        const std::uint64_t chunk = std::min(remaining, m_windowSize);
        const bool last = m_windowSize >= remaining;
        const std::uint64_t nextPosition = last ? m_length : position + m_windowSize - SignatureCarver::windowOverlapBytes;
        // A window that is live but for its head is searched in its head alone; where that finds nothing
        // the window holds no header, and the rest of it is never read.
        bool headOnly = false;
        const bool nextTaken = m_next.filled && m_next.offset == position && m_next.requested == chunk;
        // The next window's buffer is read into below unless it becomes the current one.
        if (!nextTaken && m_walksAhead != nullptr) m_walksAhead->nextDropped();
        if (nextTaken)
            std::swap(m_current, m_next);
        else if (searchedInHeadOnly(position, chunk) && !headHoldsHeaders(position))
            headOnly = true;
        else
            readWindow(position, chunk, m_current);
        m_next.filled = false;
        if (!headOnly) m_readErrors += m_current.readErrors;
        if (!m_index.patterns().empty() && cancelled()) return;
        if (headOnly) {
            m_nextRead.reset();
            if (!windowDone(chunk, 0)) return;
        } else {
            freeSearchRanges(position, m_current.view().size(), m_searchRanges);
            // The following window is read before this one's hits are built, so that files running past
            // this window's end are read from memory; one searched in its head only is left to be read as
            // it comes, and what runs into it is read from the device.
            const std::uint64_t nextCount = last ? 0 : std::min(m_length - nextPosition, m_windowSize);
            if (last || searchedInHeadOnly(nextPosition, nextCount)) m_nextRead.reset();
            else readWindowAndKeepNextRead(nextPosition, nextCount, m_next);
            if (!carveWindow(position)) return;
        }
        position = nextPosition;
        report(std::min(position, m_length), total);
        if (position >= m_length) break;
    }
    checkUnchanged();
    report(m_source.length(), total);
}

// A device that shrank or went away since it was opened would otherwise be read on block by block to
// its old end, every block a read error, and the carve would end as if complete.
void CarveRun::checkUnchanged() {
    if (const std::uint64_t now = m_source.currentLength(); now < m_length)
        throw ByteSourceError::deviceChanged(m_length, now);
}

CarveRun::ReadSpan CarveRun::readSpan(std::uint64_t offset, std::uint64_t count) const {
    const std::uint64_t start = offset / readAlignmentBytes * readAlignmentBytes;
    const std::uint64_t end = offset + count;  // within the device, so no overflow
    const std::uint64_t alignedEnd =
        std::min(m_length, (end + readAlignmentBytes - 1) / readAlignmentBytes * readAlignmentBytes);
    return {start, std::max(end, alignedEnd) - start};
}

// The read of the window after the one read here is kept, to be announced while the current window is
// carved if that turns out busy (see announceNextRead).
void CarveRun::readWindowAndKeepNextRead(std::uint64_t offset, std::uint64_t count, WindowBuffer& into) {
    readWindow(offset, count, into);
    m_nextRead.reset();
    if (m_windowSize >= m_length - offset) return;  // this window reaches the device's end
    const std::uint64_t next = offset + m_windowSize - SignatureCarver::windowOverlapBytes;
    const std::uint64_t nextCount = std::min(m_length - next, m_windowSize);
    // A window read in its head first is not read whole ahead of time.
    if (!searchedInHeadOnly(next, nextCount)) m_nextRead = readSpan(next, nextCount);
}

// Reading ahead pays only where carving a window takes longer than reading one: where it holds many
// headers. Over sparse windows a read on another processor costs more than it saves (the window's bytes
// reach the search from that processor's cache), so the source is told only once the carve of the current
// window has met that many; it reads the window after the next meanwhile, and the carve asks for it once the
// next window is searched.
void CarveRun::announceNextRead() {
    if (!m_nextRead || m_candidates.size() + m_ftypOffsets.size() < SignatureCarver::readAheadCandidates) return;
    m_source.willRead(m_nextRead->offset, static_cast<std::int64_t>(m_nextRead->count));
    m_nextRead.reset();
}

void CarveRun::readWindow(std::uint64_t offset, std::uint64_t count, WindowBuffer& into) {
    into.offset = offset;
    into.requested = count;
    into.readErrors = 0;
    into.filled = true;
    const ReadSpan span = readSpan(offset, count);
    into.readOffset = span.offset;
    try {
        const std::uint64_t wanted = span.count;
        m_source.readInto(into.readOffset, static_cast<std::int64_t>(wanted), into.bytes);
        // The read is clamped to the length the device had at opening, so fewer bytes mean it ends sooner now.
        if (into.bytes.size() < wanted)
            throw ByteSourceError::deviceChanged(m_length, into.readOffset + into.bytes.size());
    } catch (...) {
        if (!SourceReads::isBadSpot(std::current_exception())) throw;
        readInPieces(offset, count, into);
    }
    into.viewStart = static_cast<std::size_t>(offset - into.readOffset);
    const std::uint64_t held = into.bytes.size() > into.viewStart ? into.bytes.size() - into.viewStart : 0;
    into.viewLength = static_cast<std::size_t>(std::min(count, held));
}

// A bad spot fails the read of a whole window: the window is read again in pieces, and a failing piece block
// by block, on the device's own boundaries. What can be read is carved; the blocks that cannot be read are
// held as zeros (which match no signature) and counted once, also where windows share bytes.
void CarveRun::readInPieces(std::uint64_t offset, std::uint64_t count, WindowBuffer& into) {
    into.readOffset = offset;
    into.bytes.assign(count, 0);
    const std::uint64_t end = offset + count;
    // Reads [from, to) into place; false when it fails. Fewer bytes mean the device ends sooner than it did.
    auto readPart = [&](std::uint64_t from, std::uint64_t to) {
        try {
            m_source.readInto(from, static_cast<std::int64_t>(to - from), m_pieceScratch);
        } catch (...) {
            if (!SourceReads::isBadSpot(std::current_exception())) throw;
            return false;
        }
        if (m_pieceScratch.size() < to - from) throw ByteSourceError::deviceChanged(m_length, from + m_pieceScratch.size());
        std::copy(m_pieceScratch.begin(), m_pieceScratch.end(),
                  into.bytes.begin() + static_cast<std::ptrdiff_t>(from - offset));
        return true;
    };
    auto nextBoundary = [](std::uint64_t at, std::uint64_t unit) { return (at / unit + 1) * unit; };
    for (std::uint64_t piece = offset; piece < end;) {
        const std::uint64_t pieceEnd = std::min(end, nextBoundary(piece, SignatureCarver::retryPieceBytes));
        if (!readPart(piece, pieceEnd)) {
            for (std::uint64_t block = piece; block < std::min(end, pieceEnd);) {
                const std::uint64_t blockEnd = std::min(pieceEnd, nextBoundary(block, m_blockSize));
                if (!readPart(block, blockEnd) && blockEnd > m_errorsCountedTo) {
                    ++into.readErrors;
                    m_errorsCountedTo = blockEnd;
                }
                block = blockEnd;
            }
        }
        piece = pieceEnd;
    }
}

// The window positions that can begin a header outside live space. A header inside a live file never makes a
// hit (a hit there is dropped, whatever its length), and what it would pass over ends with that live run, so
// the live space is not searched: only the free runs, each with the bytes after it in which a needle or a
// box type of a header that begins in it can lie.
void CarveRun::freeSearchRanges(std::uint64_t position, std::size_t windowLength,
                                std::vector<SignatureScanIndex::PositionRange>& ranges) const {
    ranges.clear();
    const std::uint64_t end = position + windowLength;
    auto addFree = [&](std::uint64_t from, std::uint64_t to) {
        const std::size_t first = static_cast<std::size_t>(from - position);
        const std::size_t last = static_cast<std::size_t>(std::min<std::uint64_t>(to - position + SignatureCarver::windowOverlapBytes, windowLength));
        if (!ranges.empty() && first <= ranges.back().to) ranges.back().to = last;
        else ranges.push_back({first, last});
    };
    // The first run that ends after the window's start; runs are sorted and do not overlap.
    auto run = std::upper_bound(m_liveRuns.begin(), m_liveRuns.end(), position,
                                [](std::uint64_t at, const AllocatedRegionMap::Range& live) { return at < live.second; });
    // The bytes a window shares with the one before are searched whole: their headers were taken in that
    // window already, and are taken again here in the same way.
    std::uint64_t at = position == 0 ? 0 : std::min(end, position + SignatureCarver::windowOverlapBytes);
    if (at > position) addFree(position, at);
    for (; at < end && run != m_liveRuns.end() && run->first < end; ++run) {
        if (run->first > at) addFree(at, run->first);
        at = std::max(at, run->second);
    }
    if (at < end) addFree(at, end);
}

bool CarveRun::searchedInHeadOnly(std::uint64_t position, std::uint64_t count) {
    if (count <= searchedHeadBytes) return false;
    freeSearchRanges(position, static_cast<std::size_t>(count), m_headRanges);
    return m_headRanges.empty() || m_headRanges.back().to + SignatureCarver::windowOverlapBytes <= searchedHeadBytes;
}

// The search of the whole window looks at these positions or fewer (inside a file found before, only its
// sector starts), and a header there lies in the head with all its bytes: a head without a needle or box
// type in these ranges is a window without headers.
bool CarveRun::headHoldsHeaders(std::uint64_t position) {
    readWindow(position, searchedHeadBytes, m_head);
    // Blocks of the head that cannot be read are counted once, whether or not the window is read whole.
    m_readErrors += m_head.readErrors;
    m_headCandidates.clear();
    m_headBoxes.clear();
    if (!m_headRanges.empty()) m_index.scan(m_head.view(), m_headRanges, m_headCandidates, m_headBoxes);
    return !m_headCandidates.empty() || !m_headBoxes.empty();
}

// Where the live space that runs to the end of the window [position, end) begins, or end when the window's
// last byte is not live. A header from there on lies in a live file: whatever its length, its hit is dropped,
// and so is every later one of the window, so the candidates there need not be built at all (what they
// would pass over ends with that live run).
std::uint64_t CarveRun::liveSuffixStart(std::uint64_t position, std::uint64_t end) const {
    if (end <= position) return end;
    const AllocatedRegionMap::Range* run = liveRunHolding(end - 1);
    return run == nullptr ? end : std::max(run->first, position);
}

const AllocatedRegionMap::Range* CarveRun::liveRunHolding(std::uint64_t at) const {
    auto after = std::upper_bound(m_liveRuns.begin(), m_liveRuns.end(), at,
                                  [](std::uint64_t offset, const AllocatedRegionMap::Range& run) { return offset < run.first; });
    if (after == m_liveRuns.begin()) return nullptr;
    const AllocatedRegionMap::Range& run = *std::prev(after);
    return at < run.second ? &run : nullptr;  // runs do not overlap
}

bool CarveRun::insideFoundFile(std::uint64_t at) const {
    if (at > m_segmentsFrom && at < m_segmentsUntil) return true;
    if (at < m_skipFrom || at >= m_skipUntil) return false;
    return at % SignatureCarver::fileStartAlignmentBytes != 0 || at == m_lastHeader;
}

bool CarveRun::carveWindow(std::uint64_t position) {
    if (m_walksAhead == nullptr) return carveCandidates(position);
    m_walksAhead->windowBegins({m_current.view(), m_current.offset, m_next.view(), m_next.offset});
    struct Ends {
        JPEGWalkAhead::Provider& provider;
        ~Ends() { provider.windowEnds(); }
    } ends{*m_walksAhead};
    return carveCandidates(position);
}

// Header candidates and "ftyp" boxes are taken together by offset, so that a file of either kind passes
// over the headers inside it. The window is searched as the carve goes: a candidate is taken once the
// search has gone far enough past it that nothing found later can come before it, and the search after a
// file whose structure gave its length looks only at the sector starts inside it (see searchFurther).
bool CarveRun::carveCandidates(std::uint64_t position) {
    const ByteView window = m_current.view();
    const std::uint64_t liveFrom = liveSuffixStart(position, position + window.size());
    m_candidates.clear();
    m_ftypOffsets.clear();
    m_search = WindowSearch{};
    if (m_index.patterns().empty() && m_index.ftypSignatures().empty()) m_search.range = m_searchRanges.size();
    std::size_t header = 0, box = 0;
    std::uint64_t ftypSearchStart = 0;  // the byte after the last "ftyp" taken
    for (;;) {
        const bool searched = m_search.range == m_searchRanges.size();
        const bool waiting = header < m_candidates.size() || box < m_ftypOffsets.size();
        if (!waiting && searched) break;
        // The box, and its file, start 4 bytes before the type; at one offset a header goes first.
        const bool headerFirst = box == m_ftypOffsets.size() ||
                                 (header < m_candidates.size() && m_candidates[header].offset <= m_ftypOffsets[box] - 4);
        // A candidate is taken once nothing the search finds later can come before it.
        const auto start = [&] { return headerFirst ? m_candidates[header].offset : m_ftypOffsets[box] - 4; };
        if (!searched && (!waiting || start() >= m_search.complete)) {
            searchFurther(position, header);
            announceNextRead();
            continue;
        }
        if (headerFirst) {
            if (header % SignatureCarver::cancelCheckCandidates == 0 && cancelled()) return false;
            carveHeader(position, m_candidates[header++], liveFrom);
        } else {
            if (ftypSearchStart % SignatureCarver::ftypCancelCheckBytes == 0 && cancelled()) return false;
            const auto typeOffset = static_cast<std::uint64_t>(m_ftypOffsets[box++]);
            ftypSearchStart = typeOffset + 1;
            carveBox(position, typeOffset, liveFrom);
        }
    }
    m_nextRead.reset();
    return windowDone(window.size(), ftypSearchStart);
}

bool CarveRun::windowDone(std::size_t windowLength, std::uint64_t ftypSearchStart) {
    if (cancelled()) return false;
    if (m_index.ftypSignatures().empty()) return true;
    // The search that finds no further "ftyp" asks as well.
    if (ftypSearchStart + 4 <= windowLength && ftypSearchStart % SignatureCarver::ftypCancelCheckBytes == 0 && cancelled())
        return false;
    return !cancelled();
}

// Searches the next piece of the window's search ranges, adding what it finds to the candidates not yet
// taken (from index pending on) in their order.
//
// A needle or "ftyp" type lies at most needleReach bytes after its header's start, so once every position
// before p has been searched, every header that starts before p - needleReach has been found. Ranges are
// searched in growing pieces, so that the search stops soon after a header and the carve can take it.
//
// While the span of a file whose structure gave its length (from the files carved so far, in this window
// or one before) covers the search's position, the headers in the span are passed over except those on
// sector boundaries, and the span can only grow until the carve passes its end: the rest of the span is
// searched at its sector starts only. Those within needleReach of the position are searched whole, as a
// header there can have its needle at or after the position.
void CarveRun::searchFurther(std::uint64_t position, std::size_t pending) {
    const ByteView window = m_current.view();
    const auto reach = static_cast<std::int64_t>(m_index.needleReach());
    const std::size_t before = m_candidates.size(), boxesBefore = m_ftypOffsets.size();
    const SignatureScanIndex::PositionRange& range = m_searchRanges[m_search.range];
    const std::size_t at = std::max(m_search.at, range.from);
    const std::uint64_t sector = SignatureCarver::fileStartAlignmentBytes;
    const std::uint64_t device = position + at;
    std::size_t to = std::min(range.to, at + m_search.pieceBytes);
    SignatureScanIndex::PositionRange pieces[2] = {{at, to}, {}};
    std::size_t count = 1;
    if (device >= m_skipFrom && device < m_skipUntil) {
        const std::size_t inside = static_cast<std::size_t>(std::min<std::uint64_t>(range.to, m_skipUntil - position));
        const std::uint64_t whole = at + static_cast<std::uint64_t>(reach);
        const auto firstStart = static_cast<std::size_t>(whole + (sector - (position + whole) % sector) % sector);
        if (firstStart + sector <= inside) {
            pieces[0] = {at, firstStart};
            pieces[1] = {firstStart, inside, sector};
            count = 2;
            to = inside;
        }
    }
    m_index.scan(window, std::span(pieces, count), m_candidates, m_ftypOffsets);
    // The next piece is small after a find, where the carve may pass over what follows, and grows while
    // nothing is found.
    m_search.pieceBytes = m_candidates.size() > before || m_ftypOffsets.size() > boxesBefore
                              ? WindowSearch::firstPieceBytes
                              : std::min(m_search.pieceBytes * 2, WindowSearch::largestPieceBytes);
    m_search.complete = std::max(m_search.complete, static_cast<std::int64_t>(to) - reach);
    m_search.at = to;
    if (to >= range.to) {
        ++m_search.range;
        m_search.at = 0;
    }
    const auto found = m_candidates.begin() + static_cast<std::ptrdiff_t>(before);
    m_candidates.erase(std::remove_if(found, m_candidates.end(),
                                      [&](const ScanCandidate& candidate) { return !passesHeaderCheck(candidate, window); }),
                       m_candidates.end());
    // A needle inside its header can put a header found now before one found earlier that is not taken yet.
    const auto inOrder = [](const ScanCandidate& a, const ScanCandidate& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.rank < b.rank;
    };
    const auto waiting = m_candidates.begin() + static_cast<std::ptrdiff_t>(pending);
    const auto fresh = m_candidates.begin() + static_cast<std::ptrdiff_t>(std::min(before, m_candidates.size()));
    if (waiting < fresh && fresh < m_candidates.end() && inOrder(*fresh, *(fresh - 1)))
        std::inplace_merge(waiting, fresh, m_candidates.end(), inOrder);
}

void CarveRun::carveHeader(std::uint64_t position, const ScanCandidate& candidate, std::uint64_t liveFrom) {
    const std::uint64_t at = position + static_cast<std::uint64_t>(candidate.offset);
    if (insideFoundFile(at) || at >= liveFrom) return;
    if (auto built = tryMakeHit(*candidate.signature, at)) {
        settle(std::move(*built), candidate.signature->alignment);
        return;
    }
    // A JPEG header that makes no hit still claims its segments: the EXIF block's TIFF header and thumbnail
    // there are parts of a photo, not files of their own.
    if (candidate.signature->kind != RecoveredFileKind::jpeg) return;
    const ByteView window = m_current.view();
    const std::uint64_t segments = JPEGScanWalk::segmentsEnd(window.subspan(static_cast<std::size_t>(candidate.offset)));
    if (segments != 0) m_segmentsFrom = at, m_segmentsUntil = at + segments;
}

// ISO base media files (ISO/IEC 14496-12) start with a box whose 32-bit size varies, so they are found by the
// "ftyp" type that follows it; the box, and the file, start 4 bytes earlier.
void CarveRun::carveBox(std::uint64_t position, std::uint64_t typeOffset, std::uint64_t liveFrom) {
    const ByteView window = m_current.view();
    // A size field before the device's start cannot exist; one before this window lies in the previous one.
    if (typeOffset < 4 && position < 4 - typeOffset) return;
    const std::uint64_t at = position + typeOffset - 4;
    if (insideFoundFile(at) || at >= liveFrom) return;
    for (const FileSignature& signature : m_index.ftypSignatures()) {
        if (typeOffset >= 4 && !signature.matchesHeader(window, static_cast<std::int64_t>(typeOffset - 4))) continue;
        auto built = tryMakeHit(signature, at);
        if (!built) continue;
        settle(std::move(*built), signature.alignment);
        return;
    }
}

std::optional<BuiltHit> CarveRun::tryMakeHit(const FileSignature& signature, std::uint64_t offset) {
    WindowedReader reader(m_source, {m_current.view(), m_current.offset}, {m_next.view(), m_next.offset}, &m_seam);
    try {
        return makeHit(reader, signature, offset);
    } catch (...) {
        if (!SourceReads::isBadSpot(std::current_exception())) throw;
    }
    // An unreadable spot inside one candidate costs that candidate only.
    return std::nullopt;
}

std::optional<BuiltHit> CarveRun::makeHit(WindowedReader& reader, const FileSignature& signature,
                                          std::uint64_t offset) {
    if (offset >= m_length) return std::nullopt;
    const std::uint64_t deviceRemaining = m_length - offset;
    const std::uint64_t available = std::min(deviceRemaining, signature.maxScanLength);
    const ByteView head =
        reader.read(offset, std::min(available, FileLengthEstimator::headBytes), m_headScratch);
    if (!HeaderChecks::opensSoundly(signature.kind, head)) return std::nullopt;
    RecoveredFileKind kind = HeaderChecks::kindFromHead(signature.kind, head);

    LengthCandidate candidate;
    candidate.rowKind = signature.kind;
    candidate.refinedKind = kind;
    if (signature.footer) candidate.footer = *signature.footer;
    candidate.offset = offset;
    candidate.available = available;
    candidate.deviceRemaining = deviceRemaining;
    candidate.head = head;
    candidate.minimumByteSize = m_filters.minimumByteSize;
    const auto estimate = m_estimator.estimate(candidate, reader);
    if (!estimate) return std::nullopt;

    const ByteView tiffData = m_estimator.tiffData();
    if (kind == RecoveredFileKind::tiff) kind = TIFFKindDetector::refine(tiffData);
    // A TIFF-family file's size lies in the directories the length rule read, every other kind's in the head.
    const auto dimensions = PictureDimensions::read(kind, tiffData.empty() ? head : tiffData);
    JpegJudgement judged{estimate->length};
    // A header in a live file (the search reaches a little into live space after free space) makes no hit
    // whatever its length: its picture is not decoded.
    if (kind == RecoveredFileKind::jpeg && estimate->basis == LengthBasis::structural && liveRunHolding(offset) == nullptr)
        judged = judgeJpeg(reader, offset, estimate->length, head, dimensions);

    // A picture cut short, or one whose end no marker gave, whose data goes on after a gap is offered in its
    // two pieces; their length is the picture's own.
    const bool piece = estimate->basis == LengthBasis::guessed ? liveRunHolding(offset) == nullptr : !judged.whole;
    const auto joined = kind == RecoveredFileKind::jpeg && piece ? continuationOf(offset, judged.length) : std::nullopt;
    if (joined) judged.offered = true;

    BuiltHit built;
    built.basis = joined ? LengthBasis::structural : estimate->basis;
    built.offered = judged.offered;
    if (kind == RecoveredFileKind::jpeg) built.segmentsEnd = offset + JPEGScanWalk::segmentsEnd(head);
    RecoveredHit& hit = built.hit;
    hit.kind = kind;
    hit.byteOffset = offset;
    hit.byteLength = judged.length;
    if (joined) {
        hit.byteLength = joined->firstLength + joined->secondLength;
        hit.secondPiece = HitPiece{offset + joined->secondStart, joined->secondLength};
    }
    hit.suggestedName = suggestedName(static_cast<std::uint64_t>(m_hitsFound) + 1, kind);
    hit.dimensions = dimensions;
    // A guessed length may run past the file or stop inside it, and a picture that is not whole is a piece:
    // the hit says so, and no check of its bytes can then vouch for it.
    hit.isFragmented = estimate->basis == LengthBasis::guessed || !judged.whole;
    hit.source = HitSource::signatureCarve;
    hit.integrity = HitIntegrity::pending;
    return built;
}

// The end walk takes the first end marker after the scan header for the picture's end. Where another file
// starts at a sector inside that span, the picture ran into it: at the first one when that is a JPEG (no
// picture's data holds a start of image), else, unless the picture decodes whole across them (chance bytes
// in its data), at the first from the sector where its decoding broke; cut and flagged. A picture too small
// in bytes for its pixels is kept when it decodes whole or was cut by a file after it; otherwise it is a
// piece and makes no hit.
JpegJudgement CarveRun::judgeJpeg(WindowedReader& reader, std::uint64_t offset, std::uint64_t length, ByteView head,
                                  const std::optional<ImageDimensions>& dimensions) {
    CandidateCursor cursor(reader, offset, length, head, JPEGEndWalk::chunkBytes, &m_judgeScratch);
    headersInside(cursor, offset, JPEGScanWalk::segmentsEnd(head), length);
    const bool small = smallForPixels(length, dimensions) &&
                       !std::binary_search(m_wholePictures.begin(), m_wholePictures.end(), offset);
    if (m_innerHeaders.empty() && !small) return {length, true, true};
    // Start of image is a marker no picture holds after its own: the picture breaks at the first one.
    if (!m_innerHeaders.empty() && m_innerHeaders.front().second == RecoveredFileKind::jpeg)
        return {m_innerHeaders.front().first - offset, false, true};
    const auto ahead = m_walksAhead != nullptr ? m_walksAhead->walked(offset) : std::nullopt;
    const JPEGScanWalk::Walk walked = ahead && JPEGWalkAhead::answers(*ahead, length) ? *ahead : walkJpeg(cursor, length);
    if (walked.ending == JPEGScanWalk::Ending::whole) return {length, true, true};
    const std::uint64_t sector = SignatureCarver::fileStartAlignmentBytes;
    const std::uint64_t brokeAt = (offset + walked.end) / sector * sector;
    for (const auto& inner : m_innerHeaders)
        if (inner.first >= brokeAt) return {inner.first - offset, false, true};
    return {length, false, !small};
}

std::optional<JPEGScanWalk::Joined> CarveRun::continuationOf(std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t deviceLength = m_source.length();
    if (offset >= deviceLength || length == 0) return std::nullopt;
    JPEGScanWalk::ContinuationSearch search;
    search.sectorBytes = SignatureCarver::fileStartAlignmentBytes;
    search.phase = offset % search.sectorBytes;
    search.firstLimit = length;
    // The second piece starts within the search's gap after the first and is no longer than a picture.
    search.limit = std::min(deviceLength - offset, length + search.maxGapBytes + maxContinuationBytes);
    // Read straight from the device, as the window is behind by the time the search gets far; an
    // unreadable spot ends the search there, as the end of the device would.
    auto joined = JPEGScanWalk::findContinuation(RunCheck::sourceFeed(m_source, offset, search.limit, true), search);
    // A second piece inside a live file is that file's data, decode as it may.
    if (joined && m_regions.overlaps(offset + joined->secondStart, joined->secondLength)) return std::nullopt;
    return joined;
}

void CarveRun::headersInside(CandidateCursor& cursor, std::uint64_t offset, std::uint64_t from, std::uint64_t length) {
    m_innerHeaders.clear();
    const std::uint64_t sector = SignatureCarver::fileStartAlignmentBytes;
    // Room after a header's start for the longest header the index matches.
    constexpr std::uint64_t headerRoom = SignatureCarver::windowOverlapBytes;
    std::uint8_t tail[headerRoom];
    std::uint64_t p = from + (sector - (offset + from) % sector) % sector;
    if (p == 0) p = sector;
    // Every turn moves p on by at least a sector; p stays a sector start of the device.
    while (p < length) {
        ByteView bytes = cursor.from(p);
        if (bytes.empty()) return;
        std::size_t searched = bytes.size() > headerRoom ? bytes.size() - headerRoom : 0;
        if (searched == 0) {
            // Too few bytes in hand for a header: the next header's bytes are copied together.
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(headerRoom, length - p));
            if (!cursor.copy(p, count, tail)) return;
            bytes = ByteView(tail, count);
            searched = 1;
        }
        const SignatureScanIndex::PositionRange range{0, searched, static_cast<std::size_t>(sector)};
        m_innerCandidates.clear();
        m_innerBoxes.clear();
        m_index.scan(bytes, std::span(&range, 1), m_innerCandidates, m_innerBoxes);
        for (const ScanCandidate& candidate : m_innerCandidates)
            if (passesHeaderCheck(candidate, bytes))
                m_innerHeaders.emplace_back(offset + p + static_cast<std::uint64_t>(candidate.offset), candidate.signature->kind);
        for (const std::int64_t box : m_innerBoxes)
            if (box >= 4) m_innerHeaders.emplace_back(offset + p + static_cast<std::uint64_t>(box) - 4, RecoveredFileKind::mp4);
        p += (searched + sector - 1) / sector * sector;
    }
    std::sort(m_innerHeaders.begin(), m_innerHeaders.end());
}

// Headers inside a file whose extent its own structure gave are parts of it (thumbnails, embedded
// streams, chance bytes in compressed data), delivered or not. After a guessed length nothing is passed
// over: small files may lie back to back. A header in live space says only that the live file holds these
// bytes, so its span ends with the live run.
void CarveRun::settle(BuiltHit built, std::uint64_t alignment) {
    const bool structural = built.basis == LengthBasis::structural;
    const std::uint64_t header = built.hit.byteOffset;
    // Of a picture put back together, the span is its first piece: the second lies past what follows it.
    const std::uint64_t extent = std::max({firstPieceLength(built.hit), alignment, std::uint64_t{1}});
    const std::uint64_t segmentsEnd = built.segmentsEnd;
    if (built.offered) offer(std::move(built));
    if (!structural) return;
    claim(header, header + std::min(extent, UINT64_MAX - header), segmentsEnd);
}

void CarveRun::claim(std::uint64_t header, std::uint64_t end, std::uint64_t segmentsEnd) {
    if (segmentsEnd > header) m_segmentsFrom = header, m_segmentsUntil = segmentsEnd;
    if (const AllocatedRegionMap::Range* live = liveRunHolding(header)) end = std::min(end, live->second);
    // A header inside the current span (a newer file on a sector boundary) widens it; any other starts anew.
    if (header < m_skipFrom || header >= m_skipUntil) m_skipFrom = header, m_skipUntil = end;
    else m_skipUntil = std::max(m_skipUntil, end);
    m_lastHeader = header;
}

void CarveRun::offer(BuiltHit built) {
    RecoveredHit& hit = built.hit;
    if (built.basis == LengthBasis::structural) {
        // A second piece was checked against the live files when it was found.
        if (hit.byteLength != 0 && m_regions.overlaps(hit.byteOffset, firstPieceLength(hit))) return;
    } else {
        // A guessed length says nothing about where the file ends: only a header inside a live file is
        // dropped, and the guess stops where the next live file begins.
        if (m_regions.overlaps(hit.byteOffset, 1)) return;
        const std::uint64_t nextLive = m_regions.nextRangeStart(hit.byteOffset);
        if (nextLive != UINT64_MAX) hit.byteLength = std::min(hit.byteLength, nextLive - hit.byteOffset);
    }
    if (!m_filters.accepts(hit)) return;
    ++m_hitsFound;
    if (m_onHit) m_onHit(hit);
}

} // namespace

SignatureCarver::SignatureCarver(std::vector<FileSignature> signatures, std::uint64_t sectorSize,
                                 std::int64_t windowSize)
    : m_signatures(std::move(signatures)), m_sectorSize(sectorSize), m_windowSize(windowSize) {
    if (windowSize <= static_cast<std::int64_t>(windowOverlapBytes))
        throw std::invalid_argument("carve window size must exceed the window overlap");
}

void SignatureCarver::carve(ByteSource& source, const RecoveryFilters& filters, const AllocatedRegionMap& excludeRegions,
                            const CancelCheck& shouldCancel, const ProgressHandler& onProgress,
                            const HitHandler& onHit, std::span<const std::uint64_t> wholePictures,
                            JPEGWalkAhead::Provider* walksAhead) const {
    CarveRun(*this, source, filters, excludeRegions, shouldCancel, onProgress, onHit, wholePictures, walksAhead).run();
}

} // namespace vantrel
