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
// the whole list recomputes it. The selection holds displayed hits only: a hit the list stops showing
// leaves it.

#include "Vantrel/async/DecisionWait.h"
#include "Vantrel/async/TaskScope.h"
#include "Vantrel/catalog/ScanCatalog.h"
#include "Vantrel/effects/VolumeSource.h"
#include "Vantrel/helper/HelperXPCClient.h"
#include "Vantrel/model/AppEffects.h"
#include "Vantrel/model/CancelFlag.h"
#include "Vantrel/model/DisplayRows.h"
#include "Vantrel/model/HitSelection.h"
#include "Vantrel/model/IntakeKeySet.h"
#include "Vantrel/model/NameCollator.h"
#include "Vantrel/model/NameKeys.h"
#include "Vantrel/model/PreviewController.h"
#include "Vantrel/model/ResultsQuery.h"
#include "Vantrel/model/ScanEnd.h"
#include "Vantrel/scan/CheckWorkers.h"
#include "Vantrel/scan/HitProbeCache.h"
#include "Vantrel/scan/IntegrityChecker.h"
#include "Vantrel/scan/SourceGuard.h"

#include "platform/UniqueFd.h"
#include "recovery/engine/ScanMode.h"
#include "recovery/filesystems/UndeleteNamingState.h"
#include "recovery/model/RecoveryFilters.h"
#include "support/HelperInstallStatus.h"
#include "support/volumes/ExternalVolume.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vantrel {

class PreviewRenderer;

struct UuidHash {
    std::size_t operator()(const Uuid& id) const noexcept;
};

// Arrival numbers by identity, in 256 tables chosen by the identity's last byte, so that growing the
// index never rehashes more than a 256th of it in one step (each table grows at a load of its own, see
// ShardGrowth, or all would grow in the same step). Each table keeps its entries in one array
// (open addressing, linear probing): no allocation per identity, and a new identity costs one probe.
class HitIdIndex {
public:
    static constexpr std::size_t shardCount = 256;

    // What findAll gives for an identity that is not here.
    static constexpr std::uint64_t absent = ~std::uint64_t{0};

    bool contains(const Uuid& id) const { return find(id).has_value(); }
    std::optional<std::uint64_t> find(const Uuid& id) const;
    // The arrival numbers of many identities, in their order (absent for one not here). The slots are
    // fetched some identities ahead, so that the lookups wait for memory together, not one after another.
    void findAll(std::span<const Uuid> ids, std::vector<std::uint64_t>& sequences) const;
    // Asks for the memory where the identity's probe starts, for a lookup or an insert some steps later.
    void prefetch(const Uuid& id) const {
        const Shard& table = shard(id);
        if (!table.entries.empty()) __builtin_prefetch(&table.entries[startOf(id, table.entries.size() - 1)]);
    }
    // Adds the identity with its arrival number; answers false, changing nothing, when it is there already.
    bool insert(const Uuid& id, std::uint64_t sequence);
    void erase(const Uuid& id);
    void clear();

private:
    // A slot's sequence also tells an empty slot and an erased one (which keeps a probe going past it):
    // arrival numbers count up from 0 and never reach these.
    static constexpr std::uint64_t emptySlot = ~std::uint64_t{0};
    static constexpr std::uint64_t erasedSlot = ~std::uint64_t{0} - 1;
    struct Slot {
        Uuid id;
        std::uint64_t sequence = emptySlot;
    };
    struct Shard {
        std::vector<Slot> entries;  // a power of two of them, or none
        std::size_t used = 0;
        std::size_t erased = 0;   // erased entries keep a probe going past them until the next rehash
    };

    Shard& shard(const Uuid& id) { return m_shards[id.bytes[15]]; }
    const Shard& shard(const Uuid& id) const { return m_shards[id.bytes[15]]; }
    static std::size_t startOf(const Uuid& id, std::size_t mask);
    static const Slot* slotOf(const Shard& shard, const Uuid& id);
    static void rehash(Shard& shard);

