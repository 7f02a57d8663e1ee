#pragma once
// The results list's filter controls and integrity badge as rules: the badge of a hit, the status
// menu's titles and tint, and the date filter's tooltip, notes and the effect of its controls on the
// model's bounds. The widgets only apply these.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/views/ViewColors.h"

#include <QDate>
#include <QString>

namespace vantrel::ResultsFilterLogic {

// Stores the query and rebuilds the displayed list once, also when the query is unchanged.
void applyAndRebuild(AppModel& model, const ResultsQuery& query);

// ---- Integrity badge.
struct Badge {
    QString label;
    ColorRole color;
    double fillOpacity;   // of the same colour, behind the label
    QString tooltip;
};
// A hit whose clusters a live file reuses never reads "Queued…" or "—", and its tooltip warns.
Badge badge(HitIntegrity integrity, bool clusterReallocated);

// ---- Status filter menu.
// "Status" while every status shows, else the active filter's title.
QString menuTitle(ResultsIntegrityFilter filter);
QString menuSymbol();
QString menuTooltip();
ColorRole menuTint(ResultsIntegrityFilter filter);
// Sets the filter (also the active one again) and rebuilds the list.
void chooseStatusFilter(AppModel& model, ResultsIntegrityFilter filter);

// ---- Date filter.
QString dateFilterTitle();
QString dateFilterSymbol();
ColorRole dateFilterTint(const AppModel& model);
QString dateFilterTooltip(const AppModel& model);
// The popover's note while no hit has a date yet; the caption under the bounds otherwise.
QString waitingNote();
QString boundsCaption();
QString clearTitle();
enum class Bound : std::uint8_t { from, to };
QString boundTitle(Bound bound);
bool isBoundOn(const AppModel& model, Bound bound);
// The day the bound's date field shows: the bound, else its default (earliest or latest dated day).
QDate boundDay(const AppModel& model, Bound bound);
// On: the bound starts at its default day (never beyond the other bound); off: no bound. The list is
// rebuilt.
void setBoundOn(AppModel& model, Bound bound, bool on);
// The bound becomes the start of the chosen day (a capture day) and the list is rebuilt; false,
// and nothing changes, when the start would lie after the end.
bool setBoundDay(AppModel& model, Bound bound, QDate day);
// The latest day the from bound may take (the to bound's day), or the earliest the to bound may take
// (the from bound's day); none while the other bound is off.
std::optional<QDate> dayLimit(const AppModel& model, Bound bound);

// Between capture dates and the days of the calendar. A capture date is the camera clock's face
// (RecoveredHit), so its day is read off it as it is, in no time zone of this computer.
QDate captureDay(HitDate date);
HitDate startOfCaptureDay(QDate day);

} // namespace vantrel::ResultsFilterLogic
