// AppModel: the quality pass. Every pending hit of a checkable kind gets a probe (its first 12 MiB at
// most) fetched through the helper into the probe cache, in ascending device offset; then the probes
// are judged four at a time on worker threads, and the verdicts and capture dates reach the hits on
// the main thread.
//
// A hit is judged only on bytes that were fetched: when the helper or the device cannot be reached, a
// probe that was not fetched leaves its hit pending (queued again by the next hand-over) instead of
// calling it broken. Each probe has a time limit. One pass runs at a time; a pass whose results were
// reset (a new scan) ends at its next step without touching the new results.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/RecoveryFiles.h"

#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <limits>

namespace vantrel {

namespace {


std::int64_t clampedOffset(std::uint64_t value) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(std::min(value, largest));
}

struct CheckResult {
    Uuid id;
    IntegrityVerdict verdict;
};

// Runs the checks of one group on the workers, all at once; resumes with their results in the order
// they finished.
struct CheckGroup {
    std::mutex mutex;
    std::vector<CheckResult> results;
    std::size_t expected = 0;
};

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

} // namespace

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

    const auto ids = std::exchange(plain.pendingIntegrityIDs, {});
    std::vector<RecoveredHit> work;
    for (const auto& id : ids) {
        const auto* found = hit(id);
        if (!found || found->integrity != HitIntegrity::pending) continue;
        if (!IntegrityKinds::isCheckable(found->kind)) {
            applyIntegrityResult(id, HitIntegrity::skipped, std::nullopt);
            continue;
        }
        work.push_back(*found);
    }
    std::stable_sort(work.begin(), work.end(),
                     [](const RecoveredHit& a, const RecoveredHit& b) { return a.byteOffset < b.byteOffset; });
    if (work.empty()) {
        setIsQualityPassRunning(false);
        plain.integrityPumpRunning = false;
        setStatusMessage(tr("Quality check finished."));
        return;
    }
    setStatusMessage(tr("Phase 2 — caching probes… %1/%2").arg(0).arg(work.size()));
    m_qualityPassActive = true;
    tasks().spawn(qualityPassTask(std::move(work), m_resultsGeneration));
}

Task<void> AppModel::qualityPassTask(std::vector<RecoveredHit> work, std::uint64_t generation) {
    const std::size_t n = work.size();
    std::vector<RecoveredHit> checks;
    bool stale = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (m_isScanning || m_isRecovering) {
            // Interrupted while probing: the hits not judged yet wait for the next pass.
            for (const auto& item : work)
                if (isHitPending(item.id)) m_plain.pendingIntegrityIDs.push_back(item.id);
            m_plain.integrityPumpRunning = false;
            setIsQualityPassRunning(false);
            m_qualityPassActive = false;
            co_return;
        }
        const auto& item = work[i];
        if (m_probeCache->cachedFile(item.id)) {
            checks.push_back(item);
        } else {
            const auto outcome = co_await cacheProbe(item);
            if (generation != m_resultsGeneration) {
                stale = true;
                break;
            }
            if (outcome == ProbeOutcome::unavailable) {
                AppLog::error("quality pass: helper or device unavailable, " + std::to_string(n - i) + " hit(s) stay pending",
                              "integrity");
                break;
            }
            if (outcome == ProbeOutcome::cached) checks.push_back(item);
            else applyIntegrityResult(item.id, HitIntegrity::failed, std::nullopt);
        }
        const std::size_t position = i + 1;
        if (position == 1 || position % 5 == 0 || position == n)
            setStatusMessage(tr("Phase 2 — caching probes… %1/%2").arg(position).arg(n));
    }

    if (!stale && !(m_isScanning || m_isRecovering)) {
        const std::size_t m = checks.size();
        setStatusMessage(tr("Phase 2 — checking quality… %1/%2").arg(0).arg(m));
        std::size_t done = 0;
        while (done < m) {
            const std::size_t count = std::min(checkGroupSize, m - done);
            std::vector<RecoveredHit> group(checks.begin() + static_cast<std::ptrdiff_t>(done),
                                            checks.begin() + static_cast<std::ptrdiff_t>(done + count));
            auto workers = m_checkWorkers;
            auto checker = m_integrityChecker;
            std::vector<std::pair<RecoveredHit, std::optional<std::filesystem::path>>> jobs;
            for (const auto& item : group) jobs.emplace_back(item, m_probeCache->cachedFile(item.id));
            auto start = [workers, checker, jobs](CallbackResumer<std::vector<CheckResult>> resume) {
                auto state = std::make_shared<CheckGroup>();
                state->expected = jobs.size();
                for (const auto& job : jobs) {
                    const RecoveredHit item = job.first;
                    const auto file = job.second;
                    workers->submit([state, resume, checker, item, file] {
                        IntegrityVerdict verdict{HitIntegrity::failed, std::nullopt};
                        const auto size = file ? RecoveryFiles::regularFileSize(*file) : std::nullopt;
                        if (size) {
                            const bool cutAtCap = *size < item.byteLength && *size >= probeCapBytes;
                            verdict = runCheck(checker, item.kind, file->string(), cutAtCap);
                        }
                        std::lock_guard lock(state->mutex);
                        state->results.push_back({item.id, verdict});
                        if (state->results.size() == state->expected) resume(state->results);
                    });
                }
            };
            auto results = co_await fromCallback<std::vector<CheckResult>>(start);
            if (generation != m_resultsGeneration) {
                stale = true;
                break;
            }
            for (const auto& result : results)
                applyIntegrityResult(result.id, result.verdict.integrity, result.verdict.captureDate);
            done += count;
            setStatusMessage(tr("Phase 2 — checking quality… %1/%2").arg(done).arg(m));
            if (m_isScanning || m_isRecovering) break;
        }
    }

    m_qualityPassActive = false;
    if (!stale) {
        if (!(m_isScanning || m_isRecovering)) setStatusMessage(tr("Quality check finished."));
        setIsQualityPassRunning(false);
        m_plain.integrityPumpRunning = false;
    }
    if (!(m_isScanning || m_isRecovering) && !m_plain.pendingIntegrityIDs.empty()) runQualityPass();
}

