#pragma once
// Mounting a disk's volumes from the application, for the quit's hand-back where the helper did not
// (or could not: a helper that ended took its records of what was mounted where along). Every volume
// of the disk that is not mounted is mounted the way the desktop mounts it: through udisks
// (`udisksctl mount --no-user-interaction --block-device /dev/NAME`, which lets the user at the seat
// mount a removable disk without a password, under /media/USER), else with mount(8) and the device
// alone, which mounts only a volume that /etc/fstab lists. A disk whose volumes are all mounted, as
// after the helper's remount, is done without running anything.
//
// The volumes are the disk's partitions, or the disk itself when it has none. Contents that no tool
// mounts (swap, LVM, encrypted and RAID members) are left alone, and so are volumes of unknown
// content while others on the disk are known. Each tool runs without a shell and with a time limit,
// on a thread of its own.

#include "Vantrel/effects/LocalDiskMounter.h"

#include "platform/disks/DiskInventory.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

struct LocalMountOptions {
    DiskInventoryRoots roots;
    // How a volume's content is found (DiskInventory's prober: blkid as root, else udev's records).
    DiskInventory::Prober prober = DiskInventory::defaultProber();
    // The first of each list that is installed (owned by root, not writable by others) is used.
    std::vector<std::filesystem::path> udisksctl{"/usr/bin/udisksctl", "/bin/udisksctl"};
    std::vector<std::filesystem::path> mount{"/usr/bin/mount", "/bin/mount"};
    // For one volume; a large FAT volume is read whole when it is mounted.
    std::chrono::milliseconds volumeTimeLimit{60'000};
};

class SystemLocalDiskMounter final : public LocalDiskMounter {
public:
    explicit SystemLocalDiskMounter(LocalMountOptions options = {});

    // Runs mountNow on a thread of its own and calls done there.
    void mountDisk(const std::string& bsdName, Completion done) override;
    // Mounts the disk's unmounted volumes on the calling thread; nothing when all of them are mounted
    // afterwards, else an error that names the volumes that are not.
    std::optional<ErrorObject> mountNow(const std::string& bsdName) const;
    // From sysfs and the mount table; an unknown disk holds none.
    bool holdsMounts(const std::string& bsdName) const override;

private:
    LocalMountOptions m_options;
};

} // namespace vantrel
