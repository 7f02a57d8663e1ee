#include "platform/files/SmallFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::SmallFile {

std::optional<std::string> readRegular(const std::filesystem::path& path, std::size_t maxBytes, std::optional<uid_t> owner) {
    // O_NONBLOCK: a FIFO planted at the path would otherwise block the open until a writer appears.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::optional<std::string> result;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (!owner || info.st_uid == *owner) && info.st_size >= 0 &&
        static_cast<std::uintmax_t>(info.st_size) <= maxBytes) {
        // Read one byte past the cap so a file that grew after fstat is refused too.
        std::string bytes(maxBytes + 1, '\0');
        std::size_t filled = 0;
        bool failed = false;
        while (filled < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                failed = true;
                break;
            }
            if (got == 0) break;
            filled += static_cast<std::size_t>(got);
        }
        if (!failed && filled <= maxBytes) {
            bytes.resize(filled);
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    // mkostemp creates the name exclusively (O_EXCL), so an existing link at that name is never followed.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool written = ::fchmod(fd, mode) == 0;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            written = false;
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    written = written && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

} // namespace vantrel::SmallFile