Task<AppModel::ProbeOutcome> AppModel::cacheProbe(RecoveredHit item) {
    std::optional<std::string> device = m_plain.activeRawDevicePath;
    if (!device && m_selectedVolume) device = m_selectedVolume->rawDevicePath();
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
        co_return ProbeOutcome::failed;
    }
    const auto hint = item.clusterHint.value_or(ClusterAllocationHint{});
    const std::string fileSystem = item.clusterHint ? std::string(FileSystemName::rawValue(hint.fileSystem)) : std::string();
    std::optional<ErrorObject> failure;
    try {
        co_await helperClient().extractHit(*device, clampedOffset(item.byteOffset), length, probePath.string(), std::move(fd),
                                           std::string(HitSourceName::rawValue(item.source)), hint.firstCluster,
                                           clampedOffset(hint.partitionOffset), fileSystem, probeTimeLimitSeconds);
    } catch (const std::exception& error) {
        failure = CallError::objectOf(error);
    }
    ProbeOutcome outcome = ProbeOutcome::cached;
    if (failure) {
        AppLog::error("probe of " + item.suggestedName + " failed: " + failure->message, "integrity");
        outcome = isUnavailableError(*failure) ? ProbeOutcome::unavailable : ProbeOutcome::failed;
    } else {
        try {
            m_probeCache->adopt(probePath, item.id, item.suggestedName);
        } catch (const std::exception& error) {
            AppLog::error(std::string("probe adoption failed: ") + error.what(), "integrity");
            outcome = ProbeOutcome::failed;
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

void AppModel::applyIntegrityResult(const Uuid& hitId, HitIntegrity integrity, std::optional<HitDate> captureDate) {
    const Uuid id = hitId;
    const auto* found = hit(id);
    if (!found) return;
    if (integrity == HitIntegrity::failed && found->kind == RecoveredFileKind::jpeg && found->dimensions &&
        !isPlausibleJpegPayload(found->byteLength, *found->dimensions)) {
        forgetIntakeKey(*found);
        removeHit(id);
        auto selection = m_selectedHitIDs;
        if (selection.erase(id) != 0) setSelectedHitIDs(std::move(selection));
        auto& pending = m_plain.pendingIntegrityIDs;
        pending.erase(std::remove(pending.begin(), pending.end(), id), pending.end());
        setCatalogDirty(true);
        return;
    }
    RecoveredHit changed = *found;
    changed.integrity = integrityForVerdict(*found, integrity);
    if (captureDate) changed.captureDate = captureDate;
    if (changed == *found) return;
    updateHit(changed);
    setCatalogDirty(true);
}

void AppModel::removeStaleProbeFolders() {
    const auto removed = HitProbeCache::removeStaleFolders(m_probeCache->temporaryRoot());
    if (removed > 0) AppLog::info("removed " + std::to_string(removed) + " stale probe folder(s)", "integrity");
}

} // namespace vantrel
