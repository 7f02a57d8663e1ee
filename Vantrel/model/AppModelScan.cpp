// AppModel: starting a scan through the helper, taking in what it finds, ending it, cancelling it, and
// the texts the scan, preview and recovery paths show for an error.
//
// The helper's callbacks arrive on the connection's thread. They wait in one queue (HelperEvents),
// and one job per turn of the event loop takes up to maxEventsPerTurn of them in, in arrival order;
// so a scan that finds tens of thousands of hits a second never keeps the window from drawing.
// A repeated hit (same offset and kind) is found in a hash set, not by searching every earlier hit.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"

#include "platform/disks/WholeDiskName.h"
#include "platform/ipc/IpcError.h"
#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <variant>

namespace vantrel {

namespace {

constexpr std::string_view preferredScanModeKey = "preferredScanMode";
constexpr std::uint64_t reachRetryDelayNanoseconds = 400'000'000;
// Callbacks taken in per turn of the event loop; the rest wait for the next turn.
constexpr std::size_t maxEventsPerTurn = 2'000;
// A turn also ends once it has taken this long (by the executor's clock), the rest of its callbacks put back
// first in the queue: on a busy machine the main thread gets a part of a processor only, and 2,000 hits can
// then hold the window for tens of milliseconds. The clock is asked every turnClockHits hits.
constexpr std::chrono::milliseconds maxTurnMilliseconds{4};
constexpr std::size_t turnClockHits = 64;
// Hits that come one at a time are gathered into runs of at most this many.
constexpr std::size_t maxHitsPerRun = 256;
// Pictures wider or taller than this are misread headers, not pictures.
constexpr std::int64_t maxPlausibleSidePixels = 65'536;
constexpr double minRateSampleSeconds = 0.5;
constexpr double bytesPerMebibyte = 1'048'576.0;

// A device path of a disk gives the whole disk's node and name; an image file is scanned as it is.
struct ScanTarget {
    std::string path;
    std::optional<std::string> wholeDisk;
};

ScanTarget scanTargetOf(const std::string& devicePath) {
    constexpr std::string_view devFolder = "/dev/";
    if (devicePath.rfind(devFolder, 0) != 0) return {devicePath, std::nullopt};
    const auto name = wholeDiskName(std::filesystem::path(devicePath).filename().string());
    if (!isPlausibleDeviceName(name)) return {devicePath, std::nullopt};
    return {std::string(devFolder) + name, name};
}

} // namespace

// ---- The queue of callbacks.

struct AppModel::HelperEvents : std::enable_shared_from_this<HelperEvents> {
    // Hits wait in runs, as they came together; each hit counts as one callback.
    using Hits = std::vector<RecoveredHit>;
    using Event = std::variant<Hits, ScanProgress, std::string>;

    std::mutex mutex;
    std::deque<Event> waiting;
    bool posted = false;
    std::shared_ptr<Executor> executor;
    AppModel* model = nullptr;  // main thread only; cleared when the model goes
    // Whether a scan runs, as the connection's thread sees it: the helper's status lines are shown only
    // while one does, so the others (a recovery's two a file) are dropped as they come, and never wake
    // the main thread.
    std::atomic<bool> takesStatusLines{false};
    std::function<void()> afterTakenIn;  // main thread only: runs once what waited has been taken in

    // Any thread.
    void add(Event event) {
        bool post = false;
        {
            std::lock_guard lock(mutex);
            auto* hits = std::get_if<Hits>(&event);
            if (hits && hits->empty()) return;
            // Hits that come one at a time join the run of hits before them, up to a packet's worth.
            auto* last = waiting.empty() ? nullptr : std::get_if<Hits>(&waiting.back());
            if (hits && last && hits->size() == 1 && last->size() < maxHitsPerRun) last->push_back(std::move(hits->front()));
            else waiting.push_back(std::move(event));
            post = !std::exchange(posted, true);
        }
        if (post) schedule();
    }

    void schedule() {
        executor->post([self = shared_from_this()] { self->drain(maxEventsPerTurn); });
    }

