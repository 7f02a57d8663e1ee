#pragma once
// How the scan behind the results ended, as the status bar and a saved catalog say it: finished, or
// cancelled or stopped by an error, which leaves the list partial, and how many sectors of the device
// could not be read. A catalog keeps the text as the first line of its summary and what was lost as the
// second; reading it back gives the end again.

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
    // Sectors of the device that could not be read: the files and folders they held may be missing.
    std::int64_t unreadableSectors = 0;

    // The list holds only what was found before the scan stopped.
    bool isPartial() const { return kind != Kind::finished; }
    // "Scan finished — 12 file(s) found.", "Scan cancelled — 157 files found so far.",
    // "Scan stopped by an error — 3 files found so far."
    QString text() const;
    // "12 sectors could not be read; files in the folders they held may be missing.", "1 sector could
    // not be read; files in the folders it held may be missing."; empty when every sector was read.
    QString lossText() const;
    // A catalog's summary: text(), then lossText() on a line of its own when it is not empty.
    std::string summary() const;
    // The end a text of text() states, of any count; nothing for any other line.
    static std::optional<ScanEnd> fromText(const QString& line);
    // The first line of a catalog's summary, as its end, with the unreadable sectors its second line
    // states when that is a lossText(); nothing when the first line states no end.
    static std::optional<ScanEnd> fromSummary(const std::string& summary);

    friend bool operator==(const ScanEnd&, const ScanEnd&) = default;
};

} // namespace vantrel
