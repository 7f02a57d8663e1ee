#include "recovery/filesystems/ClusterChainReader.h"

#include "base/Bounds.h"
#include "recovery/bytesource/BufferPool.h"
#include "recovery/filesystems/DeletedFileClusters.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/exfat/ExFATUndeleter.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"

#include <algorithm>
#include <limits>

namespace vantrel::ClusterChainReader {
namespace {

constexpr std::uint64_t maxSignedCount = std::numeric_limits<std::int64_t>::max();

// The buffer an extraction reads its chunks into: from the thread's pool, kept from file to file, so
// that a run of recoveries does not map, fault in and zero a fresh megabyte for every file. A sink may
// have swapped it for another buffer meanwhile; whichever it holds at the end goes back to the pool.
class ChunkBuffer {
public:
    ChunkBuffer() : m_bytes(BufferPool::take()) {}
    ~ChunkBuffer() { BufferPool::give(std::move(m_bytes)); }
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;

    Bytes& bytes() { return m_bytes; }

private:
    Bytes m_bytes;
};

// Collects adjacent extents and hands them to the sink in reads of at most chunkBytes.
class ExtentStreamer {
public:
    ExtentStreamer(ByteSource& source, const BufferSink& sink, std::uint64_t chunkBytes)
        : m_source(source), m_sink(sink), m_chunkBytes(std::max<std::uint64_t>(chunkBytes, 1)) {}

    // Queues [offset, offset + length); false once the device has ended (nothing more will come).
    bool add(std::uint64_t offset, std::uint64_t length) {
        if (m_pendingLength > 0 && (m_pendingOffset + m_pendingLength != offset || m_pendingLength + length > m_chunkBytes))
            if (!flush()) return false;
        if (m_pendingLength == 0) m_pendingOffset = offset;
        m_pendingLength += length;
        return true;
    }

    // Reads what is queued; false when the device ended inside it. A read that fails, or comes up short
    // before the device's end, inside the file's clusters fails as a read error at its offset: the file
    // cannot be read whole, though the device goes on past it.
    bool flush() {
        while (m_pendingLength > 0) {
            const std::uint64_t piece = std::min(m_pendingLength, m_chunkBytes);
            try {
                SourceReads::readAvailableInto(m_source, m_pendingOffset, piece, m_buffer.bytes());
            } catch (...) {
                if (!SourceReads::isBadSpot(std::current_exception())) throw;
                throw ByteSourceError::readFailed(m_pendingOffset);
            }
            // Taken before the sink, which may swap the buffer for another.
            const std::uint64_t read = m_buffer.bytes().size();
            if (read > 0) m_sink(m_buffer.bytes());
            m_delivered += read;
            if (read < piece) {
                const std::uint64_t shortAt = m_pendingOffset + read;
                if (shortAt < m_source.length()) throw ByteSourceError::readFailed(shortAt);
                m_pendingLength = 0;
                return false;
            }
            m_pendingOffset += piece;
            m_pendingLength -= piece;
        }
        return true;
    }