    // Takes up to limit callbacks off the queue, in order; a run of hits longer than what is left of the
    // limit is split.
    std::vector<Event> take(std::size_t limit) {
        std::vector<Event> taken;
        while (limit > 0 && !waiting.empty()) {
            auto* hits = std::get_if<Hits>(&waiting.front());
            if (hits && hits->size() > limit) {
                const auto cut = hits->begin() + static_cast<std::ptrdiff_t>(limit);
                taken.emplace_back(Hits(std::make_move_iterator(hits->begin()), std::make_move_iterator(cut)));
                hits->erase(hits->begin(), cut);
                return taken;
            }
            const std::size_t count = hits ? hits->size() : 1;
            taken.push_back(std::move(waiting.front()));
            waiting.pop_front();
            limit -= count;
        }
        return taken;
    }

    // Main thread: takes in up to limit callbacks, and schedules the next turn when some are left.
    void drain(std::size_t limit) {
        std::vector<Event> batch;
        bool more = false;
        {
            std::lock_guard lock(mutex);
            batch = take(limit);
            more = !waiting.empty();
            // A full drain leaves a job already posted to find nothing, which is harmless.
            if (!more && limit == maxEventsPerTurn) posted = false;
        }
        if (more && limit == maxEventsPerTurn) schedule();
        const bool budgeted = limit == maxEventsPerTurn;
        const Executor::TimePoint deadline = budgeted ? executor->now() + maxTurnMilliseconds : Executor::TimePoint{};
        std::size_t sinceClock = 0;
        for (std::size_t e = 0; e < batch.size(); ++e) {
            if (!model) return;
            Event& event = batch[e];
            if (auto* hits = std::get_if<Hits>(&event)) {
                // The tables a hit is looked up in are too large for the cache: their memory is asked for
                // some hits ahead, so that the waits for it overlap.
                constexpr std::size_t ahead = 8;
                for (std::size_t i = 0; i < std::min(ahead, hits->size()); ++i) model->prefetchIntake((*hits)[i]);
                for (std::size_t i = 0; i < hits->size(); ++i) {
                    if (!model) return;
                    if (i + ahead < hits->size()) model->prefetchIntake((*hits)[i + ahead]);
                    if (budgeted && ++sinceClock == turnClockHits) {
                        sinceClock = 0;
                        if (executor->now() >= deadline) {
                            hits->erase(hits->begin(), hits->begin() + static_cast<std::ptrdiff_t>(i));
                            putBack(batch, e);
                            return;
                        }
                    }
                    model->handleHelperHit(std::move((*hits)[i]));
                }
            } else if (auto* progress = std::get_if<ScanProgress>(&event)) {
                model->handleHelperProgress(*progress);
            } else {
                model->handleHelperLog(std::move(std::get<std::string>(event)));
            }
        }
        if (!more && model && afterTakenIn) std::exchange(afterTakenIn, {})();
    }

    // Main thread: puts the events of batch from index `from` on back at the front of the queue, in their order,
    // and makes sure a turn comes for them.
    void putBack(std::vector<Event>& batch, std::size_t from) {
        bool post = false;
        {
            std::lock_guard lock(mutex);
            for (std::size_t e = batch.size(); e > from; --e) waiting.push_front(std::move(batch[e - 1]));
            post = !std::exchange(posted, true);
        }
        if (post) schedule();
    }

    // Main thread: runs then at once when nothing waits, otherwise after the turn that takes in the last of
    // what waits now (and of what comes meanwhile), so that a backlog is never taken in in one step.
    void whenTakenIn(std::function<void()> then) {
        {
            std::lock_guard lock(mutex);
            if (!waiting.empty()) {
                afterTakenIn = std::move(then);
                return;
            }
        }
        then();
    }

