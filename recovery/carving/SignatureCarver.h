#pragma once
// Finds files in raw space by their signatures: reads the device window by window, builds a hit for each
// header found (kind, length, picture size), drops what lies in live files or fails the filters, and hands
// every other hit to the caller as soon as it is found. Live space is not searched for headers, since none
// there could make a hit; a window that is live but for its first 64 KiB is read that far only, and whole
// only where that head holds a header. Inside a file whose structure gave its length only the sector starts
// are searched, since only a file written over it there is a file of its own.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/carving/FileSignature.h"
#include "recovery/carving/JPEGWalkAhead.h"
#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/model/RecoveryFilters.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vantrel {

// How it reads, for a byte source that reads ahead on a thread of its own (the library starts none): the
// windows are asked for in ascending order through ByteSource::readInto, each from the 4096-byte boundary at
// or before the window to the one after its end (or the device's end), the next window before the current
// one is searched and carved unless it is one read in its head first; a file that runs past the windows
// held is read through the same call at its own offset. Once the carve of the current window has met readAheadCandidates headers, the carver names the
// read of the window after the next through ByteSource::willRead, and asks for that read when it moves on to
// the next window: a source can read it meanwhile, one window ahead of the carve.
class SignatureCarver {
public:
    static constexpr std::int64_t defaultWindowBytes = 4 * 1024 * 1024;
    // Consecutive windows share this many bytes, so a header cut by a window's end is whole in the next.
    // It must be at least the longest header of the table, or a header across a window boundary is found
    // in neither window: the catalog's longest are 12 bytes (the RIFF forms and CR2), and the rest leaves
    // room for a table with longer ones.
    static constexpr std::uint64_t windowOverlapBytes = 64;
    // A window that fails to read is read again in pieces of this size, and a failing piece block by block.
    static constexpr std::uint64_t retryPieceBytes = 64 * 1024;
    // After a file whose length its own structure gives, the headers inside it are passed over, in the
    // following windows too, except those on a multiple of this: files start on sector boundaries, and a
    // newer file may have been written over part of an older deleted one.
    static constexpr std::uint64_t fileStartAlignmentBytes = 512;
    // Cancellation is asked every this many candidates, and at these multiples of the "ftyp" search start.
    static constexpr std::size_t cancelCheckCandidates = 64;
    // The window after the next is announced for reading ahead only once the current window has shown at
    // least this many headers (and "ftyp" boxes), whose carving takes about as long as a window's read from
    // memory.
    static constexpr std::size_t readAheadCandidates = 32;
    static constexpr std::uint64_t ftypCancelCheckBytes = 64 * 1024;

    using CancelCheck = std::function<bool()>;
    using ProgressHandler = std::function<void(const ScanProgress&)>;
    using HitHandler = std::function<void(const RecoveredHit&)>;

    // sectorSize is the device's block size, the smallest piece a failed read is retried in (512 when 0).
    // Throws std::invalid_argument when windowSize is not above windowOverlapBytes: the windows would not
    // advance.
    SignatureCarver(std::vector<FileSignature> signatures, std::uint64_t sectorSize,
                    std::int64_t windowSize = defaultWindowBytes);

    const std::vector<FileSignature>& signatures() const { return m_signatures; }
    std::uint64_t sectorSize() const { return m_sectorSize; }
    std::int64_t windowSize() const { return m_windowSize; }

    // Carves the whole source. Reports progress after every window and once more at the end (not when
    // cancelled); returns when the source is covered or shouldCancel answers true. Unreadable blocks are
    // counted in readErrors and carving goes on; a device that has gone away (PosixError::isDeviceGone)
    // ends the carve with that error, and one that is shorter than when it was opened (its current length
    // is asked before every window, and a window that comes back short says so too) ends it with
    // ByteSourceError::deviceChanged. A hit is delivered only when it lies outside every range of
    // excludeRegions and the filters accept it. wholePictures (ascending device offsets) are JPEGs a search
    // before this one decoded whole: their pictures are not decoded again. walksAhead, when given, is told each
    // window and asked for the walks of the JPEGs it made ahead. Callbacks run on the calling thread.
    void carve(ByteSource& source, const RecoveryFilters& filters, const AllocatedRegionMap& excludeRegions,
               const CancelCheck& shouldCancel, const ProgressHandler& onProgress, const HitHandler& onHit,
               std::span<const std::uint64_t> wholePictures = {}, JPEGWalkAhead::Provider* walksAhead = nullptr) const;

private:
    std::vector<FileSignature> m_signatures;
    std::uint64_t m_sectorSize;
    std::int64_t m_windowSize;
};

} // namespace vantrel
