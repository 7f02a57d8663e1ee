#pragma once
// The volume list with the disk image files the user opened: every list of the disk monitor, then
// the image files in the order they were added. An image stays in the list across the monitor's
// refreshes until its file is gone; scanning and recovering read it through the
// helper at its own path, like a disk (ExternalVolume::isImageFile).

#include "Vantrel/effects/VolumeSource.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

class ImageFileVolumes final : public VolumeSource {
public:
    // The extensions offered in the open dialog, without the dot.
    static const std::vector<std::string>& extensions();

    explicit ImageFileVolumes(std::shared_ptr<VolumeSource> disks);
    ~ImageFileVolumes() override;

    void start() override;
    void stop() override;
    void refresh() override;
    // The disks' last list and the image files; an image whose file is gone leaves with the next list.
    std::vector<ExternalVolume> volumes() const override;
    bool showInternal() const override;
    void setShowInternal(bool show) override;
    void setObserver(Observer observer) override;

    // Adds the regular file at path (made absolute) and hands the observer the new list; the volume
    // it is listed as, or nothing when path names no regular file. Adding a file twice lists it once.
    std::optional<ExternalVolume> addImageFile(const std::string& path);
    // The image file as a volume: its file name, its absolute path as the kernel name, its size.
    static std::optional<ExternalVolume> volumeOf(const std::string& path);

private:
    std::vector<ExternalVolume> withImages(std::vector<ExternalVolume> disks);
    void publish();

    std::shared_ptr<VolumeSource> m_disks;
    std::vector<ExternalVolume> m_images;
    Observer m_observer;
};

} // namespace vantrel
