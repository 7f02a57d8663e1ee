#pragma once
// A new file that takes its name only once it is whole. It is made in its folder without a name
// (O_TMPFILE), or, where the file system cannot do that, under a hidden temporary name beside it; it is
// readable and writable by its owner only. commit() gives it its name, never over anything already
// there; a file that was not committed is gone when its owner is destroyed, so whatever fails while it
// is written (a process that writes through the descriptor and crashes, a time limit) leaves no
// half-written file at the name. Without a commit a file made under an unnamed open leaves nothing at
// all, even when this process itself is killed.

#include "platform/UniqueFd.h"

#include <filesystem>
#include <optional>

namespace vantrel {

class PendingFile {
public:
    // Nothing, with errno set, when the folder takes no new file.
    static std::optional<PendingFile> create(const std::filesystem::path& path);

    PendingFile(PendingFile&& other) noexcept;
    PendingFile& operator=(PendingFile&&) = delete;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    // Open for writing (and reading), with close-on-exec.
    int fd() const { return m_fd.get(); }
    // Names the file path. False, with errno set, when something stands at path already (a link
    // included: it is never followed) or the name could not be given; the file stays unnamed then.
    bool commit();

private:
    PendingFile(std::filesystem::path path, UniqueFd fd, std::filesystem::path temporary);

    std::filesystem::path m_path;
    UniqueFd m_fd;
    std::filesystem::path m_temporary;  // empty for an unnamed file
    bool m_committed = false;
};

} // namespace vantrel
