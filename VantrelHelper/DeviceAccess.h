#pragma once
// How the helper reaches a disk: which paths it accepts as devices, what it reads for whom,
// unmounting and mounting a whole disk, the process-wide set of disks this process unmounted, the
// raw-access probe, opening a device as a byte source, and the errors the application understands.
//
// Device nodes on Linux have no raw twin and a partition's node has its own byte base, so a device
// is opened at the path given or not at all: a fallback to the whole disk would shift every offset.
//
// Which paths are devices: the path must resolve (links followed) under /dev/ to a block device that
// is no loop device. With image files allowed (tests, development) loop devices and regular files
// anywhere are accepted too. Anything else is refused with ENOTBLK before it is opened.
//
// Who may read what: root reads every device the checks accept. For any other user the path is
// resolved, and an image file opened, with that user's own identity, so the kernel decides as it
// would for the user; a path that does not resolve for the user and one the user may not read get
// one answer, so that the helper reveals nothing of folders closed to the user. A disk must look
// external and hold no system mount; a loop device is read only when the user may open its backing
// file, found by the device and inode the kernel reports (a deleted backing file is root's alone).
// These refusals are the "Vantrel" error 17 with the reason; error 12 stays for the system refusing
// the helper itself.
#include "VantrelHelper/HelperError.h"
#include "platform/ErrorObject.h"
#include "platform/disks/BackingStorage.h"
#include "platform/disks/DiskMounter.h"
#include "platform/process/ThreadIdentity.h"
#include "recovery/bytesource/FileByteSource.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vantrel::DeviceAccess {

struct Settings {
    bool allowImageFiles = false;
    DiskMountRoots roots;
    std::string argumentZero;  // the executable path's last fallback
    // The backing file of a loop device (tests replace it along with the roots).
    std::function<std::optional<LoopBacking>(const std::string& loopName)> loopBacking = BackingStorage::loopBackingOf;
};

// Set once by the entry, before any connection is served.
void configure(Settings settings);
const Settings& settings();
// The roots and loop look-up the settings give, for following storage stacks.
StorageRoots storageRoots();

// A device path that passed the checks.
struct CheckedDevice {
    std::string resolvedPath;  // links resolved
    bool isBlockDevice = false;
    std::string diskName;      // block devices: the whole disk's kernel name (sdb for /dev/sdb1)
    dev_t blockDevice = 0;     // block devices: the node's device number
    dev_t fileDevice = 0;      // regular files: the file's identity, to refuse writing into it
    ino_t fileInode = 0;
};

// Whether two checks found the same device node or file.
bool sameDevice(const CheckedDevice& left, const CheckedDevice& right);

// What checkDevicePath answered for one connection's last path, kept for a batch: the files of one
// recovery are read one after another from one device, so its path is looked up (as the peer, on a
// look-up thread, within the look-up's time limit) once for a batch rather than once for every file.
// An answer is reused only for the same path, and for at most reuseLimit after the look-up that made
// it began. Whether the peer may read the device (checkPeerMayRead, which for a peer other than root
// reads sysfs and the mount table) is decided once for an answer too, when its first use grants it
// (readableRemembered), and is recalled with it for the same time: a refusal is never remembered.
// Whoever uses an answer still opens a file as the peer, and checks that the opening found the very
// node or file looked up. A failed use should forget() it, so that the next request looks again.
// Thread-safe.
class LookupMemo {
public:
    static constexpr std::chrono::milliseconds reuseLimit{1000};

    // readable, when given, tells whether the peer's right to read the answer was granted since it was made.
    std::optional<CheckedDevice> recall(const std::string& path, std::chrono::steady_clock::time_point now,
                                        bool* readable = nullptr);
    // lookedUpAt: when the look-up that answered began.
    void remember(const std::string& path, const CheckedDevice& device, std::chrono::steady_clock::time_point lookedUpAt);
    // The peer may read what the answer for path found (the same answer still: nothing otherwise).
    void readableRemembered(const std::string& path, const CheckedDevice& device);
    void forget();

private:
    std::mutex m_lock;
    std::optional<std::pair<std::string, CheckedDevice>> m_answer;
    std::chrono::steady_clock::time_point m_lookedUpAt;
    bool m_readable = false;
};

// Resolves and checks a device path, for the peer (see above); throws HelperError (POSIX ENOENT,
// ENOTBLK, ..., or for a peer other than root the one "Vantrel" 17 answer of unavailableToPeer).
CheckedDevice checkDevicePath(const std::string& path, const UserIdentity& peer = {});

// The one answer for a user other than root whose path does not resolve or who may not read it.
ErrorObject unavailableToPeer(const std::string& path);

// Whether a disk may be read for a peer that is not root: it looks external (removable, hot-pluggable,
// on USB, SD or Thunderbolt) and holds no system mount.
bool servesUnprivilegedPeers(const std::string& diskName);
// Throws HelperError ("Vantrel" 17, with the reason) when the peer may not read the checked device.
// Image files are left to the opening, which is done as the peer.
void checkPeerMayRead(const CheckedDevice& device, const UserIdentity& peer);
// checkDevicePath, then checkPeerMayRead: what every operation runs before it touches anything.
CheckedDevice checkForPeer(const std::string& path, const UserIdentity& peer);

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
// When why is given, it gets the reasons of what stayed unmounted ("TARGET: reason; ..."); when mounted
// is given, it gets how many mounts were put back.
bool mountDisk(const std::string& name, uid_t peerUid = 0, std::string* why = nullptr, std::size_t* mounted = nullptr);

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
void probeRawAccess(const std::string& path, const UserIdentity& peer = {});

struct OpenedDevice {
    std::unique_ptr<FileByteSource> source;
    CheckedDevice device;
};

// Opens the device as a byte source for the peer, unmounting its disk first when asked (the log
// callback gets the status line) and reading its first 4 KiB when asked to verify. Throws HelperError
// (mapped). checked: what checkDevicePath answered for the path and the peer just before, so that the
// path is not looked up again; whether the peer may read it is still decided here, unless readable
// says that checkPeerMayRead granted it for that very answer.
OpenedDevice openRawDevice(const std::string& path, const std::function<void(const std::string&)>& log, bool unmount,
                           bool verify, const UserIdentity& peer = {}, const CheckedDevice* checked = nullptr,
                           bool readable = false);

} // namespace vantrel::DeviceAccess
