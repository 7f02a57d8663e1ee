#include "platform/files/PendingFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

namespace vantrel {

std::optional<PendingFile> PendingFile::create(const std::filesystem::path& path) {
    if (!path.has_filename()) {
        errno = EINVAL;
        return std::nullopt;
    }
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const int unnamed = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) return PendingFile(path, UniqueFd(unnamed), {});
    // File systems without unnamed files (FAT, exFAT, some network ones) say so with EOPNOTSUPP, and
    // kernels that do not know the flag with EISDIR; any other error is the folder's own.
    if (errno != EOPNOTSUPP && errno != EISDIR) return std::nullopt;
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    // mkostemp creates the name exclusively (O_EXCL), mode 0600, so a link at that name is never followed.
    const int named = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (named < 0) return std::nullopt;
    return PendingFile(path, UniqueFd(named), temporary);
}

PendingFile::PendingFile(std::filesystem::path path, UniqueFd fd, std::filesystem::path temporary)
    : m_path(std::move(path)), m_fd(std::move(fd)), m_temporary(std::move(temporary)) {}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : m_path(std::move(other.m_path)),
      m_fd(std::move(other.m_fd)),
      m_temporary(std::exchange(other.m_temporary, {})),
      m_committed(other.m_committed) {}

PendingFile::~PendingFile() {
    if (!m_committed && !m_temporary.empty()) ::unlink(m_temporary.c_str());
}

bool PendingFile::commit() {
    if (m_committed || !m_fd) {
        errno = EINVAL;
        return false;
    }
    if (m_temporary.empty()) {
        // An unnamed file is linked through its descriptor's entry in /proc, which any user may do for
        // a file it opened; linkat never replaces what stands at the new name.
        const std::string entry = "/proc/self/fd/" + std::to_string(m_fd.get());
        m_committed = ::linkat(AT_FDCWD, entry.c_str(), AT_FDCWD, m_path.c_str(), AT_SYMLINK_FOLLOW) == 0;
    } else {
        m_committed = ::renameat2(AT_FDCWD, m_temporary.c_str(), AT_FDCWD, m_path.c_str(), RENAME_NOREPLACE) == 0;
    }
    return m_committed;
}

} // namespace vantrel
