// AppModel: the quality pass. Every pending hit of a checkable kind gets a probe (its first 12 MiB at
// most) fetched through the helper into the probe cache, in ascending device offset; each probe is
// judged on a worker thread as soon as it is fetched, while the next ones are fetched, and its verdict
// and capture date reach the hit on the main thread when the check ends.
//
// A hit is judged only on bytes that were fetched: when the helper or the device cannot be reached,
// or the temporary folder has no room for a probe, the pass pauses: the hits not judged go back to the
// queue, the status says what they wait for, and the pass tries again a little later. A probe the
// bounded cache dropped before its check read it is fetched again. Each probe has a time limit. One
// pass runs at a time; a pass whose results were reset (a new scan) ends at its next step without
// touching the new results.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/RecoveryFiles.h"

#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <limits>
#include <set>

namespace vantrel {

namespace {

IntegrityVerdict runCheck(const std::shared_ptr<IntegrityChecker>& checker, RecoveredFileKind kind, const std::string& path,
                          bool wasCutAtCap) {
    try {
        return checker->check(kind, path, wasCutAtCap);
    } catch (const std::exception& error) {
        // A checker that breaks its word: the bytes could not be judged.
        AppLog::error("integrity check of " + path + " threw: " + error.what(), "integrity");
        return {HitIntegrity::suspect, std::nullopt};
    }
}

// A write that failed for want of room, in the temporary folder's file system.
bool isNoRoomError(const ErrorObject& error) {
    if (error.domain == ErrorObject::posixDomain && (error.code == ENOSPC || error.code == EDQUOT)) return true;
    const auto text = QString::fromStdString(error.message).toLower();
    return text.contains("no space left") || text.contains("quota exceeded");
}

} // namespace

// The checks of one pass that are under way, shared by the pass and its check tasks (all on the main
// thread): the pass waits on it for room to fetch ahead, and for the last checks at its end.
struct AppModel::PassChecks {
    std::size_t inFlight = 0;
    std::size_t done = 0;
    std::optional<CallbackResumer<void>> waiter;
    std::vector<RecoveredHit> dropped;  // probes gone from the cache before their check read them

