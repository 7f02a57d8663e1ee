#pragma once
// The application's one state object: every view reads it and calls it, every flow writes it. It lives
// on the main thread, and so does everything it does; flows run as tasks of its scope, which go with
// the model.
//
// Observing: fieldChanged(field) follows each change of a published field. The displayed results also
// have row signals, each sent right after the list changed, so a mirror of the rows stays equal to it
// by replaying them: displayedHitsReset (take the whole list), displayedHitsInserted(row) (a new row at
// row), displayedHitChanged(row) (the row's hit has new values), displayedHitMoved(from, to) (the hit
// at from, with new values, now sits at to) and displayedHitsRemoved(row) (the row is gone).
//
// Results: hits are kept in arrival order; displayedHits are the hits that pass the status filter and
// the capture-date range, in the chosen order, where hits the order does not tell apart keep their
// arrival order. A change of one hit moves one row, under any query; only a change of the query or of
// the whole list recomputes it.

#include "Vantrel/async/DecisionWait.h"
#include "Vantrel/async/TaskScope.h"
#include "Vantrel/effects/VolumeSource.h"
#include "Vantrel/helper/HelperXPCClient.h"
#include "Vantrel/model/AppEffects.h"
#include "Vantrel/model/CancelFlag.h"
#include "Vantrel/model/DisplayRows.h"
#include "Vantrel/model/NameCollator.h"
#include "Vantrel/model/ResultsQuery.h"

#include "recovery/engine/ScanMode.h"
#include "recovery/filesystems/UndeleteNamingState.h"
#include "recovery/model/RecoveryFilters.h"
#include "support/HelperInstallStatus.h"
#include "support/volumes/ExternalVolume.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantrel {

struct UuidHash {
    std::size_t operator()(const Uuid& id) const noexcept;
};

class AppModel : public QObject {
    Q_OBJECT

public:
    enum class RawDiskAccessState { unknown, granted, denied };
    enum class HelperRuntimeState { unknown, reachable, unreachable };
    enum class CatalogDecision { save, discard, cancel };
    // What needs the user's attention in the disk-access button, in the order it is decided.
    enum class DiskAccessAttention { helper, diskAccess, none };

    // The published fields, in declaration order.
    enum class Field {
        selectedVolume,
        filters,
        hits,
        displayedHits,
        selectedHitIDs,
        resultsIntegrityFilter,
        resultsCaptureDateFrom,
        resultsCaptureDateTo,
        resultsSort,
        progress,
        isScanning,
        isRecovering,
        qualityPassStarted,
        isQualityPassRunning,
        scanThroughputMBps,
        statusMessage,
        lastFinishedScanMode,
        helperStatus,
        helperRuntimeState,
        showHelperSheet,
        showHelpSheet,
        showScanModeSheet,
        showScanSettingsSheet,
        fullDiskAccessState,
        errorMessage,
        catalogDirty,
        showUnsavedCatalogPrompt,
    };
    Q_ENUM(Field)

    // The fields that views do not observe; flows read and write them directly.
    struct PlainState {
        bool reopenDiskAccessAfterSettings = false;
        std::optional<std::string> activeRawDevicePath;
        std::set<std::string> disksPendingRemount;       // whole-disk names unmounted for scans
        std::optional<std::string> catalogURL;           // path of the catalog last saved or opened
        std::vector<Uuid> pendingIntegrityIDs;           // waiting for the quality pass, in order
        bool integrityPumpRunning = false;
        bool waitingToTerminate = false;
        std::uint64_t scanRateLastBytes = 0;
        std::optional<HitDate> scanRateLastDate;
        std::optional<double> scanRateEMA;
        bool fdaProbeInFlight = false;
        std::int64_t quickLookGeneration = 0;
    };

    explicit AppModel(AppEffects effects, QObject* parent = nullptr);
    ~AppModel() override;

