#include "Vantrel/model/FilterSidebarLogic.h"

#include <QCoreApplication>
#include <QLocale>

namespace vantrel::FilterSidebarLogic {

bool isKindOn(const RecoveryFilters& filters, RecoveredFileKind listed) {
    for (const auto kind : FileTypeGroups::kindsCovered(listed))
        if (!filters.allowedKinds.contains(kind)) return false;
    return true;
}

RecoveryFilters withKind(RecoveryFilters filters, RecoveredFileKind listed, bool on) {
    for (const auto kind : FileTypeGroups::kindsCovered(listed)) {
        if (on)
            filters.allowedKinds.insert(kind);
        else
            filters.allowedKinds.erase(kind);
    }
    return filters;
}

GroupSelection groupSelection(const RecoveryFilters& filters, FileTypeGroup group) {
    const auto kinds = FileTypeGroups::kinds(group);
    std::size_t on = 0;
    for (const auto listed : kinds)
        if (isKindOn(filters, listed)) ++on;
    if (on == 0) return GroupSelection::none;
    return on == kinds.size() ? GroupSelection::all : GroupSelection::some;
}

RecoveryFilters toggledGroup(RecoveryFilters filters, FileTypeGroup group) {
    const bool turnOn = groupSelection(filters, group) != GroupSelection::all;
    for (const auto listed : FileTypeGroups::kinds(group)) filters = withKind(std::move(filters), listed, turnOn);
    return filters;
}

QString groupCheckboxSymbol(GroupSelection selection) {
    switch (selection) {
    case GroupSelection::none: return QStringLiteral("square");
    case GroupSelection::all: return QStringLiteral("checkmark.square.fill");
    case GroupSelection::some: return QStringLiteral("minus.square.fill");
    }
    return QStringLiteral("square");
}

QString kindLabel(RecoveredFileKind kind) {
    using K = RecoveredFileKind;
    switch (kind) {
    case K::jpeg: return QStringLiteral("JPEG");
    case K::heic: return QStringLiteral("HEIC");
    case K::avif: return QStringLiteral("AVIF");
    case K::png: return QStringLiteral("PNG");
    case K::gif: return QStringLiteral("GIF");
    case K::webp: return QStringLiteral("WebP");
    case K::bmp: return QStringLiteral("BMP");
    case K::tiff: return QStringLiteral("TIFF");
    case K::crw:
    case K::cr2:
    case K::cr3: return QStringLiteral("CRW (Canon RAW)");
    case K::nef: return QStringLiteral("NEF (Nikon)");
    case K::arw: return QStringLiteral("ARW (Sony)");
    case K::orf: return QStringLiteral("ORF (Olympus)");
    case K::mp4: return QStringLiteral("MP4");
    case K::mov: return QStringLiteral("MOV");
    case K::mp3: return QStringLiteral("MP3 (ID3)");
    case K::m4a: return QStringLiteral("M4A");
    case K::wav: return QStringLiteral("WAV");
    case K::flac: return QStringLiteral("FLAC");
    case K::ogg: return QStringLiteral("OGG");
    case K::pdf: return QStringLiteral("PDF");
    case K::docx: return QStringLiteral("DOCX");
    case K::xlsx: return QStringLiteral("XLSX");
    case K::pptx: return QStringLiteral("PPTX");
    case K::doc: return QStringLiteral("DOC (legacy)");
    case K::rtf: return QStringLiteral("RTF");
    case K::zip: return QStringLiteral("ZIP");
    case K::unknown: return QCoreApplication::translate("FilterSidebar", "Unknown");
    }
    return {};
}

void toggleExpanded(std::set<FileTypeGroup>& expanded, FileTypeGroup group) {
    if (!expanded.erase(group)) expanded.insert(group);
}

std::optional<std::uint64_t> parseMinimumByteSize(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.startsWith(QLatin1Char('-')) || trimmed.startsWith(QLocale().negativeSign())) return std::nullopt;
    bool ok = false;
    qulonglong value = QLocale().toULongLong(trimmed, &ok);
    if (!ok) value = QLocale::c().toULongLong(trimmed, &ok);
    if (!ok) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

std::optional<std::optional<std::int64_t>> parseMinimumSide(const QString& text) {
    const QString trimmed = text.trimmed();
    bool ok = false;
    qlonglong value = QLocale().toLongLong(trimmed, &ok);
    if (!ok) value = QLocale::c().toLongLong(trimmed, &ok);
    if (!ok) return std::nullopt;
    if (value <= 0) return std::optional<std::int64_t>{};
    return std::optional<std::int64_t>{static_cast<std::int64_t>(value)};
}

QString sideText(const std::optional<std::int64_t>& side) {
    return QLocale().toString(static_cast<qlonglong>(side.value_or(0)));
}

QString byteSizeText(std::uint64_t bytes) {
    return QLocale().toString(static_cast<qulonglong>(bytes));
}

} // namespace vantrel::FilterSidebarLogic
