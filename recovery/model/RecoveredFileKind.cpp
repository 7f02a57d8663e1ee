#include "recovery/model/RecoveredFileKind.h"

namespace vantrel::FileKind {

namespace {

struct KindRow {
    RecoveredFileKind kind;
    std::string_view rawValue;
    std::string_view extension;
};

// One row per kind, in declaration order.
constexpr std::array<KindRow, recoveredFileKindCount> kindRows{{
    {RecoveredFileKind::jpeg, "jpeg", "jpg"},    {RecoveredFileKind::heic, "heic", "heic"},
    {RecoveredFileKind::avif, "avif", "avif"},   {RecoveredFileKind::png, "png", "png"},
    {RecoveredFileKind::gif, "gif", "gif"},      {RecoveredFileKind::webp, "webp", "webp"},
    {RecoveredFileKind::bmp, "bmp", "bmp"},      {RecoveredFileKind::tiff, "tiff", "tif"},
    {RecoveredFileKind::crw, "crw", "crw"},      {RecoveredFileKind::cr2, "cr2", "cr2"},
    {RecoveredFileKind::cr3, "cr3", "cr3"},      {RecoveredFileKind::nef, "nef", "nef"},
    {RecoveredFileKind::arw, "arw", "arw"},      {RecoveredFileKind::orf, "orf", "orf"},
    {RecoveredFileKind::mp4, "mp4", "mp4"},      {RecoveredFileKind::mov, "mov", "mov"},
    {RecoveredFileKind::mp3, "mp3", "mp3"},      {RecoveredFileKind::m4a, "m4a", "m4a"},
    {RecoveredFileKind::wav, "wav", "wav"},      {RecoveredFileKind::flac, "flac", "flac"},
    {RecoveredFileKind::ogg, "ogg", "ogg"},      {RecoveredFileKind::pdf, "pdf", "pdf"},
    {RecoveredFileKind::docx, "docx", "docx"},   {RecoveredFileKind::xlsx, "xlsx", "xlsx"},
    {RecoveredFileKind::pptx, "pptx", "pptx"},   {RecoveredFileKind::doc, "doc", "doc"},
    {RecoveredFileKind::rtf, "rtf", "rtf"},      {RecoveredFileKind::zip, "zip", "zip"},
    {RecoveredFileKind::unknown, "unknown", "bin"},
}};

constexpr bool rowsFollowDeclarationOrder() {
    for (std::size_t i = 0; i < kindRows.size(); ++i)
        if (static_cast<std::size_t>(kindRows[i].kind) != i) return false;
    return true;
}
static_assert(rowsFollowDeclarationOrder(), "kindRows must list the kinds in declaration order");

const KindRow& row(RecoveredFileKind kind) { return kindRows[static_cast<std::size_t>(kind)]; }

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

bool isImage(RecoveredFileKind kind) { return kind <= RecoveredFileKind::orf; }

bool isVideo(RecoveredFileKind kind) { return kind == RecoveredFileKind::mp4 || kind == RecoveredFileKind::mov; }

bool isAudio(RecoveredFileKind kind) { return kind >= RecoveredFileKind::mp3 && kind <= RecoveredFileKind::ogg; }

RecoveredFileKindSet defaultAllowedKinds() {
    using enum RecoveredFileKind;
    return {jpeg, heic, avif, png, gif, webp, bmp, tiff, crw, cr2, cr3, nef, arw, orf,
            pdf, docx, xlsx, pptx, doc, rtf, mp4, mov};
}

const RecoveredFileKindSet& canonRawKinds() {
    static const RecoveredFileKindSet kinds{RecoveredFileKind::crw, RecoveredFileKind::cr2, RecoveredFileKind::cr3};
    return kinds;
}

const RecoveredFileKindSet& tiffRefinableKinds() {
    static const RecoveredFileKindSet kinds{RecoveredFileKind::tiff, RecoveredFileKind::nef, RecoveredFileKind::arw};
    return kinds;
}

const RecoveredFileKindSet& zipRefinableKinds() {
    static const RecoveredFileKindSet kinds{RecoveredFileKind::docx, RecoveredFileKind::xlsx, RecoveredFileKind::pptx,
                                            RecoveredFileKind::zip};
    return kinds;
}

const RecoveredFileKindSet& ftypRefinableKinds() {
    static const RecoveredFileKindSet kinds{RecoveredFileKind::mp4,  RecoveredFileKind::mov, RecoveredFileKind::heic,
                                            RecoveredFileKind::avif, RecoveredFileKind::m4a, RecoveredFileKind::cr3};
    return kinds;
}

} // namespace vantrel::FileKind
