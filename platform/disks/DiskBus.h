#pragma once
// The bus a disk hangs on, as the kernel's device path shows it, and the protocol name shown for it.

#include <string_view>

namespace vantrel {

// mmc is a card slot (SD and MMC cards); emmc is an MMC chip soldered to the board, which the kernel shows
// on the same bus with the card type "MMC".
enum class DiskBus { usb, mmc, emmc, thunderbolt, nvme, ata, scsi, virtio, loop, virtualDevice, other };

namespace DiskBusInfo {

// The bus as users read it: "USB", "Secure Digital", "Disk Image" (loop devices), ...; empty for other.
std::string_view protocolName(DiskBus bus);

// Decides the bus from the kernel name and the resolved sysfs device path (…/usb1/1-1/…/block/sdb).
// The first rule that matches wins: a loop device is a disk image whatever backs it; device-mapper and
// software RAID are made of other disks; a USB card reader is USB, not an SD slot; the rest follow
// the controller in the path.
DiskBus fromDevicePath(std::string_view name, std::string_view devicePath);

} // namespace DiskBusInfo
} // namespace vantrel
