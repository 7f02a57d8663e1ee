#pragma once
// What keeps the application's own reads on the disk that was scanned and its own writes off it.
//
// Writing: a folder (or a file just created in it) is followed down to the disks and backing files it
// rests on, by the rules the helper applies to every file it fills (BackingStorage): partitions, loop
// devices by their backing files, stacked devices, overlays and bind mounts. It may take bytes of a scan
// only when it shares nothing with the source; one whose storage cannot be followed is refused, since it
// might be the source.
//
// Reading: hits are offsets from the start of the scanned disk, so a node is read only while the disk at
// it is that disk. The kernel gives every new medium a new sequence number, also one that takes the old
// one's name; while the number is the scan's and no id disagrees, it is the same medium. Otherwise (the
// card was taken out and put back, or the results come from a catalog) the disks' ids must agree and
// none may disagree: a card reader's serial number, which every card in it shares, never decides alone.
// A catalog's disk of which neither side knows any id (a machine without udev's records, a card without
// a serial number or file system ids) is taken only under the catalog's kernel name and at its very size. An image file
// is the same file by device and inode.

#include "platform/disks/BackingStorage.h"
#include "platform/disks/DiskIdentity.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vantrel::SourceGuard {

// ---- Writing.

// The roots the application follows storage with: the helper's, and where the kernel does not tell an
// unprivileged program a loop device's backing file by number, the file sysfs names for it.
StorageRoots storageRoots(const std::filesystem::path& sysfs = "/sys");
// Whether writing into the folder, or into the open file fd, could change the source at sourcePath (a
// block device node or an image file). A source that is neither counts as unknown.
BackingStorage::OverlapAnswer folderOverlap(const std::string& sourcePath, const std::filesystem::path& folder,
                                            const StorageRoots& roots = storageRoots());
BackingStorage::OverlapAnswer fileOverlap(const std::string& sourcePath, int fd, const StorageRoots& roots = storageRoots());

// ---- Reading.

// What tells the disk (or image file) at a path from another.
struct DiskMark {
    DiskIdentity identity;
    std::optional<std::uint64_t> mediaSequence;  // the kernel's number of the medium, while it stays in
    std::optional<FileIdentity> imageFile;       // an image file by device and inode
    std::optional<std::uint64_t> sizeBytes;      // a disk's size, where known
    std::string diskName;                        // a disk's whole-disk kernel name, where known
    bool isBlockDevice = false;
};

using IdentityByName = std::function<DiskIdentity(const std::string& diskName)>;
// What the path shows now: a block device by its whole disk's ids and media number, a regular file by
// its identity; an empty mark for anything else (or nothing there).
DiskMark observe(const std::string& path, const IdentityByName& identityOf, const std::filesystem::path& sysfs = "/sys");
// The kernel's media sequence number of a whole disk; nothing on kernels without one.
std::optional<std::uint64_t> mediaSequence(const std::string& diskName, const std::filesystem::path& sysfs = "/sys");
// Whether the disk seen now is the one recorded (see above).
bool sameDisk(const DiskMark& recorded, const DiskMark& now);

} // namespace vantrel::SourceGuard
