// Finding the disk the results came from among the attached ones (see CatalogFlows.h).

#include "Vantrel/catalog/CatalogFlows.h"

#include "Vantrel/catalog/CatalogVolumeMatching.h"
#include "Vantrel/helper/CallError.h"
#include "platform/text/ByteCountText.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/filesystems/partitions/MediumIdentityReader.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>

namespace vantrel::CatalogFlows {

namespace {

constexpr std::string_view category = "catalog";
// The disks of the recorded size asked in one search; a desk with more card readers than this is rare.
constexpr std::size_t maxDisksAsked = 16;

QString translated(const char* text) { return QCoreApplication::translate("AppModel", text); }

QString fromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A disk as the search remembers having asked it: its node and the medium in it.
std::string markKey(const std::string& devicePath, const SourceGuard::DiskMark& mark) {
    return devicePath + "#" +
           (mark.mediaSequence ? std::to_string(*mark.mediaSequence) : "size" + std::to_string(mark.sizeBytes.value_or(0)));
}

QString notTheDisk(const ExternalVolume& attached, const ScanCatalog::Source& source) {
    return translated("The attached disk \"%1\" is not the one these files were found on (\"%2\").")
        .arg(fromUtf8(attached.name), fromUtf8(source.displayName));
}

QString cannotTell(const ExternalVolume& attached, const std::string& reason) {
    return translated("Cannot tell whether the attached disk \"%1\" is the one these files were found on (%2). Nothing is "
                      "read from it.")
        .arg(fromUtf8(attached.name), fromUtf8(reason));
}

// The disks that may hold the medium: attached disks (not image files) of its size, the one of the
// recorded name first.
std::vector<ExternalVolume> disksOfSize(const std::vector<ExternalVolume>& volumes, const ScanCatalog::Source& source,
                                        std::uint64_t sizeBytes) {
    std::vector<ExternalVolume> found;
    for (const auto& volume : volumes)
        if (!volume.isImageFile() && volume.sizeBytes == sizeBytes) found.push_back(volume);
    std::stable_partition(found.begin(), found.end(),
                          [&](const ExternalVolume& volume) { return source.bsdName && volume.bsdName == *source.bsdName; });
    if (found.size() > maxDisksAsked) found.resize(maxDisksAsked);
    return found;
}

// The disk the recorded name, device path or size point at (never an image file), by the rules a
// catalog's disk was found by before media told themselves apart.
std::optional<ExternalVolume> namedDisk(const std::vector<ExternalVolume>& volumes, const ScanCatalog::Source& source) {
    CatalogVolumeMatching::Inventory inventory;
    for (const auto& volume : volumes)
        if (!volume.isImageFile()) inventory.volumes.push_back(volume);
    auto plain = source;
    plain.identity = {};
    return CatalogVolumeMatching::findVolume(plain, inventory);
}

// Takes the disk at volume, seen as mark, as the results' disk.
void adopt(AppModel& model, const ExternalVolume& volume, const SourceGuard::DiskMark& mark, std::optional<MediumIdentity> medium) {
    const bool fromCatalog = model.plainState().catalogURL.has_value();
    attach(model, volume);
    model.bindResultsDisk(mark);
    auto& source = model.plainState().resultsSource;
    if (source && !source->medium && medium && !medium->fingerprint.empty()) source->medium = std::move(medium);
    AppLog::info("catalog disk attached " + volume.rawDevicePath(), category);
    if (fromCatalog) model.setStatusMessage(loadedStatus(model, true));
    model.enqueueIntegrityChecks();
}

Task<std::optional<MediumIdentity>> identify(AppModel* model, std::string path, std::string* failure) {
    std::optional<MediumIdentity> identity;
    try {
        identity = co_await model->helperClient().identifyDevice(path);
    } catch (const std::exception& error) {
        *failure = CallError::objectOf(error).message;
        AppLog::error("identifyDevice " + path + " failed: " + *failure, category);
    }
    co_return identity;
}

// What one search found out, for the status once it ends.
struct Outcome {
    std::optional<QString> refusal;  // an attached disk is another one, or cannot be told
    bool askedAny = false;           // a disk was asked (or the user was)
};

Task<Outcome> searchByMedium(AppModel* model, ScanCatalog::Source source, std::vector<ExternalVolume> volumes, std::uint64_t generation) {
    Outcome outcome;
    const MediumIdentity recorded = *source.medium;
    for (const auto& volume : disksOfSize(volumes, source, recorded.deviceBytes)) {
        const auto mark = model->observeDisk(volume.rawDevicePath());
        if (!mark.isBlockDevice || !model->plainState().diskSearchTried.insert(markKey(volume.rawDevicePath(), mark)).second) continue;
        outcome.askedAny = true;
        std::string failure;
        const auto identity = co_await identify(model, volume.rawDevicePath(), &failure);
        if (model->plainState().diskSearchGeneration != generation) co_return outcome;
        if (identity && identity->sameMedium(recorded) && SourceGuard::sameDisk(mark, model->observeDisk(volume.rawDevicePath()))) {
            adopt(*model, volume, mark, std::nullopt);
            outcome.refusal.reset();
            co_return outcome;
        }
        if (!identity && !outcome.refusal) outcome.refusal = cannotTell(volume, failure);
    }
    if (!outcome.refusal) {
        const auto named = namedDisk(volumes, source);
        if (named && (outcome.askedAny || model->plainState().diskSearchTried.insert("named#" + named->bsdName).second))
            outcome.refusal = notTheDisk(*named, source);
    }
    co_return outcome;
}

Task<Outcome> searchByWord(AppModel* model, ScanCatalog::Source source, std::vector<ExternalVolume> volumes, std::uint64_t generation) {
    Outcome outcome;
    const auto named = namedDisk(volumes, source);
    if (!named) co_return outcome;
    const auto mark = model->observeDisk(named->rawDevicePath());
    // A disk of another label or size is not the one, whatever its name; but a disk just attached may be
    // listed before its label was read, so a refusal holds only for the label and size it was seen with,
    // and the same medium is looked at again when the list shows it otherwise.
    const bool sameWords = named->name == source.displayName && named->sizeBytes == source.sizeBytes;
    const std::string tried = markKey(named->rawDevicePath(), mark) +
                              (sameWords ? std::string() : "#seen as " + named->name + "/" + std::to_string(named->sizeBytes));
    if (!mark.isBlockDevice || !model->plainState().diskSearchTried.insert(tried).second) co_return outcome;
    outcome.askedAny = true;
    if (!sameWords) {
        outcome.refusal = notTheDisk(*named, source);
        co_return outcome;
    }
    const QString question = translated("Use \"%1\" (%2) for this catalog?")
                                 .arg(fromUtf8(named->name), fromUtf8(ByteCountText::fileStyle(named->sizeBytes)));
    const bool use = co_await model->askCatalogDiskQuestion(question);
    if (model->plainState().diskSearchGeneration != generation) co_return outcome;
    if (!use) {
        outcome.refusal = translated("The disk \"%1\" was not confirmed as the one these files were found on. Nothing is read "
                                     "from it.")
                              .arg(fromUtf8(named->name));
        co_return outcome;
    }
    // What the medium says of itself is recorded now, so that a catalog saved from these results
    // finds it without asking. A helper that cannot tell does not undo the user's word.
    std::string failure;
    auto identity = co_await identify(model, named->rawDevicePath(), &failure);
    if (model->plainState().diskSearchGeneration != generation) co_return outcome;
    if (!SourceGuard::sameDisk(mark, model->observeDisk(named->rawDevicePath()))) {
        outcome.refusal = notTheDisk(*named, source);
        co_return outcome;
    }
    adopt(*model, *named, mark, std::move(identity));
    co_return outcome;
}

Task<void> searchTask(AppModel* model, std::uint64_t generation) {
    auto& plain = model->plainState();
    const ScanCatalog::Source source = *plain.resultsSource;
    std::vector<ExternalVolume> volumes;
    if (auto monitor = model->volumeMonitor()) volumes = monitor->volumes();
    Outcome outcome;
    if (source.medium) outcome = co_await searchByMedium(model, source, std::move(volumes), generation);
    else outcome = co_await searchByWord(model, source, std::move(volumes), generation);
    if (plain.diskSearchGeneration != generation) co_return;
    plain.diskSearchFor.reset();
    if (plain.resultsDiskAttached && model->sourceDeviceToRead()) co_return;
    if (outcome.refusal) {
        AppLog::info("results disk refused: " + outcome.refusal->toStdString(), category);
        plain.sourceRefusal = outcome.refusal;
        model->setStatusMessage(*outcome.refusal);
    } else if (outcome.askedAny || model->statusMessage() == model->withScanEnd(searchingStatus(*model))) {
        model->setStatusMessage(loadedStatus(*model, false));
    }
}

} // namespace

void searchResultsDisk(AppModel& model) {
    auto& plain = model.plainState();
    if (!plain.resultsSource || plain.resultsSource->kind != ScanCatalog::Source::Kind::volume) return;
    if (plain.diskSearchFor == plain.diskSearchGeneration || model.isScanning()) return;
    // Results of a scan that recorded no medium are followed by the read guard alone.
    if (!plain.resultsSource->medium && !plain.catalogURL) return;
    plain.diskSearchFor = plain.diskSearchGeneration;
    model.tasks().spawn(searchTask(&model, plain.diskSearchGeneration));
}

MediumIdentity localImageIdentity(const std::string& path) {
    FileByteSource source(path);
    MediumIdentityReader::Options options;
    options.fingerprintHeadWhenUnknown = true;
    return MediumIdentityReader::read(source, options);
}

QString loadedStatus(const AppModel& model, bool attached) {
    const auto count = static_cast<qlonglong>(model.hits().size());
    if (attached) {
        const auto& selected = model.selectedVolume();
        const auto& source = model.plainState().resultsSource;
        const std::string name = selected ? selected->name : source ? source->displayName : std::string();
        return model.withScanEnd(translated("Loaded catalog — %1 file(s) from %2.").arg(count).arg(fromUtf8(name)));
    }
    return model.withScanEnd(
        translated("Loaded catalog — %1 file(s). The source disk isn’t visible to Linux. Unmounted or damaged cards "
                   "still work if they appear in the disk strip — reinsert the card if you ejected it.")
            .arg(count));
}

QString searchingStatus(const AppModel& model) {
    return translated("Loaded catalog — %1 file(s). Looking for the disk they were found on…")
        .arg(static_cast<qlonglong>(model.hits().size()));
}

} // namespace vantrel::CatalogFlows
