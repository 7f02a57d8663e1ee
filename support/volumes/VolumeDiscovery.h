#pragma once
// The steps of one discovery pass of the volume monitor: disk facts from the inventory become the volumes
// the user can pick, with only disks that look external unless internal ones are asked for. When the
// inventory cannot list disks at all, the mounted block-device volumes stand in.

#include "platform/disks/DiskInventory.h"
#include "support/volumes/ExternalVolume.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::VolumeDiscovery {

// What decides whether a disk looks external.
struct DiskMeta {
    bool isInternal = false;
    bool isRemovable = false;
    bool isEjectable = false;
    std::optional<std::string> protocolName;
    std::optional<std::string> mediaName;
    std::optional<std::string> virtualOrPhysical;  // "Virtual" or "Physical"
    std::uint64_t sizeBytes = 0;

    // Disk images and virtual disks never; removable or ejectable disks and those on USB, SD,
    // Thunderbolt or FireWire always; others when not internal.
    bool isExternalCandidate() const;
};

DiskMeta diskMeta(const DiskFacts& facts);

// The fallback when the name is empty, "MassStorageClass" or "Disk Image" (any letter case).
std::string displayName(std::string_view name, std::string_view fallback);
// "MBR", "GPT" or "APM" when the text names a partition map (FDisk_partition_scheme, GUID_partition_scheme,
// Apple_partition_scheme, any letter case).
std::optional<std::string> partitionScheme(std::string_view content);
// The short file-system name of a file-system or content text: "FAT", "exFAT", "HFS+", "HFS", "APFS",
// "NTFS"; texts that name partition maps, system partitions or long type identifiers give nothing; other
// short names stay as they are (ext4, btrfs).
std::optional<std::string> fileSystemName(std::string_view content);

// One disk as a volume.
ExternalVolume volumeFromDisk(const DiskFacts& facts);
// The disks that are listed, in the inventory's order.
std::vector<ExternalVolume> discoverVolumes(const std::vector<DiskFacts>& disks, bool showInternal);

// Capacity of a mounted file system by its mount point (statvfs); 0 when unknown.
using CapacityQuery = std::function<std::uint64_t(const std::string& mountPoint)>;
std::uint64_t fileSystemCapacity(const std::string& mountPoint);

// One volume per mount of a block device, named after its mount point, its device taken from the mount
// source (never from the volume's name). Without disk facts, mounts under /media and /run/media (where
// desktops mount removable media) count as removable and the rest as internal.
std::vector<ExternalVolume> fallbackVolumes(const std::vector<MountEntry>& mounts, bool showInternal,
                                            const CapacityQuery& capacity = fileSystemCapacity);

// A whole pass: the inventory's disks, or the fallback when it cannot list them. Not sorted.
std::vector<ExternalVolume> discover(const DiskInventory& inventory, bool showInternal);

// Stable sort by name, ignoring letter case.
void sortByName(std::vector<ExternalVolume>& volumes);

} // namespace vantrel::VolumeDiscovery
