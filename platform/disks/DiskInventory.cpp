#include "platform/disks/DiskInventory.h"

#include "platform/disks/DiskInventoryUdev.h"
#include "platform/disks/WholeDiskName.h"
#include "platform/files/SmallFile.h"
#include "platform/text/DecimalNumber.h"

#include <algorithm>
#include <array>
#include <unistd.h>

namespace vantrel {

namespace {

// Sizes in sysfs are counted in 512-byte units whatever the device's block size.
constexpr std::uint64_t sysfsSectorBytes = 512;
// sysfs attributes are at most a page.
constexpr std::size_t maxAttributeBytes = 4096;
// The device chain from a disk up to the sysfs root is a dozen levels on real machines.
constexpr int maxDeviceChainDepth = 64;
constexpr std::chrono::milliseconds blkidTimeLimit{5000};
constexpr std::size_t maxBlkidOutputBytes = 64 * 1024;

// Memory-backed disks hold nothing to recover.
constexpr std::array<std::string_view, 2> skippedNamePrefixes = {"ram", "zram"};

std::string trimmed(std::string_view text) {
    const auto start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return {};
    const auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(start, end - start + 1));
}

// Text from a device (labels, models): control characters become blanks, the length is capped.
std::optional<std::string> deviceText(std::string_view raw) {
    std::string text = trimmed(raw.substr(0, DiskInventory::maxLabelBytes));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::string> attribute(const std::filesystem::path& path) {
    const auto text = SmallFile::readRegular(path, maxAttributeBytes);
    if (!text) return std::nullopt;
    return trimmed(*text);
}

// "8:17" from the dev attribute.
bool readDeviceNumbers(const std::filesystem::path& folder, BlockDeviceFacts& device) {
    const auto text = attribute(folder / "dev");
    if (!text) return false;
    const auto colon = text->find(':');
    if (colon == std::string::npos) return false;
    const auto major = DecimalNumber::parse<std::uint32_t>(std::string_view(*text).substr(0, colon));
    const auto minor = DecimalNumber::parse<std::uint32_t>(std::string_view(*text).substr(colon + 1));
    if (!major || !minor) return false;
    device.major = *major;
    device.minor = *minor;
    return true;
}

std::uint64_t readSizeBytes(const std::filesystem::path& folder) {
    const auto text = attribute(folder / "size");
    const auto sectors = text ? DecimalNumber::parse<std::uint64_t>(*text) : std::nullopt;
    if (!sectors || *sectors > UINT64_MAX / sysfsSectorBytes) return 0;
    return *sectors * sysfsSectorBytes;
}

// The first device above the disk that says whether it can be unplugged decides; USB ports and
// hot-plug PCI slots say "removable", fixed controllers "fixed", most say nothing.
bool readHotplug(const std::filesystem::path& diskFolder, const std::filesystem::path& sysfsRoot) {
    std::error_code deviceError;
    std::error_code rootError;
    auto folder = std::filesystem::canonical(diskFolder / "device", deviceError);
    const auto root = std::filesystem::canonical(sysfsRoot, rootError);
    // Virtual disks (loop, device-mapper) have no device above them.
    if (deviceError || rootError) return false;
    for (int depth = 0; depth < maxDeviceChainDepth && !folder.empty() && folder != root && folder != folder.root_path();
         ++depth) {
        if (const auto state = attribute(folder / "removable")) {
            if (*state == "removable") return true;
            if (*state == "fixed") return false;
        }
        folder = folder.parent_path();
    }
    return false;
}

std::optional<std::string> readModel(const std::filesystem::path& diskFolder) {
    // SCSI, USB and NVMe disks have a model; SD and MMC cards a name.
    for (const char* key : {"model", "name"}) {
        if (const auto text = SmallFile::readRegular(diskFolder / "device" / key, maxAttributeBytes)) {
            if (auto model = deviceText(*text)) return model;
        }
    }
    return std::nullopt;
}

std::string valueOf(const DiskInventory::ProbeResult& facts, const std::string& key) {
    const auto found = facts.find(key);
    return found == facts.end() ? std::string() : found->second;
}

std::vector<MountEntry> mountsOf(const BlockDeviceFacts& device, const std::vector<MountEntry>& mounts) {
    std::vector<MountEntry> found;
    // 0:N are anonymous devices (tmpfs, proc, overlay), never a block device.
    if (device.major == 0) return found;
    for (const auto& entry : mounts) {
        if (entry.major == device.major && entry.minor == device.minor) found.push_back(entry);
    }
    return found;
}

} // namespace

DiskInventory::DiskInventory(DiskInventoryRoots roots, Prober prober)
    : m_roots(std::move(roots)), m_prober(std::move(prober)) {}

DiskInventory::Prober DiskInventory::blkidProber(ProcessRunner runner) {
    return [runner = std::move(runner)](const std::string& deviceName) -> ProbeResult {
        if (!isPlausibleDeviceName(deviceName)) return {};
        for (const char* program : {"/usr/sbin/blkid", "/sbin/blkid"}) {
            ProcessRequest request;
            request.program = program;
            request.arguments = {"-p", "-o", "export", "/dev/" + deviceName};
            request.timeLimit = blkidTimeLimit;
            request.maxOutputBytes = maxBlkidOutputBytes;
            const auto result = runner.run(request);
            if (result.outcome == ProcessResult::Outcome::notStarted) continue;
            // Exit status 2 means nothing was found; other failures tell nothing either.
            return result.succeeded() ? parseBlkidExport(result.standardOutput) : ProbeResult();
        }
        return {};
    };
}

DiskInventory::Prober DiskInventory::defaultProber() {
    if (::geteuid() != 0) return {};
    return blkidProber();
}

DiskInventory::ProbeResult DiskInventory::parseBlkidExport(std::string_view text) {
    ProbeResult facts;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0) continue;
        // Export format escapes blanks and shell characters with a backslash.
        std::string value;
        const auto raw = line.substr(equals + 1);
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
            value.push_back(raw[i]);
        }
        facts[std::string(line.substr(0, equals))] = std::move(value);
    }
    return facts;
}