    void wake() {
        if (auto resume = std::exchange(waiter, std::nullopt)) (*resume)();
    }
};

bool AppModel::isHitPending(const Uuid& id) const {
    const auto* found = hit(id);
    return found && found->integrity == HitIntegrity::pending;
}

void AppModel::runQualityPass() {
    auto& plain = m_plain;
    if (plain.integrityPumpRunning || m_qualityPassActive || m_isScanning || m_isRecovering) return;
    if (plain.pendingIntegrityIDs.empty()) return;
    // Without a checker nothing can be judged: the hits stay pending and queued.
    if (!m_integrityChecker) return;
    plain.integrityPumpRunning = true;
    setQualityPassStarted(true);
    setIsQualityPassRunning(true);

    // The queue is sorted out by the pass's task, a slice a turn.
    m_qualityPassActive = true;
    tasks().spawn(qualityPassTask(std::exchange(plain.pendingIntegrityIDs, {}), m_resultsGeneration));
}

Task<void> AppModel::waitForCheck(std::shared_ptr<PassChecks> checks) {
    auto start = [checks](CallbackResumer<void> resume) { checks->waiter = std::move(resume); };
    co_await fromCallback<void>(start);
}

Task<void> AppModel::qualityPassTask(std::deque<Uuid> queued, std::uint64_t generation) {
    const auto isStale = [&] { return generation != m_resultsGeneration; };
    // Which queued hits are checked, in ascending device offset: a slice of the queue a turn of the event
    // loop, types that no check validates marked skipped on the way, so that the end of a scan of a
    // million hits never holds the window in one long step. Each slice is sorted and merged into what the
    // slices before it gave, which is the stable sort of the whole.
    const auto byOffset = [](const ProbeTurn& a, const ProbeTurn& b) { return a.byteOffset < b.byteOffset; };
    std::vector<ProbeTurn> work;
    work.reserve(queued.size());
    std::size_t sorted = 0;
    while (sorted < queued.size()) {
        if (sorted != 0) co_await nextTurn();
        if (isStale()) {
            m_qualityPassActive = false;
            co_return;
        }
        if (m_isScanning || m_isRecovering) {
            // The queue stays as it was, for the next pass.
            auto& pending = m_plain.pendingIntegrityIDs;
            for (const auto& item : work) pending.push_back(item.id);
            for (std::size_t i = sorted; i < queued.size(); ++i)
                if (isHitPending(queued[i])) pending.push_back(queued[i]);
            m_qualityPassActive = false;
            setIsQualityPassRunning(false);
            m_plain.integrityPumpRunning = false;
            co_return;
        }
        const std::size_t sliceStart = work.size();
        const std::size_t sliceEnd = std::min(queued.size(), sorted + queueSliceSize);
        for (; sorted < sliceEnd; ++sorted) {
            const Uuid& id = queued[sorted];
            const auto* found = hit(id);
            if (!found || found->integrity != HitIntegrity::pending) continue;
            if (!IntegrityKinds::isCheckable(found->kind)) {
                applyIntegrityResult(id, HitIntegrity::skipped, std::nullopt);
                continue;
            }
            work.push_back({found->byteOffset, id});
        }
        const auto middle = work.begin() + static_cast<std::ptrdiff_t>(sliceStart);
        std::stable_sort(middle, work.end(), byOffset);
        // Hits mostly arrive in device order: then the slice only follows what came before.
        if (sliceStart != 0 && middle != work.end() && byOffset(*middle, *(middle - 1))) std::inplace_merge(work.begin(), middle, work.end(), byOffset);
    }
    // The queue's memory stays for what the pass may leave queued: a million identities written into fresh
    // memory at once would cost a fault a page in that one step.
    queued.clear();
    if (work.empty()) {
        m_qualityPassActive = false;
        setIsQualityPassRunning(false);
        m_plain.integrityPumpRunning = false;
        setStatusMessage(withScanEnd(tr("Quality check finished.")));
        co_return;
    }
    const std::size_t n = work.size();
    setStatusMessage(tr("Phase 2 — caching probes… %1/%2").arg(0).arg(n));
    // What is left to fetch: toFetch from next on (probes fetched again join at the end).
    std::vector<ProbeTurn> toFetch = std::move(work);
    std::size_t next = 0;
    const auto nothingToFetch = [&] { return next == toFetch.size(); };
    std::set<Uuid> fetchedAgain;
    auto checks = std::make_shared<PassChecks>();
    enum class Stop { none, interrupted, stale, noDisk, noRoom };
    Stop stop = Stop::none;
    std::size_t fetched = 0;

    for (;;) {
        // Probes dropped before their check are fetched once more; a second drop leaves the hit queued.
        for (auto& item : std::exchange(checks->dropped, {})) {
            if (fetchedAgain.insert(item.id).second) toFetch.push_back({item.byteOffset, item.id});
            else m_plain.pendingIntegrityIDs.push_back(item.id);
        }
        if (isStale()) {
            stop = Stop::stale;
            break;
        }
        if (m_isScanning || m_isRecovering) {
            stop = Stop::interrupted;
            break;
        }
        if (nothingToFetch() && checks->inFlight == 0) break;
        if (nothingToFetch() || checks->inFlight >= maxChecksAhead) {
            co_await waitForCheck(checks);
            continue;
        }
        // The hit as it is now: one removed or judged since the pass began is passed over.
        const auto* current = hit(toFetch[next].id);
        if (!current || current->integrity != HitIntegrity::pending) {
            ++next;
            continue;
        }
        const RecoveredHit item = *current;
        if (!m_probeCache->cachedFile(item.id)) {
            const auto outcome = co_await cacheProbe(item);
            if (isStale()) {
                stop = Stop::stale;
                break;
            }
            if (outcome == ProbeOutcome::unavailable || outcome == ProbeOutcome::noRoom) {
                AppLog::error(std::string("quality pass paused: ") +
                                  (outcome == ProbeOutcome::noRoom ? "no room for probes" : "helper or device unavailable"),
                              "integrity");
                stop = outcome == ProbeOutcome::noRoom ? Stop::noRoom : Stop::noDisk;
                break;
            }
            if (outcome == ProbeOutcome::failed) {
                ++next;
                applyIntegrityResult(item.id, HitIntegrity::failed, std::nullopt);
                continue;
            }
        }
        ++next;
        ++checks->inFlight;
        tasks().spawn(checkProbe(item, checks, generation));
        const std::size_t position = ++fetched;
        if (position == 1 || position % 5 == 0 || position == n)
            setStatusMessage(tr("Phase 2 — caching probes… %1/%2").arg(std::min(position, n)).arg(n));
    }

    // The checks under way end first; their verdicts still count unless the results were reset.
    while (checks->inFlight > 0) co_await waitForCheck(checks);
    for (const auto& item : std::exchange(checks->dropped, {})) toFetch.push_back({item.byteOffset, item.id});

    m_qualityPassActive = false;
    if (stop == Stop::stale || isStale()) co_return;
    // Whatever was not judged waits in the queue, in device order. Only this pass judges these hits, so
    // they are still pending (a later pass passes over any that are not).
    auto& pending = m_plain.pendingIntegrityIDs;
    const std::size_t waiting = toFetch.size() - next;
    queued.insert(queued.end(), pending.begin(), pending.end());
    for (std::size_t i = next; i < toFetch.size(); ++i) queued.push_back(toFetch[i].id);
    pending = std::move(queued);
    setIsQualityPassRunning(false);
    m_plain.integrityPumpRunning = false;
    if (stop == Stop::interrupted || m_isScanning || m_isRecovering) co_return;
    if (stop == Stop::noDisk || stop == Stop::noRoom) {
        setStatusMessage(withScanEnd(stop == Stop::noDisk
                                         ? tr("Quality check paused — %1 files wait for the disk.").arg(waiting)
                                         : tr("Quality check paused — %1 files wait for room in the temporary folder.")
                                               .arg(waiting)));
        scheduleQualityPassRetry();
        co_return;
    }
    setStatusMessage(withScanEnd(tr("Quality check finished.")));
    if (!m_plain.pendingIntegrityIDs.empty()) runQualityPass();
}

void AppModel::scheduleQualityPassRetry() {
    if (m_qualityPassRetryScheduled) return;
    m_qualityPassRetryScheduled = true;
    tasks().spawn(qualityPassRetryTask(m_resultsGeneration));
}

Task<void> AppModel::qualityPassRetryTask(std::uint64_t generation) {
    co_await sleepFor(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(qualityPassRetrySeconds)));
    m_qualityPassRetryScheduled = false;
    if (generation == m_resultsGeneration) runQualityPass();
}

