#include "Vantrel/views/ResultsPaneLogic.h"

#include "Vantrel/views/ResultsFilterLogic.h"

#include "platform/text/ByteCountText.h"

#include <QCoreApplication>
#include <QDateTime>

#include <chrono>
#include <limits>

namespace vantrel::ResultsPaneLogic {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("ResultsPane", text); }

} // namespace

std::optional<QString> countSummary(std::size_t displayed, std::size_t total) {
    if (total == 0) return std::nullopt;
    if (displayed != total)
        return tr("%1 of %2").arg(static_cast<qulonglong>(displayed)).arg(static_cast<qulonglong>(total));
    return tr("%1 total").arg(static_cast<qulonglong>(displayed));
}

QString selectionText(std::size_t selected) {
    return tr("%1 selected").arg(static_cast<qulonglong>(selected));
}

bool recoverEnabled(const AppModel& model) {
    return !model.selectedHitIDs().empty() && !model.isRecovering();
}

QString recoverTooltip(bool isScanning) {
    return isScanning ? tr("Extract selected files while the scan continues.") : tr("Extract selected files to a folder.");
}

bool showsFilterControls(const AppModel& model) { return !model.hits().empty(); }

Content content(const AppModel& model) {
    if (model.hits().empty()) return Content::empty;
    return model.displayedCount() == 0 ? Content::noMatches : Content::list;
}

EmptyState emptyState(std::optional<ScanMode> lastFinishedScanMode, bool diskLeftUnmounted) {
    if (!lastFinishedScanMode)
        return {QStringLiteral("photo.on.rectangle.angled"), tr("No files yet"),
                tr("Choose a volume and press Scan. Results appear while the scan runs."), false, std::nullopt};
    switch (*lastFinishedScanMode) {
    case ScanMode::quickUndelete:
        return {QStringLiteral("magnifyingglass"), tr("Quick scan found nothing"),
                tr("No deleted files showed up in the file-system index. That is common after a format or if the card "
                   "was used again. A Standard scan searches the whole volume and can still recover files."),
                true, tr("Start Standard scan")};
    case ScanMode::standard:
        return {QStringLiteral("tray"), tr("No files found"),
                diskLeftUnmounted ? tr("The full scan finished without recoverable files. The volume stays unmounted "
                                       "until you remount it.")
                                  : tr("The full scan finished without recoverable files."),
                true, std::nullopt};
    }
    return {};
}

QString noMatchTitle() { return tr("No matches"); }
QString noMatchSymbol() { return QStringLiteral("line.3.horizontal.decrease.circle"); }

QString noMatchMessage(const AppModel& model) {
    if (model.isCaptureDateFilterActive() && model.hasCaptureDates())
        return tr("Nothing matches the date or status filter. Widen the range or reset filters.");
    if (model.isCaptureDateFilterActive())
        return tr("Dates are still being read. Clear the date filter to see files, or wait until Phase 2 fills in EXIF "
                  "dates.");
    if (model.resultsIntegrityFilter() != ResultsIntegrityFilter::all)
        return tr("Nothing matches the status filter “%1”. Choose “All statuses” in the toolbar, or reset filters.")
            .arg(ResultsIntegrityFilterName::title(model.resultsIntegrityFilter()));
    return tr("Nothing matches the status filter. Choose “All statuses” to show every hit.");
}

bool showsResetFilters(const AppModel& model) { return model.hasActiveResultsFilter(); }

void resetFilters(AppModel& model) {
    auto query = model.resultsQuery();
    query.captureDateFrom.reset();
    query.captureDateTo.reset();
    query.integrityFilter = ResultsIntegrityFilter::all;
    ResultsFilterLogic::applyAndRebuild(model, query);
}

bool sortByColumn(AppModel& model, Column column) {
    const auto sort = sortAfterClick(column, model.resultsSort());
    if (!sort) return false;
    auto query = model.resultsQuery();
    query.sort = *sort;
    ResultsFilterLogic::applyAndRebuild(model, query);
    return true;
}

QString columnTitle(Column column) {
    switch (column) {
    case Column::name: return tr("Name");
    case Column::type: return tr("Type");
    case Column::size: return tr("Size");
    case Column::resolution: return tr("Resolution");
    case Column::date: return tr("Date");
    case Column::source: return tr("Source");
    case Column::status: return tr("Status");
    }
    return {};
}

int columnWidth(Column column) {
    switch (column) {
    case Column::name: return 0;
    case Column::type: return 72;
    case Column::size: return 80;
    case Column::resolution: return 96;
    case Column::date: return 88;
    case Column::source: return 120;
    case Column::status: return 100;
    }
    return 0;
}

bool alignsTrailing(Column column) { return column == Column::size || column == Column::resolution; }

std::optional<SortPair> sortPair(Column column) {
    switch (column) {
    case Column::name: return SortPair{ResultsSort::name, ResultsSort::nameDescending};
    case Column::type: return SortPair{ResultsSort::type, ResultsSort::typeDescending};
    case Column::size: return SortPair{ResultsSort::sizeDescending, ResultsSort::sizeAscending};
    case Column::resolution: return SortPair{ResultsSort::dimensionsDescending, ResultsSort::dimensionsAscending};
    case Column::date: return SortPair{ResultsSort::captureDateDescending, ResultsSort::captureDateAscending};
    case Column::source:
    case Column::status: return std::nullopt;
    }
    return std::nullopt;
}

std::optional<ResultsSort> sortAfterClick(Column column, ResultsSort current) {
    if (column == Column::status) return ResultsSort::integrity;
    const auto pair = sortPair(column);
    if (!pair) return std::nullopt;
    return current == pair->first ? pair->second : pair->first;
}

