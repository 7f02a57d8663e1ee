#pragma once
// Writing a hit or a whole device into a file the application created and sent as a descriptor. Both
// stream in bounded chunks, so memory stays the same whatever the hit's or the device's length. A copy
// of a device finishes with fsync before it answers, so its reply of success means every byte is on
// the destination's disk. A hit's bytes are written through the page cache (a large hit's written back
// while it is written, a few windows behind, see writebackWindowBytes), no more: whoever says they are
// on the disk flushes them first, through a descriptor of the file it keeps (the
// application's recovery flushes its files once a batch, fdatasync of each, and a flush that fails is
// that file's failure; a preview's cache file needs no flush). The helper never opens, replaces or
// removes the destination itself, and leaves its mode to the application that created it.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/VolumeCache.h"
#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vantrel::HitExtraction {

// The copy moves the device in chunks of this size: each read, written and released before the next.
inline constexpr std::uint64_t copyChunkBytes = 4 * 1024 * 1024;

// A hit of at least writebackMinBytes is handed to writeback a window of writebackWindowBytes at a
// time as it is written, and each window writebackWindowsAhead windows behind the last one handed over
// is waited for and dropped from the page cache. Smaller hits are left to the caller's flush.
inline constexpr std::uint64_t writebackMinBytes = 4 * 1024 * 1024;
inline constexpr std::uint64_t writebackWindowBytes = 8 * 1024 * 1024;
inline constexpr std::uint64_t writebackWindowsAhead = 4;

// The fields of an extraction request that describe the hit.
struct HitDescription {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::string hitSource;
    std::int64_t firstCluster = 0;
    std::int64_t partitionOffset = 0;
    std::string fileSystem;
    std::int64_t secondOffset = 0;  // a two-piece picture's second piece; 0 and 0 for every other hit
    std::int64_t secondLength = 0;
};

// The hit to read back: an unknown source as signatureCarve, and a cluster hint only for a first
// cluster of 2 or more with a known file system. A negative offset, length or partition offset, and a
// first cluster above the 32-bit range (no directory entry holds one), throw HelperError (EINVAL).
RecoveredHit hitFor(const HitDescription& description);

// Empties the destination and streams the hit's bytes into it (the caller flushes, see above). Returns
// the bytes written, which are always the hit's whole length: a hit that ends early (the device shrank or ends before
// it) throws HelperError. isCancelled is asked before each chunk; true ends the write with code 15.
// Read failures propagate; write failures, and a window of a large hit that could not be written back,
// throw PosixError naming the destination.
// volumes: what the scan learned of the source's volumes, when kept (see ClusterChainReader::extract).
std::uint64_t writeHit(ByteSource& source, const RecoveredHit& hit, int destination, const std::string& destinationPath,
                       const std::function<bool()>& isCancelled = {}, VolumeCache* volumes = nullptr);

struct CopyOutcome {
    std::uint64_t copied = 0;
    std::int64_t unreadableChunks = 0;  // chunks that could not be read and were written as zeros
};

struct CopyCallbacks {
    std::function<bool()> isCancelled;  // asked before each chunk; true fails the copy with code 15
    // After a chunk that took the whole percentage up by 5 or more: copied, total, unreadable chunks, percentage.
    std::function<void(std::uint64_t, std::uint64_t, std::int64_t, int)> onProgress;
    std::function<void(const std::string&)> onUnreadableChunk;  // a log line
};

// Copies the whole source into the destination (emptied first). An unreadable chunk is written as
// zeros, counted and logged, and the copy goes on; a device that is gone, a write failure or a cancel
// ends it (HelperError, PosixError or the source's error). Syncs before returning.
CopyOutcome copyDevice(ByteSource& source, int destination, const std::string& destinationPath,
                       const CopyCallbacks& callbacks);

} // namespace vantrel::HitExtraction
