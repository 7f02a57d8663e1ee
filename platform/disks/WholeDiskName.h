#pragma once
// The whole disk a block device belongs to, by kernel name: sdb1 → sdb, mmcblk0p1 → mmcblk0,
// nvme0n1p2 → nvme0n1, loop3p1 → loop3; a whole disk names itself. Every place that needs a disk's name
// from a partition's uses this one function.

#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel {

// Takes a kernel name or a device path under /dev/. Asks sysfs first: a partition has a "partition"
// attribute and its device folder sits inside its disk's. When sysfs does not know the name, the name's
// own shape decides: "p" and digits after a digit are cut (mmcblk0p1, nvme0n1p2), and trailing digits
// are cut from sd, hd, vd and xvd names (sdb1); any other name is returned as it is (sr0, loop3).
// An empty text or one that cannot be a kernel name (a separator, "." or "..") comes back unchanged.
std::string wholeDiskName(std::string_view nameOrPath, const std::filesystem::path& sysfsRoot = "/sys");

// Whether the text can be a kernel block device name (no separator, not "." or "..", not empty).
bool isPlausibleDeviceName(std::string_view name);

} // namespace vantrel
