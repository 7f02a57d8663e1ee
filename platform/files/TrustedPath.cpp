#include "platform/files/TrustedPath.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace vantrel::TrustedPath {

bool onlyOwnerCanChange(const struct stat& info, uid_t owner) {
    return info.st_uid == owner && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isTrustedProgram(const std::filesystem::path& program) {
    struct stat info {};
    if (::stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (!onlyOwnerCanChange(info, 0) && !onlyOwnerCanChange(info, ::geteuid())) return false;
    return ::access(program.c_str(), X_OK) == 0;
}

bool isTrustedFolder(const std::filesystem::path& folder, uid_t owner) {
    char resolved[PATH_MAX];
    if (!::realpath(folder.c_str(), resolved)) return false;
    const std::filesystem::path real = resolved;
    const auto acceptable = [owner](const struct stat& info) {
        return S_ISDIR(info.st_mode) && (onlyOwnerCanChange(info, 0) || onlyOwnerCanChange(info, owner));
    };
    struct stat info {};
    if (::lstat(real.c_str(), &info) != 0 || !acceptable(info)) return false;
    // Above it, a sticky folder owned by root (such as /tmp) lets nobody rename what is not theirs.
    for (auto above = real.parent_path(); ; above = above.parent_path()) {
        if (::lstat(above.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
        const bool sticky = (info.st_mode & S_ISVTX) != 0 && (info.st_uid == 0 || info.st_uid == owner);
        if (!acceptable(info) && !sticky) return false;
        if (above == above.root_path()) return true;
    }
}

} // namespace vantrel::TrustedPath
