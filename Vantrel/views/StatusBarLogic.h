#pragma once
// What the status bar shows, as functions of the model: which activity group, the progress fraction
// and percentage, the throughput text, the counts and the unsaved mark. The widget only applies these.

#include "Vantrel/model/AppModel.h"

#include <QLocale>
#include <QString>

#include <optional>

namespace vantrel::StatusBarLogic {

enum class Activity : std::uint8_t {
    scanning,             // a bar, the percentage, the throughput and the message
    scanningUnsized,      // the device size is not known yet: a spinner and the message
    recovering,
    qualityPass,
    nothingFound,         // a finished scan found nothing: the info symbol, the message, "Settings…"
    idle,                 // the file-type summary, "Settings…", the message after a dot
};
Activity activity(const AppModel& model);

bool isBusy(const AppModel& model);
// Activities with a spinner, a bar, or the "Settings…" button.
bool showsSpinner(Activity activity);
bool showsSettings(Activity activity);

// bytesScanned / totalBytes, at most 1; 0 while the total is unknown.
double progressFraction(const ScanProgress& progress);
// The fraction in whole per cent, cut towards zero: "33%".
QString percentText(const ScanProgress& progress);
// "12.5 MB/s" (binary megabytes, as its tooltip says) in the locale's digits; nothing before the first
// rate estimate.
std::optional<QString> throughputText(std::optional<double> mebibytesPerSecond, const QLocale& locale);
QString throughputTooltip();
QString settingsTitle();
QString nothingFoundSymbol();
QString summary(const AppModel& model);

// The widths of the message and the settings summary in room pixels, the message served first: the
// summary takes what is left up to its need, and is left out (0) where less than minimumSummary is
// left; the message is cut only when it alone needs more than room.
struct StatusRoom {
    int message = 0;
    int summary = 0;
};
StatusRoom shareRoom(int room, int messageNeed, int summaryNeed, int minimumSummary);

bool showsCounts(const AppModel& model);
QString hitsText(std::int64_t hits);
QString readErrorsText(std::int64_t errors);
QString unsavedText();

} // namespace vantrel::StatusBarLogic
