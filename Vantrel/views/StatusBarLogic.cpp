#include "Vantrel/views/StatusBarLogic.h"

#include "Vantrel/model/FileTypeGroup.h"

#include <QCoreApplication>

#include <algorithm>

namespace vantrel::StatusBarLogic {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("StatusBarView", text); }

// Byte counts times 100 need more than 64 bits.
__extension__ typedef unsigned __int128 Wide;

} // namespace

Activity activity(const AppModel& model) {
    if (model.isScanning()) return model.progress().totalBytes > 0 ? Activity::scanning : Activity::scanningUnsized;
    if (model.isRecovering()) return Activity::recovering;
    if (model.isQualityPassRunning()) return Activity::qualityPass;
    if (model.lastFinishedScanMode() && model.hits().empty() && !model.statusMessage().isEmpty())
        return Activity::nothingFound;
    return Activity::idle;
}

bool isBusy(const AppModel& model) {
    return model.isScanning() || model.isRecovering() || model.isQualityPassRunning();
}

bool showsSpinner(Activity value) {
    return value == Activity::scanningUnsized || value == Activity::recovering || value == Activity::qualityPass;
}

bool showsSettings(Activity value) { return value == Activity::nothingFound || value == Activity::idle; }

double progressFraction(const ScanProgress& progress) {
    if (progress.totalBytes == 0) return 0.0;
    return std::min(static_cast<double>(progress.bytesScanned) / static_cast<double>(progress.totalBytes), 1.0);
}

QString percentText(const ScanProgress& progress) {
    // In integers, so that 99.9 per cent never rounds up to 100.
    Wide percent = 0;
    if (progress.totalBytes > 0)
        percent = static_cast<Wide>(std::min(progress.bytesScanned, progress.totalBytes)) * 100 / progress.totalBytes;
    return QStringLiteral("%1%").arg(static_cast<unsigned>(percent));
}

std::optional<QString> throughputText(std::optional<double> mebibytesPerSecond, const QLocale& locale) {
    if (!mebibytesPerSecond) return std::nullopt;
    // The rate divides by 2^20, so the unit says so.
    return tr("%1 MB/s").arg(locale.toString(*mebibytesPerSecond, 'f', 1));
}

QString throughputTooltip() { return tr("Recent scan throughput (binary MiB/s)."); }
QString settingsTitle() { return tr("Settings…"); }
QString nothingFoundSymbol() { return QStringLiteral("info.circle.fill"); }
QString summary(const AppModel& model) { return FileTypeGroups::enabledSummary(model.filters()); }

StatusRoom shareRoom(int room, int messageNeed, int summaryNeed, int minimumSummary) {
    StatusRoom shares;
    room = std::max(room, 0);
    shares.message = std::min(std::max(messageNeed, 0), room);
    const int left = room - shares.message;
    summaryNeed = std::max(summaryNeed, 0);
    const int summary = std::min(summaryNeed, left);
    // A summary cut to a few letters says nothing: then it goes whole into a tooltip.
    if (summary == summaryNeed || summary >= minimumSummary) shares.summary = summary;
    return shares;
}

bool showsCounts(const AppModel& model) {
    return isBusy(model) || !model.hits().empty() || model.progress().readErrors > 0;
}

QString hitsText(std::int64_t hits) { return tr("Hits: %1").arg(static_cast<qlonglong>(hits)); }
QString readErrorsText(std::int64_t errors) { return tr("Read errors: %1").arg(static_cast<qlonglong>(errors)); }
QString unsavedText() { return tr("Unsaved catalog"); }

} // namespace vantrel::StatusBarLogic
