#pragma once
// The attached block devices and what is on them, from sysfs (which devices, their size, bus, model,
// removability), the mount table (what is mounted where) and a content probe: blkid when running as root,
// else udev's database, else the mount table's file-system type. Every root is injectable so tests
// run on fake trees.

#include "platform/disks/DiskBus.h"
#include "platform/disks/MountTable.h"
#include "platform/process/ProcessRunner.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// Facts of one disk or partition.
struct BlockDeviceFacts {
    std::string name;  // kernel name: sdb, sdb1, mmcblk0p1, loop3
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint64_t sizeBytes = 0;
    std::optional<std::string> fileSystemType;  // as the kernel and blkid name it: vfat, exfat, hfsplus
    std::optional<std::string> fileSystemName;  // as users read it: "MS-DOS FAT32", "ExFAT", "HFS+"
    std::optional<std::string> label;           // the volume label, as the file system stores it
    std::vector<MountEntry> mounts;             // where it is mounted, in mount-table order

    std::string devicePath() const { return "/dev/" + name; }
};

struct DiskFacts {
    BlockDeviceFacts disk;  // the whole disk (a file system written without a partition table shows here)
    std::vector<BlockDeviceFacts> partitions;  // in partition-number order
    DiskBus bus = DiskBus::other;
    bool isRemovable = false;  // removable medium (card readers, some sticks)
    bool isHotplug = false;    // the device itself can be unplugged
    bool isReadOnly = false;
    std::optional<std::string> model;
    std::optional<std::string> partitionScheme;  // "MBR", "GPT" or "APM"

    // A loop device shows a file as a disk.
    bool isDiskImage() const { return bus == DiskBus::loop; }
    // Device-mapper, software RAID and loop devices are made of other storage.
    bool isVirtual() const { return bus == DiskBus::loop || bus == DiskBus::virtualDevice; }
};

struct DiskInventoryRoots {
    std::filesystem::path sysfs = "/sys";
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path udevData = "/run/udev/data";
};

class DiskInventory {
public:
    // What a content probe reports for one device node, in blkid's export keys: TYPE, VERSION, LABEL,
    // PTTYPE, PART_ENTRY_SCHEME. Empty when nothing is known.
    using ProbeResult = std::map<std::string, std::string>;
    using Prober = std::function<ProbeResult(const std::string& deviceName)>;

    static constexpr std::size_t maxDisks = 256;
    static constexpr std::size_t maxPartitionsPerDisk = 256;
    // Labels and models come from the device; longer texts are cut.
    static constexpr std::size_t maxLabelBytes = 255;

    // The real system: blkid through the runner when the process is root, no extra probe otherwise.
    explicit DiskInventory(DiskInventoryRoots roots = {}, Prober prober = defaultProber());

    // blkid -p (low-level probe, no cache) of /dev/NAME as root; nothing for other users, who may not
    // read device nodes. The runner must allow /usr/sbin/blkid or /sbin/blkid.
    static Prober blkidProber(ProcessRunner runner = ProcessRunner());
    static Prober defaultProber();

    // Every whole disk with a medium (size above 0), by kernel name; memory disks (ram, zram) are left
    // out. Nothing when sysfs cannot be listed.
    std::optional<std::vector<DiskFacts>> list() const;
    // One whole disk by kernel name; nothing when it is not attached.
    std::optional<DiskFacts> describe(const std::string& diskName) const;

    const DiskInventoryRoots& roots() const { return m_roots; }

    // blkid's export output (KEY=value lines, with backslash escapes) as a map.
    static ProbeResult parseBlkidExport(std::string_view text);
    // "MS-DOS FAT32" for vfat of version FAT32, "ExFAT", "HFS+", ...; other types as they are.
    static std::optional<std::string> fileSystemDisplayName(const std::string& type, const std::string& version);
    // "MBR" for dos, "GPT" for gpt, "APM" for mac; nothing otherwise.
    static std::optional<std::string> partitionSchemeName(const std::string& tableType);

private:
    std::optional<DiskFacts> describeAt(const std::filesystem::path& diskFolder, const std::string& name,
                                        const std::vector<MountEntry>& mounts) const;
    void fillContent(BlockDeviceFacts& device, const std::vector<MountEntry>& mounts, ProbeResult& probed) const;
    ProbeResult udevFacts(const BlockDeviceFacts& device) const;

    DiskInventoryRoots m_roots;
    Prober m_prober;
};

} // namespace vantrel
