#include "Vantrel/effects/ImageFileVolumes.h"

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace vantrel {

namespace {

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The names the volume list gives a disk's file systems.
std::optional<std::string> displayName(DetectedFileSystem fileSystem) {
    switch (fileSystem) {
    case DetectedFileSystem::fat16:
    case DetectedFileSystem::fat32: return "FAT";
    case DetectedFileSystem::exfat: return "exFAT";
    case DetectedFileSystem::hfs: return "HFS";
    case DetectedFileSystem::hfsPlus: return "HFS+";
    case DetectedFileSystem::apfs: return "APFS";
    case DetectedFileSystem::unknown: break;
    }
    return std::nullopt;
}

} // namespace

const std::vector<std::string>& ImageFileVolumes::extensions() {
    static const std::vector<std::string> list = {"img", "dd", "raw"};
    return list;
}

ImageFileVolumes::ImageFileVolumes(std::shared_ptr<VolumeSource> disks) : m_disks(std::move(disks)) {
    // The disks' lists arrive on the main thread, as this object is used.
    m_disks->setObserver([this](const std::vector<ExternalVolume>& list) {
        if (m_observer) m_observer(withImages(list));
    });
}

ImageFileVolumes::~ImageFileVolumes() { m_disks->setObserver({}); }

void ImageFileVolumes::start() { m_disks->start(); }
void ImageFileVolumes::stop() { m_disks->stop(); }
void ImageFileVolumes::refresh() { m_disks->refresh(); }
bool ImageFileVolumes::showInternal() const { return m_disks->showInternal(); }
void ImageFileVolumes::setShowInternal(bool show) { m_disks->setShowInternal(show); }
void ImageFileVolumes::setObserver(Observer observer) { m_observer = std::move(observer); }

std::vector<ExternalVolume> ImageFileVolumes::volumes() const {
    auto list = m_disks->volumes();
    for (const auto& image : m_images)
        if (isRegularFile(image.bsdName)) list.push_back(image);
    return list;
}

std::vector<ExternalVolume> ImageFileVolumes::withImages(std::vector<ExternalVolume> disks) {
    std::erase_if(m_images, [](const ExternalVolume& image) { return !isRegularFile(image.bsdName); });
    disks.insert(disks.end(), m_images.begin(), m_images.end());
    return disks;
}

namespace {
// One sector: the least any partition map or file system takes.
constexpr off_t minimumImageBytes = 512;
} // namespace

std::optional<ImageFileProblem> ImageFileVolumes::problemOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return ImageFileProblem::missing;
    if (!S_ISREG(info.st_mode)) return ImageFileProblem::notRegularFile;
    if (info.st_size == 0) return ImageFileProblem::empty;
    if (info.st_size < minimumImageBytes) return ImageFileProblem::tooSmall;
    return std::nullopt;
}

std::optional<std::string> ImageFileVolumes::fileSystemsOf(const std::string& path) {
    std::vector<std::string> names;
    try {
        FileByteSource source(path);
        std::int64_t readErrors = 0;
        for (const auto& partition : FileSystemProbe::probeAll(source, readErrors)) {
            const auto name = displayName(partition.fileSystem);
            if (name && std::find(names.begin(), names.end(), *name) == names.end()) names.push_back(*name);
        }
    } catch (const std::exception&) {
        // Unreadable here (a file only root may read): the scan still reads it through the helper.
        return std::nullopt;
    }
    if (names.empty()) return std::nullopt;
    std::string joined = names.front();
    for (std::size_t index = 1; index < names.size(); ++index) joined += " \u00B7 " + names[index];
    return joined;
}

std::optional<ExternalVolume> ImageFileVolumes::volumeOf(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error).lexically_normal();
    if (error || problemOf(absolute.string())) return std::nullopt;
    const auto size = std::filesystem::file_size(absolute, error);
    if (error || size == 0) return std::nullopt;
    ExternalVolume volume;
    volume.name = absolute.filename().string();
    volume.bsdName = absolute.string();
    volume.sizeBytes = size;
    volume.protocolName = "Disk Image";
    volume.fileSystemName = fileSystemsOf(volume.bsdName);
    return volume;
}

std::optional<ExternalVolume> ImageFileVolumes::addImageFile(const std::string& path) {
    auto volume = volumeOf(path);
    if (!volume) return std::nullopt;
    const auto same = std::find_if(m_images.begin(), m_images.end(),
                                   [&](const ExternalVolume& image) { return image.bsdName == volume->bsdName; });
    // Added again, the file may have grown or shrunk: the list shows its size now.
    if (same != m_images.end()) *same = *volume;
    else m_images.push_back(*volume);
    publish();
    return volume;
}

void ImageFileVolumes::publish() {
    if (m_observer) m_observer(withImages(m_disks->volumes()));
}

} // namespace vantrel
