#include "VantrelHelper/HitExtraction.h"

#include "VantrelHelper/HelperError.h"
#include "recovery/bytesource/BufferPool.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "support/VantrelError.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
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

// A hit this long is written past the page cache where the destination's file system takes it: on a
// loaded machine the copy into fresh page-cache pages (and the compaction their allocation can set
// off) held a buffered write of a large hit to a third of what the disk takes directly. Its blocks
// are written on a thread of their own while the next ones are read, so a slow source and a slow
// destination still overlap as they do through the page cache; the last part of a block is written
// through the page cache. A write the file system refuses past the cache is made through it.
constexpr std::uint64_t directMinBytes = 4 * 1024 * 1024;
constexpr std::size_t directBlockBytes = 1024 * 1024;  // a multiple of every logical block size
constexpr std::size_t directBlocksQueued = 2;

class DirectWriter {
public:
    // Nothing when the destination takes no writes past the page cache.
    static std::unique_ptr<DirectWriter> open(int fd, const std::string& path) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return nullptr;
        try {
            return std::unique_ptr<DirectWriter>(new DirectWriter(fd, path, flags));
        } catch (const std::system_error&) {
            (void)::fcntl(fd, F_SETFL, flags);  // no thread to write on: through the cache
            return nullptr;
        }
    }
    DirectWriter(const DirectWriter&) = delete;
    DirectWriter& operator=(const DirectWriter&) = delete;
    ~DirectWriter() {
        stopWriting();
        (void)::fcntl(m_fd, F_SETFL, m_flags);
        for (auto& block : m_spares) BufferPool::give(std::move(block));
        BufferPool::give(std::move(m_filling));
    }

    // A whole block read into a buffer of the pool is queued as it is, and the reader gets a written
    // block back to read the next one into; anything else is copied into the block being filled.
    void append(Bytes& chunk) {
        if (m_used == 0 && chunk.size() == directBlockBytes) {
            std::swap(chunk, m_filling);
            m_used = directBlockBytes;
            queueFilled();
            return;
        }
        ByteView bytes(chunk);
        while (!bytes.empty()) {
            const auto taken = std::min(directBlockBytes - m_used, bytes.size());
            std::memcpy(m_filling.data() + m_used, bytes.data(), taken);
            m_used += taken;
            bytes = bytes.subspan(taken);
            if (m_used == directBlockBytes) queueFilled();
        }
    }
    // Writes what is left and waits for every block; throws the first failure.
    void finish() {
        stopWriting();
        if (m_failure) std::rethrow_exception(m_failure);
        if (::fcntl(m_fd, F_SETFL, m_flags) != 0) throw PosixError(errno, m_path);
        writeAll(m_fd, ByteView(m_filling.data(), m_used), m_queuedBytes, m_path);
    }

private:
    DirectWriter(int fd, std::string path, int flags)
        : m_fd(fd), m_path(std::move(path)), m_flags(flags), m_filling(takeBlock()) {
        m_thread = std::thread([this] { writeBlocks(); });
    }

    // From the pool of this thread's extractions, which their chunks are read into too.
    static Bytes takeBlock() { return BufferPool::take(directBlockBytes); }

    void queueFilled() {
        Bytes next;
        {
            std::unique_lock lock(m_mutex);
            m_room.wait(lock, [&] { return m_queue.size() < directBlocksQueued || m_failure; });
            if (m_failure) std::rethrow_exception(m_failure);
            m_queue.emplace_back(m_queuedBytes, std::move(m_filling));
            m_queuedBytes += directBlockBytes;
            m_work.notify_one();
            if (!m_spares.empty()) {
                next = std::move(m_spares.back());
                m_spares.pop_back();
            }
        }
        if (next.size() != directBlockBytes) next = takeBlock();
        m_filling = std::move(next);
        m_used = 0;
    }

    void writeBlocks() {
        bool direct = true;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_work.wait(lock, [&] { return !m_queue.empty() || m_stopping; });
            if (m_queue.empty()) return;
            auto [offset, block] = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            std::exception_ptr failure;
            try {
                const auto written = ::pwrite(m_fd, block.data(), block.size(), static_cast<off_t>(offset));
                const int error = errno;
                if (written != static_cast<ssize_t>(block.size())) {
                    if (written < 0 && error != EINVAL && error != EINTR) throw PosixError(error, m_path);
                    // Refused past the cache or cut short: the rest of the hit goes through the cache.
                    if (direct) {
                        direct = false;
                        if (::fcntl(m_fd, F_SETFL, m_flags) != 0) throw PosixError(errno, m_path);
                    }
                    const std::size_t done = written > 0 ? static_cast<std::size_t>(written) : 0;
                    writeAll(m_fd, ByteView(block.data() + done, block.size() - done), offset + done, m_path);
                }
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure && !m_failure) m_failure = failure;
            m_spares.push_back(std::move(block));
            m_room.notify_one();
        }
    }

    void stopWriting() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            m_work.notify_one();
        }
        if (m_thread.joinable()) m_thread.join();
    }

    int m_fd;
    std::string m_path;
    int m_flags;
    Bytes m_filling;
    std::size_t m_used = 0;
    std::uint64_t m_queuedBytes = 0;  // the offset of the block being filled
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_room;
    std::deque<std::pair<std::uint64_t, Bytes>> m_queue;
    std::vector<Bytes> m_spares;  // written, to be filled again
    std::exception_ptr m_failure;
    bool m_stopping = false;
    std::thread m_thread;
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
    auto direct = hit.byteLength >= directMinBytes ? DirectWriter::open(destination, destinationPath) : nullptr;
    ClusterChainReader::extractBuffers(source, hit, [&](Bytes& chunk) {
        if (isCancelled && isCancelled()) cancelled("Extraction");
        const std::uint64_t size = chunk.size();
        if (direct) direct->append(chunk);
        else writeAll(destination, chunk, written, destinationPath);
        written += size;
    }, ClusterChainReader::defaultChunkBytes, volumes);
    if (direct) direct->finish();
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
