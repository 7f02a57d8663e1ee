#include "platform/disks/DiskBus.h"

#include <array>

namespace vantrel::DiskBusInfo {

namespace {

struct BusRule {
    std::string_view namePrefix;    // matches the kernel name's start, when not empty
    std::string_view pathFragment;  // matches anywhere in the device path, when not empty
    DiskBus bus;
};

// In precedence order; see fromDevicePath.
constexpr std::array<BusRule, 14> busRules = {{
    {"loop", "", DiskBus::loop},
    {"dm-", "", DiskBus::virtualDevice},
    {"md", "", DiskBus::virtualDevice},
    {"", "/virtual/", DiskBus::virtualDevice},
    {"", "/usb", DiskBus::usb},
    {"", "/thunderbolt", DiskBus::thunderbolt},
    {"", "/mmc_host/", DiskBus::mmc},
    {"mmcblk", "", DiskBus::mmc},
    {"", "/nvme", DiskBus::nvme},
    {"nvme", "", DiskBus::nvme},
    {"", "/virtio", DiskBus::virtio},
    {"vd", "", DiskBus::virtio},
    {"", "/ata", DiskBus::ata},
    {"", "/target", DiskBus::scsi},
}};

} // namespace

std::string_view protocolName(DiskBus bus) {
    switch (bus) {
    case DiskBus::usb: return "USB";
    case DiskBus::mmc: return "Secure Digital";
    case DiskBus::emmc: return "eMMC";
    case DiskBus::thunderbolt: return "Thunderbolt";
    case DiskBus::nvme: return "NVMe";
    case DiskBus::ata: return "SATA";
    case DiskBus::scsi: return "SCSI";
    case DiskBus::virtio: return "VirtIO";
    case DiskBus::loop: return "Disk Image";
    case DiskBus::virtualDevice: return "Virtual";
    case DiskBus::other: return "";
    }
    return "";
}

DiskBus fromDevicePath(std::string_view name, std::string_view devicePath) {
    for (const auto& rule : busRules) {
        const bool nameMatches = !rule.namePrefix.empty() && name.substr(0, rule.namePrefix.size()) == rule.namePrefix;
        const bool pathMatches = !rule.pathFragment.empty() && devicePath.find(rule.pathFragment) != std::string_view::npos;
        if (nameMatches || pathMatches) return rule.bus;
    }
    return DiskBus::other;
}

} // namespace vantrel::DiskBusInfo
