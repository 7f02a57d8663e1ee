#include "platform/files/FolderWithoutLinks.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace vantrel::FolderWithoutLinks {

namespace {

// A path of more names is not one the helper records or checks.
constexpr std::size_t maxNames = 256;

bool onlyRootChanges(const struct stat& info) {
    if (info.st_uid != 0) return false;
    return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0;
}

Opened refused(std::string why) {
    Opened opened;
    opened.refusal = std::move(why);
    return opened;
}

} // namespace

Opened open(const std::string& path, Trust trust) {
    if (path.empty() || path.front() != '/') return refused("the path " + path + " is not absolute");
    UniqueFd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current) return refused(std::string("/ cannot be opened: ") + std::strerror(errno));
    struct stat info {};
    if (::fstat(current.get(), &info) != 0) return refused(std::string("/ cannot be examined: ") + std::strerror(errno));
    if (trust == Trust::rootOnly && !onlyRootChanges(info)) return refused("/ may be changed by others than root");
    std::string walked;
    std::size_t names = 0;
    std::size_t start = 1;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty()) continue;
        if (name == "." || name == "..") return refused("the path " + path + " holds " + name);
        if (++names > maxNames) return refused("the path " + path + " is too deep");
        walked += "/" + name;
        // O_NOFOLLOW with O_PATH opens a link itself, which O_DIRECTORY then refuses.
        UniqueFd next(::openat(current.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            const int error = errno;
            struct stat link {};
            if (::fstatat(current.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
                return refused(walked + " is a symbolic link");
            return refused(walked + " cannot be opened: " + std::strerror(error));
        }
        if (::fstat(next.get(), &info) != 0 || !S_ISDIR(info.st_mode)) return refused(walked + " is not a folder");
        if (trust == Trust::rootOnly && !onlyRootChanges(info)) return refused(walked + " may be changed by others than root");
        current = std::move(next);
    }
    Opened opened;
    opened.fd = std::move(current);
    opened.device = info.st_dev;
    opened.inode = info.st_ino;
    return opened;
}

} // namespace vantrel::FolderWithoutLinks
