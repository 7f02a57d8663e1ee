#include "Vantrel/model/ResultsSort.h"

#include <QCoreApplication>

namespace vantrel {

namespace {

struct SortRow {
    ResultsSort sort;
    std::string_view rawValue;
};

constexpr std::array<SortRow, 12> sortRows{{
    {ResultsSort::discovery, "discovery"},
    {ResultsSort::sizeDescending, "sizeDescending"},
    {ResultsSort::sizeAscending, "sizeAscending"},
    {ResultsSort::name, "name"},
    {ResultsSort::nameDescending, "nameDescending"},
    {ResultsSort::type, "type"},
    {ResultsSort::typeDescending, "typeDescending"},
    {ResultsSort::integrity, "integrity"},
    {ResultsSort::dimensionsDescending, "dimensionsDescending"},
    {ResultsSort::dimensionsAscending, "dimensionsAscending"},
    {ResultsSort::captureDateDescending, "captureDateDescending"},
    {ResultsSort::captureDateAscending, "captureDateAscending"},
}};

struct FilterRow {
    ResultsIntegrityFilter filter;
    std::string_view rawValue;
    const char* title;
};

constexpr std::array<FilterRow, 6> filterRows{{
    {ResultsIntegrityFilter::all, "all", QT_TRANSLATE_NOOP("ResultsIntegrityFilter", "All statuses")},
    {ResultsIntegrityFilter::ok, "ok", QT_TRANSLATE_NOOP("ResultsIntegrityFilter", "OK")},
    {ResultsIntegrityFilter::suspect, "suspect", QT_TRANSLATE_NOOP("ResultsIntegrityFilter", "Suspect")},
    {ResultsIntegrityFilter::failed, "failed", QT_TRANSLATE_NOOP("ResultsIntegrityFilter", "Broken")},
    {ResultsIntegrityFilter::pending, "pending", QT_TRANSLATE_NOOP("ResultsIntegrityFilter", "Queued…")},
    {ResultsIntegrityFilter::skipped, "skipped", QT_TRANSLATE_NOOP("ResultsIntegrityFilter", "Not checked")},
}};

} // namespace

namespace ResultsSortName {

const std::array<ResultsSort, 12>& allCases() {
    static const auto cases = [] {
        std::array<ResultsSort, 12> all{};
        for (std::size_t i = 0; i < sortRows.size(); ++i) all[i] = sortRows[i].sort;
        return all;
    }();
    return cases;
}

std::string_view rawValue(ResultsSort sort) {
    return sortRows[static_cast<std::size_t>(sort)].rawValue;
}

std::optional<ResultsSort> fromRawValue(std::string_view text) {
    for (const auto& row : sortRows)
        if (row.rawValue == text) return row.sort;
    return std::nullopt;
}

} // namespace ResultsSortName

namespace ResultsIntegrityFilterName {

const std::array<ResultsIntegrityFilter, 6>& allCases() {
    static const auto cases = [] {
        std::array<ResultsIntegrityFilter, 6> all{};
        for (std::size_t i = 0; i < filterRows.size(); ++i) all[i] = filterRows[i].filter;
        return all;
    }();
    return cases;
}

std::string_view rawValue(ResultsIntegrityFilter filter) {
    return filterRows[static_cast<std::size_t>(filter)].rawValue;
}

std::optional<ResultsIntegrityFilter> fromRawValue(std::string_view text) {
    for (const auto& row : filterRows)
        if (row.rawValue == text) return row.filter;
    return std::nullopt;
}

QString title(ResultsIntegrityFilter filter) {
    return QCoreApplication::translate("ResultsIntegrityFilter", filterRows[static_cast<std::size_t>(filter)].title);
}

bool matches(ResultsIntegrityFilter filter, HitIntegrity integrity) {
    switch (filter) {
    case ResultsIntegrityFilter::all: return true;
    case ResultsIntegrityFilter::ok: return integrity == HitIntegrity::ok;
    case ResultsIntegrityFilter::suspect: return integrity == HitIntegrity::suspect;
    case ResultsIntegrityFilter::failed: return integrity == HitIntegrity::failed;
    case ResultsIntegrityFilter::pending: return integrity == HitIntegrity::pending;
    case ResultsIntegrityFilter::skipped: return integrity == HitIntegrity::skipped;
    }
    return false;
}

} // namespace ResultsIntegrityFilterName

int integrityRank(HitIntegrity integrity) {
    switch (integrity) {
    case HitIntegrity::ok: return 0;
    case HitIntegrity::suspect: return 1;
    case HitIntegrity::pending: return 2;
    case HitIntegrity::skipped: return 3;
    case HitIntegrity::failed: return 4;
    }
    return 5;
}

std::string_view listLabel(RecoveredFileKind kind) {
    switch (kind) {
    case RecoveredFileKind::jpeg: return "JPEG";
    case RecoveredFileKind::heic: return "HEIC";
    case RecoveredFileKind::avif: return "AVIF";
    case RecoveredFileKind::png: return "PNG";
    case RecoveredFileKind::gif: return "GIF";
    case RecoveredFileKind::webp: return "WEBP";
    case RecoveredFileKind::bmp: return "BMP";
    case RecoveredFileKind::tiff: return "TIFF";
    case RecoveredFileKind::crw:
    case RecoveredFileKind::cr2:
    case RecoveredFileKind::cr3: return "CRW";
    case RecoveredFileKind::nef: return "NEF";
    case RecoveredFileKind::arw: return "ARW";
    case RecoveredFileKind::orf: return "ORF";
    case RecoveredFileKind::mp4: return "MP4";
    case RecoveredFileKind::mov: return "MOV";
    case RecoveredFileKind::mp3: return "MP3";
    case RecoveredFileKind::m4a: return "M4A";
    case RecoveredFileKind::wav: return "WAV";
    case RecoveredFileKind::flac: return "FLAC";
    case RecoveredFileKind::ogg: return "OGG";
    case RecoveredFileKind::pdf: return "PDF";
    case RecoveredFileKind::docx: return "DOCX";
    case RecoveredFileKind::xlsx: return "XLSX";
    case RecoveredFileKind::pptx: return "PPTX";
    case RecoveredFileKind::doc: return "DOC";
    case RecoveredFileKind::rtf: return "RTF";
    case RecoveredFileKind::zip: return "ZIP";
    case RecoveredFileKind::unknown: return "UNKNOWN";
    }
    return "UNKNOWN";
}

} // namespace vantrel
