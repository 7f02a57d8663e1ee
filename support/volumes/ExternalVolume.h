#pragma once
// One attached whole disk as the user sees it (or, when the disks cannot be listed, one mounted volume).

#include <cstdint>
#include <optional>
#include <string>

namespace vantrel {

struct ExternalVolume {
    std::string name;                            // display name
    std::string bsdName;                         // kernel name of the whole disk: sdb, mmcblk0, loop3;
                                                 // for a disk image file the user added, its absolute path
    std::optional<std::string> path;             // first mount point found on the disk
    std::uint64_t sizeBytes = 0;
    bool isEjectable = false;                    // removable medium or unpluggable device
    std::optional<std::string> protocolName;     // bus: "USB", "Secure Digital", ...
    bool isMounted = false;                      // some volume of the disk is mounted
    std::optional<std::string> fileSystemName;   // "FAT", or several names joined by " · "
    std::optional<std::string> partitionScheme;  // "MBR", "GPT" or "APM"

    friend bool operator==(const ExternalVolume&, const ExternalVolume&) = default;

    // Identity in lists.
    const std::string& id() const { return bsdName; }
    // A disk image file the user added to the list: kernel names never begin with "/".
    bool isImageFile() const { return !bsdName.empty() && bsdName.front() == '/'; }
    // "/dev/" + bsdName; an image file's own path.
    std::string devicePath() const;
    // The node the helper opens. Linux block devices have no separate raw node, so this is devicePath.
    std::string rawDevicePath() const;
    // FAT12/16/32 and exFAT disks, also beside other file systems: the file-system name contains "fat".
    bool supportsQuickUndeleteScan() const;
    // The size as file managers show it ("31.91 GB").
    std::string displaySize() const;
};

} // namespace vantrel
