#include "Vantrel/model/AppModel.h"

#include "Vantrel/catalog/CatalogFlows.h"
#include "Vantrel/model/ProbeTable.h"
#include "base/ShardGrowth.h"
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

std::size_t HitIdIndex::startOf(const Uuid& id, std::size_t mask) {
    // The hash's high bits folded into the low ones that pick the slot: hand-made identities that differ in
    // a few bytes still spread over the table.
    auto mixed = static_cast<std::uint64_t>(UuidHash{}(id));
    mixed ^= mixed >> 31;
    mixed *= 0x94D049BB133111EBULL;
    mixed ^= mixed >> 29;
    return static_cast<std::size_t>(mixed) & mask;
}

const HitIdIndex::Slot* HitIdIndex::slotOf(const Shard& shard, const Uuid& id) {
    if (shard.entries.empty()) return nullptr;
    const std::size_t mask = shard.entries.size() - 1;
    // The table always keeps empty slots, so the probe ends.
    for (std::size_t at = startOf(id, mask);; at = (at + 1) & mask) {
        const Slot& slot = shard.entries[at];
        if (slot.sequence == emptySlot) return nullptr;
        if (slot.sequence != erasedSlot && slot.id == id) return &slot;
    }
}

std::optional<std::uint64_t> HitIdIndex::find(const Uuid& id) const {
    const Slot* slot = slotOf(shard(id), id);
    if (!slot) return std::nullopt;
    return slot->sequence;
}

void HitIdIndex::findAll(std::span<const Uuid> ids, std::vector<std::uint64_t>& sequences) const {
    // Far enough ahead that a slot has arrived when its identity's turn comes; near enough that the
    // slots fetched stay in the cache.
    constexpr std::size_t ahead = 16;
    for (std::size_t i = 0; i < std::min(ahead, ids.size()); ++i) prefetch(ids[i]);
    sequences.resize(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i + ahead < ids.size()) prefetch(ids[i + ahead]);
        const Slot* slot = slotOf(shard(ids[i]), ids[i]);
        sequences[i] = slot ? slot->sequence : absent;
    }
}

void HitIdIndex::rehash(Shard& shard) {
    ProbeTable::rehash(
        shard.entries, shard.used, [](const Slot& slot) { return slot.sequence < erasedSlot; },
        [](const Slot& slot) { return slot.sequence == emptySlot; }, [](const Slot& slot, std::size_t mask) { return startOf(slot.id, mask); });
    shard.erased = 0;
}

bool HitIdIndex::insert(const Uuid& id, std::uint64_t sequence) {
    Shard& table = shard(id);
    // Taken slots, erased ones included, stay under the shard's own load (at most three quarters).
    if (ShardGrowth::due(table.used + table.erased, table.entries.size(), id.bytes[15], shardCount)) rehash(table);
    const std::size_t mask = table.entries.size() - 1;
    Slot* reusable = nullptr;
    std::size_t at = startOf(id, mask);
    for (;; at = (at + 1) & mask) {
        Slot& slot = table.entries[at];
        if (slot.sequence == emptySlot) break;
        if (slot.sequence == erasedSlot) {
            if (!reusable) reusable = &slot;
        } else if (slot.id == id) {
            return false;
        }
    }
    Slot& target = reusable ? *reusable : table.entries[at];
    if (reusable) --table.erased;
    target = Slot{id, sequence};
    ++table.used;
    return true;
}

void HitIdIndex::erase(const Uuid& id) {
    Shard& table = shard(id);
    auto* slot = const_cast<Slot*>(slotOf(table, id));
    if (!slot) return;
    slot->sequence = erasedSlot;
    --table.used;
    ++table.erased;
}

void HitIdIndex::clear() {
    for (auto& table : m_shards) table = Shard{};
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
void AppModel::setSelectedHitIDs(HitSelection ids) {
    if (ids == m_selectedHitIDs) return;
    m_selectedHitIDs = std::move(ids);
    selectionWasChanged();
}

void AppModel::selectionWasChanged() {
    ++m_selectionVersion;
    emit fieldChanged(Field::selectedHitIDs);
}
void AppModel::setProgress(const ScanProgress& progress) { publish(m_progress, progress, Field::progress); }
void AppModel::setIsScanning(bool value) {
    // Set before the scan is asked for, so that none of its lines is dropped.
    takeHelperStatusLines(value);
    publish(m_isScanning, value, Field::isScanning);
}
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
    // A helper started beside the program, or serving a socket of its own, that answers is in use
    // although no service is installed; one without root reads no disk.
    const bool ownSocket = route == HelperRoute::serviceSocket && m_helperStatus != HelperInstallStatus::installed;
    if ((spawned || ownSocket) && m_helperRuntimeState == HelperRuntimeState::reachable) {
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

Task<bool> AppModel::askCatalogDiskQuestion(QString question) {
    publish(m_catalogDiskQuestion, std::optional<QString>(std::move(question)), Field::catalogDiskQuestion);
    const bool use = co_await m_pendingCatalogDisk.wait();
    if (!m_pendingCatalogDisk.isPending()) publish(m_catalogDiskQuestion, std::optional<QString>(), Field::catalogDiskQuestion);
    co_return use;
}

bool AppModel::resolveCatalogDiskQuestion(bool use) {
    if (!m_catalogDiskQuestion) return false;
    const bool resumed = m_pendingCatalogDisk.resolve(use);
    publish(m_catalogDiskQuestion, std::optional<QString>(), Field::catalogDiskQuestion);
    return resumed;
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