    // ---- Published fields.
    const std::optional<ExternalVolume>& selectedVolume() const { return m_selectedVolume; }
    void setSelectedVolume(std::optional<ExternalVolume> volume);
    const RecoveryFilters& filters() const { return m_filters; }
    void setFilters(RecoveryFilters filters);
    const std::set<Uuid>& selectedHitIDs() const { return m_selectedHitIDs; }
    void setSelectedHitIDs(std::set<Uuid> ids);
    const ScanProgress& progress() const { return m_progress; }
    void setProgress(const ScanProgress& progress);
    bool isScanning() const { return m_isScanning; }
    void setIsScanning(bool value);
    bool isRecovering() const { return m_isRecovering; }
    void setIsRecovering(bool value);
    bool qualityPassStarted() const { return m_qualityPassStarted; }
    void setQualityPassStarted(bool value);
    bool isQualityPassRunning() const { return m_isQualityPassRunning; }
    void setIsQualityPassRunning(bool value);
    std::optional<double> scanThroughputMBps() const { return m_scanThroughputMBps; }
    void setScanThroughputMBps(std::optional<double> value);
    const QString& statusMessage() const { return m_statusMessage; }
    void setStatusMessage(const QString& message);
    std::optional<ScanMode> lastFinishedScanMode() const { return m_lastFinishedScanMode; }
    void setLastFinishedScanMode(std::optional<ScanMode> mode);
    HelperInstallStatus helperStatus() const { return m_helperStatus; }
    void setHelperStatus(HelperInstallStatus status);
    HelperRuntimeState helperRuntimeState() const { return m_helperRuntimeState; }
    void setHelperRuntimeState(HelperRuntimeState state);
    bool showHelperSheet() const { return m_showHelperSheet; }
    void setShowHelperSheet(bool value);
    bool showHelpSheet() const { return m_showHelpSheet; }
    void setShowHelpSheet(bool value);
    bool showScanModeSheet() const { return m_showScanModeSheet; }
    void setShowScanModeSheet(bool value);
    bool showScanSettingsSheet() const { return m_showScanSettingsSheet; }
    void setShowScanSettingsSheet(bool value);
    RawDiskAccessState fullDiskAccessState() const { return m_fullDiskAccessState; }
    void setFullDiskAccessState(RawDiskAccessState state);
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    void setErrorMessage(std::optional<QString> message);
    bool catalogDirty() const { return m_catalogDirty; }
    void setCatalogDirty(bool value);
    bool showUnsavedCatalogPrompt() const { return m_showUnsavedCatalogPrompt; }
    void setShowUnsavedCatalogPrompt(bool value);

    // ---- The results query. Each setter recomputes the displayed list when the value changes.
    ResultsIntegrityFilter resultsIntegrityFilter() const { return m_query.integrityFilter; }
    void setResultsIntegrityFilter(ResultsIntegrityFilter filter);
    const std::optional<HitDate>& resultsCaptureDateFrom() const { return m_query.captureDateFrom; }
    void setResultsCaptureDateFrom(std::optional<HitDate> date);
    const std::optional<HitDate>& resultsCaptureDateTo() const { return m_query.captureDateTo; }
    void setResultsCaptureDateTo(std::optional<HitDate> date);
    ResultsSort resultsSort() const { return m_query.sort; }
    void setResultsSort(ResultsSort sort);
    const ResultsQuery& resultsQuery() const { return m_query; }
    // Sets all four at once with one recomputation.
    void setResultsQuery(ResultsQuery query);

    // ---- Hits, in arrival order.
    const std::deque<RecoveredHit>& hits() const { return m_hits; }
    const RecoveredHit* hit(const Uuid& id) const;
    // Replaces every hit; the displayed list is recomputed. A repeated identity gets a fresh one.
    void setHits(std::vector<RecoveredHit> hits);
    // Appends a hit (a repeated identity gets a fresh one) and shows it at its place when it passes.
    void appendHit(RecoveredHit hit);
    // Stores new values of the hit with the same identity; false when there is none.
    bool updateHit(const RecoveredHit& changed);
    // Removes the hit; false when there is none.
    bool removeHit(const Uuid& hitId);
    // Removes every hit the predicate picks, with one recomputation; the number removed.
    std::size_t removeHitsIf(const std::function<bool(const RecoveredHit&)>& pick);

