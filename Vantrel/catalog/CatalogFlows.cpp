#include "Vantrel/catalog/CatalogFlows.h"

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/catalog/CatalogVolumeMatching.h"
#include "Vantrel/effects/ImageFileVolumes.h"
#include "recovery/filesystems/UndeleteNamingState.h"
#include "recovery/model/RecoveryFilters.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

namespace vantrel::CatalogFlows {

namespace {

constexpr std::string_view category = "catalog";

QString translated(const char* text) { return QCoreApplication::translate("AppModel", text); }

QString fromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// An image file has no serial number: its identity is the file itself, unchanged since (device and
// inode number, and the time of its last write). Hits are offsets into the file, so a file written to
// or replaced since is not the one the results came from. Empty when path names no regular file.
DiskIdentity imageFileIdentity(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    char written[48];
    std::snprintf(written, sizeof written, "%lld.%09ld", static_cast<long long>(info.st_mtim.tv_sec),
                  static_cast<long>(info.st_mtim.tv_nsec));
    DiskIdentity identity;
    identity.serialNumber = "image-file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + " written " +
                            written;
    return identity;
}

DiskIdentity identityOf(const AppModel& model, const ExternalVolume& volume) {
    if (volume.isImageFile()) return imageFileIdentity(volume.bsdName);
    const auto& lookup = model.effects().diskIdentity;
    return lookup ? lookup(volume) : DiskIdentity{};
}

// Why a catalog of an image file cannot be opened now, or nothing when the file is there as it was
// scanned: at the recorded path, of the recorded size and identity.
std::optional<QString> imageCatalogRefusal(const ScanCatalog::Source& source) {
    if (!source.medium) return translated("This catalog does not say which image it was made from.");
    if (!source.rawDevicePath || source.rawDevicePath->empty() || source.rawDevicePath->front() != '/')
        return translated("This catalog was saved from a disk image file, but it does not say where the file is.");
    const std::string& path = *source.rawDevicePath;
    const QString name = fromUtf8(path);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return translated("This catalog was saved from the disk image file “%1”, which is not there any more. Put the "
                          "file back at that place to open the catalog.")
            .arg(name);
    const bool sameSize = static_cast<std::uint64_t>(info.st_size) == source.sizeBytes;
    const bool sameFile = source.identity.isEmpty() ||
                          source.identity.compare(imageFileIdentity(path)) != DiskIdentity::Verdict::different;
    const QString changed = translated("This catalog was saved from the disk image file “%1”, which has changed since (it is "
                                       "not the same file, or not of the same size). The files the catalog lists may no "
                                       "longer be where it says; scan the image again.")
                                .arg(name);
    if (!sameSize || !sameFile) return changed;
    // The file is read here with the user's own rights, never through the helper: a catalog cannot
    // make the helper read a file its user could not. Its sectors must be the ones that were scanned,
    // which a catalog copied from another file's status cannot know.
    try {
        if (!localImageIdentity(path).sameMedium(*source.medium)) return changed;
    } catch (const std::exception& error) {
        return translated("This catalog was saved from the disk image file “%1”, which cannot be read (%2).")
            .arg(name, fromUtf8(error.what()));
    }
    return std::nullopt;
}

// The image file of a catalog, checked by imageCatalogRefusal, joins the volume list and is selected.
void attachImageFile(AppModel& model, const std::string& path) {
    std::optional<ExternalVolume> volume;
    if (auto images = std::dynamic_pointer_cast<ImageFileVolumes>(model.volumeMonitor())) volume = images->addImageFile(path);
    else volume = ImageFileVolumes::volumeOf(path);
    if (!volume) {
        model.plainState().activeRawDevicePath.reset();
        model.plainState().resultsDiskAttached = false;
        model.setSelectedVolume(std::nullopt);
        return;
    }
    model.setSelectedVolume(*volume);
    model.plainState().activeRawDevicePath = volume->rawDevicePath();
    model.plainState().resultsDiskAttached = true;
    model.bindResultsDisk(model.observeDisk(volume->rawDevicePath()));
}

} // namespace

// The results' disk now stands at volume: the results' source follows it, keeping its identity.
void attach(AppModel& model, const ExternalVolume& volume) {
    model.setSelectedVolume(volume);
    model.plainState().activeRawDevicePath = volume.rawDevicePath();
    model.plainState().resultsDiskAttached = true;
    if (auto& source = model.plainState().resultsSource) {
        source->bsdName = volume.bsdName;
        source->rawDevicePath = volume.rawDevicePath();
    }
}

namespace {

Task<std::optional<std::string>> askForFile(std::shared_ptr<FileDialogs> dialogs, FileDialogOptions options, bool save) {
    auto start = [dialogs, options, save](CallbackResumer<std::optional<std::string>> resume) {
        auto done = [resume](std::optional<std::string> path) { resume(std::move(path)); };
        if (save) dialogs->chooseFileToSave(options, done);
        else dialogs->chooseFileToOpen(options, done);
    };
    co_return co_await fromCallback<std::optional<std::string>>(start);
}

Task<void> openCatalogFlow(AppModel* model) {
    FileDialogOptions options;
    options.title = translated("Open Scan Catalog").toStdString();
    options.prompt = translated("Open").toStdString();
    options.fileExtensions = {std::string(fileExtension)};
    options.canCreateFolders = false;
    const auto path = co_await askForFile(model->effects().dialogs, options, false);
    if (!path) co_return;
    const bool proceed = co_await model->confirmDiscardHitsIfNeeded();
    if (!proceed) co_return;
    auto start = [file = *path](CallbackResumer<LoadedCatalog> resume) {
        std::thread([file, resume] { resume(readCatalog(file)); }).detach();
    };
    auto loaded = co_await fromCallback<LoadedCatalog>(start);
    loadCatalog(*model, *path, std::move(loaded));
}

bool refuseWhileScanning(AppModel& model) {
    if (!model.isScanning()) return false;
    model.setErrorMessage(translated("A scan is running. Stop it before opening a catalog."));
    return true;
}

} // namespace

void recordScannedDisk(AppModel& model, const ExternalVolume& volume, const std::string& rawDevicePath) {
    model.plainState().resultsSource = CatalogVolumeMatching::sourceFor(volume, rawDevicePath, identityOf(model, volume));
    model.plainState().resultsDiskAttached = true;
}

bool resultsDiskAttached(const AppModel& model) { return model.plainState().resultsDiskAttached; }

Task<bool> saveCatalogWithPanel(AppModel* model) {
    FileDialogOptions options;
    options.title = translated("Save Scan Catalog").toStdString();
    options.prompt = translated("Save").toStdString();
    options.canCreateFolders = true;
    options.fileExtensions = {std::string(fileExtension)};
    // A volume's label comes from the disk: only a safe file name is proposed.
    const std::string name =
        model->selectedVolume() ? UndeleteNamingState::makeSafeFileName(model->selectedVolume()->name) : std::string();
    options.defaultName = (name.empty() ? std::string("scan") : name) + "." + std::string(fileExtension);
    if (const auto& last = model->plainState().catalogURL)
        options.directory = std::filesystem::path(*last).parent_path().string();
    auto path = co_await askForFile(model->effects().dialogs, options, true);
    if (!path) co_return false;
    if (std::filesystem::path(*path).extension().empty()) *path += "." + std::string(fileExtension);
    co_return saveCatalog(*model, *path);
}

bool saveCatalog(AppModel& model, const std::string& path) {
    ScanCatalog catalog;
    catalog.version = ScanCatalog::currentVersion;
    catalog.createdAt = model.effects().clock->now();
    const QString version = QCoreApplication::applicationVersion();
    if (!version.isEmpty()) catalog.appBuild = version.toStdString();
    const auto& active = model.plainState().activeRawDevicePath;
    if (const auto& scanned = model.plainState().resultsSource) {
        catalog.source = *scanned;
    } else if (const auto& selected = model.selectedVolume()) {
        catalog.source = CatalogVolumeMatching::sourceFor(*selected, active, identityOf(model, *selected));
    } else {
        catalog.source.displayName = active.value_or("unknown");
        catalog.source.rawDevicePath = active;
    }
    catalog.hits.assign(model.hits().begin(), model.hits().end());
    // How the scan ended: a catalog of a cancelled scan says that its list is partial.
    if (const auto& end = model.plainState().resultsScanEnd) catalog.summary = end->summary();
    // A catalog written onto the disk its results are read from could overwrite the very files it lists.
    if (active) {
        const std::filesystem::path folder = std::filesystem::path(path).parent_path();
        if (const auto refusal = model.destinationRefusal(folder.empty() ? std::filesystem::path(".") : folder)) {
            AppLog::error("saveCatalog refused " + path + ": " + refusal->toStdString(), category);
            model.setErrorMessage(*refusal);
            return false;
        }
    }
    try {
        catalog.write(path);
    } catch (const ScanCatalogError& error) {
        model.setErrorMessage(fromUtf8(error.error().message));
        return false;
    }
    model.plainState().catalogURL = path;
    model.setCatalogDirty(false);
    model.setStatusMessage(translated("Catalog saved (%1 hits).").arg(static_cast<qlonglong>(catalog.hits.size())));
    return true;
}

void openCatalogWithPanel(AppModel& model) {
    if (refuseWhileScanning(model)) return;
    model.tasks().spawn(openCatalogFlow(&model));
}

LoadedCatalog readCatalog(const std::string& path) {
    try {
        return ScanCatalog::load(path);
    } catch (const ScanCatalogError& error) {
        return error.error();
    }
}

void loadCatalog(AppModel& model, const std::string& path) { loadCatalog(model, path, readCatalog(path)); }

void loadCatalog(AppModel& model, const std::string& path, LoadedCatalog loaded) {
    // A scan may have started while the dialog, the unsaved-results question or the reading was on.
    if (refuseWhileScanning(model)) return;
    if (const auto* error = std::get_if<ErrorObject>(&loaded)) {
        model.setErrorMessage(fromUtf8(error->message));
        return;
    }
    ScanCatalog catalog = std::move(std::get<ScanCatalog>(loaded));
    if (catalog.source.kind == ScanCatalog::Source::Kind::diskImage) {
        if (auto refusal = imageCatalogRefusal(catalog.source)) {
            model.setErrorMessage(*refusal);
            return;
        }
    }
    auto& plain = model.plainState();
    plain.pendingIntegrityIDs.clear();
    model.setHits(std::move(catalog.hits));
    // Hits no real file can be: a finished scan drops the same ones.
    model.pruneImplausibleHits();
    model.setSelectedHitIDs({});
    plain.catalogURL = path;
    model.setCatalogDirty(false);
    const auto count = static_cast<std::int64_t>(model.hits().size());
    model.setProgress(ScanProgress{0, 0, count, 0});
    // The end its summary states, with the count of the list as it is now.
    plain.resultsScanEnd = catalog.summary ? ScanEnd::fromSummary(*catalog.summary) : std::nullopt;
    if (plain.resultsScanEnd) plain.resultsScanEnd->count = count;

    plain.resultsSource = catalog.source;
    model.recordCatalogSource(catalog.source);
    matchCatalogSource(model, catalog.source);
    if (plain.resultsDiskAttached) model.setStatusMessage(loadedStatus(model, true));
    else if (plain.diskSearchFor == plain.diskSearchGeneration) model.setStatusMessage(model.withScanEnd(searchingStatus(model)));
    else model.setStatusMessage(loadedStatus(model, false));
    const bool checked = std::any_of(model.hits().begin(), model.hits().end(), [](const RecoveredHit& hit) {
        return hit.integrity != HitIntegrity::pending || hit.captureDate.has_value();
    });
    model.setQualityPassStarted(checked);
    AppLog::info("catalog opened hits=" + std::to_string(count) + " attached=" + (plain.resultsDiskAttached ? "true" : "false") +
                     " device=" + plain.activeRawDevicePath.value_or("none"),
                 category);
    // The quality pass checks the pending hits while their disk is there.
    if (plain.resultsDiskAttached) model.enqueueIntegrityChecks();
}

void matchCatalogSource(AppModel& model, const ScanCatalog::Source& source) {
    if (source.kind == ScanCatalog::Source::Kind::diskImage) {
        attachImageFile(model, source.rawDevicePath.value_or(std::string()));
        return;
    }
    // Neither the catalog's device path nor its kernel name are used: a node of that name may now be
    // another disk. Its disk is read once it has shown to be that disk (searchResultsDisk); until then
    // the selection is a volume made from the catalog that names no attached disk.
    model.plainState().activeRawDevicePath.reset();
    model.plainState().resultsDiskAttached = false;
    model.setSelectedVolume(CatalogVolumeMatching::synthesisedVolume(source, std::nullopt));
    if (auto monitor = model.volumeMonitor()) monitor->refresh();
    searchResultsDisk(model);
}

void reconcileSelectedVolume(AppModel& model, const std::vector<ExternalVolume>& volumes) {
    const auto selected = model.selectedVolume();
    if (!selected) return;
    const auto& plain = model.plainState();
    // A catalog's disk that has not shown itself yet: the new list may hold it.
    if (plain.resultsSource && !plain.resultsDiskAttached) {
        searchResultsDisk(model);
        return;
    }
    const bool isResultsDisk = plain.resultsSource && plain.resultsSource->bsdName == std::optional<std::string>(selected->bsdName);
    CatalogVolumeMatching::Inventory inventory;
    inventory.volumes = volumes;
    const auto found = CatalogVolumeMatching::reconcile(*selected, plain.activeRawDevicePath, {}, inventory);
    if (found && !isResultsDisk) {
        AppLog::info("selection follows " + found->bsdName + " mounted=" + (found->isMounted ? "true" : "false"), category);
        model.setSelectedVolume(*found);
        model.plainState().activeRawDevicePath = found->rawDevicePath();
        return;
    }
    if (!isResultsDisk) return;
    // The results' disk is followed under its own name only (its record changed: mounted, resized);
    // whether the medium there is still the one is the read guard's to say, and where it says no, the
    // medium is asked.
    if (found && found->bsdName == selected->bsdName) {
        AppLog::info("selection follows " + found->bsdName + " mounted=" + (found->isMounted ? "true" : "false"), category);
        model.setSelectedVolume(*found);
    }
    if (!model.sourceDeviceToRead()) searchResultsDisk(model);
}

} // namespace vantrel::CatalogFlows
