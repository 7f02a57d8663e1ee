#include "platform/disks/BackingStorage.h"

#include "platform/UniqueFd.h"
#include "platform/disks/MountTable.h"
#include "platform/disks/WholeDiskName.h"
#include "platform/files/FolderWithoutLinks.h"
#include "platform/files/SmallFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <linux/loop.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vantrel {

namespace {

// /proc/self/fdinfo/N is a few lines; a file with many locks or marks lists more.
constexpr std::size_t maxFdInfoBytes = 64 * 1024;
// Entries of one slaves/ or devices/ folder looked at.
constexpr std::size_t maxFolderEntries = 256;
// The major number of loop devices (Documentation/admin-guide/devices.txt).
constexpr unsigned loopMajor = 7;
// File systems that keep their files in memory: writing to them changes no disk.
constexpr std::array<std::string_view, 2> memoryFileSystems = {"tmpfs", "ramfs"};
// File systems whose bytes lie on another machine. FUSE file systems other than sshfs are not among
// them: ntfs-3g or exfat-fuse may be serving the very card being read.
constexpr std::array<std::string_view, 5> networkFileSystems = {"nfs", "nfs4", "cifs", "smb3", "fuse.sshfs"};

// The value of NAME= in a comma-separated option list, or nothing.
std::optional<std::string> optionValue(const std::string& options, std::string_view name) {
    std::size_t start = 0;
    while (start < options.size()) {
        const auto comma = options.find(',', start);
        const auto end = comma == std::string::npos ? options.size() : comma;
        const std::string_view option(options.data() + start, end - start);
        if (option.size() > name.size() && option.substr(0, name.size()) == name && option[name.size()] == '=')
            return std::string(option.substr(name.size() + 1));
        start = end + 1;
    }
    return std::nullopt;
}

class Walker {
public:
    Walker(const StorageRoots& roots, bool throughFiles) : m_roots(roots), m_throughFiles(throughFiles) {}

    StoragePlaces take() { return std::move(m_places); }

    void unresolved(std::string reason) {
        if (!m_places.unresolved) m_places.unresolved = std::move(reason);
    }

    void deviceNumber(dev_t number, int depth) {
        if (!step(depth)) return;
        if (major(number) == 0) return mountOfDeviceNumber(number, depth);
        const auto name = DiskMounter::kernelName(major(number), minor(number), m_roots.sysfs);
        if (!name) return unresolved("block device " + std::to_string(major(number)) + ":" + std::to_string(minor(number)) +
                                     " is not in sysfs");
        blockDevice(*name, depth);
    }

    void openFile(int fd, int depth) {
        if (!step(depth)) return;
        struct stat info {};
        if (::fstat(fd, &info) != 0) return unresolved("the file cannot be examined");
        m_places.files.insert({info.st_dev, info.st_ino});
        if (major(info.st_dev) != 0) return deviceNumber(info.st_dev, depth + 1);
        const auto id = BackingStorage::mountIdOf(fd);
        if (!id) return unresolved("the mount of a file on a file system without a device is unknown");
        const auto* entry = mountById(*id);
        if (!entry) return unresolved("the file's mount is not in this helper's mount table");
        mount(*entry, depth + 1);
    }

private:
    bool step(int depth) {
        if (depth > BackingStorage::maxDepth || ++m_visits > BackingStorage::maxPlaces) {
            unresolved("the storage is stacked too deep");
            return false;
        }
        return true;
    }

    const std::vector<MountEntry>* table() {
        if (!m_table) m_table = MountTable::read(m_roots.mountInfo).value_or(std::vector<MountEntry>{});
        return &*m_table;
    }

    const MountEntry* mountById(std::uint64_t id) {
        for (const auto& entry : *table())
            if (entry.mountId == id) return &entry;
        return nullptr;
    }

    void blockDevice(const std::string& name, int depth) {
        if (!step(depth)) return;
        const auto whole = wholeDiskName(name, m_roots.sysfs);
        const bool firstVisit = m_places.devices.insert(whole).second;
        slaves(name, depth);
        if (!firstVisit) return;
        if (whole != name) slaves(whole, depth);
        if (std::filesystem::exists(m_roots.sysfs / "class" / "block" / whole / "loop")) loop(whole, depth);
    }

