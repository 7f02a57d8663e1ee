#pragma once
// What a block device, a file or a mount finally rests on, so that the helper can tell whether
// writing a file could change the disk it is reading. A device is followed down through what the
// kernel stacks on it:
//   - a partition to its whole disk (sdb1 → sdb);
//   - device-mapper, LVM, LUKS and md devices to the devices listed in sysfs block/NAME/slaves/;
//   - a loop device to its backing file, identified by device and inode (LOOP_GET_STATUS64), never
//     by the name sysfs shows, and, where asked, on to the file system holding that file;
// and a file to the mount that holds it (its mnt_id, from statx or /proc/self/fdinfo, looked up in
// mountinfo), where file systems without a device of their own are followed too: tmpfs and ramfs
// rest on memory, overlayfs on its upper and work folders, btrfs on the devices sysfs lists under
// fs/btrfs/UUID/devices/. A network share (NFS, SMB, sshfs) rests on another machine: it is recorded
// by its device number, so that it meets only what lies on that very share (an image file, or a loop
// device's backing file, kept there); no local disk lies under it. Whatever else cannot be followed
// (other FUSE file systems, which may sit on a local card, a mount of another namespace) leaves the
// answer unresolved, with the reason.

#include "platform/disks/DiskMounter.h"

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace vantrel {

// A file by device and inode: what stays true of it when it is renamed, deleted or replaced.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

// What the kernel reports of a loop device's backing file.
struct LoopBacking {
    FileIdentity file;
    dev_t blockDevice = 0;  // the device number when the backing file is itself a block device node, else 0
};

struct StorageRoots {
    std::filesystem::path sysfs = "/sys";
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    // The backing file of a loop device by kernel name (loop3); nothing when it cannot be read.
    std::function<std::optional<LoopBacking>(const std::string& loopName)> loopBacking;
};

struct StoragePlaces {
    std::set<std::string> devices;  // every block device met, as whole-disk kernel names: sdb, dm-0, md0, loop3
    std::set<FileIdentity> files;   // the file itself and every loop backing file met
    std::set<dev_t> shares;         // network shares met, by the device number their files have
    std::optional<std::string> unresolved;  // why the sets may be incomplete; nothing when they are whole

    // Whether the two share a device, a file or a network share.
    bool meets(const StoragePlaces& other) const;
};

namespace BackingStorage {

// Devices and files visited at most for one answer; a real stack is a handful deep.
inline constexpr std::size_t maxPlaces = 256;
inline constexpr int maxDepth = 16;

// LOOP_GET_STATUS64 on /dev/NAME (root only).
std::optional<LoopBacking> loopBackingOf(const std::string& loopName);
// The default roots with loopBackingOf.
StorageRoots systemRoots();

// The block device major:minor and what lies beneath it. With throughFiles, a loop device's backing
// file is followed to the storage that holds it (what writing to the device changes); without, the
// backing file ends the walk (what reading the device reads).
StoragePlaces ofBlockDevice(dev_t device, const StorageRoots& roots, bool throughFiles);

// The open file, the mount that holds it and everything beneath, loop backing files followed.
StoragePlaces ofOpenFile(int fd, const StorageRoots& roots);

// What reading a source reads: a block device (isBlockDevice, its device number) with what lies beneath
// it as far as its backing files, or else the image file itself.
StoragePlaces ofSource(bool isBlockDevice, dev_t blockDevice, FileIdentity file, const StorageRoots& roots);

// Whether writing into the open file or folder fd could change a source whose places are given: apart
// only when both sides were followed to the end and share no device and no file.
enum class Overlap : std::uint8_t { apart, meets, sourceUnknown, destinationUnknown };
struct OverlapAnswer {
    Overlap overlap = Overlap::apart;
    std::string reason;  // why a side could not be followed
};
OverlapAnswer overlapOf(const StoragePlaces& source, int fd, const StorageRoots& roots);

// The mount id of the open file, from statx(STATX_MNT_ID) or else /proc/self/fdinfo; nothing when unknown.
std::optional<std::uint64_t> mountIdOf(int fd);

} // namespace BackingStorage
} // namespace vantrel