    // ---- The displayed list.
    std::size_t displayedCount() const { return m_displayed.size(); }
    const RecoveredHit& displayedHit(std::size_t row) const;
    std::vector<RecoveredHit> displayedHits() const;
    std::optional<std::size_t> displayedRow(const Uuid& id) const;
    // Recomputes the whole list from the hits and the query (one reset signal).
    void refreshDisplayedHits();

    // ---- Derived values of the results views.
    bool isDefaultResultsQuery() const { return m_query.isDefault(); }
    bool isCaptureDateFilterActive() const;
    bool hasActiveResultsFilter() const;
    bool hasCaptureDates() const;
    // The start of the local day of the earliest (latest) capture date; of today when no hit has one.
    HitDate captureDateRangeStart() const;
    HitDate captureDateRangeEnd() const;
    void clearCaptureDateFilter();
    bool hasSelectedVolume() const { return m_selectedVolume.has_value(); }
    bool hasUnsavedHits() const { return m_catalogDirty && !m_hits.empty(); }

    // Empties hits, displayed list, selection, naming state and pending checks and resets the query to
    // its default (a new scan).
    void resetResults();

    // ---- Disk-access button.
    DiskAccessAttention diskAccessAttention() const;
    static QString diskAccessTitle(DiskAccessAttention attention);

    // ---- Helper installation and reachability.
    // Reads the service's status into helperStatus (and resets the runtime and access states unless
    // it is installed).
    void refreshHelperStatus();
    // The application became active again: refresh, and recheck where something is left to find out.
    void handleDidBecomeActive();
    void installHelper();
    // True when the service was removed.
    Task<bool> uninstallHelper();
    // Removes and registers the service again; true when the helper ends up installed.
    Task<bool> rebindHelper();
    // True when the helper is installed; otherwise says what to do and opens the helper-access sheet.
    bool openLoginItemsIfApprovalNeeded();
    Task<void> recheckHelperAndDiskAccess(bool registerIfUnreachable, bool force);
    Task<void> repairHelper();
    // There is no settings page for raw disk access here: the helper-access sheet explains it.
    void openFullDiskAccessSettings();
    // Lists the selected volume's mount folder, so that a sleeping card is awake for the access check.
    void primeRemovableVolume();
    // The whole-disk device of the selected volume, when its node exists.
    std::optional<std::string> rawDevicePathForAccessCheck() const;
    // Whether a helper can be reached without the service: one is shipped beside the program.
    bool helperUsable() const;

    // ---- The helper's program file, as the helper-access sheet shows it.
    // The helper shipped with the program (symbolic links resolved), else "VantrelHelper" in the
    // program's folder.
    std::string helperExecutablePath() const;
    // Shows the helper in the file manager; the program's folder when the helper file is missing.
    void revealHelperInFinder();

    // ---- The unsaved-catalog question.
    // Asks the question when unsaved hits would be lost; true to go on (saved or discarded), false to stop.
    Task<bool> confirmDiscardHitsIfNeeded();
    // The prompt's answer reaches the waiting flow (false when none waits); the prompt closes.
    bool resolveCatalogDecision(CatalogDecision decision);
    // Selects another volume after the unsaved-catalog question, resetting the results.
    Task<void> selectVolume(std::optional<ExternalVolume> volume);

    // ---- Plain state and owned objects.
    PlainState& plainState() { return m_plain; }
    const PlainState& plainState() const { return m_plain; }
    const std::shared_ptr<CancelFlag>& cancelFlag() const { return m_cancelFlag; }
    // A fresh flag for a new scan.
    void replaceCancelFlag();
    // The helper's calls as tasks; the connection underneath is effects().helper.
    HelperXPCClient& helperClient() { return *m_helperClient; }
    UndeleteNamingState& undeleteNaming() { return m_undeleteNaming; }
    DecisionWait<CatalogDecision>& pendingCatalogDecision() { return m_pendingCatalogDecision; }
    std::shared_ptr<VolumeSource> volumeMonitor() const { return m_volumeMonitor.lock(); }
    void setVolumeMonitor(std::weak_ptr<VolumeSource> monitor) { m_volumeMonitor = std::move(monitor); }
    const AppEffects& effects() const { return m_effects; }
    // Where the model's flows run; destroyed first when the model goes.
    TaskScope& tasks() { return *m_tasks; }
    const NameCollator& collator() const { return *m_collator; }

