// AppModel: the disk the results came from. A scan records the disk it reads (its ids, and what the
// kernel says of the medium now); every road that reads hits asks sourceDeviceToRead() first, and every
// road that writes recovered bytes into a folder asks destinationRefusal() first (see SourceGuard).

#include "Vantrel/catalog/CatalogFlows.h"
#include "Vantrel/model/AppModel.h"

#include "platform/UniqueFd.h"
#include "platform/disks/WholeDiskName.h"
#include "support/log/AppLog.h"

#include <fcntl.h>

namespace vantrel {

namespace {

SourceGuard::IdentityByName identityLookup(const AppModel& model) {
    return [lookup = model.effects().diskIdentity](const std::string& diskName) {
        if (!lookup) return DiskIdentity{};
        ExternalVolume volume;
        volume.bsdName = diskName;
        return lookup(volume);
    };
}

SourceGuard::DiskMark observe(const AppModel& model, const std::string& devicePath) {
    if (const auto& observeDisk = model.effects().observeDisk) return observeDisk(devicePath);
    return SourceGuard::observe(devicePath, identityLookup(model));
}

BackingStorage::OverlapAnswer overlap(const AppModel& model, const std::string& devicePath, int fd) {
    if (const auto& destinationOverlap = model.effects().destinationOverlap) return destinationOverlap(devicePath, fd);
    return SourceGuard::fileOverlap(devicePath, fd);
}

std::string markText(const SourceGuard::DiskMark& mark) {
    if (mark.imageFile) return "image file " + std::to_string(mark.imageFile->device) + ":" + std::to_string(mark.imageFile->inode);
    if (!mark.isBlockDevice) return "no disk";
    return "disk " + mark.diskName + (mark.mediaSequence ? " medium " + std::to_string(*mark.mediaSequence) : std::string()) +
           (mark.sizeBytes ? " size " + std::to_string(*mark.sizeBytes) : std::string()) +
           (mark.identity.isEmpty() ? " without ids" : " with ids");
}

QString fromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::optional<QString> refusalText(const BackingStorage::OverlapAnswer& answer, const std::filesystem::path& where) {
    const QString shown = fromUtf8(where.string());
    switch (answer.overlap) {
    case BackingStorage::Overlap::apart: return std::nullopt;
    case BackingStorage::Overlap::meets:
        return AppModel::tr("The destination lies on the disk being read: %1. Choose a folder on another disk.").arg(shown);
    case BackingStorage::Overlap::destinationUnknown:
        return AppModel::tr("Cannot tell which disk holds the destination %1 (%2). Choose a folder on another disk.")
            .arg(shown, fromUtf8(answer.reason));
    case BackingStorage::Overlap::sourceUnknown:
        return AppModel::tr("Cannot tell which disks the source rests on (%1).").arg(fromUtf8(answer.reason));
    }
    return AppModel::tr("Cannot tell which disks the source rests on (%1).").arg(fromUtf8(answer.reason));
}

} // namespace

void AppModel::recordScannedSource(const std::string& devicePath) {
    const auto mark = observe(*this, devicePath);
    m_plain.scannedDiskMark = mark;
    if (m_selectedVolume) CatalogFlows::recordScannedDisk(*this, *m_selectedVolume, devicePath);
    // The whole disk's ids, as the reads will see them (a volume may be one of its partitions).
    if (m_plain.resultsSource && mark.isBlockDevice) m_plain.resultsSource->identity = mark.identity;
    AppLog::info("scanned disk " + devicePath + (mark.mediaSequence ? " medium " + std::to_string(*mark.mediaSequence) : "") +
                     (mark.identity.isEmpty() ? " without ids" : ""),
                 "scan");
}

void AppModel::recordCatalogSource(const ScanCatalog::Source& source) {
    // What a catalog says of its disk names no node: a disk is read only once it has shown to be that
    // disk (bindResultsDisk).
    static_cast<void>(source);
    resolveCatalogDiskQuestion(false);
    m_plain.scannedDiskMark.reset();
    m_plain.sourceRefusal.reset();
    m_plain.diskSearchTried.clear();
    ++m_plain.diskSearchGeneration;
}

SourceGuard::DiskMark AppModel::observeDisk(const std::string& devicePath) const { return observe(*this, devicePath); }

void AppModel::bindResultsDisk(const SourceGuard::DiskMark& mark) {
    m_plain.scannedDiskMark = mark;
    m_plain.sourceRefusal.reset();
    AppLog::info("results disk is " + markText(mark), "app");
}

std::optional<std::string> AppModel::sourceDeviceToRead() const {
    const auto& device = m_plain.activeRawDevicePath;
    if (!device || !m_plain.resultsDiskAttached || !m_plain.scannedDiskMark) return std::nullopt;
    const auto& recorded = *m_plain.scannedDiskMark;
    const auto now = observe(*this, *device);
    if (!SourceGuard::sameDisk(recorded, now)) {
        AppLog::error("not reading " + *device + ": it is not the disk the results came from (" + markText(recorded) +
                          " then, " + markText(now) + " now)",
                      "app");
        return std::nullopt;
    }
    return device;
}

QString AppModel::sourceNotAttachedMessage() const {
    if (m_plain.sourceRefusal) return *m_plain.sourceRefusal;
    return tr("The disk these files were found on is not attached.");
}

std::optional<QString> AppModel::destinationRefusal(const std::filesystem::path& folder) const {
    const auto& device = m_plain.activeRawDevicePath;
    if (!device) return sourceNotAttachedMessage();
    UniqueFd fd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return refusalText({BackingStorage::Overlap::destinationUnknown, "it cannot be opened"}, folder);
    return refusalText(overlap(*this, *device, fd.get()), folder);
}

std::optional<QString> AppModel::destinationFileRefusal(int fd, const std::filesystem::path& path) const {
    const auto& device = m_plain.activeRawDevicePath;
    if (!device) return sourceNotAttachedMessage();
    return refusalText(overlap(*this, *device, fd), path);
}

} // namespace vantrel
