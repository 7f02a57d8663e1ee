#include "Vantrel/model/AppModel.h"

#include "Vantrel/catalog/CatalogFlows.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

namespace vantrel {

std::size_t UuidHash::operator()(const Uuid& id) const noexcept {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, id.bytes.data(), sizeof high);
    std::memcpy(&low, id.bytes.data() + sizeof high, sizeof low);
    // Random identities are already well mixed; the multiply spreads hand-made ones.
    return static_cast<std::size_t>((high ^ (low * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL);
}

std::optional<std::uint64_t> HitIdIndex::find(const Uuid& id) const {
    const auto& map = shard(id);
    const auto found = map.find(id);
    if (found == map.end()) return std::nullopt;
    return found->second;
}

void HitIdIndex::clear() {
    for (auto& map : m_shards) map.clear();
}

AppModel::AppModel(AppEffects effects, QObject* parent)
    : QObject(parent),
      m_effects(std::move(effects)),
      m_collator(std::make_unique<NameCollator>()),
      m_typeRanks(std::make_unique<ResultsOrder::TypeRanks>(*m_collator)),
      m_catalogSaver(&CatalogFlows::saveCatalogWithPanel),
      m_helperClient(std::make_unique<HelperXPCClient>(m_effects.helper)),
      m_tasks(std::make_unique<TaskScope>(m_effects.executor)) {}

AppModel::~AppModel() {
    // The flows go before anything they could touch.
    m_tasks.reset();
}

template <typename T>
void AppModel::publish(T& field, T value, Field which) {
    if (field == value) return;
    field = std::move(value);
    emit fieldChanged(which);
}

void AppModel::setSelectedVolume(std::optional<ExternalVolume> volume) { publish(m_selectedVolume, std::move(volume), Field::selectedVolume); }
void AppModel::setFilters(RecoveryFilters filters) { publish(m_filters, std::move(filters), Field::filters); }
void AppModel::setSelectedHitIDs(std::set<Uuid> ids) { publish(m_selectedHitIDs, std::move(ids), Field::selectedHitIDs); }
void AppModel::setProgress(const ScanProgress& progress) { publish(m_progress, progress, Field::progress); }
void AppModel::setIsScanning(bool value) { publish(m_isScanning, value, Field::isScanning); }
void AppModel::setIsRecovering(bool value) { publish(m_isRecovering, value, Field::isRecovering); }
void AppModel::setQualityPassStarted(bool value) { publish(m_qualityPassStarted, value, Field::qualityPassStarted); }
void AppModel::setIsQualityPassRunning(bool value) { publish(m_isQualityPassRunning, value, Field::isQualityPassRunning); }
void AppModel::setScanThroughputMBps(std::optional<double> value) { publish(m_scanThroughputMBps, value, Field::scanThroughputMBps); }
void AppModel::setStatusMessage(const QString& message) {
    // The status line in the log: what the user was told, and when.
    if (message != m_statusMessage && !message.isEmpty()) AppLog::info("status: " + message.toStdString(), "app");
    publish(m_statusMessage, message, Field::statusMessage);
}
void AppModel::setLastFinishedScanMode(std::optional<ScanMode> mode) { publish(m_lastFinishedScanMode, mode, Field::lastFinishedScanMode); }
void AppModel::setHelperStatus(HelperInstallStatus status) { publish(m_helperStatus, status, Field::helperStatus); }
void AppModel::setHelperRuntimeState(HelperRuntimeState state) { publish(m_helperRuntimeState, state, Field::helperRuntimeState); }
void AppModel::setShowHelperSheet(bool value) { publish(m_showHelperSheet, value, Field::showHelperSheet); }
void AppModel::setShowHelpSheet(bool value) { publish(m_showHelpSheet, value, Field::showHelpSheet); }
void AppModel::setShowScanModeSheet(bool value) { publish(m_showScanModeSheet, value, Field::showScanModeSheet); }
void AppModel::setShowScanSettingsSheet(bool value) { publish(m_showScanSettingsSheet, value, Field::showScanSettingsSheet); }
void AppModel::setFullDiskAccessState(RawDiskAccessState state) { publish(m_fullDiskAccessState, state, Field::fullDiskAccessState); }
void AppModel::setErrorMessage(std::optional<QString> message) { publish(m_errorMessage, std::move(message), Field::errorMessage); }
void AppModel::setCatalogDirty(bool value) { publish(m_catalogDirty, value, Field::catalogDirty); }
void AppModel::setShowUnsavedCatalogPrompt(bool value) { publish(m_showUnsavedCatalogPrompt, value, Field::showUnsavedCatalogPrompt); }
void AppModel::setShowQuitDuringScanPrompt(bool value) { publish(m_showQuitDuringScanPrompt, value, Field::showQuitDuringScanPrompt); }

void AppModel::replaceCancelFlag() {
    m_cancelFlag = std::make_shared<CancelFlag>();
}

AppModel::DiskAccessAttention AppModel::diskAccessAttention() const {
    const HelperRoute route = helperRoute();
    const bool spawned = route == HelperRoute::spawnedAsRoot || route == HelperRoute::spawnedWithPkexec ||
                         route == HelperRoute::spawnedAsUser;
    // A helper started beside the program that answers is in use although no service is installed;
    // one without root reads no disk.
    if (spawned && m_helperRuntimeState == HelperRuntimeState::reachable) {
        if (route == HelperRoute::spawnedAsUser || m_fullDiskAccessState == RawDiskAccessState::denied)
            return DiskAccessAttention::diskAccess;
        return DiskAccessAttention::none;
    }
    if (m_helperStatus != HelperInstallStatus::installed || m_helperRuntimeState == HelperRuntimeState::unreachable)
        return DiskAccessAttention::helper;
    if (m_fullDiskAccessState == RawDiskAccessState::denied) return DiskAccessAttention::diskAccess;
    return DiskAccessAttention::none;
}

QString AppModel::diskAccessTitle(DiskAccessAttention attention) {
    return attention == DiskAccessAttention::none ? tr("Disk Access") : tr("Disk Access Required");
}

Task<bool> AppModel::confirmDiscardHitsIfNeeded() {
    if (!hasUnsavedHits()) co_return true;
    setShowUnsavedCatalogPrompt(true);
    const CatalogDecision decision = co_await m_pendingCatalogDecision.wait();
    // A newer question that replaced this one keeps the prompt open for itself.
    if (!m_pendingCatalogDecision.isPending()) setShowUnsavedCatalogPrompt(false);
    co_return decision != CatalogDecision::cancel;
}

bool AppModel::resolveCatalogDecision(CatalogDecision decision) {
    const bool resumed = m_pendingCatalogDecision.resolve(decision);
    setShowUnsavedCatalogPrompt(false);
    return resumed;
}

Task<void> AppModel::selectVolume(std::optional<ExternalVolume> volume) {
    // Picking the selected volume again changes nothing (and so loses no unsaved hits).
    if (volume == m_selectedVolume) co_return;
    const bool proceed = co_await confirmDiscardHitsIfNeeded();
    if (!proceed) co_return;
    resetResults();
    // What the last line said was about the other disk's results.
    setStatusMessage(QString());
    setSelectedVolume(std::move(volume));
}

std::vector<RecoveredHit> AppModel::filteredAndSortedHits(const std::vector<RecoveredHit>& hits,
                                                          ResultsIntegrityFilter integrityFilter,
                                                          const std::optional<HitDate>& captureDateFrom,
                                                          const std::optional<HitDate>& captureDateTo, ResultsSort sort) {
    static const NameCollator collator;
    return ResultsQueries::filteredAndSortedHits(hits, {integrityFilter, captureDateFrom, captureDateTo, sort}, collator);
}

bool AppModel::hitMatchesResultsFilter(const RecoveredHit& hit, ResultsIntegrityFilter integrityFilter,
                                       const std::optional<HitDate>& captureDateFrom,
                                       const std::optional<HitDate>& captureDateTo) {
    return ResultsQueries::hitMatchesResultsFilter(hit, integrityFilter, captureDateFrom, captureDateTo);
}

bool AppModel::isDefaultQuery(ResultsIntegrityFilter integrityFilter, const std::optional<HitDate>& captureDateFrom,
                              const std::optional<HitDate>& captureDateTo, ResultsSort sort) {
    return ResultsQueries::isDefaultQuery(integrityFilter, captureDateFrom, captureDateTo, sort);
}

bool AppModel::captureDateInRange(const std::optional<HitDate>& captureDate, const std::optional<HitDate>& from,
                                  const std::optional<HitDate>& to) {
    return CaptureDay::captureDateInRange(captureDate, from, to);
}

} // namespace vantrel
