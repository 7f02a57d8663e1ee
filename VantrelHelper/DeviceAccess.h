#pragma once
// How the helper reaches a disk: which paths it accepts as devices, unmounting and mounting a whole
// disk, the process-wide set of disks this process unmounted, the raw-access probe, opening a device
// as a byte source, and the errors the application understands.
//
// Device nodes on Linux have no raw twin and a partition's node has its own byte base, so a device
// is opened at the path given or not at all: a fallback to the whole disk would shift every offset.
//
// Which paths are devices: the path must resolve (links followed) under /dev/ to a block device that
// is no loop device. With image files allowed (tests, development) loop devices and regular files
// anywhere are accepted too. Anything else is refused with ENOTBLK before it is opened.

#include "VantrelHelper/HelperError.h"
#include "platform/ErrorObject.h"
#include "platform/disks/DiskMounter.h"
#include "recovery/bytesource/FileByteSource.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vantrel::DeviceAccess {

struct Settings {
    bool allowImageFiles = false;
    DiskMountRoots roots;
    std::string argumentZero;  // the executable path's last fallback
};

// Set once by the entry, before any connection is served.
void configure(Settings settings);
const Settings& settings();

// A device path that passed the checks.
struct CheckedDevice {
    std::string resolvedPath;  // links resolved
    bool isBlockDevice = false;
    std::string diskName;      // block devices: the whole disk's kernel name (sdb for /dev/sdb1)
    dev_t fileDevice = 0;      // regular files: the file's identity, to refuse writing into it
    ino_t fileInode = 0;
    uid_t fileOwner = 0;       // regular files: owner and mode, to check a peer other than root may read it
    mode_t fileMode = 0;
};

// Resolves and checks a device path; throws HelperError (POSIX ENOENT, EACCES, ENOTBLK, ...).
CheckedDevice checkDevicePath(const std::string& path);

// Whether a disk may be read for a peer that is not root: it looks external (removable, hot-pluggable,
// on USB, SD or Thunderbolt) and holds no system mount. Root may read any disk. An image file (or the
// file behind a loop device) must belong to the peer or be readable by everyone, so that the helper
// never reads a file for a user that the user could not read.
bool servesUnprivilegedPeers(const std::string& diskName);
// Throws HelperError (EACCES) when the peer may not read the checked device.
void checkPeerMayRead(const CheckedDevice& device, uid_t peerUid);

// The whole disk's kernel name of a device path or name: /dev/sdb1 → sdb, mmcblk0p1 → mmcblk0.
std::string wholeDiskName(const std::string& pathOrName);

// Unmounts every mount of the device's whole disk for the peer, and answers what stayed mounted and
// why ("TARGET (reason); ..."), or nothing when the disk is no longer mounted. Refused (nothing is
// unmounted) when the path is no block device, when the disk holds a system mount (/, /usr, /boot,
// ...), when a peer other than root finds a mount of another user on it (see
// DiskMounter::mountOwner), or when a bind mount on it could not be put back. Whatever was unmounted
// is recorded for the peer, also when another mount of the disk stayed.
std::optional<std::string> unmountDisk(const std::string& devicePath, uid_t peerUid = 0);

// Mounts back what this process unmounted of the disk (a kernel name; a partition's name stands for
// its disk) for the peer: root mounts back every record of the disk, another peer only its own. True
// when everything it may mount back was mounted again, or nothing was recorded. A disk that a scan,
// extraction or copy reads is left alone (false). A name that cannot be a kernel name gives false.
bool mountDisk(const std::string& name, uid_t peerUid = 0);

// The disks this process has unmounted and not mounted back, by whole-disk kernel name: all of them
// for root, those with records of the peer's otherwise.
std::set<std::string> unmountedDisks(uid_t peerUid = 0);

// Mounts back everything this process unmounted, for the end of the process; false when a disk stayed.
bool mountAllDisks();

// While the lease lives, the disk counts as read (by a scan, extraction or copy) and remounting leaves it alone.
using DiskLease = std::shared_ptr<void>;
DiskLease leaseDisk(const std::string& diskName);
bool isLeased(const std::string& diskName);

// /proc/self/exe, else the first argument, else "VantrelHelper".
std::string executablePath();

// The nodes tried when opening a device: the path alone (see above).
std::vector<std::string> candidateNodes(const std::string& path);

// A refusal by the system (POSIX EPERM or EACCES) becomes the "Vantrel" error 12 naming the device
// and the helper's executable (looked up when not given); other errors stay as they are.
ErrorObject mapOpenError(const ErrorObject& error, const std::string& path, std::optional<std::string> executable);

// Whether the system lets the helper read the device at all, for the peer; throws HelperError with
// the mapped error.
void probeRawAccess(const std::string& path, uid_t peerUid = 0);

struct OpenedDevice {
    std::unique_ptr<FileByteSource> source;
    CheckedDevice device;
};

// Opens the device as a byte source for the peer, unmounting its disk first when asked (the log
// callback gets the status line) and reading its first 4 KiB when asked to verify. Throws HelperError
// (mapped).
OpenedDevice openRawDevice(const std::string& path, const std::function<void(const std::string&)>& log, bool unmount,
                           bool verify, uid_t peerUid = 0);

// Checks a destination descriptor the application sent: an open, writable regular file that does not
// lie on the device being read (nor is the image file being read). Throws HelperError.
void checkDestination(int fd, const std::string& destinationPath, const CheckedDevice& device);

} // namespace vantrel::DeviceAccess