    void discard() {
        std::lock_guard lock(mutex);
        waiting.clear();
    }
};

AppModel::HelperEventsLink::HelperEventsLink() : events(std::make_shared<HelperEvents>()) {}
AppModel::HelperEventsLink::~HelperEventsLink() { events->model = nullptr; }

void AppModel::takeHelperStatusLines(bool take) { m_helperEvents.events->takesStatusLines.store(take); }

void AppModel::drainHelperEvents() {
    m_helperEvents.events->drain(std::numeric_limits<std::size_t>::max());
}

void AppModel::installHelperHandlers() {
    auto events = m_helperEvents.events;
    events->executor = m_effects.executor;
    events->model = this;
    std::weak_ptr<HelperEvents> weak = events;
    helperClient().setOnHits([weak](std::vector<RecoveredHit> hits) {
        if (auto target = weak.lock()) target->add(std::move(hits));
    });
    helperClient().setOnProgress([weak](ScanProgress progress) {
        if (auto target = weak.lock()) target->add(progress);
    });
    helperClient().setOnLog([weak](std::string line) {
        if (auto target = weak.lock(); target && target->takesStatusLines.load(std::memory_order_relaxed))
            target->add(std::move(line));
    });
}

// ---- Starting.

void AppModel::requestScan() {
    if (m_isScanning) return;
    auto flow = [](AppModel* model) -> Task<void> {
        const bool proceed = co_await model->confirmDiscardHitsIfNeeded();
        if (!proceed) co_return;
        const auto& volume = model->selectedVolume();
        if (volume && volume->supportsQuickUndeleteScan()) {
            model->setShowScanModeSheet(true);
            co_return;
        }
        model->startScanPreflight(ScanMode::standard);
    };
    tasks().spawn(flow(this));
}

void AppModel::startScan(ScanMode mode) {
    ScanMode effective = mode;
    if (mode == ScanMode::quickUndelete && !(m_selectedVolume && m_selectedVolume->supportsQuickUndeleteScan()))
        effective = ScanMode::standard;
    m_effects.settings->setString(preferredScanModeKey, std::string(ScanModeName::rawValue(effective)));
    setShowScanModeSheet(false);
    startScanPreflight(effective);
}

ScanMode AppModel::preferredScanMode() const {
    const auto stored = m_effects.settings->string(preferredScanModeKey);
    return stored && *stored == ScanModeName::rawValue(ScanMode::quickUndelete) ? ScanMode::quickUndelete : ScanMode::standard;
}

void AppModel::startScanPreflight(ScanMode mode) {
    refreshHelperStatus();
    AppLog::info("startScan volume=" + (m_selectedVolume ? m_selectedVolume->bsdName : std::string("nil")) +
                     " helper=" + std::string(HelperInstallStatusName::rawValue(m_helperStatus)),
                 "scan");
    if (!m_selectedVolume) {
        setErrorMessage(tr("Select a volume first."));
        return;
    }
    // A helper spawned beside the program serves a scan as well as the service does.
    if (helperUsable()) {
        beginHelperScan(m_selectedVolume->rawDevicePath(), mode);
        return;
    }
    setShowHelperSheet(true);
    setStatusMessage(m_helperStatus == HelperInstallStatus::requiresApproval
                         ? tr("Approve the helper in system settings, then scan again.")
                         : tr("Install and approve the disk-access helper, then scan."));
}

void AppModel::beginHelperScan(std::string devicePath, ScanMode mode) {
    if (m_isScanning) return;
    replaceCancelFlag();
    resetForNewScan();
    setProgress({});
    resetScanRate();
    setIsScanning(true);
    setStatusMessage(tr("Unmounting volume, then scanning…"));
    const auto target = scanTargetOf(devicePath);
    m_plain.activeRawDevicePath = target.path;
    // What the disk is, so that no later read takes another disk that got its name.
    recordScannedSource(target.path);
    // The helper unmounts what is mounted of the disk; a disk without a mount is not touched, and so
    // has nothing to be mounted again.
    if (target.wholeDisk && (!m_effects.mounter || m_effects.mounter->holdsMounts(*target.wholeDisk)))
        m_plain.disksPendingRemount.insert(*target.wholeDisk);
    installHelperHandlers();
    tasks().spawn(scanTask(target.path, m_filters, mode));
}

Task<void> AppModel::scanTask(std::string scanPath, RecoveryFilters filters, ScanMode mode) {
    std::optional<ErrorObject> early;
    std::uint64_t size = 0;
    try {
        co_await helperClient().ensureReachable(2, 5.0, reachRetryDelayNanoseconds);
        size = co_await helperClient().probeDevice(scanPath);
    } catch (const std::exception& error) {
        early = CallError::objectOf(error);
    }
    if (early) {
        handleScanError(*early);
        co_return;
    }
    // The helper answered and opened the device: it works, whichever helper it is.
    setHelperRuntimeState(HelperRuntimeState::reachable);
    setFullDiskAccessState(RawDiskAccessState::granted);
    // What the medium says of itself, so that a catalog of these results finds this disk again under
    // any name and never takes another. A helper that cannot tell leaves the results without it.
    std::optional<MediumIdentity> medium;
    try {
        medium = co_await helperClient().identifyDevice(scanPath);
    } catch (const std::exception& error) {
        AppLog::error("identifyDevice " + scanPath + " failed: " + CallError::objectOf(error).message, "scan");
    }
    if (medium && !medium->fingerprint.empty() && m_plain.resultsSource) m_plain.resultsSource->medium = std::move(medium);
    setProgress({0, size, 0, 0});
    setStatusMessage(tr("Scanning via helper…"));
    auto start = [this, scanPath, filters, mode](CallbackResumer<std::optional<ErrorObject>> resume) {
        helperClient().startScan(scanPath, filters, mode, [resume](std::optional<ErrorObject> error) { resume(std::move(error)); });
    };
    auto error = co_await fromCallback<std::optional<ErrorObject>>(start);
    // What the helper sent before its reply belongs to this scan: the scan ends once it has been taken in,
    // a turn of the event loop at a time, so that hits that came faster than the window took them never
    // hold it in one long step at the end.
    m_helperEvents.events->whenTakenIn([this, error = std::move(error), mode]() mutable { finishScan(std::move(error), mode); });
}

void AppModel::resetForNewScan() {
    resetResults();
    // A new scan starts in discovery order, with every status and date shown.
    setResultsQuery(ResultsQuery{});
}

void AppModel::resetScanState() {
    ++m_resultsGeneration;
    m_helperEvents.events->discard();
    m_intakeKeys.clear();
    m_plain.pendingIntegrityIDs.clear();
    m_plain.integrityPumpRunning = false;
    setQualityPassStarted(false);
    setIsQualityPassRunning(false);
    m_probeCache->clear();
    setCatalogDirty(false);
    m_plain.catalogURL.reset();
    setProgress({});
    setLastFinishedScanMode(std::nullopt);
}

void AppModel::resetScanRate() {
    setScanThroughputMBps(std::nullopt);
    m_plain.scanRateLastBytes = 0;
    m_plain.scanRateLastDate.reset();
    m_plain.scanRateEMA.reset();
}

// ---- Taking in.

void AppModel::handleHelperHit(RecoveredHit hit) {
    // A repeat (same offset and kind) is dropped. Only a hit taken in marks its offset and kind as seen, so
    // the one lookup that finds a repeat also records a new hit. A JPEG's bytes per pixel say nothing here:
    // the helper kept it for its structure, which only the bytes show.
    if (!m_intakeKeys.insert(hit.byteOffset, hit.kind)) return;
    // One naming state names every hit in the list, undeleted or carved, so no two share a name: a name
    // worth keeping and not yet taken stays, the rest are numbered in one series.
    nameUndeleted(hit);
    hit.integrity = hit.clusterReallocated ? HitIntegrity::suspect : HitIntegrity::pending;
    appendHit(std::move(hit));
    setCatalogDirty(true);
    // appendHit keeps identities unique, so the stored hit's identity is new to the queue.
    m_plain.pendingIntegrityIDs.push_back(m_hits.back().id);
}

void AppModel::prefetchIntake(const RecoveredHit& hit) const {
    m_intakeKeys.prefetch(hit.byteOffset, hit.kind);
    m_sequenceOf.prefetch(hit.id);
}

void AppModel::nameUndeleted(RecoveredHit& hit) {
    // A name kept as it is (most are) is neither copied nor compared.
    if (UndeleteNamingState::isUsableUndeleteName(hit.suggestedName)) {
        if (!m_undeleteNaming.rename(hit.suggestedName, hit.kind)) return;
    } else {
        hit.suggestedName = m_undeleteNaming.numberedName(hit.kind);
    }
    if (hit.reconstructedPath) {
        auto& path = *hit.reconstructedPath;
        const auto slash = path.rfind('/');
        path.resize(slash == std::string::npos ? 0 : slash);
        path += '/';
        path += hit.suggestedName;
    }
}

void AppModel::handleHelperProgress(ScanProgress progress) {
    setProgress(progress);
    updateScanRate(progress.bytesScanned);
}

void AppModel::updateScanRate(std::uint64_t bytesScanned) {
    const HitDate now = m_effects.clock->now();
    auto& plain = m_plain;
    if (!plain.scanRateLastDate) {
        plain.scanRateLastBytes = bytesScanned;
        plain.scanRateLastDate = now;
        return;
    }
    if (bytesScanned < plain.scanRateLastBytes) {
        plain.scanRateLastBytes = bytesScanned;
        plain.scanRateLastDate = now;
        plain.scanRateEMA.reset();
        setScanThroughputMBps(std::nullopt);
        return;
    }
    const double seconds = std::chrono::duration<double>(now - *plain.scanRateLastDate).count();
    const std::uint64_t delta = bytesScanned - plain.scanRateLastBytes;
    if (seconds < minRateSampleSeconds || delta == 0) return;
    double rate = static_cast<double>(delta) / seconds;
    if (plain.scanRateEMA) rate = 0.3 * rate + 0.7 * *plain.scanRateEMA;
    plain.scanRateEMA = rate;
    setScanThroughputMBps(rate / bytesPerMebibyte);
    plain.scanRateLastBytes = bytesScanned;
    plain.scanRateLastDate = now;
}

void AppModel::handleHelperLog(std::string line) {
    if (!m_isScanning) return;
    setStatusMessage(tr("Helper: ") + QString::fromStdString(line));
}

// ---- Ending.

void AppModel::finishScan(std::optional<ErrorObject> error, ScanMode mode) {
    // Everything the helper sent before its reply belongs to this scan.
    drainHelperEvents();
    QString text;
    ScanEnd::Kind end = ScanEnd::Kind::finished;
    // The helper's answer to a cancelled scan says so; it is no failure to show.
    const bool cancelled = error && error->domain == VantrelError::domain && error->code == VantrelError::scanCancelled;
    if (cancelled || (!error && m_cancelFlag->isSet())) {
        setLastFinishedScanMode(std::nullopt);
        end = ScanEnd::Kind::cancelled;
    } else if (error) {
        end = ScanEnd::Kind::failed;
        if (VantrelError::isDiskAccessDenied(*error) || isPermissionError(*error)) {
            setFullDiskAccessState(RawDiskAccessState::denied);
            setShowHelperSheet(true);
            text = tr("Disk access denied.");
        }
        setErrorMessage(userFacingErrorMessage(*error));
    } else {
        setFullDiskAccessState(RawDiskAccessState::granted);
        setLastFinishedScanMode(mode);
        text = scanFinishedMessage(static_cast<std::int64_t>(m_hits.size()), mode, scannedDiskLeftUnmounted());
    }
    setIsScanning(false);
    resetScanRate();
    pruneImplausibleHits();
    // A cancelled or failed scan leaves a partial list, and its status says so with what it holds; sectors
    // that could not be read are told in words, as what they held may be missing from the list.
    m_plain.resultsScanEnd = ScanEnd{end, static_cast<std::int64_t>(m_hits.size()), progress().readErrors};
    if (text.isEmpty() || (end != ScanEnd::Kind::finished && !m_hits.empty())) text = m_plain.resultsScanEnd->text();
    if (const QString loss = m_plain.resultsScanEnd->lossText(); !loss.isEmpty()) text += QStringLiteral(" ") + loss;
    setStatusMessage(text);
    enqueueIntegrityChecks();
    // A quit asked about the running scan needs no answer now: it goes on.
    if (m_showQuitDuringScanPrompt) resolveQuitDuringScanPrompt(true);
}

void AppModel::handleScanError(const ErrorObject& error) {
    // A disk that does not answer in time is no matter of the helper: the sheet stays closed.
    const bool diskSilent = error.domain == ErrorObject::posixDomain && error.code == ETIMEDOUT;
    if (!diskSilent) setShowHelperSheet(true);
    QString text;
    if (diskSilent) {
        text = tr("The disk did not answer.");
    } else if (VantrelError::isDiskAccessDenied(error) || isPermissionError(error)) {
        setFullDiskAccessState(RawDiskAccessState::denied);
        text = tr("Disk access denied.");
    } else {
        text = tr("Helper not reachable.");
    }
    setErrorMessage(userFacingErrorMessage(error));
    setIsScanning(false);
    resetScanRate();
    pruneImplausibleHits();
    m_plain.resultsScanEnd = ScanEnd{ScanEnd::Kind::failed, static_cast<std::int64_t>(m_hits.size())};
    setStatusMessage(text);
    enqueueIntegrityChecks();
    if (m_showQuitDuringScanPrompt) resolveQuitDuringScanPrompt(true);
}

QString AppModel::withScanEnd(const QString& status) const {
    const auto& end = m_plain.resultsScanEnd;
    if (!end) return status;
    const QString loss = end->lossText();
    const QString told = loss.isEmpty() ? status : status + QStringLiteral(" ") + loss;
    return end->isPartial() ? end->text() + QStringLiteral(" ") + told : told;
}

QString AppModel::scanFinishedMessage(std::int64_t count, ScanMode mode, bool diskLeftUnmounted) {
    if (count > 0 && diskLeftUnmounted)
        return tr("Scan finished — %1 file(s) found. Volume stays unmounted until you remount it.").arg(count);
    if (count > 0) return tr("Scan finished — %1 file(s) found.").arg(count);
    if (mode == ScanMode::quickUndelete)
        return tr("Quick scan finished — no deleted files in the index. Try a Standard scan to search the whole volume.");
    if (diskLeftUnmounted) return tr("Scan finished — no files found. The volume stays unmounted until you remount it.");
    return tr("Scan finished — no files found.");
}

bool AppModel::scannedDiskLeftUnmounted() const {
    const auto& path = m_plain.activeRawDevicePath;
    if (!path) return false;
    const auto target = scanTargetOf(*path);
    return target.wholeDisk && m_plain.disksPendingRemount.contains(*target.wholeDisk);
}

bool AppModel::isImplausibleHit(const RecoveredHit& hit) {
    if (hit.dimensions && (hit.dimensions->width > maxPlausibleSidePixels || hit.dimensions->height > maxPlausibleSidePixels))
        return true;
    return hit.kind == RecoveredFileKind::bmp && !hit.dimensions;
}

void AppModel::pruneImplausibleHits() {
    // The list is stored and changed with a count of such hits, so a list without one is not walked.
    if (m_implausibleStored == 0) return;
    const auto removed = removeHitsIf(&AppModel::isImplausibleHit);
    m_implausibleStored = 0;
    if (removed == 0) return;
    setCatalogDirty(true);
    m_intakeKeys.clear();
    for (const auto& hit : m_hits) m_intakeKeys.insert(hit.byteOffset, hit.kind);
    const auto ids = m_selectedHitIDs.ids();
    if (m_selectedHitIDs.eraseAt([&](std::size_t index) { return hit(ids[index]) == nullptr; }) != 0) selectionWasChanged();
    auto& pending = m_plain.pendingIntegrityIDs;
    pending.erase(std::remove_if(pending.begin(), pending.end(), [this](const Uuid& id) { return hit(id) == nullptr; }),
                  pending.end());
}

void AppModel::forgetIntakeKey(const RecoveredHit& removed) {
    m_intakeKeys.erase(removed.byteOffset, removed.kind);
}

void AppModel::enqueueIntegrityChecks() {
    if (m_isScanning) return;
    auto& pending = m_plain.pendingIntegrityIDs;
    // The intake queues each hit as it takes it in, so the queue is most often the list's identities in
    // the list's order, some left out: one walk of both tells which hits are queued, without hashing a
    // million identities. A queue in any other order (checks given back, a catalog's own) is looked up.
    // Identities compared as two words: a million of them are compared in this one step.
    const auto sameId = [](const Uuid& a, const Uuid& b) {
        std::uint64_t x[2], y[2];
        std::memcpy(x, a.bytes.data(), sizeof x);
        std::memcpy(y, b.bytes.data(), sizeof y);
        return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
    };
    std::vector<Uuid> unqueued;
    std::size_t next = 0;
    m_hits.forEachRun([&](const RecoveredHit* run, std::size_t count) {
        for (const RecoveredHit* hit = run; hit != run + count; ++hit) {
            if (next < pending.size() && sameId(hit->id, pending[next])) ++next;
            else if (hit->integrity == HitIntegrity::pending) unqueued.push_back(hit->id);
        }
    });
    if (next == pending.size()) {
        pending.insert(pending.end(), unqueued.begin(), unqueued.end());
    } else {
        std::unordered_set<Uuid, UuidHash> queued;
        queued.reserve(pending.size());
        queued.insert(pending.begin(), pending.end());
        for (const auto& hit : m_hits)
            if (hit.integrity == HitIntegrity::pending && queued.insert(hit.id).second) pending.push_back(hit.id);
    }
    runQualityPass();
}

void AppModel::cancelScan() {
    m_cancelFlag->set();
    helperClient().cancelScan();
    setStatusMessage(tr("Cancelling…"));
}

// ---- Errors as the user reads them.

bool AppModel::isPermissionError(const ErrorObject& error) {
    if (error.domain == ErrorObject::posixDomain && (error.code == EACCES || error.code == EPERM)) return true;
    const auto text = QString::fromStdString(error.message).toLower();
    return text.contains("permission") || text.contains("zugriffsrechte") || text.contains("nicht erlaubt");
}

bool AppModel::isDeviceGoneError(const ErrorObject& error) {
    if (error.domain == ErrorObject::posixDomain && (error.code == ENODEV || error.code == ENXIO || error.code == ENOENT))
        return true;
    const auto text = QString::fromStdString(error.message).toLower();
    return text.contains("no such file") || text.contains("no such device") || text.contains("device not configured");
}

bool AppModel::isUnavailableError(const ErrorObject& error) {
    if (error.domain == VantrelError::domain &&
        (error.code == VantrelError::helperUnreachable || error.code == VantrelError::diskAccessDenied))
        return true;
    if (error.domain == IpcError::domain) {
        for (auto code : {IpcErrorCode::connectionInterrupted, IpcErrorCode::connectionInvalidated, IpcErrorCode::noReply,
                          IpcErrorCode::connectFailed, IpcErrorCode::tooManyCalls})
            if (IpcError::is(error, code)) return true;
    }
    return isDeviceGoneError(error) || VantrelError::isDiskAccessDenied(error);
}

QString AppModel::userFacingErrorMessage(const ErrorObject& error) {
    if (error.domain == VantrelError::domain && error.code == VantrelError::helperUnreachable)
        return tr("Helper did not respond. Remove and reinstall it, approve system services, then try again.");
    if (VantrelError::isDiskAccessDenied(error) || isPermissionError(error))
        return tr("Linux blocked raw disk access. Allow disk access for Vantrel in system settings, then try again.");
    return QString::fromStdString(error.message);
}

} // namespace vantrel