    // ---- The results query as pure functions of its arguments.
    static std::vector<RecoveredHit> filteredAndSortedHits(const std::vector<RecoveredHit>& hits,
                                                           ResultsIntegrityFilter integrityFilter,
                                                           const std::optional<HitDate>& captureDateFrom,
                                                           const std::optional<HitDate>& captureDateTo, ResultsSort sort);
    static bool hitMatchesResultsFilter(const RecoveredHit& hit, ResultsIntegrityFilter integrityFilter,
                                        const std::optional<HitDate>& captureDateFrom,
                                        const std::optional<HitDate>& captureDateTo);
    static bool isDefaultQuery(ResultsIntegrityFilter integrityFilter, const std::optional<HitDate>& captureDateFrom,
                               const std::optional<HitDate>& captureDateTo, ResultsSort sort);
    static bool captureDateInRange(const std::optional<HitDate>& captureDate, const std::optional<HitDate>& from,
                                   const std::optional<HitDate>& to);

signals:
    void fieldChanged(vantrel::AppModel::Field field);
    void displayedHitsReset();
    void displayedHitsInserted(int row);
    void displayedHitChanged(int row);
    void displayedHitMoved(int from, int to);
    void displayedHitsRemoved(int row);

private:
    template <typename T>
    void publish(T& field, T value, Field which);

    using Position = DisplayRows::Value;
    ResultsOrder::Entry entryAt(Position position) const;
    bool passes(const RecoveredHit& hit) const;
    bool displayedBefore(Position a, Position b) const;
    std::optional<std::size_t> rowOfPosition(Position position) const;
    std::optional<std::size_t> positionOf(const Uuid& id) const;
    void storeHit(RecoveredHit hit);
    void applyQuery(ResultsQuery query);

    AppEffects m_effects;

    std::optional<ExternalVolume> m_selectedVolume;
    RecoveryFilters m_filters = RecoveryFilters::defaults();
    std::set<Uuid> m_selectedHitIDs;
    ResultsQuery m_query;
    ScanProgress m_progress;
    bool m_isScanning = false;
    bool m_isRecovering = false;
    bool m_qualityPassStarted = false;
    bool m_isQualityPassRunning = false;
    std::optional<double> m_scanThroughputMBps;
    QString m_statusMessage;
    std::optional<ScanMode> m_lastFinishedScanMode;
    HelperInstallStatus m_helperStatus = HelperInstallStatus::unknown;
    HelperRuntimeState m_helperRuntimeState = HelperRuntimeState::unknown;
    bool m_showHelperSheet = false;
    bool m_showHelpSheet = false;
    bool m_showScanModeSheet = false;
    bool m_showScanSettingsSheet = false;
    RawDiskAccessState m_fullDiskAccessState = RawDiskAccessState::unknown;
    std::optional<QString> m_errorMessage;
    bool m_catalogDirty = false;
    bool m_showUnsavedCatalogPrompt = false;

    PlainState m_plain;
    std::shared_ptr<CancelFlag> m_cancelFlag = std::make_shared<CancelFlag>();
    UndeleteNamingState m_undeleteNaming;
    std::weak_ptr<VolumeSource> m_volumeMonitor;

    // The hits and what is kept beside each, position for position.
    std::deque<RecoveredHit> m_hits;
    std::deque<std::uint64_t> m_sequence;   // arrival numbers, increasing with position
    std::deque<std::string> m_nameKeys;     // collation keys of the names
    std::unordered_map<Uuid, std::uint64_t, UuidHash> m_sequenceOf;
    std::uint64_t m_nextSequence = 0;

    std::unique_ptr<NameCollator> m_collator;
    std::unique_ptr<ResultsOrder::TypeRanks> m_typeRanks;
    CaptureDay::Window m_window;
    DisplayRows m_displayed;

    DecisionWait<CatalogDecision> m_pendingCatalogDecision{CatalogDecision::cancel};
    std::unique_ptr<HelperXPCClient> m_helperClient;
    // Last, so it goes first: flows are destroyed while the state they touch still exists.
    std::unique_ptr<TaskScope> m_tasks;
};

} // namespace vantrel
