#pragma once
// Files the application makes for the helper to fill: created here, exclusively and never through a
// link, so that no existing file is ever replaced, and handed over as descriptors.

#include "platform/ErrorObject.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::RecoveryFiles {

// The numbered variants of a name tried before giving up.
inline constexpr int maxNumberedVariants = 100'000;

// name itself, or base + "_" + n (+ "." + extension) for n = 1, 2, ...: the n-th candidate, n = 0 the name.
std::string numberedName(std::string_view name, int n);
// The first candidate in folder without an entry (no file is made).
std::filesystem::path uniqueURL(const std::filesystem::path& folder, std::string_view name);
// A name from a disk made fit for a folder of the user's: no separators, no "..", no control
// characters, no leading full stop (which would hide the file), bounded; fallback when nothing is left.
std::string safeFileName(std::string_view name, std::string_view fallback);

struct CreatedFile {
    std::filesystem::path path;
    UniqueFd fd;
};
// Creates the first free candidate with O_WRONLY|O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, mode 0644
// (or the given mode). Throws CallError with the POSIX error and the path when none can be made.
CreatedFile createUnique(const std::filesystem::path& folder, std::string_view name, mode_t mode = 0644);
// Creates exactly path, or throws CallError.
UniqueFd createExclusive(const std::filesystem::path& path, mode_t mode);

// Copies the first length bytes of source into fd and flushes them to the disk. Throws CallError.
void copyPrefix(const std::filesystem::path& source, int fd, std::uint64_t length, const std::filesystem::path& destination);
// The same from a descriptor open for reading, read from where it stands; sourcePath names it in errors.
void copyPrefix(int source, const std::filesystem::path& sourcePath, int fd, std::uint64_t length,
                const std::filesystem::path& destination);
// The same without the flush, for a file that need not outlive a crash of the machine (a preview or a
// probe in the temporary folder): waiting for the disk would buy it nothing.
void copyBytes(int source, const std::filesystem::path& sourcePath, int fd, std::uint64_t length,
               const std::filesystem::path& destination);
// A file of this program's private folders (a cached probe), open for reading as it is now.
struct OwnRegularFile {
    UniqueFd fd;
    std::uint64_t size = 0;
};
// Opens path for reading as a regular file of this user, or throws CallError saying why not: a link
// (ELOOP), a FIFO, device or folder, or another user's file (EINVAL: no refusal here reads as a want of
// rights, which the window would take for blocked disk access), or any error of open or fstat. Never
// waits on what it refuses; the descriptor it returns reads blocking.
OwnRegularFile openOwnRegularFile(const std::filesystem::path& path);
// The size of the regular file at path, not following a link; nothing when there is none.
std::optional<std::uint64_t> regularFileSize(const std::filesystem::path& path);
// The same of an open file, nothing when it is no longer in any folder.
std::optional<std::uint64_t> regularFileSize(int fd);

} // namespace vantrel::RecoveryFiles
