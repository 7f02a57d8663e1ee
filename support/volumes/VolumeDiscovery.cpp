#include "support/volumes/VolumeDiscovery.h"

#include "platform/disks/WholeDiskName.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <sys/statvfs.h>

namespace vantrel::VolumeDiscovery {

namespace {

// Short file-system names longer than this are type identifiers, not names (Microsoft Basic Data).
constexpr std::size_t maxPlainNameCharacters = 16;

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }
bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::size_t characterCount(std::string_view text) {
    // UTF-8 continuation bytes do not start a character.
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void appendDistinct(std::vector<std::string>& names, const std::optional<std::string>& name) {
    if (name && std::find(names.begin(), names.end(), *name) == names.end()) names.push_back(*name);
}

bool isUnder(std::string_view path, std::string_view folder) {
    return startsWith(path, folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

} // namespace

bool DiskMeta::isExternalCandidate() const {
    if (lowered(virtualOrPhysical.value_or("")) == "virtual") return false;
    const std::string protocol = lowered(protocolName.value_or(""));
    if (protocol == "disk image" || contains(protocol, "virtual")) return false;
    if (lowered(mediaName.value_or("")) == "disk image") return false;
    if (isRemovable || isEjectable) return true;
    for (const std::string_view bus : {"usb", "secure digital", "thunderbolt", "firewire"}) {
        if (contains(protocol, bus)) return true;
    }
    return !isInternal;
}

DiskMeta diskMeta(const DiskFacts& facts) {
    DiskMeta meta;
    // A disk is internal when neither its medium nor the device itself can be taken out.
    meta.isInternal = !facts.isRemovable && !facts.isHotplug;
    meta.isRemovable = facts.isRemovable;
    meta.isEjectable = facts.isHotplug;
    const auto protocol = DiskBusInfo::protocolName(facts.bus);
    if (!protocol.empty()) meta.protocolName = std::string(protocol);
    meta.mediaName = facts.model;
    meta.virtualOrPhysical = facts.isVirtual() ? "Virtual" : "Physical";
    meta.sizeBytes = facts.disk.sizeBytes;
    return meta;
}

std::string displayName(std::string_view name, std::string_view fallback) {
    const std::string lower = lowered(name);
    if (name.empty() || lower == "massstorageclass" || lower == "disk image") return std::string(fallback);
    return std::string(name);
}

std::optional<std::string> partitionScheme(std::string_view content) {
    const std::string lower = lowered(content);
    if (contains(lower, "fdisk_partition")) return "MBR";
    if (contains(lower, "guid_partition")) return "GPT";
    if (contains(lower, "apple_partition")) return "APM";
    return std::nullopt;
}

std::optional<std::string> fileSystemName(std::string_view content) {
    const std::string_view s = content;
    const std::string l = lowered(content);
    // In precedence order: the first rule that applies decides.
    if (s.empty() || partitionScheme(s)) return std::nullopt;
    if (contains(l, "apfs") || s == "Apple_APFS") return "APFS";
    if (s == "Apple_HFS" || s == "Apple_HFSX" || contains(l, "hfs+") || contains(l, "hfsx")) return "HFS+";
    if (l == "hfs" || contains(l, "mac os extended")) return "HFS";
    if (contains(l, "exfat")) return "exFAT";
    if (contains(l, "fat32") || contains(l, "ms-dos") || startsWith(s, "Windows_FAT") || contains(l, "fat16") || l == "fat")
        return "FAT";
    if (contains(l, "ntfs")) return "NTFS";
    if (startsWith(s, "Apple_") || startsWith(s, "EFI") || contains(l, "free_space") || contains(l, "boot_") ||
        contains(l, "recovery") || characterCount(s) > maxPlainNameCharacters || contains(s, "_"))
        return std::nullopt;
    return std::string(s);
}

ExternalVolume volumeFromDisk(const DiskFacts& facts) {
    const DiskMeta meta = diskMeta(facts);
    ExternalVolume volume;
    volume.bsdName = facts.disk.name;

    // Partitions first, then the disk itself: the first label names it, the first mount point is its path.
    std::optional<std::string> label;
    std::vector<const BlockDeviceFacts*> devices;
    for (const auto& partition : facts.partitions) devices.push_back(&partition);
    devices.push_back(&facts.disk);
    for (const auto* device : devices) {
        if (!label && device->label) label = device->label;
        for (const auto& mount : device->mounts) {
            if (!volume.path && !mount.target.empty()) volume.path = mount.target;
            volume.isMounted = true;
        }
    }
    volume.name = displayName(label.value_or(meta.mediaName.value_or(facts.disk.name)), facts.disk.name);
    volume.sizeBytes = facts.disk.sizeBytes;
    volume.isEjectable = meta.isRemovable || meta.isEjectable;
    volume.protocolName = meta.protocolName;

    std::vector<std::string> names;
    appendDistinct(names, fileSystemName(facts.disk.fileSystemName.value_or("")));
    for (const auto& partition : facts.partitions) appendDistinct(names, fileSystemName(partition.fileSystemName.value_or("")));
    if (!names.empty()) {
        std::string joined = names.front();
        for (std::size_t i = 1; i < names.size(); ++i) joined += " \u00B7 " + names[i];
        volume.fileSystemName = joined;
    }
    volume.partitionScheme = facts.partitionScheme;
    return volume;
}

std::vector<ExternalVolume> discoverVolumes(const std::vector<DiskFacts>& disks, bool showInternal) {
    std::vector<ExternalVolume> volumes;
    for (const auto& facts : disks) {
        if (!showInternal && !diskMeta(facts).isExternalCandidate()) continue;
        volumes.push_back(volumeFromDisk(facts));
    }
    return volumes;
}

std::uint64_t fileSystemCapacity(const std::string& mountPoint) {
    struct statvfs info {};
    if (::statvfs(mountPoint.c_str(), &info) != 0) return 0;
    const std::uint64_t blocks = info.f_blocks;
    const std::uint64_t blockBytes = info.f_frsize ? info.f_frsize : info.f_bsize;
    if (blockBytes != 0 && blocks > UINT64_MAX / blockBytes) return 0;
    return blocks * blockBytes;
}

std::vector<ExternalVolume> fallbackVolumes(const std::vector<MountEntry>& mounts, bool showInternal,
                                            const CapacityQuery& capacity) {
    std::vector<ExternalVolume> volumes;
    for (const auto& mount : mounts) {
        // Only block devices can be scanned; pseudo file systems name no device.
        if (!startsWith(mount.source, "/dev/")) continue;
        // /dev/mapper/x and /dev/disk/by-label/x are links to the kernel's node.
        std::error_code error;
        const auto resolved = std::filesystem::canonical(mount.source, error);
        const std::string device = error ? mount.source : resolved.string();
        if (!startsWith(device, "/dev/")) continue;
        const std::string bsdName = std::filesystem::path(device).filename().string();
        if (!isPlausibleDeviceName(bsdName)) continue;
        const bool removable = isUnder(mount.target, "/media") || isUnder(mount.target, "/run/media");
        if (!showInternal && !removable) continue;
        // A device mounted in several places is one volume.
        if (std::any_of(volumes.begin(), volumes.end(), [&](const ExternalVolume& v) { return v.bsdName == bsdName; }))
            continue;
        ExternalVolume volume;
        volume.bsdName = bsdName;
        const std::string lastComponent = std::filesystem::path(mount.target).filename().string();
        volume.name = lastComponent.empty() ? bsdName : lastComponent;
        volume.path = mount.target;
        volume.sizeBytes = capacity ? capacity(mount.target) : 0;
        volume.isEjectable = removable;
        volume.isMounted = true;
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

std::vector<ExternalVolume> discover(const DiskInventory& inventory, bool showInternal) {
    if (const auto disks = inventory.list()) return discoverVolumes(*disks, showInternal);
    const auto mounts = MountTable::read(inventory.roots().mountInfo);
    return mounts ? fallbackVolumes(*mounts, showInternal) : std::vector<ExternalVolume>{};
}

void sortByName(std::vector<ExternalVolume>& volumes) {
    std::stable_sort(volumes.begin(), volumes.end(), [](const ExternalVolume& a, const ExternalVolume& b) {
        return lowered(a.name) < lowered(b.name);
    });
}

} // namespace vantrel::VolumeDiscovery
