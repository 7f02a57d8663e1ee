#pragma once
// Unmounting a whole disk and mounting it back. A disk is unmounted by the kernel's mount table: every
// mount whose device is the disk or one of its partitions, deepest mount point first, with umount2(2)
// and no lazy detach (a detached file system stays writable through open files, which is what the
// unmount is there to stop). Each unmount is recorded (source, target, type, options, and the folder
// of the file system a bind mount shows), and mounting the disk back replays those records with
// mount(8): whole mounts shallowest first, then bind mounts from a whole mount put back (or from one
// that stayed in place). A disk with a bind mount that could not be put back that way is not unmounted
// at all, and a bind mount whose whole mount stayed (busy) is put back at once.
//
// A mount goes back only onto the very folder it was taken from: the folder's device and inode are
// recorded at the unmount (reached from its parent, opened before, without following links), and
// at mount-back the target is opened again without following any link, compared, and mounted on
// through that descriptor (/proc/self/fd/N, never the name again). A folder that was renamed, swapped
// or replaced by a link keeps the disk unmounted, and the answer says why.

#include "platform/disks/MountTable.h"
#include "platform/process/ProcessRunner.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vantrel {

// One mount that was taken away, as it is needed to put it back.
struct UnmountedMount {
    std::string source;          // the device node, such as /dev/sdb1
    std::string target;          // the mount point
    std::string fileSystemType;  // such as vfat, ext4
    std::string options;         // per-mount and per-superblock options, as mount(8) takes them (per-mount only for a bind)
    std::string root = "/";      // the folder of the file system shown there; another than "/" for a bind mount
    dev_t folderDevice = 0;      // the mount point's folder under the mount, as found at unmount;
    ino_t folderInode = 0;       // both 0 when it could not be found (such a record is never put back)

    bool isBind() const { return root != "/"; }
    friend bool operator==(const UnmountedMount&, const UnmountedMount&) = default;
};

struct DiskMountRoots {
    std::filesystem::path sysfs = "/sys";
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
};

namespace DiskMounter {

// mount(8) gets this long to mount one file system (a large FAT volume is read whole at mount).
inline constexpr std::chrono::milliseconds mountTimeLimit{60'000};

struct UnmountOutcome {
    std::vector<UnmountedMount> unmounted;  // in the order they were unmounted
    std::vector<std::string> failures;      // "target (reason)" of each mount that stayed
    bool tableReadable = true;              // false when the mount table could not be read
};

// Why a mount must stay (such as "mounted by another user"), or nothing when it may be unmounted.
using MountVeto = std::function<std::optional<std::string>(const MountEntry& entry)>;

// A mount that could not be put back, and why.
struct RemountFailure {
    UnmountedMount mount;
    std::string reason;
};

// The kernel name of the block device major:minor (sdb1, loop0p1), from sysfs; nothing when unknown.
std::optional<std::string> kernelName(std::uint32_t major, std::uint32_t minor, const std::filesystem::path& sysfsRoot);

// The mounts of the disk (a kernel name) and its partitions, deepest mount point first (a later mount
// before an earlier one at equal depth, since it may sit over it).
std::vector<MountEntry> mountsOfDisk(const std::string& diskName, const std::vector<MountEntry>& table,
                                     const std::filesystem::path& sysfsRoot);

// The options that remount the entry as it was: per-mount options, then per-superblock ones, each once.
std::string replayOptions(const MountEntry& entry);

// Whether the entry shows a folder of its file system rather than all of it (a bind mount). A subvolume
// mounted by its name (btrfs subvol=) is a whole mount: its options put it back.
bool isBindMount(const MountEntry& entry);

// The user a mount was made for: its uid= (FAT, exFAT, NTFS and the like) or user_id= (FUSE) option,
// else the user whose folder under /media or /run/media holds the mount point; nothing for a mount
// made for no user in particular (by root).
std::optional<uid_t> mountOwner(const MountEntry& entry);

// Unmounts every mount of the disk. Goes on past a mount that cannot be unmounted (busy) and reports
// it. Unmounts nothing, and reports every mount, when the veto keeps one of them or when a bind mount
// could not be put back (no whole mount of its file system among them).
// A mount whose mount point cannot be reached without following a link stays, and is reported.
UnmountOutcome unmountDisk(const std::string& diskName, const DiskMountRoots& roots = {}, const MountVeto& veto = {});

// Mounts one whole-mount record back with mount(8) through the runner, onto the recorded folder only;
// nothing on success, else why not. A source outside /dev (not one of ours) is refused. A bind record
// goes through remountAll.
std::optional<std::string> remount(const UnmountedMount& mount, const ProcessRunner& runner);

// Puts back records in the order unmountDisk gave them: whole mounts first, shallowest first, then
// each bind mount from the mount point of a whole mount of its file system put back here, or else
// from one that the mount table (mountInfo) shows in place. Answers what stayed unmounted, in unmount
// order.
std::vector<RemountFailure> remountAll(const std::vector<UnmountedMount>& records, const ProcessRunner& runner,
                                       const std::filesystem::path& mountInfo = DiskMountRoots{}.mountInfo);

} // namespace DiskMounter
} // namespace vantrel
