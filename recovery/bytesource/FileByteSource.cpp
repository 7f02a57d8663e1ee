#include "recovery/bytesource/FileByteSource.h"

#include "base/Bounds.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

// Sizes in /sys/class/block/NAME/size are counted in 512-byte units whatever the device's block size.
constexpr std::uint64_t sysfsSectorBytes = 512;

std::uint64_t sizeFromStat(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

std::uint64_t sizeFromDevice(int fd) {
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return 0;
    return bytes;
}

// The device's own report in sysfs, by the last path component (sdb, mmcblk0p1, loop3).
std::uint64_t sizeFromSysfs(const std::string& path, const std::string& sysfsBlockRoot) {
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return 0;
    std::ifstream file(sysfsBlockRoot + "/" + name + "/size");
    std::uint64_t sectors = 0;
    if (!(file >> sectors)) return 0;
    return checkedMultiply(sectors, sysfsSectorBytes).value_or(0);
}

} // namespace

FileByteSource::FileByteSource(const std::string& path, const std::string& sysfsBlockRoot) : m_path(path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) throw PosixError(errno, path);
    probe(sysfsBlockRoot);
}

FileByteSource::FileByteSource(int fd, const std::string& path, const std::string& sysfsBlockRoot)
    : m_fd(fd), m_path(path) {
    probe(sysfsBlockRoot);
}

void FileByteSource::probe(const std::string& sysfsBlockRoot) {
    int reported = 0;
    if (::ioctl(m_fd, BLKSSZGET, &reported) == 0 && reported > static_cast<int>(minimumBlockSize))
        m_blockSize = static_cast<std::uint64_t>(reported);
    m_length = sizeFromStat(m_fd);
    if (m_length == 0) m_length = sizeFromDevice(m_fd);
    if (m_length == 0) m_length = sizeFromSysfs(m_path, sysfsBlockRoot);
    if (m_length == 0) {
        ::close(m_fd);
        m_fd = -1;
        throw ByteSourceError::deviceSizeUnknown();
    }
}

std::uint64_t FileByteSource::currentLength() {
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) return 0;
    if (S_ISREG(info.st_mode)) return info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    // A removed medium reports 0.
    if (S_ISBLK(info.st_mode)) return sizeFromDevice(m_fd);
    // Nothing else tells a size again.
    return m_length;
}

FileByteSource::~FileByteSource() {
    if (m_fd >= 0) ::close(m_fd);
}

void FileByteSource::readInto(std::uint64_t offset, std::int64_t count, Bytes& out) {
    if (count <= 0 || offset >= m_length) {
        out.clear();
        if (count == 0) return;
        throw ByteSourceError::outOfBounds();
    }
    const std::uint64_t end = std::min(m_length, checkedAdd(offset, static_cast<std::uint64_t>(count)).value_or(m_length));
    const std::uint64_t wanted = end - offset;
    // Resized without clearing first: a buffer reused for reads of the same size (a scan's windows) is
    // then not zero-filled before every read, which costs as much as the copy from the page cache.
    out.resize(wanted);
    std::uint64_t gathered = 0;
    while (gathered < wanted) {
        const std::uint64_t position = offset + gathered;
        const std::uint64_t piece = std::min(wanted - gathered, maxTransferBytes);
        std::size_t got = 0;
        try {
            got = alignedRead(position, piece, out.data() + gathered);
        } catch (...) {
            out.clear();
            throw;
        }
        if (got == 0) {
            out.clear();
            throw ByteSourceError::readFailed(position);
        }
        gathered += got;
    }
}

std::size_t FileByteSource::alignedRead(std::uint64_t offset, std::uint64_t count, std::uint8_t* dest) {
    const std::uint64_t start = offset / m_blockSize * m_blockSize;
    const std::uint64_t end = std::min(m_length, offset + count);
    const std::uint64_t alignedEnd = (end + m_blockSize - 1) / m_blockSize * m_blockSize;
    const std::uint64_t readEnd = std::min(m_length, alignedEnd);
    if (readEnd <= start) return 0;
    const std::uint64_t span = readEnd - start;

    // When the request is itself aligned, the transfer lands in the caller's buffer with no copy.
    const bool direct = start == offset && span == count;
    std::uint8_t* buffer = dest;
    if (!direct) {
        if (m_scratch.size() < span) m_scratch.resize(span);
        buffer = m_scratch.data();
    }
    std::uint64_t filled = 0;
    while (filled < span) {
        const ssize_t got = ::pread(m_fd, buffer + filled, span - filled, static_cast<off_t>(start + filled));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw PosixError(errno, "pread@" + std::to_string(start));
        }
        if (got == 0) break;
        filled += static_cast<std::uint64_t>(got);
    }
    // The data ended before the length found at opening: a device resized or removed, or a file truncated,
    // since then. Every later read would meet the same end, so this is no bad spot to pass over.
    if (filled < span) {
        if (const std::uint64_t now = currentLength(); now < m_length) throw ByteSourceError::deviceChanged(m_length, now);
    }
    const std::uint64_t skip = offset - start;
    if (filled <= skip) throw ByteSourceError::readFailed(offset);
    const std::uint64_t delivered = std::min(filled - skip, count);
    if (!direct) std::memcpy(dest, buffer + skip, delivered);
    return static_cast<std::size_t>(delivered);
}

} // namespace vantrel
