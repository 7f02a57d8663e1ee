#pragma once
// What tells one disk from another beyond its kernel name and size, which the next disk put into the same
// reader may share: the device's serial number, the id of its partition table and the ids of its file
// systems. Read from udev's database, with the serial number also from sysfs (SD and MMC cards and USB
// devices report one there), so a user without root privileges can read it.

#include "platform/disks/DiskInventory.h"

#include <optional>
#include <string>
#include <vector>

namespace vantrel {

struct DiskIdentity {
    // Ids come from device firmware and the disk itself; longer texts are not ids.
    static constexpr std::size_t maxIdBytes = 255;
    static constexpr std::size_t maxFileSystemIds = 64;

    std::optional<std::string> serialNumber;
    std::optional<std::string> partitionTableId;
    std::vector<std::string> fileSystemIds;  // the whole disk's first, then its partitions' in order

    enum class Verdict : std::uint8_t { unknown, same, different };

    bool isEmpty() const { return !serialNumber && !partitionTableId && fileSystemIds.empty(); }
    // The strongest id both sides know decides: the serial number, else the partition-table id, else
    // whether the two share a file-system id. Unknown when they have no kind of id in common, so a disk
    // that was re-partitioned or re-formatted stays the same disk while its serial number is known.
    Verdict compare(const DiskIdentity& other) const;

    // The identity of a whole disk by kernel name; empty when nothing is known.
    static DiskIdentity read(const std::string& diskName, const DiskInventoryRoots& roots = {});

    friend bool operator==(const DiskIdentity&, const DiskIdentity&) = default;
};

} // namespace vantrel
