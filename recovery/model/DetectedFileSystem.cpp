#include "recovery/model/DetectedFileSystem.h"

namespace vantrel::FileSystemName {

const std::array<DetectedFileSystem, 7>& allFileSystems() {
    using enum DetectedFileSystem;
    static constexpr std::array<DetectedFileSystem, 7> all{unknown, fat16, fat32, exfat, hfs, hfsPlus, apfs};
    return all;
}

std::string_view rawValue(DetectedFileSystem fileSystem) {
    switch (fileSystem) {
    case DetectedFileSystem::unknown: return "unknown";
    case DetectedFileSystem::fat16: return "fat16";
    case DetectedFileSystem::fat32: return "fat32";
    case DetectedFileSystem::exfat: return "exfat";
    case DetectedFileSystem::hfs: return "hfs";
    case DetectedFileSystem::hfsPlus: return "hfsPlus";
    case DetectedFileSystem::apfs: return "apfs";
    }
    return "unknown";
}

std::optional<DetectedFileSystem> fromRawValue(std::string_view text) {
    for (auto fileSystem : allFileSystems())
        if (rawValue(fileSystem) == text) return fileSystem;
    return std::nullopt;
}

} // namespace vantrel::FileSystemName