std::optional<std::string> DiskInventory::fileSystemDisplayName(const std::string& type, const std::string& version) {
    if (type.empty()) return std::nullopt;
    if (type == "vfat" || type == "msdos") {
        // blkid reports FAT12, FAT16 or FAT32 as the version.
        if (version == "FAT12" || version == "FAT16" || version == "FAT32") return "MS-DOS " + version;
        return std::string("MS-DOS FAT");
    }
    if (type == "exfat") return std::string("ExFAT");
    if (type == "hfsplus") return std::string("HFS+");
    if (type == "hfs") return std::string("HFS");
    if (type == "apfs") return std::string("APFS");
    if (type == "ntfs" || type == "ntfs3") return std::string("NTFS");
    // A FUSE mount does not say which file system it serves.
    if (type == "fuseblk") return std::nullopt;
    return deviceText(type);
}

std::optional<std::string> DiskInventory::partitionSchemeName(const std::string& tableType) {
    if (tableType == "dos") return std::string("MBR");
    if (tableType == "gpt") return std::string("GPT");
    if (tableType == "mac") return std::string("APM");
    return std::nullopt;
}

DiskInventory::ProbeResult DiskInventory::udevFacts(const BlockDeviceFacts& device) const {
    ProbeResult facts;
    // udev's names map onto blkid's.
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> keys = {{
        {"ID_FS_TYPE", "TYPE"},
        {"ID_FS_VERSION", "VERSION"},
        {"ID_FS_LABEL", "LABEL"},
        {"ID_PART_TABLE_TYPE", "PTTYPE"},
        {"ID_PART_ENTRY_SCHEME", "PART_ENTRY_SCHEME"},
    }};
    const auto properties = udevDatabaseProperties(device.major, device.minor, m_roots);
    for (const auto& [udevKey, blkidKey] : keys)
        if (const auto found = properties.find(std::string(udevKey)); found != properties.end())
            facts[std::string(blkidKey)] = found->second;
    return facts;
}

void DiskInventory::fillContent(BlockDeviceFacts& device, const std::vector<MountEntry>& mounts,
                                ProbeResult& probed) const {
    device.mounts = mountsOf(device, mounts);
    if (m_prober) probed = m_prober(device.name);
    if (probed.empty()) probed = udevFacts(device);
    std::string type = valueOf(probed, "TYPE");
    if (type.empty() && !device.mounts.empty()) type = device.mounts.front().fileSystemType;
    if (!type.empty()) device.fileSystemType = deviceText(type);
    device.fileSystemName = fileSystemDisplayName(type, valueOf(probed, "VERSION"));
    device.label = deviceText(valueOf(probed, "LABEL"));
}

