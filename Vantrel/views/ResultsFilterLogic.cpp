#include "Vantrel/views/ResultsFilterLogic.h"

#include <QCoreApplication>
#include <QDateTime>

#include <chrono>

namespace vantrel::ResultsFilterLogic {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("ResultsFilters", text); }

} // namespace

void applyAndRebuild(AppModel& model, const ResultsQuery& query) {
    // A changed query rebuilds the list as it is stored; an unchanged one is rebuilt all the same.
    if (query == model.resultsQuery())
        model.refreshDisplayedHits();
    else
        model.setResultsQuery(query);
}

Badge badge(HitIntegrity integrity, bool clusterReallocated) {
    const QString reused = tr("Clusters reused by a live file — recovered data may not match the name or tags.");
    const Badge suspect{tr("Suspect"), ColorRole::orange, 0.18, clusterReallocated ? reused : tr("Partial or weak decode — may still open.")};
    switch (integrity) {
    case HitIntegrity::pending:
        if (clusterReallocated) return suspect;
        return {tr("Queued…"), ColorRole::secondary, 0.12, tr("Waiting in the quality-check queue.")};
    case HitIntegrity::ok:
        return {tr("OK"), ColorRole::green, 0.15, clusterReallocated ? reused : tr("File structure looks valid.")};
    case HitIntegrity::suspect: return suspect;
    case HitIntegrity::failed:
        return {tr("Broken"), ColorRole::red, 0.15, clusterReallocated ? reused : tr("Does not decode; likely truncated junk.")};
    case HitIntegrity::skipped:
        if (clusterReallocated) return suspect;
        return {QStringLiteral("\u2014"), ColorRole::secondary, 0.08, tr("Type not validated.")};
    }
    return suspect;
}

QString menuTitle(ResultsIntegrityFilter filter) {
    return filter == ResultsIntegrityFilter::all ? tr("Status") : ResultsIntegrityFilterName::title(filter);
}

QString menuSymbol() { return QStringLiteral("line.3.horizontal.decrease.circle"); }
QString menuTooltip() { return tr("Filter by status"); }

ColorRole menuTint(ResultsIntegrityFilter filter) {
    return filter == ResultsIntegrityFilter::all ? ColorRole::secondary : ColorRole::accent;
}

void chooseStatusFilter(AppModel& model, ResultsIntegrityFilter filter) {
    auto query = model.resultsQuery();
    query.integrityFilter = filter;
    applyAndRebuild(model, query);
}

QString dateFilterTitle() { return tr("Date filter"); }
QString dateFilterSymbol() { return QStringLiteral("calendar"); }

ColorRole dateFilterTint(const AppModel& model) {
    return model.isCaptureDateFilterActive() ? ColorRole::accent : ColorRole::secondary;
}

QString dateFilterTooltip(const AppModel& model) {
    return model.hasCaptureDates()
               ? tr("Filter results by capture date (EXIF). Files without a date are hidden while a filter is active.")
               : tr("Capture dates appear after Phase 2 reads EXIF. Wait until dates show in the list.");
}

QString waitingNote() {
    return tr("Dates are still being read. You can filter once Phase 2 fills in EXIF dates in the list.");
}
QString boundsCaption() { return tr("Files without a date are hidden while a filter is active."); }
QString clearTitle() { return tr("Clear date filter"); }
QString boundTitle(Bound bound) { return bound == Bound::from ? tr("From") : tr("To"); }

bool isBoundOn(const AppModel& model, Bound bound) {
    return bound == Bound::from ? model.resultsCaptureDateFrom().has_value() : model.resultsCaptureDateTo().has_value();
}

QDate boundDay(const AppModel& model, Bound bound) {
    const auto& value = bound == Bound::from ? model.resultsCaptureDateFrom() : model.resultsCaptureDateTo();
    if (value) return captureDay(*value);
    return captureDay(bound == Bound::from ? model.captureDateRangeStart() : model.captureDateRangeEnd());
}

void setBoundOn(AppModel& model, Bound bound, bool on) {
    auto query = model.resultsQuery();
    // A bound turned on never lies beyond the other one: the range keeps its start before its end.
    if (bound == Bound::from) {
        query.captureDateFrom = on ? std::optional(model.captureDateRangeStart()) : std::nullopt;
        if (query.captureDateFrom && query.captureDateTo && captureDay(*query.captureDateFrom) > captureDay(*query.captureDateTo))
            query.captureDateFrom = startOfCaptureDay(captureDay(*query.captureDateTo));
    } else {
        query.captureDateTo = on ? std::optional(model.captureDateRangeEnd()) : std::nullopt;
        if (query.captureDateFrom && query.captureDateTo && captureDay(*query.captureDateTo) < captureDay(*query.captureDateFrom))
            query.captureDateTo = startOfCaptureDay(captureDay(*query.captureDateFrom));
    }
    applyAndRebuild(model, query);
}

std::optional<QDate> dayLimit(const AppModel& model, Bound bound) {
    const auto& other = bound == Bound::from ? model.resultsCaptureDateTo() : model.resultsCaptureDateFrom();
    if (!other) return std::nullopt;
    return captureDay(*other);
}

bool setBoundDay(AppModel& model, Bound bound, QDate day) {
    // A start after the end, or an end before the start, is refused: the bounds stay as they were.
    if (const auto limit = dayLimit(model, bound); limit && (bound == Bound::from ? day > *limit : day < *limit))
        return false;
    auto query = model.resultsQuery();
    (bound == Bound::from ? query.captureDateFrom : query.captureDateTo) = startOfCaptureDay(day);
    applyAndRebuild(model, query);
    return true;
}

QDate captureDay(HitDate date) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).date();
}

HitDate startOfCaptureDay(QDate day) {
    return HitDate(std::chrono::milliseconds(day.startOfDay(Qt::UTC).toMSecsSinceEpoch()));
}

} // namespace vantrel::ResultsFilterLogic
