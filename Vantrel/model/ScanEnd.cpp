#include "Vantrel/model/ScanEnd.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>

namespace vantrel {

namespace {

QString translated(const char* text) { return QCoreApplication::translate("AppModel", text); }

// A summary line is never longer than this; a longer one is not one this program wrote.
constexpr qsizetype maxLineCharacters = 200;

} // namespace

QString ScanEnd::text() const {
    switch (kind) {
    case Kind::finished:
        if (count == 0) return translated("Scan finished — no files found.");
        return translated("Scan finished — %1 file(s) found.").arg(count);
    case Kind::cancelled:
        if (count == 0) return translated("Scan cancelled — no files found so far.");
        if (count == 1) return translated("Scan cancelled — 1 file found so far.");
        return translated("Scan cancelled — %1 files found so far.").arg(count);
    case Kind::failed:
        if (count == 0) return translated("Scan stopped by an error — no files found so far.");
        if (count == 1) return translated("Scan stopped by an error — 1 file found so far.");
        return translated("Scan stopped by an error — %1 files found so far.").arg(count);
    }
    return {};
}

QString ScanEnd::lossText() const {
    if (unreadableSectors <= 0) return {};
    if (unreadableSectors == 1) return translated("1 sector could not be read; files in the folders it held may be missing.");
    return translated("%1 sectors could not be read; files in the folders they held may be missing.")
        .arg(static_cast<qlonglong>(unreadableSectors));
}

std::string ScanEnd::summary() const {
    const QString loss = lossText();
    return (loss.isEmpty() ? text() : text() + QStringLiteral("\n") + loss).toStdString();
}

namespace {

// The line's one number (none in the forms without one), 0 when it has none.
std::int64_t lineNumber(const QString& line) {
    static const QRegularExpression number(QStringLiteral("[0-9]{1,15}"));
    const auto match = number.match(line);
    return match.hasMatch() ? match.captured().toLongLong() : 0;
}

} // namespace

std::optional<ScanEnd> ScanEnd::fromText(const QString& line) {
    if (line.size() > maxLineCharacters) return std::nullopt;
    // The count is the line's one number (none in the "no files" forms); each kind's text of that
    // count must give the line back exactly.
    const std::int64_t count = lineNumber(line);
    for (const Kind kind : {Kind::finished, Kind::cancelled, Kind::failed}) {
        const ScanEnd end{kind, count};
        if (end.text() == line) return end;
    }
    return std::nullopt;
}

std::optional<ScanEnd> ScanEnd::fromSummary(const std::string& summary) {
    const auto lineAt = [&](std::size_t start) {
        const auto end = std::min(summary.find('\n', start), summary.size());
        return QString::fromUtf8(summary.data() + start, static_cast<qsizetype>(end - start));
    };
    auto end = fromText(lineAt(0));
    const auto second = summary.find('\n');
    if (!end || second == std::string::npos) return end;
    const QString loss = lineAt(second + 1);
    if (loss.size() > maxLineCharacters) return end;
    ScanEnd lost{Kind::finished, 0, lineNumber(loss)};
    if (lost.lossText() == loss) end->unreadableSectors = lost.unreadableSectors;
    return end;
}

} // namespace vantrel
