#include "Vantrel/helper/PrivatePrograms.h"

#include <system_error>
#include <unistd.h>

#ifndef VANTREL_PRIVATE_PROGRAMS_FROM_BIN
#define VANTREL_PRIVATE_PROGRAMS_FROM_BIN "../libexec/vantrel"
#endif

namespace vantrel {

namespace {

bool isExecutable(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::optional<std::filesystem::path> runningProgramDirectory() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return program.parent_path();
}

std::filesystem::path installedPrivateProgramDirectory(const std::filesystem::path& programDirectory) {
    return programDirectory / VANTREL_PRIVATE_PROGRAMS_FROM_BIN;
}

std::optional<std::filesystem::path> findPrivateProgram(const std::filesystem::path& programDirectory, std::string_view name,
                                                        std::string_view buildFolder) {
    std::optional<std::filesystem::path> candidates[] = {
        programDirectory / name,
        buildFolder.empty() ? std::nullopt : std::optional(programDirectory / ".." / buildFolder / name),
        installedPrivateProgramDirectory(programDirectory) / name,
    };
    for (const auto& candidate : candidates)
        if (candidate && isExecutable(*candidate)) return std::filesystem::weakly_canonical(*candidate);
    return std::nullopt;
}

} // namespace vantrel
