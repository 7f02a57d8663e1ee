#include "Vantrel/catalog/CatalogVolumeMatching.h"

#include "platform/disks/WholeDiskName.h"

#include <algorithm>

namespace vantrel::CatalogVolumeMatching {

namespace {

bool disagrees(const DiskIdentity& known, const ExternalVolume& volume, const Inventory& inventory) {
    return !known.isEmpty() && known.compare(inventory.identity(volume)) == DiskIdentity::Verdict::different;
}

// The first volume that the test accepts and whose identity does not disagree.
template <typename Test>
std::optional<ExternalVolume> first(const Inventory& inventory, const DiskIdentity& known, Test test) {
    for (const auto& volume : inventory.volumes) {
        if (test(volume) && !disagrees(known, volume, inventory)) return volume;
    }
    return std::nullopt;
}

} // namespace

std::optional<ExternalVolume> findVolume(const ScanCatalog::Source& source, const Inventory& inventory) {
    const DiskIdentity& known = source.identity;
    if (!known.isEmpty()) {
        for (const auto& volume : inventory.volumes) {
            if (known.compare(inventory.identity(volume)) == DiskIdentity::Verdict::same) return volume;
        }
    }
    if (source.bsdName && !inventory.volumes.empty()) {
        const std::string wholeDisk = wholeDiskName(*source.bsdName, inventory.sysfsRoot);
        if (auto found = first(inventory, known, [&](const ExternalVolume& volume) {
                return volume.bsdName == *source.bsdName || volume.bsdName == wholeDisk;
            }))
            return found;
        if (auto found = first(inventory, known, [&](const ExternalVolume& volume) {
                return wholeDiskName(volume.bsdName, inventory.sysfsRoot) == wholeDisk;
            }))
            return found;
    }
    if (source.rawDevicePath) {
        if (auto found = first(inventory, known, [&](const ExternalVolume& volume) {
                return volume.rawDevicePath() == *source.rawDevicePath || volume.devicePath() == *source.rawDevicePath;
            }))
            return found;
    }
    if (source.sizeBytes != 0) {
        std::vector<const ExternalVolume*> sameSize;
        for (const auto& volume : inventory.volumes) {
            if (volume.sizeBytes == source.sizeBytes && !disagrees(known, volume, inventory)) sameSize.push_back(&volume);
        }
        if (sameSize.size() == 1) return *sameSize.front();
        const auto named = std::count_if(sameSize.begin(), sameSize.end(),
                                         [&](const ExternalVolume* volume) { return volume->name == source.displayName; });
        if (named == 1) {
            return **std::find_if(sameSize.begin(), sameSize.end(),
                                  [&](const ExternalVolume* volume) { return volume->name == source.displayName; });
        }
    }
    return std::nullopt;
}

ExternalVolume synthesisedVolume(const ScanCatalog::Source& source, const std::optional<std::string>& bsdName) {
    ExternalVolume volume;
    volume.name = source.displayName;
    volume.bsdName = bsdName.value_or("");
    volume.sizeBytes = source.sizeBytes;
    volume.isEjectable = true;
    volume.isMounted = false;
    return volume;
}

ScanCatalog::Source sourceFor(const ExternalVolume& volume, const std::optional<std::string>& rawDevicePath,
                              const DiskIdentity& identity) {
    ScanCatalog::Source source;
    // An image file the user added has its path where a disk has its kernel name: it is recorded as
    // an image (which a catalog is not opened from again), never as a disk name.
    source.kind = volume.isImageFile() ? ScanCatalog::Source::Kind::diskImage : ScanCatalog::Source::Kind::volume;
    source.displayName = volume.name;
    if (!volume.bsdName.empty() && !volume.isImageFile()) source.bsdName = volume.bsdName;
    source.rawDevicePath = rawDevicePath.value_or(volume.rawDevicePath());
    source.sizeBytes = volume.sizeBytes;
    source.identity = identity;
    return source;
}

std::optional<ExternalVolume> reconcile(const ExternalVolume& selected, const std::optional<std::string>& activeRawDevicePath,
                                        const DiskIdentity& selectedIdentity, const Inventory& inventory) {
    if (!selected.bsdName.empty()) {
        const std::string wholeDisk = wholeDiskName(selected.bsdName, inventory.sysfsRoot);
        const auto sameName = first(inventory, selectedIdentity, [&](const ExternalVolume& volume) {
            return volume.bsdName == selected.bsdName || volume.bsdName == wholeDisk;
        });
        if (sameName) return *sameName == selected ? std::nullopt : sameName;
    }
    auto found = findVolume(sourceFor(selected, activeRawDevicePath, selectedIdentity), inventory);
    if (found && *found == selected) return std::nullopt;
    return found;
}

} // namespace vantrel::CatalogVolumeMatching
