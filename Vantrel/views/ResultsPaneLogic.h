#pragma once
// What the results pane and its hit list show and do, as functions of the model's values: the header's
// texts and enablement, which content fills the pane, the empty and "No matches" states, the texts of
// each column of a hit row, and what a click on a column title sorts by. The widgets only apply these.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/views/ViewColors.h"

#include <QLocale>
#include <QString>

#include <array>
#include <optional>

namespace vantrel::ResultsPaneLogic {

// ---- Header.
// "%1 of %2" while the filters hide some hits, else "%1 total"; nothing while there are no hits.
std::optional<QString> countSummary(std::size_t displayed, std::size_t total);
QString selectionText(std::size_t selected);
bool recoverEnabled(const AppModel& model);
QString recoverTooltip(bool isScanning);
// The status and date controls are shown once there are hits.
bool showsFilterControls(const AppModel& model);

// ---- Content.
enum class Content : std::uint8_t { empty, noMatches, list };
Content content(const AppModel& model);

struct EmptyState {
    QString symbol;
    QString title;
    QString text;
    bool isCard = false;               // the orange card of a finished scan; else the plain form
    std::optional<QString> action;     // "Start Standard scan" after a quick scan
};
// diskLeftUnmounted: the scanned disk stays unmounted after the scan (AppModel::scannedDiskLeftUnmounted).
EmptyState emptyState(std::optional<ScanMode> lastFinishedScanMode, bool diskLeftUnmounted);

QString noMatchTitle();
QString noMatchSymbol();
QString noMatchMessage(const AppModel& model);
bool showsResetFilters(const AppModel& model);
// Clears the date bounds and the status filter.
void resetFilters(AppModel& model);

// ---- Columns.
enum class Column : std::uint8_t { name, type, size, resolution, date, source, status };
inline constexpr int columnCount = 7;
QString columnTitle(Column column);
int columnWidth(Column column);          // 0 for the name column, which takes the rest
bool alignsTrailing(Column column);

// The sort pair of a sortable column (first click, next click); none for source and status.
struct SortPair {
    ResultsSort first;
    ResultsSort second;
};
std::optional<SortPair> sortPair(Column column);
// The order a click on the column's title sets: the pair's second while the first is set, else the
// first; integrity for status. None for the source column.
std::optional<ResultsSort> sortAfterClick(Column column, ResultsSort current);
struct HeaderState {
    bool isActive = false;
    bool ascending = false;
};
HeaderState headerState(Column column, ResultsSort current);
// The orders of View ▸ Sort By, in the order of the columns, and each one's title with its mnemonic.
const std::array<ResultsSort, 12>& sortMenuOrders();
QString sortMenuTitle(ResultsSort sort);
// A click on the column's title: sets the order it gives and rebuilds the list; false for a column
// that does not sort.
bool sortByColumn(AppModel& model, Column column);
// "chevron.up" or "chevron.down" for an active column; none otherwise.
std::optional<QString> chevronSymbol(const HeaderState& state);

// ---- Hit row.
QString kindSymbol(RecoveredFileKind kind);
QString typeText(RecoveredFileKind kind);
QString sizeText(std::uint64_t byteLength);
// "%1×%2", or none without dimensions (the row shows the placeholder).
std::optional<QString> resolutionText(const RecoveredHit& hit);
// The capture day as the camera's clock showed it, whatever this computer's zone (RecoveredHit).
std::optional<QString> dateText(const RecoveredHit& hit, const QLocale& locale);
// The date cell's tooltip: the camera's date and time and, when the picture records it, its offset from
// universal time (shown, not applied).
std::optional<QString> dateTooltip(const RecoveredHit& hit, const QLocale& locale);
QString sourceLabel(HitSource source);
// The em dash of a missing value, in the tertiary colour.
QString placeholder();

// ---- Preview.
// The hit Space previews: the last hit in arrival order whose identity is selected; none without one.
const RecoveredHit* hitToPreview(const AppModel& model);
// The context menu's item ("Preview").
QString previewTitle();

} // namespace vantrel::ResultsPaneLogic
