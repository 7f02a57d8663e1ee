#include "Vantrel/scan/RecoveryFiles.h"

#include "Vantrel/helper/CallError.h"

#include "recovery/filesystems/UndeleteNamingState.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vantrel::RecoveryFiles {

namespace {

[[noreturn]] void fail(int error, const std::filesystem::path& path, std::string_view reason = {}) {
    auto object = ErrorObject::posix(error, path.string());
    if (!reason.empty()) object.message = std::string(reason);
    object.message += ": " + path.string();
    throw CallError(std::move(object));
}

} // namespace

std::string numberedName(std::string_view name, int n) {
    if (n == 0) return std::string(name);
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string_view::npos && dot != 0 && dot + 1 < name.size();
    const auto base = hasExtension ? name.substr(0, dot) : name;
    std::string candidate = std::string(base) + "_" + std::to_string(n);
    if (hasExtension) candidate += "." + std::string(name.substr(dot + 1));
    return candidate;
}

std::filesystem::path uniqueURL(const std::filesystem::path& folder, std::string_view name) {
    for (int n = 0;; ++n) {
        auto candidate = folder / numberedName(name, n);
        struct stat info {};
        if (::lstat(candidate.c_str(), &info) != 0 || n >= maxNumberedVariants) return candidate;
    }
}

std::string safeFileName(std::string_view name, std::string_view fallback) {
    auto safe = UndeleteNamingState::makeSafeFileName(name);
    // Room for a "_n" before the extension.
    if (safe.empty() || safe == "." || safe == "..") return std::string(fallback);
    // A name from a disk never becomes a hidden file.
    if (safe.front() == '.') safe.front() = '_';
    return safe;
}

UniqueFd createExclusive(const std::filesystem::path& path, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd) fail(errno, path);
    return fd;
}

CreatedFile createUnique(const std::filesystem::path& folder, std::string_view name, mode_t mode) {
    // The existence test and the creation are one step (O_EXCL), so a file that appears meanwhile is
    // never replaced: the next number is tried instead.
    for (int n = 0; n <= maxNumberedVariants; ++n) {
        auto candidate = folder / numberedName(name, n);
        UniqueFd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd) return {std::move(candidate), std::move(fd)};
        if (errno != EEXIST) fail(errno, candidate);
    }
    fail(EEXIST, folder / std::string(name));
}

void copyPrefix(const std::filesystem::path& source, int fd, std::uint64_t length, const std::filesystem::path& destination) {
    UniqueFd input(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!input) fail(errno, source);
    copyPrefix(input.get(), source, fd, length, destination);
}

void copyPrefix(int source, const std::filesystem::path& sourcePath, int fd, std::uint64_t length,
                const std::filesystem::path& destination) {
    copyBytes(source, sourcePath, fd, length, destination);
    if (::fsync(fd) != 0) fail(errno, destination);
}

void copyBytes(int source, const std::filesystem::path& sourcePath, int fd, std::uint64_t length,
               const std::filesystem::path& destination) {
    constexpr std::size_t chunkBytes = 1 << 20;
    std::vector<char> buffer(chunkBytes);
    std::uint64_t copied = 0;
    while (copied < length) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunkBytes, length - copied));
        const ssize_t got = ::read(source, buffer.data(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail(errno, sourcePath);
        if (got == 0) fail(EIO, sourcePath);  // the cached file shrank under us
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(fd, buffer.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) fail(put < 0 ? errno : EIO, destination);
            done += put;
        }
        copied += static_cast<std::uint64_t>(got);
    }
}

OwnRegularFile openOwnRegularFile(const std::filesystem::path& path) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, and a device might
    // wait for its carrier; what is opened is checked before anything reads it.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        fail(error, path, error == ELOOP ? "a symbolic link" : "");
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) fail(errno, path);
    if (!S_ISREG(info.st_mode)) fail(EINVAL, path, "not a regular file");
    // The private folders are this user's alone: a file of anyone else's was put there from outside.
    if (info.st_uid != ::geteuid()) fail(EINVAL, path, "owned by another user");
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) fail(errno, path);
    return {std::move(fd), static_cast<std::uint64_t>(info.st_size)};
}

std::optional<std::uint64_t> regularFileSize(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::uint64_t> regularFileSize(int fd) {
    struct stat info {};
    // A file removed meanwhile has no name left: there is nothing to show for it.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink == 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

} // namespace vantrel::RecoveryFiles
