#pragma once
// The programs of this package that only the application starts (the helper, the integrity checker).
// The install tree puts them in a folder of their own off the PATH (libexec/vantrel), the build tree
// beside the application or in the folder of their target.

#include <filesystem>
#include <optional>
#include <string_view>

namespace vantrel {

// The folder of the running program's file.
std::optional<std::filesystem::path> runningProgramDirectory();

// The install tree's folder of the private programs for an application in programDirectory.
std::filesystem::path installedPrivateProgramDirectory(const std::filesystem::path& programDirectory);

// The executable name, first of: beside programDirectory, in its sibling buildFolder (when given),
// in the install tree's private folder.
std::optional<std::filesystem::path> findPrivateProgram(const std::filesystem::path& programDirectory, std::string_view name,
                                                        std::string_view buildFolder = {});

} // namespace vantrel
