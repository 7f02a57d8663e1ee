#include "VantrelHelper/HitExtraction.h"

#include "VantrelHelper/HelperError.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "support/VantrelError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::HitExtraction {

namespace {

// Writes all bytes at the offset, retrying short writes and interruptions.
void writeAll(int fd, ByteView bytes, std::uint64_t offset, const std::string& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto written = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (written < 0) {
            if (errno == EINTR) continue;
            throw PosixError(errno, path);
        }
        if (written == 0) throw PosixError(EIO, path);
        done += static_cast<std::size_t>(written);
    }
}

void empty(int fd, const std::string& path) {
    if (::ftruncate(fd, 0) != 0) throw PosixError(errno, path);
}

void finish(int fd, const std::string& path) {
    if (::fsync(fd) != 0) throw PosixError(errno, path);
}

// Hands the written bytes to the disk without waiting for them, so that the caller's flush of the batch
// finds them written or on their way. Only a start: a failure to write them back is kept for that flush
// (the kernel reports it to the syncfs of the file system and to the fdatasync of every descriptor of the
// file opened before it), and a file system that cannot start writeback early simply writes at the flush.
void startWriteback(int fd) {
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

[[noreturn]] void cancelled(const std::string& what) {
    throw HelperError(ErrorObject{std::string(VantrelError::domain), VantrelError::copyCancelled, what + " cancelled", {}});
}

[[noreturn]] void invalid(std::string message) {
    auto error = ErrorObject::posix(EINVAL);
    error.message = std::move(message);
    throw HelperError(std::move(error));
}

bool endsTheCopy(const std::exception& failure) {
    if (const auto* posix = dynamic_cast<const PosixError*>(&failure)) return posix->isDeviceGone();
    if (const auto* byteSource = dynamic_cast<const ByteSourceError*>(&failure))
        return byteSource->kind() == ByteSourceError::Kind::closed || byteSource->kind() == ByteSourceError::Kind::deviceChanged;
    return false;
}

} // namespace

RecoveredHit hitFor(const HitDescription& description) {
    if (description.firstCluster > static_cast<std::int64_t>(UINT32_MAX))
        invalid("First cluster " + std::to_string(description.firstCluster) + " is out of range");
    if (description.offset < 0 || description.length < 0 || description.partitionOffset < 0 || description.secondOffset < 0 ||
        description.secondLength < 0)
        invalid("Offsets and lengths are never negative");
    RecoveredHit hit;
    hit.kind = RecoveredFileKind::unknown;
    hit.byteOffset = static_cast<std::uint64_t>(description.offset);
    hit.byteLength = static_cast<std::uint64_t>(description.length);
    hit.suggestedName = "extract.bin";
    hit.source = HitSourceName::fromRawValue(description.hitSource).value_or(HitSource::signatureCarve);
    hit.integrity = HitIntegrity::pending;
    const auto fileSystem = FileSystemName::fromRawValue(description.fileSystem);
    if (description.firstCluster >= 2 && fileSystem)
        hit.clusterHint = ClusterAllocationHint{static_cast<std::uint32_t>(description.firstCluster),
                                                static_cast<std::uint64_t>(description.partitionOffset), *fileSystem};
    if (description.secondLength > 0) {
        const HitPiece piece{static_cast<std::uint64_t>(description.secondOffset), static_cast<std::uint64_t>(description.secondLength)};
        if (!isSecondPieceOf(piece, hit)) invalid("The second piece does not lie after the first");
        hit.secondPiece = piece;
    }
    return hit;
}

std::uint64_t writeHit(ByteSource& source, const RecoveredHit& hit, int destination, const std::string& destinationPath,
                       const std::function<bool()>& isCancelled, VolumeCache* volumes) {
    if (isCancelled && isCancelled()) cancelled("Extraction");
    empty(destination, destinationPath);
    std::uint64_t written = 0;
    ClusterChainReader::extract(source, hit, [&](ByteView chunk) {
        if (isCancelled && isCancelled()) cancelled("Extraction");
        writeAll(destination, chunk, written, destinationPath);
        written += chunk.size();
    }, ClusterChainReader::defaultChunkBytes, volumes);
    // A shorter file is not the hit: the device has shrunk or ends inside it.
    if (written != hit.byteLength)
        throw HelperError(ErrorObject{std::string(ByteSourceError::domain), ByteSourceError::outOfBounds().code(),
                                      "Only " + std::to_string(written) + " of " + std::to_string(hit.byteLength) +
                                          " bytes could be read: the device ends before the hit does",
                                      std::nullopt});
    startWriteback(destination);
    return written;
}

CopyOutcome copyDevice(ByteSource& source, int destination, const std::string& destinationPath,
                       const CopyCallbacks& callbacks) {
    empty(destination, destinationPath);
    const std::uint64_t total = source.length();
    CopyOutcome outcome;
    int lastPercentage = -1;
    Bytes chunk;
    while (outcome.copied < total) {
        if (callbacks.isCancelled && callbacks.isCancelled())
            cancelled("Copy");
        const std::uint64_t count = std::min(total - outcome.copied, copyChunkBytes);
        try {
            source.readInto(outcome.copied, static_cast<std::int64_t>(count), chunk);
            if (chunk.size() != count) throw ByteSourceError::readFailed(outcome.copied + chunk.size());
        } catch (const std::exception& failure) {
            if (endsTheCopy(failure)) throw;
            ++outcome.unreadableChunks;
            if (callbacks.onUnreadableChunk)
                callbacks.onUnreadableChunk("copy read error @" + std::to_string(outcome.copied) + ": " + failure.what() +
                                            " — zero-filling chunk");
            chunk.assign(count, 0);
        }
        writeAll(destination, chunk, outcome.copied, destinationPath);
        outcome.copied += count;
        const int percentage = static_cast<int>(static_cast<double>(outcome.copied) / static_cast<double>(total) * 100.0);
        if (percentage >= lastPercentage + 5) {
            lastPercentage = percentage;
            if (callbacks.onProgress) callbacks.onProgress(outcome.copied, total, outcome.unreadableChunks, percentage);
        }
    }
    finish(destination, destinationPath);
    return outcome;
}

} // namespace vantrel::HitExtraction
