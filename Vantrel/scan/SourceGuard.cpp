#include "Vantrel/scan/SourceGuard.h"

#include "platform/UniqueFd.h"
#include "platform/disks/WholeDiskName.h"
#include "platform/files/SmallFile.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>

namespace vantrel::SourceGuard {

namespace {

// sysfs shows every attribute as a file of a page.
constexpr std::size_t maxAttributeBytes = 4096;
// sysfs shows a path of up to a page, marked when the file is gone.
constexpr std::size_t maxBackingNameBytes = 4096;
constexpr std::string_view deletedMark = " (deleted)";
// sysfs counts a disk's size in 512-byte sectors, whatever its own sector size.
constexpr std::uint64_t sectorBytes = 512;

std::optional<std::uint64_t> number(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// The backing file sysfs names for a loop device, by the identity of the file at that name now.
std::optional<LoopBacking> loopBackingByName(const std::string& loopName, const std::filesystem::path& sysfs) {
    if (!isPlausibleDeviceName(loopName)) return std::nullopt;
    auto text = SmallFile::readRegular(sysfs / "block" / loopName / "loop" / "backing_file", maxBackingNameBytes);
    if (!text) return std::nullopt;
    while (!text->empty() && text->back() == '\n') text->pop_back();
    if (text->empty() || text->front() != '/') return std::nullopt;
    if (text->size() >= deletedMark.size() && text->ends_with(deletedMark)) return std::nullopt;
    struct stat info {};
    if (::stat(text->c_str(), &info) != 0) return std::nullopt;
    return LoopBacking{{info.st_dev, info.st_ino}, S_ISBLK(info.st_mode) ? info.st_rdev : 0};
}

std::optional<StoragePlaces> sourcePlaces(const std::string& sourcePath, const StorageRoots& roots) {
    struct stat info {};
    if (::stat(sourcePath.c_str(), &info) != 0) return std::nullopt;
    if (S_ISBLK(info.st_mode)) return BackingStorage::ofSource(true, info.st_rdev, {}, roots);
    if (S_ISREG(info.st_mode)) return BackingStorage::ofSource(false, 0, {info.st_dev, info.st_ino}, roots);
    return std::nullopt;
}

BackingStorage::OverlapAnswer unknownSource(const std::string& sourcePath) {
    return {BackingStorage::Overlap::sourceUnknown, sourcePath + " is neither a disk nor an image file"};
}

bool shareAny(const std::vector<std::string>& left, const std::vector<std::string>& right) {
    return std::any_of(left.begin(), left.end(),
                       [&](const std::string& id) { return std::find(right.begin(), right.end(), id) != right.end(); });
}

// Some kind of id known on both sides differs.
bool disagrees(const DiskIdentity& left, const DiskIdentity& right) {
    if (left.serialNumber && right.serialNumber && *left.serialNumber != *right.serialNumber) return true;
    if (left.partitionTableId && right.partitionTableId && *left.partitionTableId != *right.partitionTableId) return true;
    return !left.fileSystemIds.empty() && !right.fileSystemIds.empty() && !shareAny(left.fileSystemIds, right.fileSystemIds);
}

} // namespace

StorageRoots storageRoots(const std::filesystem::path& sysfs) {
    StorageRoots roots;
    roots.sysfs = sysfs;
    roots.loopBacking = [sysfs](const std::string& loopName) {
        if (auto backing = BackingStorage::loopBackingOf(loopName)) return backing;
        return loopBackingByName(loopName, sysfs);
    };
    return roots;
}

BackingStorage::OverlapAnswer fileOverlap(const std::string& sourcePath, int fd, const StorageRoots& roots) {
    const auto source = sourcePlaces(sourcePath, roots);
    if (!source) return unknownSource(sourcePath);
    return BackingStorage::overlapOf(*source, fd, roots);
}

BackingStorage::OverlapAnswer folderOverlap(const std::string& sourcePath, const std::filesystem::path& folder,
                                            const StorageRoots& roots) {
    UniqueFd fd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return {BackingStorage::Overlap::destinationUnknown, folder.string() + " is no folder that can be opened"};
    return fileOverlap(sourcePath, fd.get(), roots);
}

std::optional<std::uint64_t> mediaSequence(const std::string& diskName, const std::filesystem::path& sysfs) {
    if (!isPlausibleDeviceName(diskName)) return std::nullopt;
    const auto text = SmallFile::readRegular(sysfs / "block" / diskName / "diskseq", maxAttributeBytes);
    return text ? number(*text) : std::nullopt;
}

DiskMark observe(const std::string& path, const IdentityByName& identityOf, const std::filesystem::path& sysfs) {
    DiskMark mark;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return mark;
    if (S_ISREG(info.st_mode)) {
        mark.imageFile = FileIdentity{info.st_dev, info.st_ino};
        return mark;
    }
    if (!S_ISBLK(info.st_mode)) return mark;
    mark.isBlockDevice = true;
    const auto disk = wholeDiskName(std::filesystem::path(path).filename().string(), sysfs);
    mark.diskName = disk;
    if (identityOf) mark.identity = identityOf(disk);
    mark.mediaSequence = mediaSequence(disk, sysfs);
    if (const auto text = SmallFile::readRegular(sysfs / "block" / disk / "size", maxAttributeBytes)) {
        const auto sectors = number(*text);
        if (sectors && *sectors <= std::numeric_limits<std::uint64_t>::max() / sectorBytes) mark.sizeBytes = *sectors * sectorBytes;
    }
    return mark;
}

bool sameDisk(const DiskMark& recorded, const DiskMark& now) {
    if (now.imageFile) return !recorded.isBlockDevice && (!recorded.imageFile || *recorded.imageFile == *now.imageFile);
    if (!now.isBlockDevice || recorded.imageFile) return false;
    if (disagrees(recorded.identity, now.identity)) return false;
    if (recorded.mediaSequence && now.mediaSequence && *recorded.mediaSequence == *now.mediaSequence) return true;
    if (recorded.identity.isEmpty() && now.identity.isEmpty())
        return !recorded.mediaSequence && !recorded.diskName.empty() && recorded.diskName == now.diskName &&
               recorded.sizeBytes && now.sizeBytes && *recorded.sizeBytes == *now.sizeBytes;
    return recorded.identity.compare(now.identity) == DiskIdentity::Verdict::same;
}

} // namespace vantrel::SourceGuard
