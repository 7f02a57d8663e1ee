#include "platform/disks/DiskIdentity.h"

#include "platform/disks/DiskInventoryUdev.h"
#include "platform/disks/WholeDiskName.h"
#include "platform/files/SmallFile.h"

#include <algorithm>
#include <map>

namespace vantrel {

namespace {

constexpr std::size_t maxAttributeBytes = 4096;
// The device chain from a disk up to the sysfs root is a dozen levels on real machines.
constexpr int maxDeviceChainDepth = 64;
constexpr std::size_t maxPartitions = 256;

// An id as text: blanks around it trimmed, nothing when empty, too long or holding control characters.
std::optional<std::string> idText(std::string_view raw) {
    const auto start = raw.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return std::nullopt;
    const auto text = raw.substr(start, raw.find_last_not_of(" \t\r\n") - start + 1);
    if (text.size() > DiskIdentity::maxIdBytes) return std::nullopt;
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return std::nullopt;
    return std::string(text);
}

std::optional<std::string> attribute(const std::filesystem::path& path) {
    const auto text = SmallFile::readRegular(path, maxAttributeBytes);
    return text ? idText(*text) : std::nullopt;
}

// The udev properties of the device in folder (by its "dev" attribute).
std::map<std::string, std::string> udevProperties(const std::filesystem::path& folder, const DiskInventoryRoots& roots) {
    const auto numbers = attribute(folder / "dev");
    return numbers ? udevDatabaseProperties(*numbers, roots) : std::map<std::string, std::string>{};
}

std::optional<std::string> property(const std::map<std::string, std::string>& properties, const std::string& key) {
    const auto found = properties.find(key);
    return found == properties.end() ? std::nullopt : idText(found->second);
}

// SD and MMC cards carry "serial" in their device folder; a disk on USB inherits the serial of the
// nearest USB device above it (the one with "idVendor"). The walk stops there: a hub or controller
// further up has a serial of its own that every disk on it would share.
std::optional<std::string> sysfsSerial(const std::filesystem::path& diskFolder, const std::filesystem::path& sysfsRoot) {
    if (auto serial = attribute(diskFolder / "device" / "serial")) return serial;
    std::error_code deviceError;
    std::error_code rootError;
    auto folder = std::filesystem::canonical(diskFolder / "device", deviceError);
    const auto root = std::filesystem::canonical(sysfsRoot, rootError);
    if (deviceError || rootError) return std::nullopt;
    for (int depth = 0; depth < maxDeviceChainDepth && !folder.empty() && folder != root && folder != folder.root_path();
         ++depth) {
        std::error_code error;
        if (std::filesystem::exists(folder / "idVendor", error)) return attribute(folder / "serial");
        folder = folder.parent_path();
    }
    return std::nullopt;
}

} // namespace

DiskIdentity::Verdict DiskIdentity::compare(const DiskIdentity& other) const {
    if (serialNumber && other.serialNumber) return *serialNumber == *other.serialNumber ? Verdict::same : Verdict::different;
    if (partitionTableId && other.partitionTableId)
        return *partitionTableId == *other.partitionTableId ? Verdict::same : Verdict::different;
    if (fileSystemIds.empty() || other.fileSystemIds.empty()) return Verdict::unknown;
    for (const auto& id : fileSystemIds) {
        if (std::find(other.fileSystemIds.begin(), other.fileSystemIds.end(), id) != other.fileSystemIds.end())
            return Verdict::same;
    }
    return Verdict::different;
}

DiskIdentity DiskIdentity::read(const std::string& diskName, const DiskInventoryRoots& roots) {
    DiskIdentity identity;
    if (!isPlausibleDeviceName(diskName)) return identity;
    const auto diskFolder = roots.sysfs / "block" / diskName;
    const auto disk = udevProperties(diskFolder, roots);
    identity.serialNumber = property(disk, "ID_SERIAL_SHORT");
    if (!identity.serialNumber) identity.serialNumber = property(disk, "ID_SERIAL");
    if (!identity.serialNumber) identity.serialNumber = sysfsSerial(diskFolder, roots.sysfs);
    identity.partitionTableId = property(disk, "ID_PART_TABLE_UUID");
    if (auto id = property(disk, "ID_FS_UUID")) identity.fileSystemIds.push_back(std::move(*id));

    // Partitions are the sub-folders that carry a partition number; sorted by it, as the disk lists them.
    std::vector<std::pair<std::uint64_t, std::filesystem::path>> partitions;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(diskFolder, error);
         !error && it != std::filesystem::directory_iterator() && partitions.size() < maxPartitions; it.increment(error)) {
        const auto number = attribute(it->path() / "partition");
        if (number && number->find_first_not_of("0123456789") == std::string::npos && number->size() < 10)
            partitions.emplace_back(std::stoull(*number), it->path());
    }
    std::sort(partitions.begin(), partitions.end());
    for (const auto& [number, folder] : partitions) {
        if (identity.fileSystemIds.size() >= maxFileSystemIds) break;
        if (auto id = property(udevProperties(folder, roots), "ID_FS_UUID")) identity.fileSystemIds.push_back(std::move(*id));
    }
    return identity;
}

} // namespace vantrel