std::optional<DiskFacts> DiskInventory::describeAt(const std::filesystem::path& diskFolder, const std::string& name,
                                                   const std::vector<MountEntry>& mounts) const {
    for (const auto prefix : skippedNamePrefixes) {
        if (name.substr(0, prefix.size()) == prefix) return std::nullopt;
    }
    DiskFacts facts;
    facts.disk.name = name;
    facts.disk.sizeBytes = readSizeBytes(diskFolder);
    // No medium (an empty card reader, an unattached loop device): nothing to scan.
    if (facts.disk.sizeBytes == 0) return std::nullopt;
    readDeviceNumbers(diskFolder, facts.disk);
    std::error_code error;
    const auto devicePath = std::filesystem::canonical(diskFolder, error);
    facts.bus = DiskBusInfo::fromDevicePath(name, error ? std::string() : devicePath.string());
    facts.isRemovable = attribute(diskFolder / "removable").value_or("0") == "1";
    if (facts.bus == DiskBus::mmc) {
        // The card's type tells a soldered eMMC chip from a card in a slot, which can always be taken out.
        const auto cardType = attribute(diskFolder / "device" / "type").value_or("");
        if (cardType == "MMC") facts.bus = DiskBus::emmc;
        if (cardType == "SD") facts.isRemovable = true;
    }
    facts.isReadOnly = attribute(diskFolder / "ro").value_or("0") == "1";
    facts.isHotplug = readHotplug(diskFolder, m_roots.sysfs);
    facts.model = readModel(diskFolder);

    ProbeResult diskProbe;
    fillContent(facts.disk, mounts, diskProbe);
    facts.partitionScheme = partitionSchemeName(valueOf(diskProbe, "PTTYPE"));

    // Partitions are the sub-folders that carry a partition number.
    std::vector<std::pair<std::uint32_t, std::filesystem::path>> partitionFolders;
    for (auto it = std::filesystem::directory_iterator(diskFolder, error);
         !error && it != std::filesystem::directory_iterator() && partitionFolders.size() < maxPartitionsPerDisk;
         it.increment(error)) {
        const auto number = attribute(it->path() / "partition");
        const auto parsed = number ? DecimalNumber::parse<std::uint32_t>(*number) : std::nullopt;
        if (parsed && isPlausibleDeviceName(it->path().filename().string()))
            partitionFolders.emplace_back(*parsed, it->path());
    }
    std::sort(partitionFolders.begin(), partitionFolders.end());
    for (const auto& [number, folder] : partitionFolders) {
        BlockDeviceFacts partition;
        partition.name = folder.filename().string();
        partition.sizeBytes = readSizeBytes(folder);
        readDeviceNumbers(folder, partition);
        ProbeResult partitionProbe;
        fillContent(partition, mounts, partitionProbe);
        if (!facts.partitionScheme) facts.partitionScheme = partitionSchemeName(valueOf(partitionProbe, "PART_ENTRY_SCHEME"));
        facts.partitions.push_back(std::move(partition));
    }
    return facts;
}

std::optional<std::vector<DiskFacts>> DiskInventory::list() const {
    const auto blockFolder = m_roots.sysfs / "block";
    std::error_code error;
    std::filesystem::directory_iterator it(blockFolder, error);
    if (error) return std::nullopt;
    const auto mounts = MountTable::read(m_roots.mountInfo).value_or(std::vector<MountEntry>{});
    std::vector<std::string> names;
    for (; !error && it != std::filesystem::directory_iterator() && names.size() < maxDisks; it.increment(error)) {
        const auto name = it->path().filename().string();
        if (isPlausibleDeviceName(name)) names.push_back(name);
    }
    // Directory order is arbitrary; a stable order keeps the list from shuffling between passes.
    std::sort(names.begin(), names.end());
    std::vector<DiskFacts> disks;
    for (const auto& name : names) {
        if (auto facts = describeAt(blockFolder / name, name, mounts)) disks.push_back(std::move(*facts));
    }
    return disks;
}

std::optional<DiskFacts> DiskInventory::describe(const std::string& diskName) const {
    if (!isPlausibleDeviceName(diskName)) return std::nullopt;
    const auto folder = m_roots.sysfs / "block" / diskName;
    std::error_code error;
    if (!std::filesystem::exists(folder, error)) return std::nullopt;
    const auto mounts = MountTable::read(m_roots.mountInfo).value_or(std::vector<MountEntry>{});
    return describeAt(folder, diskName, mounts);
}

} // namespace vantrel
