#pragma once
// Reading and writing small files that other users may be able to tamper with (a flag file in a
// world-writable folder, a settings file): a read never follows a symbolic link, never blocks on a FIFO
// or device and never takes more than its cap; a write replaces the file whole through rename.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vantrel::SmallFile {

// The contents of a regular file of at most maxBytes bytes. Nothing when the path is a symbolic link, not
// a regular file, larger than maxBytes, owned by another user than owner (when one is given), or cannot be
// opened or read.
std::optional<std::string> readRegular(const std::filesystem::path& path, std::size_t maxBytes,
                                       std::optional<uid_t> owner = std::nullopt);

// Writes bytes to a fresh temporary file beside path (created exclusively, with mode), flushes it and
// renames it over path, so a reader sees the old or the new contents and never a mix. A symbolic link at
// path is replaced, not followed. False on any failure (the temporary file is removed then).
bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

} // namespace vantrel::SmallFile
