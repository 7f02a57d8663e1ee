#pragma once
// The volume list with the disk image files the user opened: every list of the disk monitor, then
// the image files in the order they were added. An image stays in the list across the monitor's
// refreshes until its file is gone; scanning and recovering read it through the
// helper at its own path, like a disk (ExternalVolume::isImageFile). Its file systems are named by
// the probe the helper's scan runs, so a FAT or exFAT image is offered the same scan modes as a card.

#include "Vantrel/effects/VolumeSource.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// Why a path cannot be opened as a disk image file.
// tooSmall: less than one 512-byte sector, which no disk image is (a text file chosen by mistake).
enum class ImageFileProblem { missing, notRegularFile, empty, tooSmall };

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
    // it is listed as, or nothing when path names no regular file or an empty one (problemOf says
    // which). Adding a file twice lists it once.
    std::optional<ExternalVolume> addImageFile(const std::string& path);
    // The image file as a volume: its file name, its absolute path as the kernel name, its size and
    // the file systems the probe finds in it (none when it cannot be read here).
    static std::optional<ExternalVolume> volumeOf(const std::string& path);
    // What keeps path from being an image file, or nothing when it can be one.
    static std::optional<ImageFileProblem> problemOf(const std::string& path);
    // The file systems of the image file, as the volume list names a disk's ("FAT", "exFAT · HFS+").
    static std::optional<std::string> fileSystemsOf(const std::string& path);

private:
    std::vector<ExternalVolume> withImages(std::vector<ExternalVolume> disks);
    void publish();

    std::shared_ptr<VolumeSource> m_disks;
    std::vector<ExternalVolume> m_images;
    Observer m_observer;
};

} // namespace vantrel
