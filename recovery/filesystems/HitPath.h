#pragma once
// The folder path of a found file as the walks build it: "/", the folder names from the root down,
// the file's name. A path is sent to the application as one string of a helper message, which holds
// at most maxBytes, so a deeper path keeps its top folder, the folders nearest the file and the name,
// and stands "…" for the folders left out.

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::HitPath {

// The most bytes of UTF-8 one string of a helper message may carry.
inline constexpr std::size_t maxBytes = 4096;
// Stands for the folders an elided path leaves out.
inline constexpr std::string_view elisionMark = "\u2026";

// The path as it is when it fits in maxBytes; else "/" + top folder + "/…" + the last folders that
// fit + "/" + name (the top folder too is left out when even it does not fit). Components hold no
// "/" (the walks make each one safe first); the name is at most a file name's length.
std::string fitted(std::string path);

} // namespace vantrel::HitPath