    std::array<Shard, shardCount> m_shards;
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
        showQuitDuringScanPrompt,
        catalogDiskQuestion,
        helperAcceptsImageFiles,
    };
    Q_ENUM(Field)

    // The fields that views do not observe; flows read and write them directly.
    struct PlainState {
        bool reopenDiskAccessAfterSettings = false;
        std::optional<std::string> activeRawDevicePath;
        // The disk the results came from (the scanned one, or a catalog's), and whether it is attached:
        // verification and recovery read from it only then.
        std::optional<ScanCatalog::Source> resultsSource;
        bool resultsDiskAttached = true;
        // The results' disk as it was seen when it was known to be that disk: when the scan started, or
        // when an attached disk proved to be a catalog's (by what its medium says of itself, or by the
        // user's word). Nothing is read from the disk without it.
        std::optional<SourceGuard::DiskMark> scannedDiskMark;
        // Why the attached disk is not read for these results (it is another disk); shown in place of
        // the not-attached message.
        std::optional<QString> sourceRefusal;
        // The search for the results' disk among the attached ones: the results it runs for (none when
        // none runs), the disks it has read (kernel name and medium number), and a number that changes
        // with the results, so that a search for results that were replaced meanwhile does nothing.
        std::optional<std::uint64_t> diskSearchFor;
        std::set<std::string> diskSearchTried;
        std::uint64_t diskSearchGeneration = 0;
        std::set<std::string> disksPendingRemount;       // whole-disk names unmounted for scans
        std::optional<std::string> catalogURL;           // path of the catalog last saved or opened
        // Waiting for the quality pass, in order. In blocks: a scan appends one a hit, and a vector's growth
        // would copy (and touch anew) the whole queue in one hit's step.
        std::deque<Uuid> pendingIntegrityIDs;
        bool integrityPumpRunning = false;
        bool waitingToTerminate = false;
        // How the scan behind the results ended (a catalog's as its summary says); none when unknown.
        std::optional<ScanEnd> resultsScanEnd;
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
    const HitSelection& selectedHitIDs() const { return m_selectedHitIDs; }
    void setSelectedHitIDs(HitSelection ids);
    enum class SelectionEdit { add, remove, toggle };
    // Adds the identities to the selection, takes them out of it, or takes each one out that is in it and
    // adds the others (toggle).
    void editSelection(const HitSelection& ids, SelectionEdit edit);
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
    bool showQuitDuringScanPrompt() const { return m_showQuitDuringScanPrompt; }
    void setShowQuitDuringScanPrompt(bool value);
    // The question whether an attached disk is the one a catalog that records no identity came from
    // ("Use “USBSTICK” (256 MB) for this catalog?"); none when no such question is open.
    const std::optional<QString>& catalogDiskQuestion() const { return m_catalogDiskQuestion; }
    // Asks the question and waits for the answer; false (Cancel) when the question is closed any
    // other way or replaced.
    Task<bool> askCatalogDiskQuestion(QString question);
    // The answer; false when no question was open.
    bool resolveCatalogDiskQuestion(bool use);

    // ---- The results query. Each setter recomputes the displayed list when the value changes.
    ResultsIntegrityFilter resultsIntegrityFilter() const { return m_query.integrityFilter; }
    void setResultsIntegrityFilter(ResultsIntegrityFilter filter);
    const std::optional<HitDate>& resultsCaptureDateFrom() const { return m_query.captureDateFrom; }
    void setResultsCaptureDateFrom(std::optional<HitDate> date);
    const std::optional<HitDate>& resultsCaptureDateTo() const { return m_query.captureDateTo; }
    void setResultsCaptureDateTo(std::optional<HitDate> date);
    ResultsSort resultsSort() const { return m_query.sort; }
    void setResultsSort(ResultsSort sort);
    // The order the displayed list is in. It is the order asked for, but for an order by name over many
    // names without their collation keys: those are made on another thread, and until they are there the
    // list keeps the order it had (arrival order where that was by name too).
    ResultsSort displayedSort() const { return m_listedSort; }
    // Names keyed in the step that asks for an order by name, at most.
    static constexpr std::size_t nameKeysMadeInStep = 16'384;
    // Names copied out in one step for keys made on another thread, at most.
    static constexpr std::size_t namesTakenInStep = 65'536;
    const ResultsQuery& resultsQuery() const { return m_query; }
    // Sets all four at once with one recomputation.
    void setResultsQuery(ResultsQuery query);

    // ---- Hits, in arrival order.
    const ChunkedArray<RecoveredHit, 12>& hits() const { return m_hits; }
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
    // The rows that show a selected hit, in ascending order; the second form fills rows (its memory kept).
    std::vector<std::size_t> selectedDisplayedRows() const;
    void selectedDisplayedRows(std::vector<std::size_t>& rows) const;
    bool isDisplayedRowSelected(std::size_t row) const;
    // Selects exactly the hits of the displayed rows in runs ([first, last) each, none overlapping): what
    // the table's rows give, with the places of the hits known already.
    void selectDisplayedRows(std::span<const std::pair<std::size_t, std::size_t>> runs);
    // Appends the identities of the hits of rows [first, last) that are displayed, in row order.
    void displayedIds(std::size_t first, std::size_t last, std::vector<Uuid>& ids) const;
    // Changes with every change of selectedHitIDs, also one told later than made.
    std::uint64_t selectionVersion() const { return m_selectionVersion; }
    // Whether the one change of selectedHitIDs since the version took out a hit whose row had been
    // removed from the displayed list just before (its removal signal told the rows' mirrors already).
    bool selectionLostARemovedRowSince(std::uint64_t version) const {
        return m_selectionVersion == version + 1 && m_removedRowDropAt == m_selectionVersion;
    }
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

    // Empties hits, displayed list, selection, naming state and pending checks (another disk); the
    // query stays. resetForNewScan also puts the query back to its default.
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
    // The helper in use: the service's, or one started beside the program (none before the first call).
    HelperRoute helperRoute() const;
    // Whether the helper in use (or the one the next call starts) opens image files: a helper started
    // beside the program says so itself; of one on the socket, the check after its ping found out.
    bool helperAcceptsImageFiles() const;
    // Asks the helper on the socket to measure a regular file (this program's own): one that takes
    // image files answers with its length, the service's refuses it as no device.
    Task<void> learnWhetherSocketHelperTakesImageFiles();

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

    // ---- Launch arguments, the first-run prompt and quitting.
    // The answer to a request to quit: at once, or later through DesktopShell::replyToTerminateRequest.
    enum class TerminateReply { now, later };
    // Who asks to quit: the user (the window's close, Quit, a launch argument), or the system through a
    // signal, which nobody is at the window to answer questions for.
    enum class QuitCause { user, signal };
    // Saves the results where the user chooses; true only when a catalog was written.
    using CatalogSaver = std::function<Task<bool>(AppModel*)>;

    // Runs a helper-maintenance request of the program's arguments, or else the first-run prompt.
    // Once per program start: later calls (the window shown again) do nothing.
    void handleLaunchArguments(std::vector<std::string> arguments);
    // Offers the helper-access sheet on the very first start, unless the helper is installed.
    void promptDiskAccessSetupIfFirstRun();
    // A request to quit (the window's close, Quit, a signal, a launch argument). The first is answered
    // later, once the disks are handed back and unsaved results were saved or given up; a second one
    // meanwhile is granted at once. While a scan runs, the user is asked first ("A scan is running.",
    // showQuitDuringScanPrompt): nothing is stopped or handed back before the answer. A request while
    // that question is open waits for it; a signal answers it with Quit.
    TerminateReply handleShouldTerminate(QuitCause cause = QuitCause::user);
    // The answer of the question about the running scan: quit stops the scan and goes on with the quit;
    // otherwise the request is refused and everything stays as it was. False when no question was open.
    bool resolveQuitDuringScanPrompt(bool quit);
    // Stops a running scan, asks the helper to mount the scanned disks again (for at most 2 s), mounts
    // each locally, then calls completion on the main thread. Disks that stay unmounted are kept in
    // disksPendingRemount and reported.
    void beginQuitSequence(std::function<void()> completion);
    // True when the disk's volumes are mounted (or there was nothing to mount) afterwards.
    Task<bool> mountDiskLocally(std::string bsdName);
    // The answer of the unsaved-catalog prompt: save (true, false), don't save (false, true) or cancel
    // (false, false). Saving that fails or is cancelled counts as cancel. Saving asks where, through the
    // file dialogs (CatalogFlows::saveCatalogWithPanel), unless a test gave another saver.
    void resolveUnsavedCatalogPrompt(bool save, bool discard);
    void setCatalogSaver(CatalogSaver saver) { m_catalogSaver = std::move(saver); }
    // The program's exit status once it ends: not 0 when a launch request that quits had failed.
    int terminationStatus() const { return m_terminationStatus; }
    void setTerminationStatus(int status) { m_terminationStatus = status; }

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

    // ---- Scanning, hit intake, the quality pass and recovery (AppModelScan.cpp, AppModelQualityPass.cpp,
    // AppModelRecovery.cpp).
    //
    // A scan: requestScan → (scan-mode sheet → startScan) → startScanPreflight → beginHelperScan, whose
    // task checks the helper and the device and sends the start call. The helper's callbacks are taken
    // in batches, one batch per turn of the event loop; its reply ends the scan (finishScan). Then the
    // quality pass judges every pending hit from a probe of it; a recovery writes the selected hits into
    // a folder, in files this program creates and the helper fills.
    void requestScan();
    void startScan(ScanMode mode);
    ScanMode preferredScanMode() const;
    void startScanPreflight(ScanMode mode);
    void beginHelperScan(std::string devicePath, ScanMode mode);
    // Results, naming, probes, pending checks and the query back to their start (a new scan).
    void resetForNewScan();
    void resetScanRate();
    void handleHelperHit(RecoveredHit hit);
    // Asks for the memory handleHelperHit looks up first for the hit, a few hits before its turn.
    void prefetchIntake(const RecoveredHit& hit) const;
    void handleHelperProgress(ScanProgress progress);
    void handleHelperLog(std::string line);
    void nameUndeleted(RecoveredHit& hit);
    void updateScanRate(std::uint64_t bytesScanned);
    void finishScan(std::optional<ErrorObject> error, ScanMode mode);
    // A status about the results, after the statement that the list is partial when it is, and before
    // what sectors that could not be read may have cost.
    QString withScanEnd(const QString& status) const;
    void handleScanError(const ErrorObject& error);
    // A hit no real picture or file can be (impossible sides, a bitmap without them): pruned from the list.
    static bool isImplausibleHit(const RecoveredHit& hit);
    void pruneImplausibleHits();
    void enqueueIntegrityChecks();
    void cancelScan();
    // "The volume stays unmounted" only where the scan unmounted it and it is not mounted again yet.
    static QString scanFinishedMessage(std::int64_t count, ScanMode mode, bool diskLeftUnmounted);
    // The scanned disk was unmounted for the scan and waits to be mounted again (never an image file).
    bool scannedDiskLeftUnmounted() const;
    static bool isPermissionError(const ErrorObject& error);
    static bool isDeviceGoneError(const ErrorObject& error);
    static QString userFacingErrorMessage(const ErrorObject& error);
    // The callbacks waiting for the next turn of the event loop are taken in now (tests, the end of a scan).
    void drainHelperEvents();
    // Whether the helper's status lines are taken in from the connection's thread (only while a scan runs).
    void takeHelperStatusLines(bool take);

    // The quality pass: at most one at a time, never during a scan or a recovery.
    void runQualityPass();
    bool isHitPending(const Uuid& id) const;
    // A capture date is the camera clock's face, with the offset the picture records beside it (RecoveredHit).
    void applyIntegrityResult(const Uuid& id, HitIntegrity integrity, std::optional<HitDate> captureDate,
                              std::optional<std::int32_t> captureUtcOffsetMinutes = std::nullopt);
    // Who judges the bytes; without one every checkable hit stays pending.
    void setIntegrityChecker(std::shared_ptr<IntegrityChecker> checker) { m_integrityChecker = std::move(checker); }
    HitProbeCache& probeCache() { return *m_probeCache; }
    // Replaces the probe cache (an empty one with other bounds, in tests).
    void replaceProbeCache(std::unique_ptr<HitProbeCache> cache) { m_probeCache = std::move(cache); }
    // Removes probe folders and files of this user that an earlier run left behind.
    void removeStaleProbeFolders();

    // ---- The disk the results came from (AppModelSource.cpp).
    // Records the disk at devicePath (and the selected volume) as the results' source: a scan starts.
    void recordScannedSource(const std::string& devicePath);
    // The node to read hits from: activeRawDevicePath, while the disk there is the results' disk (see
    // SourceGuard); nothing otherwise. Asked again before every read.
    std::optional<std::string> sourceDeviceToRead() const;
    // Records what a loaded catalog says of its disk, as it was recorded (a later attachment may move it).
    void recordCatalogSource(const ScanCatalog::Source& source);
    // What the disk (or image file) at the path shows now.
    SourceGuard::DiskMark observeDisk(const std::string& devicePath) const;
    // The disk seen as mark has shown to be the results' disk: reads may take it while it stays.
    void bindResultsDisk(const SourceGuard::DiskMark& mark);
    // Why hits cannot be read now: the refusal of an attached disk that is another one, or that the
    // disk is not attached.
    QString sourceNotAttachedMessage() const;
    // Why nothing may be written into folder (or the open file fd in it) for these results: it lies on
    // the source, or its disk cannot be told; nothing when it may take them.
    std::optional<QString> destinationRefusal(const std::filesystem::path& folder) const;
    std::optional<QString> destinationFileRefusal(int fd, const std::filesystem::path& path) const;

    // Recovery of the selected hits into folder.
    void recoverSelected(std::string folder);
    static std::filesystem::path uniqueURL(const std::filesystem::path& folder, std::string_view name);

    // ---- Preview (AppModelPreview.cpp).
    // The selected hit found last in arrival order; none without a selection.
    const RecoveredHit* selectedHit() const;
    // Shows the hit's first bytes in the preview window; only the newest request changes what is shown.
    void previewHit(const RecoveredHit& hit);
    // The selection changed: an open preview follows it.
    void refreshQuickLookPanelIfVisible();
    // The preview window closed: its files go, and its status line with them.
    void previewClosed();
    // Selects the displayed hit offset rows away from the selected one, within the list.
    void moveSelection(int offset);
    // Copies the first size bytes of a cached file, opened by the caller, into a new file of the
    // preview folder, under the name made safe, with the kind's extension when the name has none. The
    // copy runs on a worker thread and is not flushed (a preview need not outlive a crash); the path
    // comes back once every byte is in the file. Throws CallError (a file that no longer holds size
    // bytes among them); the file may be left in the folder then.
    Task<std::filesystem::path> makePreviewFile(UniqueFd cached, std::uint64_t size, std::filesystem::path cachedPath,
                                                std::filesystem::path folder, std::string suggestedName,
                                                RecoveredFileKind kind);
    // The helper writes the hit's first length bytes into a file created here at to. Throws CallError.
    Task<void> extractPreviewBytes(RecoveredHit hit, std::uint64_t length, std::string devicePath, std::filesystem::path to);
    PreviewController& previewController() { return *m_previewController; }
    // Who decodes for the preview; without one no upright copies are made and nothing is drawn.
    void setPreviewRenderer(std::shared_ptr<PreviewRenderer> renderer);
    const std::shared_ptr<PreviewRenderer>& previewRenderer() const { return m_previewRenderer; }

    static constexpr std::uint64_t previewCapBytes = 83'886'080;  // 80 MiB
    // A helper that stays connected but stops answering is given up after this long.
    static constexpr double previewTimeLimitSeconds = 180.0;
    static constexpr std::string_view previewFolderPrefix = "Vantrel-QuickLook-";

    static constexpr std::uint64_t probeCapBytes = 12'582'912;   // 12 MiB
    static constexpr std::size_t checkGroupSize = 4;
    static constexpr double probeTimeLimitSeconds = 120.0;
    // Probes fetched and not yet judged, at most: enough to keep four checks busy while the next
    // probes arrive, few enough for the cache to hold them.
    static constexpr std::size_t maxChecksAhead = 8;
    // Queued hits a pass sorts out in one turn of the event loop, at most.
    static constexpr std::size_t queueSliceSize = 16'384;
    // A paused pass tries again after this long.
    static constexpr double qualityPassRetrySeconds = 10.0;
    static constexpr double recoveryTimeLimitSeconds = 180.0;
    // Asked of the helper ahead of the file a recovery waits for: the helper finds the next request
    // waiting when it finishes one, rather than a round trip to this side and back between every two
    // files. On a busy machine each wake-up of this side's threads (the connection's reader, then the
    // main thread) can wait a millisecond or more for a processor, several in a row, and the helper goes
    // on meanwhile only with enough small files asked for: 32 of 25 KB lasted it about 3 ms, and it ran
    // dry every few milliseconds. Each file asked for holds a descriptor here and one in the helper
    // until its answer; the helper takes at most 256 unanswered calls from a connection.
    static constexpr std::size_t recoveryRequestsAhead = 128;
    // Made in the recovery's folder ahead of those asked for, so that the run never waits for the next one.
    static constexpr std::size_t recoveryFilesMadeAhead = 64;

    struct HelperEvents;  // callbacks waiting for the main thread

private:
    struct RecoveryRun;
    Task<void> scanTask(std::string scanPath, RecoveryFilters filters, ScanMode mode);
    // A hit waiting for its probe: its device offset (the fetching order) and its identity; the hit
    // itself is looked up when its turn comes.
    struct ProbeTurn {
        std::uint64_t byteOffset = 0;
        Uuid id;
    };
    Task<void> qualityPassTask(std::deque<Uuid> queued, std::uint64_t generation);
    struct PassChecks;
    Task<void> checkProbe(RecoveredHit hit, std::shared_ptr<PassChecks> checks, std::uint64_t generation);
    static Task<void> waitForCheck(std::shared_ptr<PassChecks> checks);
    void scheduleQualityPassRetry();
    Task<void> qualityPassRetryTask(std::uint64_t generation);
    // noRoom: the temporary folder had no room for the probe; unavailable: the helper or the device
    // could not be reached. Neither is the hit's fault.
    enum class ProbeOutcome { cached, failed, unavailable, noRoom };
    Task<ProbeOutcome> cacheProbe(RecoveredHit hit);
    Task<IntegrityVerdict> checkFile(RecoveredFileKind kind, std::string path, bool wasCutAtCap);
    Task<void> recoverHits(std::vector<RecoveredHit> hits, std::string folder, std::string devicePath);
    void finishRecovery(int saved, int count, std::vector<std::string> shortFiles,
                        std::vector<std::string> uncheckedFiles = {});
    // Whether the helper or the device could not be reached (the hit is not to blame).
    static bool isUnavailableError(const ErrorObject& error);
    void forgetIntakeKey(const RecoveredHit& hit);
    std::filesystem::path makePreviewFolder() const;
    Task<void> previewFromCache(RecoveredHit hit, UniqueFd cached, std::uint64_t size, std::filesystem::path cachedPath,
                                std::int64_t generation);
    Task<void> previewThroughHelper(RecoveredHit hit, std::uint64_t cap, std::string devicePath, std::int64_t generation);
    Task<std::filesystem::path> uprightPreviewFile(std::filesystem::path file, RecoveredFileKind kind);
    // Keeps the first bytes of a previewed file as the hit's probe, when the cache has none, copied and
    // flushed on a worker thread; a copy that fails is logged and nothing of it stays.
    Task<void> keepPreviewPrefix(RecoveredHit hit, std::filesystem::path file);
    void resetScanState();
    void installHelperHandlers();
    // The quit goes on: the sheets close and the quit sequence starts, answering the request at its end.
    void beginTerminate();

    IntakeKeySet m_intakeKeys;
    struct HelperEventsLink {
        HelperEventsLink();
        ~HelperEventsLink();
        std::shared_ptr<HelperEvents> events;
    } m_helperEvents;
    std::unique_ptr<HitProbeCache> m_probeCache = std::make_unique<HitProbeCache>();
    std::shared_ptr<IntegrityChecker> m_integrityChecker;
    std::shared_ptr<CheckWorkers> m_checkWorkers = std::make_shared<CheckWorkers>(checkGroupSize);
    std::shared_ptr<PreviewRenderer> m_previewRenderer;
    // The folder it shows goes when the model goes (at quit).
    std::unique_ptr<PreviewController> m_previewController = std::make_unique<PreviewController>();
    std::uint64_t m_resultsGeneration = 0;  // changes at every reset, so stale passes stop
    bool m_qualityPassActive = false;       // a pass task is alive, also one whose results were reset
    bool m_qualityPassRetryScheduled = false;  // a paused pass will try again

public:

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
    bool passes(const RecoveredHit& hit) const;
    bool passes(const ResultsOrder::HitKeys& keys) const;
    bool displayedBefore(Position a, Position b) const;
    std::optional<std::size_t> rowOfPosition(Position position) const;
    std::optional<std::size_t> orderedRowOf(Position position) const;
    // Whether the hit at row of rows, with new values, still sits between its neighbours.
    bool staysInPlace(const DisplayRows& rows, std::size_t row) const;
    // Whether each hit passes the query's filters (passingFlags), read at most once for one change.
    struct PassingOnce {
        const AppModel& model;
        const std::vector<std::uint8_t>* passing = nullptr;
        const std::vector<std::uint8_t>& flags() {
            if (!passing) passing = &model.passingFlags();
            return *passing;
        }
    };
    void refreshDisplayedHits(PassingOnce& passing);
    // The displayed rows anew from the ordered list (a filter change).
    void refilterDisplayedHits(PassingOnce& passing);
    // selectedHitIDs changed: a new version, told.
    void selectionWasChanged();
    // Takes the hit out of the selection, if it is there, once its row has left the displayed list, and
    // tells it; the selection's positions follow while the hits' places stay.
    void dropRemovedRowFromSelection(const Uuid& id);
    std::optional<std::size_t> positionOf(const Uuid& id) const;
    // A selection of fewer than one hit in this many is looked up hit by hit, a larger one in a pass.
    static constexpr std::size_t bulkSelectionShare = 64;
    // The positions of the selected hits, in the selection's order; noPosition for one not in the list.
    // They live in m_selectionScratch until the next call.
    static constexpr std::uint64_t noPosition = ~std::uint64_t{0};
    std::vector<std::uint64_t>& positionsOfSelection() const;
    // Whether each hit, position for position, passes the query's filters; in m_passingScratch until the
    // next call.
    const std::vector<std::uint8_t>& passingFlags() const;
    // The earliest or the latest capture date of any hit; none without one.
    std::optional<HitDate> extremeCaptureDate(bool latest) const;
    // Removes the hits the filters hide from the selection, without telling it; whether any went.
    bool thinSelectionToShown(PassingOnce& passing);
    // The positions of every hit in the listed order (m_listedSort), as sortedPositions gives them.
    const std::vector<Position>& listedPositions();
    void storeHit(RecoveredHit hit);
    // Every hit's name has its key (made now, here, for the hits that lack one).
    void makeNameKeys();
    // The same, when the list is listed by name.
    void makeNameKeysIfListed();
    // The order to list the hits in now (see displayedSort): the one asked for when the keys it needs are
    // there or are few enough to be made now; else the keys are made on another thread meanwhile.
    ResultsSort orderToList();
    // Takes the names of the hits without keys and has their keys made on another thread.
    void startNameKeying();
    Task<void> nameKeyingTask(std::uint64_t id);
    // Adds the keys made for the taken names to the hits still there.
    void adoptNameKeys(const TakenNames& names, NameKeys::Batch batch, std::vector<std::uint64_t> renamed);
    void applyQuery(ResultsQuery query);

    AppEffects m_effects;

    std::optional<ExternalVolume> m_selectedVolume;
    RecoveryFilters m_filters = RecoveryFilters::defaults();
    HitSelection m_selectedHitIDs;
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
    bool m_showQuitDuringScanPrompt = false;
    std::optional<QString> m_catalogDiskQuestion;
    bool m_socketHelperTakesImageFiles = false;

    PlainState m_plain;
    std::shared_ptr<CancelFlag> m_cancelFlag = std::make_shared<CancelFlag>();
    UndeleteNamingState m_undeleteNaming;
    std::weak_ptr<VolumeSource> m_volumeMonitor;

    // The hits and what is kept beside each, position for position.
    ChunkedArray<RecoveredHit, 12> m_hits;
    std::deque<std::uint64_t> m_sequence;   // arrival numbers, increasing with position
    NameKeys m_nameKeys;                    // collation keys of the names, made when an order needs them
    ChunkedArray<ResultsOrder::HitKeys> m_keys;  // what the orders and filters read
    HitIdIndex m_sequenceOf;
    std::uint64_t m_nextSequence = 0;
    // At least as many as the stored hits the prune would remove (zero: it has nothing to do).
    std::size_t m_implausibleStored = 0;

    std::unique_ptr<NameCollator> m_collator;
    std::unique_ptr<ResultsOrder::TypeRanks> m_typeRanks;
    CaptureDay::Window m_window;
    // While a filter is active: every hit in the query's order, filtered or not, so that a filter change
    // only filters; the displayed rows are those of it that pass. Without a filter it is empty and the
    // displayed rows are the ordered list.
    DisplayRows m_ordered;
    DisplayRows m_displayed;
    ResultsSort m_listedSort = ResultsSort::discovery;  // the order of m_ordered and m_displayed
    ResultsOrder::SortScratch m_sortScratch;
    // The last order by name made, for as long as the keys it was made from stay unchanged: a later order
    // by name, in either direction, is read from it instead of sorting again.
    struct NameOrder {
        ResultsSort sort = ResultsSort::name;
        std::uint64_t keysVersion = 0;
        std::vector<Position> positions;
    };
    std::optional<NameOrder> m_nameOrder;
    // Memory of the passes over a large selection and over every hit's filters, kept from one pass to the
    // next (a million hits would otherwise fault in some ten megabytes afresh at every filter change).
    mutable std::vector<std::uint64_t> m_selectionScratch;
    mutable std::vector<std::uint8_t> m_passingScratch;
    mutable std::vector<std::uint8_t> m_chosenScratch;
    // The selection's positions in m_selectionScratch hold for this version of the selection and of the
    // hits' places (which change as hits are removed or replaced).
    std::uint64_t m_selectionVersion = 0;
    std::uint64_t m_removedRowDropAt = 0;  // the selection's version that dropRemovedRowFromSelection made
    std::uint64_t m_layoutVersion = 0;
    mutable std::optional<std::pair<std::uint64_t, std::uint64_t>> m_selectionPositionsOf;
    // Keys of taken names being made on another thread: which making it is, and the hits renamed since
    // their names were taken (by arrival number), keyed anew when the keys come back.
    struct NameKeying {
        std::uint64_t id = 0;
        std::vector<std::uint64_t> renamed;
    };
    std::optional<NameKeying> m_nameKeying;
    std::uint64_t m_lastNameKeying = 0;
    std::shared_ptr<CheckWorkers> m_keyWorker = std::make_shared<CheckWorkers>(1);

    // Launch arguments and quitting.
    bool m_launchArgumentsHandled = false;
    int m_terminationStatus = 0;
    CatalogSaver m_catalogSaver;

    DecisionWait<CatalogDecision> m_pendingCatalogDecision{CatalogDecision::cancel};
    DecisionWait<bool> m_pendingCatalogDisk{false};
    std::unique_ptr<HelperXPCClient> m_helperClient;
    // Last, so it goes first: flows are destroyed while the state they touch still exists.
    std::unique_ptr<TaskScope> m_tasks;
};

} // namespace vantrel