const std::array<ResultsSort, 12>& sortMenuOrders() {
    static constexpr std::array<ResultsSort, 12> orders{
        ResultsSort::discovery,           ResultsSort::name,
        ResultsSort::nameDescending,      ResultsSort::type,
        ResultsSort::typeDescending,      ResultsSort::sizeDescending,
        ResultsSort::sizeAscending,       ResultsSort::dimensionsDescending,
        ResultsSort::dimensionsAscending, ResultsSort::captureDateDescending,
        ResultsSort::captureDateAscending, ResultsSort::integrity,
    };
    return orders;
}

QString sortMenuTitle(ResultsSort sort) {
    switch (sort) {
    case ResultsSort::discovery: return tr("&Discovery Order");
    case ResultsSort::name: return tr("&Name, A to Z");
    case ResultsSort::nameDescending: return tr("Na&me, Z to A");
    case ResultsSort::type: return tr("&Type, A to Z");
    case ResultsSort::typeDescending: return tr("T&ype, Z to A");
    case ResultsSort::sizeDescending: return tr("&Size, Largest First");
    case ResultsSort::sizeAscending: return tr("S&ize, Smallest First");
    case ResultsSort::dimensionsDescending: return tr("&Resolution, Largest First");
    case ResultsSort::dimensionsAscending: return tr("Resol&ution, Smallest First");
    case ResultsSort::captureDateDescending: return tr("D&ate, Newest First");
    case ResultsSort::captureDateAscending: return tr("Dat&e, Oldest First");
    case ResultsSort::integrity: return tr("Status, &OK First");
    }
    return {};
}

HeaderState headerState(Column column, ResultsSort current) {
    if (column == Column::status) return {current == ResultsSort::integrity, true};
    const auto pair = sortPair(column);
    if (!pair) return {};
    const bool active = current == pair->first || current == pair->second;
    const bool ascending = current == ResultsSort::name || current == ResultsSort::type ||
                           current == ResultsSort::sizeAscending || current == ResultsSort::dimensionsAscending ||
                           current == ResultsSort::captureDateAscending;
    return {active, active && ascending};
}

std::optional<QString> chevronSymbol(const HeaderState& state) {
    if (!state.isActive) return std::nullopt;
    return state.ascending ? QStringLiteral("chevron.up") : QStringLiteral("chevron.down");
}

QString kindSymbol(RecoveredFileKind kind) {
    using K = RecoveredFileKind;
    switch (kind) {
    case K::jpeg: case K::heic: case K::avif: case K::png: case K::gif: case K::webp: case K::bmp: case K::tiff:
    case K::crw: case K::cr2: case K::cr3: case K::nef: case K::arw: case K::orf:
        return QStringLiteral("photo");
    case K::mp4: case K::mov: return QStringLiteral("film");
    case K::mp3: case K::m4a: case K::wav: case K::flac: case K::ogg: return QStringLiteral("waveform");
    case K::pdf: return QStringLiteral("doc.richtext");
    case K::docx: case K::doc: case K::rtf: return QStringLiteral("doc.text");
    case K::xlsx: return QStringLiteral("tablecells");
    case K::pptx: return QStringLiteral("rectangle.on.rectangle");
    case K::zip: return QStringLiteral("doc.zipper");
    case K::unknown: return QStringLiteral("doc");
    }
    return QStringLiteral("doc");
}

QString typeText(RecoveredFileKind kind) {
    const auto label = listLabel(kind);
    return QString::fromLatin1(label.data(), static_cast<qsizetype>(label.size()));
}

QString sizeText(std::uint64_t byteLength) {
    // The file-style count takes signed 64-bit counts; larger lengths read as the largest one.
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return QString::fromStdString(ByteCountText::fileStyle(std::min(byteLength, largest)));
}

std::optional<QString> resolutionText(const RecoveredHit& hit) {
    if (!hit.dimensions) return std::nullopt;
    return QStringLiteral("%1\u00D7%2").arg(hit.dimensions->width).arg(hit.dimensions->height);
}

std::optional<QString> dateText(const RecoveredHit& hit, const QLocale& locale) {
    if (!hit.captureDate) return std::nullopt;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(hit.captureDate->time_since_epoch()).count();
    return locale.toString(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).date(), QLocale::ShortFormat);
}

std::optional<QString> dateTooltip(const RecoveredHit& hit, const QLocale& locale) {
    if (!hit.captureDate) return std::nullopt;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(hit.captureDate->time_since_epoch()).count();
    const QDateTime face = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    const QString day = locale.toString(face.date(), QLocale::LongFormat);
    const QString time = locale.toString(face.time(), QLocale::ShortFormat);
    if (!hit.captureUtcOffsetMinutes) return tr("Taken %1 at %2 (camera time)").arg(day, time);
    const int minutes = *hit.captureUtcOffsetMinutes;
    const QString offset = QStringLiteral("UTC%1%2:%3")
                               .arg(minutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                               .arg(std::abs(minutes) / 60, 2, 10, QLatin1Char('0'))
                               .arg(std::abs(minutes) % 60, 2, 10, QLatin1Char('0'));
    return tr("Taken %1 at %2 (camera time, %3)").arg(day, time, offset);
}

QString sourceLabel(HitSource source) {
    switch (source) {
    case HitSource::signatureCarve: return tr("Content scan");
    case HitSource::fatUndelete: return tr("Deleted file (FAT)");
    case HitSource::exfatUndelete: return tr("Deleted file (exFAT)");
    case HitSource::hfsPlusCatalog: return tr("From volume catalog");
    }
    return {};
}

QString placeholder() { return QStringLiteral("\u2014"); }

const RecoveredHit* hitToPreview(const AppModel& model) { return model.selectedHit(); }

QString previewTitle() { return tr("Preview"); }

} // namespace vantrel::ResultsPaneLogic
