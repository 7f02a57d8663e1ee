#include "recovery/model/RecoveredFileKind.h"

namespace vantrel::FileKind {

namespace {

using K = RecoveredFileKind;

// What a file of the kind holds; the filters' default and the pictures' rules follow it.
enum class Group : std::uint8_t { picture, video, audio, document, archive, other };

// The structure the kind's files share with other kinds, if any.
enum class Family : std::uint8_t { own, tiff, isoMedia };

// The signature a carved file of the kind is found by when several kinds share it, and only the
// file's first bytes tell them apart.
enum class FoundBy : std::uint8_t { ownHeader, tiffHeader, zipHeader, ftypBox };

struct KindRow {
    RecoveredFileKind kind;
    std::string_view rawValue;
    std::string_view extension;
    Group group;
    Family family;
    FoundBy foundBy;
    bool canonRaw;
};

using enum Group;
using enum Family;
using enum FoundBy;

// One row per kind, in declaration order.
constexpr std::array<KindRow, recoveredFileKindCount> kindRows{{
    {K::jpeg, "jpeg", "jpg", picture, own, ownHeader, false},
    {K::heic, "heic", "heic", picture, isoMedia, ftypBox, false},
    {K::avif, "avif", "avif", picture, isoMedia, ftypBox, false},
    {K::png, "png", "png", picture, own, ownHeader, false},
    {K::gif, "gif", "gif", picture, own, ownHeader, false},
    {K::webp, "webp", "webp", picture, own, ownHeader, false},
    {K::bmp, "bmp", "bmp", picture, own, ownHeader, false},
    {K::tiff, "tiff", "tif", picture, tiff, tiffHeader, false},
    {K::crw, "crw", "crw", picture, own, ownHeader, true},
    {K::cr2, "cr2", "cr2", picture, tiff, ownHeader, true},
    {K::cr3, "cr3", "cr3", picture, isoMedia, ftypBox, true},
    {K::nef, "nef", "nef", picture, tiff, tiffHeader, false},
    {K::arw, "arw", "arw", picture, tiff, tiffHeader, false},
    {K::orf, "orf", "orf", picture, tiff, ownHeader, false},
    {K::mp4, "mp4", "mp4", video, isoMedia, ftypBox, false},
    {K::mov, "mov", "mov", video, isoMedia, ftypBox, false},
    {K::mp3, "mp3", "mp3", audio, own, ownHeader, false},
    {K::m4a, "m4a", "m4a", audio, isoMedia, ftypBox, false},
    {K::wav, "wav", "wav", audio, own, ownHeader, false},
    {K::flac, "flac", "flac", audio, own, ownHeader, false},
    {K::ogg, "ogg", "ogg", audio, own, ownHeader, false},
    {K::pdf, "pdf", "pdf", document, own, ownHeader, false},
    {K::docx, "docx", "docx", document, own, zipHeader, false},
    {K::xlsx, "xlsx", "xlsx", document, own, zipHeader, false},
    {K::pptx, "pptx", "pptx", document, own, zipHeader, false},
    {K::doc, "doc", "doc", document, own, ownHeader, false},
    {K::rtf, "rtf", "rtf", document, own, ownHeader, false},
    {K::zip, "zip", "zip", archive, own, zipHeader, false},
    {K::unknown, "unknown", "bin", other, own, ownHeader, false},
}};

static_assert(listsEveryKindInOrder(kindRows), "kindRows must list every kind, in declaration order");

const KindRow& row(RecoveredFileKind kind) { return kindRows[static_cast<std::size_t>(kind)]; }

template <typename Test>
RecoveredFileKindSet kindsWhere(Test test) {
    RecoveredFileKindSet kinds;
    for (const KindRow& candidate : kindRows)
        if (test(candidate)) kinds.insert(candidate.kind);
    return kinds;
}

} // namespace

const std::array<RecoveredFileKind, recoveredFileKindCount>& allKinds() {
    static const auto kinds = [] {
        std::array<RecoveredFileKind, recoveredFileKindCount> result{};
        for (std::size_t i = 0; i < kindRows.size(); ++i) result[i] = kindRows[i].kind;
        return result;
    }();
    return kinds;
}

std::string_view rawValue(RecoveredFileKind kind) { return row(kind).rawValue; }

std::optional<RecoveredFileKind> fromRawValue(std::string_view text) {
    for (const auto& candidate : kindRows)
        if (candidate.rawValue == text) return candidate.kind;
    return std::nullopt;
}

std::string_view preferredExtension(RecoveredFileKind kind) { return row(kind).extension; }

bool isImage(RecoveredFileKind kind) { return row(kind).group == picture; }

bool isVideo(RecoveredFileKind kind) { return row(kind).group == video; }

bool isAudio(RecoveredFileKind kind) { return row(kind).group == audio; }

bool isTiffFamily(RecoveredFileKind kind) { return row(kind).family == tiff; }

bool isIsoMedia(RecoveredFileKind kind) { return row(kind).family == isoMedia; }

RecoveredFileKindSet defaultAllowedKinds() {
    static const RecoveredFileKindSet kinds = kindsWhere([](const KindRow& candidate) {
        return candidate.group == picture || candidate.group == document || candidate.group == video;
    });
    return kinds;
}

const RecoveredFileKindSet& canonRawKinds() {
    static const RecoveredFileKindSet kinds = kindsWhere([](const KindRow& candidate) { return candidate.canonRaw; });
    return kinds;
}

const RecoveredFileKindSet& tiffRefinableKinds() {
    static const RecoveredFileKindSet kinds = kindsWhere([](const KindRow& candidate) { return candidate.foundBy == tiffHeader; });
    return kinds;
}

const RecoveredFileKindSet& zipRefinableKinds() {
    static const RecoveredFileKindSet kinds = kindsWhere([](const KindRow& candidate) { return candidate.foundBy == zipHeader; });
    return kinds;
}

const RecoveredFileKindSet& ftypRefinableKinds() {
    static const RecoveredFileKindSet kinds = kindsWhere([](const KindRow& candidate) { return candidate.foundBy == ftypBox; });
    return kinds;
}

} // namespace vantrel::FileKind