    std::uint64_t delivered() const { return m_delivered; }

private:
    ByteSource& m_source;
    const BufferSink& m_sink;
    std::uint64_t m_chunkBytes;
    std::uint64_t m_pendingOffset = 0;
    std::uint64_t m_pendingLength = 0;
    std::uint64_t m_delivered = 0;
    ChunkBuffer m_buffer;
};

std::uint64_t readPlainRange(ByteSource& source, const RecoveredHit& hit, const BufferSink& sink, std::uint64_t chunkBytes) {
    chunkBytes = std::max<std::uint64_t>(chunkBytes, 1);
    ChunkBuffer chunk;
    std::uint64_t delivered = 0;
    while (delivered < hit.byteLength) {
        // The first read fails with outOfBounds when the range starts past the end, as one read of
        // the whole range would; later ones stop at the end, where that read would have been cut.
        const std::uint64_t offset = hit.byteOffset + delivered;
        if (delivered > 0 && offset >= source.length()) break;
        const std::uint64_t want = std::min(hit.byteLength - delivered, chunkBytes);
        source.readInto(offset, static_cast<std::int64_t>(want), chunk.bytes());
        // Taken before the sink, which may swap the buffer for another.
        const std::uint64_t read = chunk.bytes().size();
        if (read > 0) sink(chunk.bytes());
        delivered += read;
        if (read < want) break;
    }
    return delivered;
}

// The clusters of a file as DeletedFileClusters places them; or, when followFat is false, consecutive
// clusters from the first.
std::uint64_t readClusters(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                           std::uint64_t byteLength, const BufferSink& sink, std::uint64_t chunkBytes, bool followFat);

// The volume of a hinted hit: from the cache while its volume is the same, else from a new probe,
// which the cache then keeps.
std::optional<std::pair<VolumeGeometry, std::uint32_t>> volumeOf(ByteSource& source, const RecoveredHit& hit,
                                                                 VolumeCache* volumes) {
    if (!hit.clusterHint) return inferCluster(source, hit.byteOffset);
    if (volumes) {
        if (const auto known = volumes->partitions(source, *hit.clusterHint)) return geometryForHint(*hit.clusterHint, *known);
    }
    const auto partitions = FileSystemProbe::probeAll(source);
    if (volumes) volumes->rememberVolumes(source, partitions);
    return geometryForHint(*hit.clusterHint, partitions);
}

// Whether an exFAT file is one run; its FAT entries may hold stale links of an earlier file. Its
// entry set says which it is, as it did for the walk that found the file.
bool isOneRun(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster, std::uint64_t byteLength,
              VolumeCache* volumes) {
    if (geometry.fileSystem != DetectedFileSystem::exfat) return false;
    if (volumes) {
        if (const auto known = volumes->storedWithoutFatChain(geometry.partitionOffset, firstCluster, byteLength))
            return *known;
    }
    const auto found = ExFATUndeleter::storedWithoutFatChain(source, geometry, firstCluster, byteLength);
    if (found && volumes) volumes->rememberStorage(geometry.partitionOffset, firstCluster, byteLength, *found);
    return found == true;
}

std::uint64_t readChain(ByteSource& source, const RecoveredHit& hit, const BufferSink& sink, std::uint64_t chunkBytes,
                        VolumeCache* volumes) {
    const auto volume = volumeOf(source, hit, volumes);
    if (!volume) return 0;
    const auto& [geometry, firstCluster] = *volume;
    const bool oneRun = isOneRun(source, geometry, firstCluster, hit.byteLength, volumes);
    return readClusters(source, geometry, firstCluster, hit.byteLength, sink, chunkBytes, !oneRun);
}

} // namespace

std::uint64_t readFile(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                       std::uint64_t byteLength, const ByteSink& sink, std::uint64_t chunkBytes) {
    return readClusters(source, geometry, firstCluster, byteLength, [&](Bytes& chunk) { sink(chunk); }, chunkBytes, true);
}

namespace {

std::uint64_t readClusters(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                           std::uint64_t byteLength, const BufferSink& sink, std::uint64_t chunkBytes, bool followFat) {
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    if (!geometry.isValidCluster(firstCluster) || byteLength == 0 || clusterBytes == 0) return 0;
    // One run from the first cluster for a file stored without a FAT chain; else the clusters the scan
    // described: the chain while it holds, then the following clusters that nothing live holds.
    DeletedFileLayout placed;
    if (followFat) {
        ClusterAllocation allocation(source, geometry);
        placed = DeletedFileClusters::layout(source, geometry, firstCluster, byteLength, true, allocation);
    } else {
        const std::uint64_t fileClusters = byteLength / clusterBytes + (byteLength % clusterBytes != 0 ? 1 : 0);
        placed.runs.push_back({firstCluster, std::min(fileClusters, geometry.maxCluster() - firstCluster + 1)});
    }

    ExtentStreamer streamer(source, sink, chunkBytes);
    std::uint64_t remaining = byteLength;
    for (const ClusterRun& run : placed.runs) {
        for (std::uint64_t i = 0; i < run.count && remaining > 0; ++i) {
            const auto offset = geometry.clusterByteOffset(std::uint64_t{run.first} + i);
            if (!offset) break;
            const std::uint64_t take = std::min(clusterBytes, remaining);
            if (!streamer.add(*offset, take)) return streamer.delivered();
            remaining -= take;
        }
    }
    streamer.flush();
    return streamer.delivered();
}

} // namespace

std::optional<std::pair<VolumeGeometry, std::uint32_t>> inferCluster(ByteSource& source, std::uint64_t byteOffset) {
    for (const DetectedPartition& partition : FileSystemProbe::probeAll(source)) {
        if (!partition.fatGeometry || !isClusteredFileSystem(partition.fatGeometry->fileSystem)) continue;
        const VolumeGeometry& geometry = *partition.fatGeometry;
        const std::uint64_t clusterBytes = geometry.bytesPerCluster();
        if (clusterBytes == 0 || geometry.clusterHeapByteOffset > byteOffset) continue;
        const std::uint64_t relative = byteOffset - geometry.clusterHeapByteOffset;
        if (relative % clusterBytes != 0) continue;
        const std::uint64_t cluster = relative / clusterBytes + 2;
        if (!geometry.isValidCluster(cluster)) continue;
        return std::pair{geometry, static_cast<std::uint32_t>(cluster)};
    }
    return std::nullopt;
}

std::optional<std::pair<VolumeGeometry, std::uint32_t>> geometryForHint(const ClusterAllocationHint& hint, ByteSource& source) {
    return geometryForHint(hint, FileSystemProbe::probeAll(source));
}

std::optional<std::pair<VolumeGeometry, std::uint32_t>> geometryForHint(const ClusterAllocationHint& hint,
                                                                        const std::vector<DetectedPartition>& partitions) {
    const auto firstAtHintOffset = [&](auto&& accepts) -> std::optional<std::pair<VolumeGeometry, std::uint32_t>> {
        for (const DetectedPartition& partition : partitions) {
            const auto& geometry = partition.fatGeometry;
            if (geometry && geometry->partitionOffset == hint.partitionOffset && accepts(geometry->fileSystem))
                return std::pair{*geometry, hint.firstCluster};
        }
        return std::nullopt;
    };
    // First a volume of the hint's own file system (fat16 and fat32 as one, since a FAT type read
    // by an older rule may differ); then any FAT or exFAT volume at that offset.
    if (auto found = firstAtHintOffset([&](DetectedFileSystem fileSystem) {
            return fileSystem == hint.fileSystem || (isFatFamily(fileSystem) && isFatFamily(hint.fileSystem));
        }))
        return found;
    return firstAtHintOffset(isClusteredFileSystem);
}

std::uint64_t extract(ByteSource& source, const RecoveredHit& hit, const ByteSink& sink, std::uint64_t chunkBytes,
                      VolumeCache* volumes) {
    return extractBuffers(source, hit, [&](Bytes& chunk) { sink(chunk); }, chunkBytes, volumes);
}

std::uint64_t extractBuffers(ByteSource& source, const RecoveredHit& hit, const BufferSink& sink, std::uint64_t chunkBytes,
                             VolumeCache* volumes) {
    if (hit.byteLength > maxSignedCount) throw ByteSourceError::outOfBounds();
    const bool undeleted = hit.source == HitSource::fatUndelete || hit.source == HitSource::exfatUndelete;
    if (hit.secondPiece && hit.secondPiece->length < hit.byteLength) {
        // A picture put together from two pieces: the first, then the second, each read whole or the
        // file ends where the read did. The pieces are where the picture says, whatever its source.
        RecoveredHit piece = hit;
        piece.secondPiece.reset();
        piece.byteLength = firstPieceLength(hit);
        const std::uint64_t first = readPlainRange(source, piece, sink, chunkBytes);
        if (first < piece.byteLength) return first;
        piece.byteOffset = hit.secondPiece->offset;
        piece.byteLength = hit.secondPiece->length;
        return first + readPlainRange(source, piece, sink, chunkBytes);
    }
    if (undeleted || hit.clusterHint) {
        if (const std::uint64_t delivered = readChain(source, hit, sink, chunkBytes, volumes); delivered > 0) return delivered;
    }
    return readPlainRange(source, hit, sink, chunkBytes);
}

Bytes extractBytes(ByteSource& source, const RecoveredHit& hit, std::uint64_t maxBytes) {
    const RecoveredHit prefix = prefixOf(hit, maxBytes);
    Bytes out;
    extract(source, prefix, [&](ByteView chunk) { out.insert(out.end(), chunk.begin(), chunk.end()); });
    return out;
}

} // namespace vantrel::ClusterChainReader
