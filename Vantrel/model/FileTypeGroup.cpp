#include "Vantrel/model/FileTypeGroup.h"

#include "platform/text/ByteCountText.h"

#include <QCoreApplication>
#include <QStringList>

namespace vantrel::FileTypeGroups {

namespace {

using K = RecoveredFileKind;

constexpr std::array<K, 12> imageKinds{K::jpeg, K::heic, K::avif, K::png, K::gif, K::webp,
                                       K::bmp, K::tiff, K::crw, K::nef, K::arw, K::orf};
constexpr std::array<K, 6> documentKinds{K::pdf, K::docx, K::xlsx, K::pptx, K::doc, K::rtf};
constexpr std::array<K, 2> videoKinds{K::mp4, K::mov};
constexpr std::array<K, 5> audioKinds{K::mp3, K::m4a, K::wav, K::flac, K::ogg};
constexpr std::array<K, 1> archiveKinds{K::zip};

struct GroupRow {
    FileTypeGroup group;
    std::string_view rawValue;
    const char* title;
    const char* footnote;  // null: none
    std::span<const K> kinds;
};

const std::array<GroupRow, 5>& rows() {
    static const std::array<GroupRow, 5> table{{
        {FileTypeGroup::images, "images", QT_TRANSLATE_NOOP("FileTypeGroup", "Images"),
         QT_TRANSLATE_NOOP("FileTypeGroup", "Primary focus. RAW (NEF/ARW) also via undelete when filenames survive."), imageKinds},
        {FileTypeGroup::documents, "documents", QT_TRANSLATE_NOOP("FileTypeGroup", "Documents"),
         QT_TRANSLATE_NOOP("FileTypeGroup", "Office Open XML via ZIP headers. Plain TXT has no magic — not carvable."), documentKinds},
        {FileTypeGroup::video, "video", QT_TRANSLATE_NOOP("FileTypeGroup", "Video"), nullptr, videoKinds},
        {FileTypeGroup::audio, "audio", QT_TRANSLATE_NOOP("FileTypeGroup", "Audio"),
         QT_TRANSLATE_NOOP("FileTypeGroup", "MP3 only with ID3 tags (bare MPEG frames would flood false hits). Off by default."),
         audioKinds},
        {FileTypeGroup::archives, "archives", QT_TRANSLATE_NOOP("FileTypeGroup", "Archives"),
         QT_TRANSLATE_NOOP("FileTypeGroup", "Generic ZIP when not recognized as Office. Off by default."), archiveKinds},
    }};
    return table;
}

const GroupRow& row(FileTypeGroup group) {
    return rows()[static_cast<std::size_t>(group)];
}

QString translated(const char* text) {
    return QCoreApplication::translate("FileTypeGroup", text);
}

// The byte minimum goes to the file-style formatter; the formatter takes any unsigned count, so no
// minimum is cut or wrapped on the way.
QString byteCount(std::uint64_t bytes) {
    return QString::fromStdString(ByteCountText::fileStyle(bytes));
}

} // namespace

const std::array<FileTypeGroup, 5>& allCases() {
    static const std::array<FileTypeGroup, 5> cases{FileTypeGroup::images, FileTypeGroup::documents, FileTypeGroup::video,
                                                    FileTypeGroup::audio, FileTypeGroup::archives};
    return cases;
}

std::string_view rawValue(FileTypeGroup group) {
    return row(group).rawValue;
}

std::optional<FileTypeGroup> fromRawValue(std::string_view text) {
    for (const auto& candidate : rows())
        if (candidate.rawValue == text) return candidate.group;
    return std::nullopt;
}

QString title(FileTypeGroup group) {
    return translated(row(group).title);
}

std::optional<QString> footnote(FileTypeGroup group) {
    if (!row(group).footnote) return std::nullopt;
    return translated(row(group).footnote);
}

std::span<const RecoveredFileKind> kinds(FileTypeGroup group) {
    return row(group).kinds;
}

std::vector<RecoveredFileKind> kindsCovered(RecoveredFileKind listed) {
    if (listed == K::crw) return {FileKind::canonRawKinds().begin(), FileKind::canonRawKinds().end()};
    return {listed};
}

bool isEnabled(FileTypeGroup group, const RecoveryFilters& filters) {
    for (const auto listed : kinds(group))
        for (const auto kind : kindsCovered(listed))
            if (filters.allowedKinds.contains(kind)) return true;
    return false;
}

QString enabledSummary(const RecoveryFilters& filters) {
    QStringList enabled;
    for (const auto group : allCases())
        if (isEnabled(group, filters)) enabled << title(group);
    const QString types = enabled.isEmpty() ? translated(QT_TRANSLATE_NOOP("FileTypeGroup", "No file types"))
                                            : enabled.join(QStringLiteral(", "));
    const QString sizes = sizeSummary(filters.minimumByteSize, filters.minimumImageWidth, filters.minimumImageHeight);
    return QCoreApplication::translate("FileTypeGroup", "Scan: %1 · %2").arg(types, sizes);
}

QString sizeSummary(std::uint64_t minimumByteSize, std::optional<std::int64_t> minimumImageWidth,
                    std::optional<std::int64_t> minimumImageHeight) {
    const std::uint64_t defaultMinimum = RecoveryFilters::defaults().minimumByteSize;
    const bool widthSet = minimumImageWidth && *minimumImageWidth > 0;
    const bool heightSet = minimumImageHeight && *minimumImageHeight > 0;
    const QString allSizes = translated(QT_TRANSLATE_NOOP("FileTypeGroup", "All sizes"));
    if (minimumByteSize <= defaultMinimum && !widthSet && !heightSet) return allSizes;

    QStringList parts;
    if (minimumByteSize > defaultMinimum || (minimumByteSize >= 1 && (widthSet || heightSet)))
        parts << QCoreApplication::translate("FileTypeGroup", "Min. %1").arg(byteCount(minimumByteSize));
    if (widthSet && heightSet)
        parts << QCoreApplication::translate("FileTypeGroup", "Min. %1×%2").arg(*minimumImageWidth).arg(*minimumImageHeight);
    else if (widthSet)
        parts << QCoreApplication::translate("FileTypeGroup", "Min. width %1").arg(*minimumImageWidth);
    else if (heightSet)
        parts << QCoreApplication::translate("FileTypeGroup", "Min. height %1").arg(*minimumImageHeight);
    return parts.isEmpty() ? allSizes : parts.join(QStringLiteral(", "));
}

} // namespace vantrel::FileTypeGroups
