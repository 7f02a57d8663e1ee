#pragma once
// How the scan behind the results ended, as the status bar and a saved catalog say it: finished, or
// cancelled or stopped by an error, which leaves the list partial. A catalog keeps the text as the first
// line of its summary; reading it back gives the end again.

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace vantrel {

struct ScanEnd {
    enum class Kind { finished, cancelled, failed };

    Kind kind = Kind::finished;
    // The files in the list when the scan ended.
    std::int64_t count = 0;

    // The list holds only what was found before the scan stopped.
    bool isPartial() const { return kind != Kind::finished; }
    // "Scan finished — 12 file(s) found.", "Scan cancelled — 157 files found so far.",
    // "Scan stopped by an error — 3 files found so far."
    QString text() const;
    // The end a text of text() states, of any count; nothing for any other line.
    static std::optional<ScanEnd> fromText(const QString& line);
    // The first line of a catalog's summary, as its end; nothing when it states none.
    static std::optional<ScanEnd> fromSummary(const std::string& summary);

    friend bool operator==(const ScanEnd&, const ScanEnd&) = default;
};

} // namespace vantrel
