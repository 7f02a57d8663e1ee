#include "Vantrel/model/ScanEnd.h"

#include <QCoreApplication>
#include <QRegularExpression>

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

std::optional<ScanEnd> ScanEnd::fromText(const QString& line) {
    if (line.size() > maxLineCharacters) return std::nullopt;
    // The count is the line's one number (none in the "no files" forms); each kind's text of that
    // count must give the line back exactly.
    static const QRegularExpression number(QStringLiteral("[0-9]{1,15}"));
    std::int64_t count = 0;
    const auto match = number.match(line);
    if (match.hasMatch()) count = match.captured().toLongLong();
    for (const Kind kind : {Kind::finished, Kind::cancelled, Kind::failed}) {
        const ScanEnd end{kind, count};
        if (end.text() == line) return end;
    }
    return std::nullopt;
}

std::optional<ScanEnd> ScanEnd::fromSummary(const std::string& summary) {
    const auto end = summary.find('\n');
    const std::string first = summary.substr(0, end == std::string::npos ? summary.size() : end);
    return fromText(QString::fromUtf8(first.data(), static_cast<qsizetype>(first.size())));
}

} // namespace vantrel