Task<void> AppModel::checkProbe(RecoveredHit item, std::shared_ptr<PassChecks> checks, std::uint64_t generation) {
    const auto adoption = m_probeCache->adoptionOf(item.id);
    const auto file = m_probeCache->cachedFile(item.id);
    IntegrityVerdict verdict{HitIntegrity::failed, std::nullopt};
    verdict.unreadable = true;
    if (file) {
        auto workers = m_checkWorkers;
        auto checker = m_integrityChecker;
        const auto path = *file;
        auto start = [workers, checker, item, path](CallbackResumer<IntegrityVerdict> resume) {
            workers->submit([resume, checker, item, path] {
                if (!checker) {
                    resume(IntegrityVerdict{HitIntegrity::pending, std::nullopt});
                    return;
                }
                const auto size = RecoveryFiles::regularFileSize(path);
                if (!size) {
                    IntegrityVerdict gone{HitIntegrity::failed, std::nullopt};
                    gone.unreadable = true;
                    resume(gone);
                    return;
                }
                const bool cutAtCap = *size < item.byteLength && *size >= probeCapBytes;
                resume(runCheck(checker, item.kind, path.string(), cutAtCap));
            });
        };
        verdict = co_await fromCallback<IntegrityVerdict>(start);
    }
    if (generation == m_resultsGeneration) {
        const bool vanished = file && !RecoveryFiles::regularFileSize(*file);
        if ((verdict.integrity != HitIntegrity::pending || verdict.unreadable) &&
            (adoption == 0 || m_probeCache->adoptionOf(item.id) != adoption || vanished)) {
            // The bounded cache dropped the probe before or while it was read (and may hold a new copy
            // under the same name by now), or its file is gone: the verdict may be about a vanished file,
            // not the hit, which is no fault of the hit. Fetched again and judged anew.
            checks->dropped.push_back(item);
        } else if (verdict.unreadable) {
            // A cached probe that cannot be read.
            applyIntegrityResult(item.id, HitIntegrity::failed, std::nullopt);
        } else if (verdict.integrity != HitIntegrity::pending) {
            applyIntegrityResult(item.id, verdict.integrity, verdict.captureDate, verdict.captureUtcOffsetMinutes);
        }
    }
    ++checks->done;
    --checks->inFlight;
    checks->wake();
}

