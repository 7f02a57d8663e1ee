#pragma once
// Whether a file or folder can be changed only by root (or, for a helper that is not root, by its own
// user): the test behind every program the helper runs and every folder it listens in. A path that
// others can change can be swapped for something of theirs between the check and the use.

#include <filesystem>
#include <sys/stat.h>
#include <sys/types.h>

namespace vantrel::TrustedPath {

// Owned by the given user and writable by neither its group nor others.
bool onlyOwnerCanChange(const struct stat& info, uid_t owner);

// A regular executable file that only root, or the user this process runs as, can change: running
// it gives nobody a power they did not have.
bool isTrustedProgram(const std::filesystem::path& program);

// A folder (links resolved) that only root or owner can change, reached through folders that only
// root or owner can change or that are sticky (such as /tmp), so that nobody else can put, remove or
// rename anything in it.
bool isTrustedFolder(const std::filesystem::path& folder, uid_t owner);

} // namespace vantrel::TrustedPath
