#include "VantrelHelper/HitExtraction.h"

#include "VantrelHelper/HelperError.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "support/VantrelError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

// A file just made is empty already: cutting it again costs the file system an inode update a file.
void empty(int fd, const std::string& path) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) return;
    if (::ftruncate(fd, 0) != 0) throw PosixError(errno, path);
}

void finish(int fd, const std::string& path) {
    if (::fsync(fd) != 0) throw PosixError(errno, path);
}

// A large hit is written through the page cache, and the disk is kept writing behind it: each window
// written is handed to writeback at once, and a window some way behind is waited for and its pages let
// go. The disk then writes in long runs while the hit is still being read (a buffered write left to the
// batch's flush, or a write past the page cache, each 1 MiB waiting for the device, took the disk at
// about half of what it takes this way), and a hit of any length holds no more than a few windows of
// the page cache: the pages written back are given up at once rather than crowding out other files'.
// A window waited for that could not be written back fails the hit at once; a failure in the last
// windows, handed over and not waited for, is kept for the caller's flush (the kernel reports it to the
// syncfs of the file system and to the fdatasync of the file). Small hits are left to that flush
// alone: a writeback started for each of them was one small request to the device a file.
class WritebackWindows {
public:
    WritebackWindows(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}

    // written bytes are in the page cache now, from offset 0 on.
    void advance(std::uint64_t written) {
        while (written - m_started >= writebackWindowBytes) {
            start(m_started, writebackWindowBytes);
            m_started += writebackWindowBytes;
            if (m_started - m_settled > writebackWindowsAhead * writebackWindowBytes) settleOne();
        }
    }
    // The rest is handed to writeback too; the batch's flush waits for it.
    void finish(std::uint64_t written) {
        if (written > m_started) start(m_started, written - m_started);
        m_started = written;
    }

private:
    void start(std::uint64_t offset, std::uint64_t length) {
        // A file system that cannot start writeback early writes at the flush; nothing is lost.
        (void)::sync_file_range(m_fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
    }
    void settleOne() {
        const auto offset = static_cast<off_t>(m_settled);
        const auto length = static_cast<off_t>(writebackWindowBytes);
        for (;;) {
            if (::sync_file_range(m_fd, offset, length,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0)
                break;
            if (errno == EINTR) continue;
            // Not supported here: the flush at the end answers for these bytes.
            if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP) break;
            throw PosixError(errno, m_path);
        }
        (void)::posix_fadvise(m_fd, offset, length, POSIX_FADV_DONTNEED);
        m_settled += writebackWindowBytes;
    }

    int m_fd;
    std::string m_path;  // names the file in errors
    std::uint64_t m_started = 0;  // handed to writeback
    std::uint64_t m_settled = 0;  // written back and let go
};

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
    std::optional<WritebackWindows> writeback;
    if (hit.byteLength >= writebackMinBytes) writeback.emplace(destination, destinationPath);
    ClusterChainReader::extractBuffers(source, hit, [&](Bytes& chunk) {
        if (isCancelled && isCancelled()) cancelled("Extraction");
        writeAll(destination, chunk, written, destinationPath);
        written += chunk.size();
        if (writeback) writeback->advance(written);
    }, ClusterChainReader::defaultChunkBytes, volumes);
    // A shorter file is not the hit: the device has shrunk or ends inside it.
    if (written != hit.byteLength)
        throw HelperError(ErrorObject{std::string(ByteSourceError::domain), ByteSourceError::outOfBounds().code(),
                                      "Only " + std::to_string(written) + " of " + std::to_string(hit.byteLength) +
                                          " bytes could be read: the device ends before the hit does",
                                      std::nullopt});
    if (writeback) writeback->finish(written);
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