    void slaves(const std::string& name, int depth) {
        std::error_code error;
        std::filesystem::directory_iterator entries(m_roots.sysfs / "class" / "block" / name / "slaves", error);
        if (error) return;  // no slaves folder: nothing stacked beneath
        std::size_t seen = 0;
        for (const auto& entry : entries) {
            if (++seen > maxFolderEntries) return unresolved(name + " rests on too many devices");
            const auto slave = entry.path().filename().string();
            if (!isPlausibleDeviceName(slave)) continue;
            blockDevice(slave, depth + 1);
        }
    }

    void loop(const std::string& name, int depth) {
        const auto backing = m_roots.loopBacking ? m_roots.loopBacking(name) : std::nullopt;
        if (!backing) return unresolved("the backing file of " + name + " cannot be read");
        m_places.files.insert(backing->file);
        if (backing->blockDevice != 0) return deviceNumber(backing->blockDevice, depth + 1);
        if (m_throughFiles) deviceNumber(backing->file.device, depth + 1);
    }

    // A file system without a device of its own, known only by its device number (a loop device's
    // backing file on tmpfs, overlayfs or btrfs).
    void mountOfDeviceNumber(dev_t number, int depth) {
        for (const auto& entry : *table()) {
            if (entry.major == major(number) && entry.minor == minor(number)) return mount(entry, depth + 1);
        }
        unresolved("no mount has device " + std::to_string(major(number)) + ":" + std::to_string(minor(number)));
    }

    void mount(const MountEntry& entry, int depth) {
        if (!step(depth)) return;
        if (entry.major != 0) return deviceNumber(makedev(entry.major, entry.minor), depth + 1);
        const auto& type = entry.fileSystemType;
        if (std::find(memoryFileSystems.begin(), memoryFileSystems.end(), type) != memoryFileSystems.end()) return;
        if (std::find(networkFileSystems.begin(), networkFileSystems.end(), type) != networkFileSystems.end()) {
            m_places.shares.insert(makedev(entry.major, entry.minor));
            return;
        }
        if (type == "overlay") return overlay(entry, depth);
        if (type == "btrfs") return btrfs(entry, depth);
        unresolved("the " + type + " file system at " + entry.target + " does not show which disks hold it");
    }

    // New and changed files of an overlay go to its upper folder (through its work folder). The folders
    // are named in the mount table only; they are opened without following a link and only where
    // nobody but root can change the way to them, or a member could rename them and put a link to
    // other storage in their place.
    void overlay(const MountEntry& entry, int depth) {
        const auto upper = optionValue(entry.superOptions, "upperdir");
        const auto work = optionValue(entry.superOptions, "workdir");
        if (!upper) return unresolved("the overlay at " + entry.target + " has no upper folder");
        for (const auto& folder : {upper, work}) {
            if (!folder) continue;
            const auto opened = FolderWithoutLinks::open(*folder, FolderWithoutLinks::Trust::rootOnly);
            if (!opened.fd) return unresolved("the overlay folder cannot be trusted: " + *opened.refusal);
            openFile(opened.fd.get(), depth + 1);
        }
    }

    // sysfs lists the devices of every btrfs file system under fs/btrfs/UUID/devices/; the mount's
    // source names one of them.
    void btrfs(const MountEntry& entry, int depth) {
        std::error_code error;
        const auto source = std::filesystem::canonical(entry.source, error);
        const auto sourceName = error ? std::filesystem::path(entry.source).filename().string() : source.filename().string();
        std::filesystem::directory_iterator systems(m_roots.sysfs / "fs" / "btrfs", error);
        if (error) return unresolved("sysfs does not list the btrfs devices");
        std::size_t seen = 0;
        for (const auto& system : systems) {
            if (++seen > maxFolderEntries) break;
            const auto devices = system.path() / "devices";
            if (sourceName.empty() || !std::filesystem::exists(devices / sourceName, error)) continue;
            std::size_t listed = 0;
            for (const auto& device : std::filesystem::directory_iterator(devices, error)) {
                if (++listed > maxFolderEntries) return unresolved("the btrfs at " + entry.target + " has too many devices");
                const auto name = device.path().filename().string();
                if (isPlausibleDeviceName(name)) blockDevice(name, depth + 1);
            }
            return;
        }
        unresolved("the devices of the btrfs at " + entry.target + " are unknown");
    }

