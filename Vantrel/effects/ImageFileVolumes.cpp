#include "Vantrel/effects/ImageFileVolumes.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace vantrel {

namespace {

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
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

std::optional<ExternalVolume> ImageFileVolumes::volumeOf(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error).lexically_normal();
    if (error || !isRegularFile(absolute.string())) return std::nullopt;
    const auto size = std::filesystem::file_size(absolute, error);
    if (error) return std::nullopt;
    ExternalVolume volume;
    volume.name = absolute.filename().string();
    volume.bsdName = absolute.string();
    volume.sizeBytes = size;
    volume.protocolName = "Disk Image";
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
