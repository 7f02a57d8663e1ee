#pragma once
// Reads a hit's bytes back from the device. An undeleted FAT or exFAT file is read from the clusters
// the scan described (DeletedFileClusters): the FAT links while they hold, then, from where the chain is
// gone (as it is for most deleted files), the following clusters that no live file or folder holds. Every other hit, and one whose chain gives nothing, is read as its plain
// byte range. The links are FatEntryReader::nextCluster; an exFAT hit whose entry set is flagged
// NoFatChain is read as one run without consulting the FAT at all (its entries may be 0 or stale).
// Output is streamed to a sink in bounded chunks, so a large file is never held whole.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/VolumeCache.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"
#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace vantrel::ClusterChainReader {

// Receives the file's bytes in order, one chunk at a time; a chunk is valid only during the call.
using ByteSink = std::function<void(ByteView chunk)>;

// The same, given the buffer the chunk was read into: the sink may swap it for another of the thread's
// BufferPool (of any size and content) to keep the bytes without copying them; the next chunk is read
// into whichever buffer it leaves.
using BufferSink = std::function<void(Bytes& chunk)>;

// The largest chunk handed to a sink unless the caller asks for less.
inline constexpr std::uint64_t defaultChunkBytes = 1024 * 1024;

// Streams the hit to the sink; returns the bytes delivered, which may be fewer than byteLength at the
// end of the volume or device. Read and probe failures propagate; a byteLength above the largest
// signed 64-bit value, or a plain range starting past the end, fails with outOfBounds. With a cache
// of the source's volumes (filled by the scan that found the hit), a hinted hit is read without a
// new probe or exFAT tree walk while its volume is the same; what the reader has to learn anew goes
// into the cache.
std::uint64_t extract(ByteSource& source, const RecoveredHit& hit, const ByteSink& sink,
                      std::uint64_t chunkBytes = defaultChunkBytes, VolumeCache* volumes = nullptr);
std::uint64_t extractBuffers(ByteSource& source, const RecoveredHit& hit, const BufferSink& sink,
                             std::uint64_t chunkBytes = defaultChunkBytes, VolumeCache* volumes = nullptr);

// The first maxBytes bytes of the hit at most, in memory (previews, quality checks, tests).
Bytes extractBytes(ByteSource& source, const RecoveredHit& hit, std::uint64_t maxBytes);

// Streams byteLength bytes of the file starting at firstCluster. Returns the bytes delivered: 0 for
// an invalid first cluster, byteLength 0 or a geometry without clusters. Never reads outside the
// volume's cluster heap or past the device end. Data read failures propagate; a failed FAT link read
// only ends the chain (the following free clusters follow).
std::uint64_t readFile(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                       std::uint64_t byteLength, const ByteSink& sink, std::uint64_t chunkBytes = defaultChunkBytes);

// The FAT or exFAT volume whose cluster heap holds the byte offset at a cluster boundary, and that cluster.
std::optional<std::pair<VolumeGeometry, std::uint32_t>> inferCluster(ByteSource& source, std::uint64_t byteOffset);

// The volume a hint names (same partition offset; same file system, fat16 and fat32 counting as one,
// else any FAT or exFAT volume there), with the hint's first cluster.
std::optional<std::pair<VolumeGeometry, std::uint32_t>> geometryForHint(const ClusterAllocationHint& hint, ByteSource& source);
// The same choice among partitions already probed.
std::optional<std::pair<VolumeGeometry, std::uint32_t>> geometryForHint(const ClusterAllocationHint& hint,
                                                                        const std::vector<DetectedPartition>& partitions);

} // namespace vantrel::ClusterChainReader