    const StorageRoots& m_roots;
    bool m_throughFiles;
    StoragePlaces m_places;
    std::size_t m_visits = 0;
    std::optional<std::vector<MountEntry>> m_table;
};

} // namespace

bool StoragePlaces::meets(const StoragePlaces& other) const {
    const auto intersect = [](const auto& left, const auto& right) {
        return std::any_of(left.begin(), left.end(), [&](const auto& item) { return right.count(item) > 0; });
    };
    return intersect(devices, other.devices) || intersect(files, other.files) || intersect(shares, other.shares) ||
           std::any_of(files.begin(), files.end(), [&](const FileIdentity& file) { return other.shares.count(file.device) > 0; }) ||
           std::any_of(other.files.begin(), other.files.end(), [&](const FileIdentity& file) { return shares.count(file.device) > 0; });
}

namespace BackingStorage {

std::optional<LoopBacking> loopBackingOf(const std::string& loopName) {
    if (!isPlausibleDeviceName(loopName)) return std::nullopt;
    const auto node = "/dev/" + loopName;
    UniqueFd fd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISBLK(info.st_mode) || major(info.st_rdev) != loopMajor)
        return std::nullopt;
    loop_info64 status{};
    if (::ioctl(fd.get(), LOOP_GET_STATUS64, &status) != 0) return std::nullopt;
    return LoopBacking{{static_cast<dev_t>(status.lo_device), static_cast<ino_t>(status.lo_inode)},
                       static_cast<dev_t>(status.lo_rdevice)};
}

StorageRoots systemRoots() {
    StorageRoots roots;
    roots.loopBacking = loopBackingOf;
    return roots;
}

StoragePlaces ofBlockDevice(dev_t device, const StorageRoots& roots, bool throughFiles) {
    Walker walker(roots, throughFiles);
    walker.deviceNumber(device, 0);
    return walker.take();
}

StoragePlaces ofOpenFile(int fd, const StorageRoots& roots) {
    Walker walker(roots, true);
    walker.openFile(fd, 0);
    return walker.take();
}

StoragePlaces ofSource(bool isBlockDevice, dev_t blockDevice, FileIdentity file, const StorageRoots& roots) {
    if (isBlockDevice) return ofBlockDevice(blockDevice, roots, false);
    StoragePlaces places;
    places.files.insert(file);
    return places;
}

OverlapAnswer overlapOf(const StoragePlaces& source, int fd, const StorageRoots& roots) {
    if (source.unresolved) return {Overlap::sourceUnknown, *source.unresolved};
    const auto destination = ofOpenFile(fd, roots);
    if (destination.unresolved) return {Overlap::destinationUnknown, *destination.unresolved};
    if (source.meets(destination)) return {Overlap::meets, {}};
    return {};
}

std::optional<std::uint64_t> mountIdOf(int fd) {
    struct statx info {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_MNT_ID, &info) == 0 && (info.stx_mask & STATX_MNT_ID))
        return info.stx_mnt_id;
    const auto text = SmallFile::readRegular("/proc/self/fdinfo/" + std::to_string(fd), maxFdInfoBytes);
    if (!text) return std::nullopt;
    const auto found = text->find("\nmnt_id:");
    const auto start = text->rfind("mnt_id:", 0) == 0 ? 0 : found == std::string::npos ? std::string::npos : found + 1;
    if (start == std::string::npos) return std::nullopt;
    try {
        return std::stoull(text->substr(start + 7));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace BackingStorage
} // namespace vantrel
