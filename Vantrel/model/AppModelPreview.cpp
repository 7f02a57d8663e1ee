// AppModel: the preview of a hit. The first bytes of the hit (at most previewCapBytes) become a file in
// a fresh private folder, copied from the probe cache when it holds enough of the hit (on a worker
// thread, so the window never waits on the copy), else extracted by the helper into a file this
// program created; a picture whose tags ask for a turn gets an upright
// JPEG copy beside it, made in the verifying child. The preview controller then shows the file.
//
// Each request takes a new generation; only the request whose generation is still current changes what
// is shown or reports a failure, and every folder that is not shown is removed at once. The hits' byte
// offsets count from the start of the device the scan read, so only that device is read from.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/PreviewRenderer.h"
#include "Vantrel/scan/RecoveryFiles.h"

#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <QPointer>

#include <sys/stat.h>

#include <algorithm>
#include <limits>

namespace vantrel {

namespace {

constexpr std::string_view category = "app";

void removePath(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// A preview folder not yet handed to the preview controller, or a probe copy not yet adopted: removed
// when the request that made it fails, turns out stale, or is dropped unfinished (the model goes away
// while the helper extracts).
class PendingPath {
public:
    explicit PendingPath(std::filesystem::path path) : m_path(std::move(path)) {}
    PendingPath(const PendingPath&) = delete;
    PendingPath& operator=(const PendingPath&) = delete;
    ~PendingPath() {
        if (!m_path.empty()) removePath(m_path);
    }
    // The controller shows the folder now and removes it itself.
    void handOver() { m_path.clear(); }

private:
    std::filesystem::path m_path;
};

// The hit's name as a file name of the preview folder: made safe, never a path.
std::string previewName(const RecoveredHit& hit) { return RecoveryFiles::safeFileName(hit.suggestedName, "preview"); }

} // namespace

const RecoveredHit* AppModel::selectedHit() const {
    if (m_selectedHitIDs.empty()) return nullptr;
    for (auto it = m_hits.rbegin(); it != m_hits.rend(); ++it)
        if (m_selectedHitIDs.contains(it->id)) return &*it;
    return nullptr;
}

void AppModel::setPreviewRenderer(std::shared_ptr<PreviewRenderer> renderer) { m_previewRenderer = std::move(renderer); }

std::filesystem::path AppModel::makePreviewFolder() const {
    // Private: the temporary directory may be shared with other users; mkdir refuses a name that exists.
    const auto folder = m_probeCache->temporaryRoot() / (std::string(previewFolderPrefix) + Uuid::random().toString());
    if (::mkdir(folder.c_str(), 0700) != 0) throw CallError(ErrorObject::posix(errno, folder.string()));
    // The preview's copies and upright pictures are written here: never onto the disk being read.
    if (m_plain.activeRawDevicePath) {
        if (const auto refusal = destinationRefusal(folder)) {
            removePath(folder);
            auto error = ErrorObject::posix(EXDEV, folder.string());
            error.message = refusal->toStdString();
            throw CallError(std::move(error));
        }
    }
    return folder;
}

void AppModel::previewClosed() {
    const auto& shown = m_previewController->shownHit();
    const bool ownLine = shown && m_statusMessage == tr("Preview: %1").arg(QString::fromStdString(shown->suggestedName));
    m_previewController->endPanelControl();
    // "Preview: …" no longer applies once the window is gone.
    if (ownLine) setStatusMessage(QString());
}

void AppModel::previewHit(const RecoveredHit& hit) {
    const std::int64_t generation = ++m_plain.quickLookGeneration;
    QPointer<AppModel> self(this);
    auto executor = m_effects.executor;
    m_previewController->setOnNavigate([self, executor](int offset) {
        executor->post([self, offset] {
            if (self) self->moveSelection(offset);
        });
    });
    const std::uint64_t cap = std::min(hit.byteLength, previewCapBytes);

    if (const auto cached = m_probeCache->cachedFile(hit.id)) {
        // Opened here, so that the cache dropping the file meanwhile does not take it from the copy, and
        // copied whole as it is now. Only what was opened is judged: a link, a FIFO or another user's
        // file put in the cached file's place is refused without waiting on it, and the helper is asked.
        try {
            auto file = RecoveryFiles::openOwnRegularFile(*cached);
            if (file.size >= cap) {
                setStatusMessage(tr("Preparing preview…"));
                tasks().spawn(previewFromCache(hit, std::move(file.fd), file.size, *cached, generation));
                return;
            }
        } catch (const std::exception& error) {
            AppLog::error("preview from cache refused " + hit.suggestedName + ": " + error.what(), category);
        }
    }
    // Only the device the scan read: the offsets count from its start. A catalog's disk that is not
    // attached has none, and a node of the selected volume's name may be another disk by now.
    const auto device = sourceDeviceToRead();
    // Refused: the status line keeps what it said (a catalog's advice to attach its disk).
    if (!device) {
        setErrorMessage(m_selectedVolume ? sourceNotAttachedMessage() : tr("No volume selected."));
        return;
    }
    setStatusMessage(tr("Preparing preview…"));
    tasks().spawn(previewThroughHelper(hit, cap, *device, generation));
}

Task<std::filesystem::path> AppModel::makePreviewFile(UniqueFd cached, std::uint64_t size, std::filesystem::path cachedPath,
                                                      std::filesystem::path folder, std::string suggestedName,
                                                      RecoveredFileKind kind) {
    std::string name = RecoveryFiles::safeFileName(suggestedName, "preview");
    if (std::filesystem::path(name).extension().empty()) name += "." + std::string(FileKind::preferredExtension(kind));
    auto created = RecoveryFiles::createUnique(folder, name, 0600);
    const auto path = created.path;
    auto files = std::make_shared<std::pair<UniqueFd, UniqueFd>>(std::move(cached), std::move(created.fd));
    auto workers = m_checkWorkers;
    // Both descriptors are closed before the task hears of the outcome.
    auto start = [workers, files, cachedPath, path, size](CallbackResumer<void> resume) {
        workers->submit([resume, files, cachedPath, path, size] {
            try {
                RecoveryFiles::copyBytes(files->first.get(), cachedPath, files->second.get(), size, path);
                *files = {};
                resume();
            } catch (...) {
                *files = {};
                resume.fail(std::current_exception());
            }
        });
    };
    co_await fromCallback<void>(start);
    co_return path;
}

Task<std::filesystem::path> AppModel::uprightPreviewFile(std::filesystem::path file, RecoveredFileKind kind) {
    auto renderer = m_previewRenderer;
    if (!renderer || !FileKind::isImage(kind)) co_return file;
    auto workers = m_checkWorkers;
    auto start = [workers, renderer, file, kind](CallbackResumer<std::filesystem::path> resume) {
        workers->submit([resume, renderer, file, kind] { resume(orientedCopyIfNeeded(file, kind, *renderer)); });
    };
    auto shown = co_await fromCallback<std::filesystem::path>(start);
    co_return shown;
}

Task<void> AppModel::previewFromCache(RecoveredHit hit, UniqueFd cached, std::uint64_t size, std::filesystem::path cachedPath,
                                      std::int64_t generation) {
    // The folder goes with a copy that fails, or that a newer request overtook, so a file copied only
    // in part is never shown.
    std::optional<PendingPath> folder;
    std::filesystem::path url;
    std::optional<std::string> failure;
    try {
        const auto made = makePreviewFolder();
        folder.emplace(made);
        url = co_await makePreviewFile(std::move(cached), size, cachedPath, made, hit.suggestedName, hit.kind);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) {
        AppLog::error("preview from cache failed " + hit.suggestedName + ": " + *failure, category);
        folder.reset();
        if (generation == m_plain.quickLookGeneration) setStatusMessage(tr("Preview failed."));
        co_return;
    }
    url = co_await uprightPreviewFile(url, hit.kind);
    if (generation != m_plain.quickLookGeneration) co_return;
    folder->handOver();
    m_previewController->show({url}, hit);
    setStatusMessage(tr("Preview: %1").arg(QString::fromStdString(hit.suggestedName)));
}

Task<void> AppModel::extractPreviewBytes(RecoveredHit hit, std::uint64_t length, std::string devicePath,
                                         std::filesystem::path to) {
    auto destination = RecoveryFiles::createExclusive(to, 0600);
    co_await helperClient().extractHit(devicePath, hit, length, to.string(), std::move(destination), previewTimeLimitSeconds);
}

Task<void> AppModel::keepPreviewPrefix(RecoveredHit hit, std::filesystem::path file) {
    if (m_probeCache->cachedFile(hit.id)) co_return;
    const auto probe = m_probeCache->temporaryRoot() / (std::string(HitProbeCache::probePrefix) + Uuid::random().toString() +
                                                       "." + std::string(FileKind::preferredExtension(hit.kind)));
    // Gone whatever happens: the cache moves a kept copy away first; a copy that failed, or that nobody
    // waits for any more, is not left behind.
    const PendingPath pending(probe);
    auto workers = m_checkWorkers;
    // Resumes with whether a copy was made (none of a file that is no regular file now).
    auto start = [workers, file, probe](CallbackResumer<bool> resume) {
        workers->submit([resume, file, probe] {
            bool delivered = false;
            try {
                const auto size = RecoveryFiles::regularFileSize(file);
                if (size) {
                    auto fd = RecoveryFiles::createExclusive(probe, 0600);
                    RecoveryFiles::copyPrefix(file, fd.get(), std::min(*size, probeCapBytes), probe);
                }
                delivered = resume(size.has_value());
            } catch (...) {
                delivered = resume.fail(std::current_exception());
            }
            // Nobody waits for the copy any more (the model went away while it ran): it goes here.
            if (!delivered) removePath(probe);
        });
    };
    try {
        const bool copied = co_await fromCallback<bool>(start);
        // A probe fetched meanwhile is the cache's own; this copy then goes.
        if (copied && !m_probeCache->cachedFile(hit.id)) m_probeCache->adopt(probe, hit.id, hit.suggestedName);
    } catch (const std::exception& error) {
        AppLog::error(std::string("preview probe not kept: ") + error.what(), category);
    }
}

Task<void> AppModel::previewThroughHelper(RecoveredHit hit, std::uint64_t cap, std::string devicePath,
                                          std::int64_t generation) {
    std::optional<PendingPath> folder;
    std::filesystem::path target;
    std::optional<ErrorObject> failure;
    try {
        const auto made = makePreviewFolder();
        folder.emplace(made);
        target = uniqueURL(made, previewName(hit));
        co_await extractPreviewBytes(hit, cap, devicePath, target);
    } catch (const std::exception& error) {
        failure = CallError::objectOf(error);
    }
    if (failure) {
        AppLog::error("preview of " + hit.suggestedName + " failed: " + failure->message, category);
        folder.reset();
        if (generation != m_plain.quickLookGeneration) co_return;
        if (VantrelError::isDiskAccessDenied(*failure) || isPermissionError(*failure)) {
            setFullDiskAccessState(RawDiskAccessState::denied);
            setShowHelperSheet(true);
        }
        setErrorMessage(userFacingErrorMessage(*failure));
        setStatusMessage(tr("Preview failed."));
        co_return;
    }
    co_await keepPreviewPrefix(hit, target);
    const auto url = co_await uprightPreviewFile(target, hit.kind);
    if (generation != m_plain.quickLookGeneration) co_return;
    folder->handOver();
    m_previewController->show({url}, hit);
    setStatusMessage(tr("Preview: %1").arg(QString::fromStdString(hit.suggestedName)));
}

void AppModel::moveSelection(int offset) {
    const std::size_t count = m_displayed.size();
    if (count == 0) return;
    std::optional<Uuid> anchor;
    if (const auto* hit = selectedHit()) anchor = hit->id;
    else if (!m_selectedHitIDs.empty()) anchor = *m_selectedHitIDs.begin();
    const auto row = anchor ? displayedRow(*anchor) : std::nullopt;
    const auto current = static_cast<std::int64_t>(row.value_or(0));
    const auto target = std::clamp<std::int64_t>(current + offset, 0, static_cast<std::int64_t>(count) - 1);
    if (target == current) return;
    setSelectedHitIDs({displayedHit(static_cast<std::size_t>(target)).id});
}

void AppModel::refreshQuickLookPanelIfVisible() {
    if (!m_previewController->isShowingItems()) return;
    if (const auto* hit = selectedHit()) previewHit(*hit);
}

} // namespace vantrel
