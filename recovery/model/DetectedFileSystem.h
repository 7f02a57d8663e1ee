#pragma once
// The file systems the probe can name; stored in cluster hints, sent across the connection, kept in catalogs.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

// fat16 also stands for FAT12 volumes; the geometry's fatEntryBits tells them apart.
enum class DetectedFileSystem : std::uint8_t { unknown, fat16, fat32, exfat, hfs, hfsPlus, apfs };

namespace FileSystemName {

const std::array<DetectedFileSystem, 7>& allFileSystems();

// The stored name, equal to the case name ("hfsPlus").
std::string_view rawValue(DetectedFileSystem fileSystem);

// Exact, case-sensitive match of a case name; "HFSPlus" is no file system.
std::optional<DetectedFileSystem> fromRawValue(std::string_view text);

} // namespace FileSystemName
} // namespace vantrel