Task<AppModel::ProbeOutcome> AppModel::cacheProbe(RecoveredHit item) {
    // Only the disk the hits were found on, and only while it is attached.
    const auto device = sourceDeviceToRead();
    if (!device) co_return ProbeOutcome::unavailable;
    const std::uint64_t length = std::min(item.byteLength, probeCapBytes);
    const auto probePath = m_probeCache->temporaryRoot() /
                           (std::string(HitProbeCache::probePrefix) + Uuid::random().toString() + "." +
                            std::string(FileKind::preferredExtension(item.kind)));
    UniqueFd fd;
    try {
        // Private: the temporary directory may be shared with other users.
        fd = RecoveryFiles::createExclusive(probePath, 0600);
    } catch (const std::exception& error) {
        AppLog::error(std::string("probe file: ") + error.what(), "integrity");
        // The hit is not to blame for the temporary folder.
        co_return isNoRoomError(CallError::objectOf(error)) ? ProbeOutcome::noRoom : ProbeOutcome::unavailable;
    }
    std::optional<ErrorObject> failure;
    try {
        co_await helperClient().extractHit(*device, item, length, probePath.string(), std::move(fd), probeTimeLimitSeconds);
    } catch (const std::exception& error) {
        failure = CallError::objectOf(error);
    }
    ProbeOutcome outcome = ProbeOutcome::cached;
    if (failure) {
        AppLog::error("probe of " + item.suggestedName + " failed: " + failure->message, "integrity");
        outcome = isNoRoomError(*failure)      ? ProbeOutcome::noRoom
                  : isUnavailableError(*failure) ? ProbeOutcome::unavailable
                                                 : ProbeOutcome::failed;
    } else {
        try {
            m_probeCache->adopt(probePath, item.id, item.suggestedName);
        } catch (const std::exception& error) {
            AppLog::error(std::string("probe adoption failed: ") + error.what(), "integrity");
            outcome = isNoRoomError(CallError::objectOf(error)) ? ProbeOutcome::noRoom : ProbeOutcome::failed;
        }
    }
    std::error_code ignored;
    std::filesystem::remove(probePath, ignored);
    co_return outcome;
}

Task<IntegrityVerdict> AppModel::checkFile(RecoveredFileKind kind, std::string path, bool wasCutAtCap) {
    auto workers = m_checkWorkers;
    auto checker = m_integrityChecker;
    auto start = [workers, checker, kind, path, wasCutAtCap](CallbackResumer<IntegrityVerdict> resume) {
        workers->submit([resume, checker, kind, path, wasCutAtCap] { resume(runCheck(checker, kind, path, wasCutAtCap)); });
    };
    auto verdict = co_await fromCallback<IntegrityVerdict>(start);
    co_return verdict;
}

void AppModel::applyIntegrityResult(const Uuid& hitId, HitIntegrity integrity, std::optional<HitDate> captureDate,
                                    std::optional<std::int32_t> captureUtcOffsetMinutes) {
    const Uuid id = hitId;
    const auto* found = hit(id);
    if (!found) return;
    // A broken JPEG far too small for its pixels is a piece no scan meant to offer; a piece the scan flagged
    // (cut where another file starts) stays, marked.
    if (integrity == HitIntegrity::failed && found->kind == RecoveredFileKind::jpeg && !found->isFragmented &&
        found->dimensions && !isPlausibleJpegPayload(found->byteLength, *found->dimensions)) {
        forgetIntakeKey(*found);
        removeHit(id);
        dropRemovedRowFromSelection(id);
        auto& pending = m_plain.pendingIntegrityIDs;
        pending.erase(std::remove(pending.begin(), pending.end(), id), pending.end());
        setCatalogDirty(true);
        return;
    }
    RecoveredHit changed = *found;
    changed.integrity = integrityForVerdict(*found, integrity);
    if (captureDate) {
        changed.captureDate = captureDate;
        changed.captureUtcOffsetMinutes = captureUtcOffsetMinutes;
    }
    if (changed == *found) return;
    updateHit(changed);
    setCatalogDirty(true);
}

void AppModel::removeStaleProbeFolders() {
    const auto removed = HitProbeCache::removeStaleFolders(m_probeCache->temporaryRoot());
    if (removed > 0) AppLog::info("removed " + std::to_string(removed) + " stale probe folder(s)", "integrity");
}

} // namespace vantrel
