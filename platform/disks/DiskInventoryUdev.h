#pragma once
// The device database's properties of a block device ("ID_FS_TYPE", "ID_SERIAL", ...). On the
// system's own roots they come through libudev, the interface udev keeps stable, never from its
// private files; on other roots (the fake trees of tests) from the record under roots.udevData.
// Where udev keeps no record (no udev running: containers, early boot) libudev gives what sysfs says
// of the device (DEVNAME, DEVTYPE, ...) and none of the ID_ properties, which callers then take from
// sysfs and blkid.

#include "platform/disks/DiskInventory.h"

#include <map>
#include <string>

namespace vantrel {

// Bounds on what a device's record may hold.
inline constexpr std::size_t maxUdevProperties = 512;
inline constexpr std::size_t maxUdevRecordBytes = 64 * 1024;

// Empty for an unknown device, and for 0:0.
std::map<std::string, std::string> udevDatabaseProperties(unsigned major, unsigned minor, const DiskInventoryRoots& roots);

// The same from a sysfs "dev" attribute's "MAJOR:MINOR"; empty when it is not that.
std::map<std::string, std::string> udevDatabaseProperties(std::string_view majorMinor, const DiskInventoryRoots& roots);

} // namespace vantrel
