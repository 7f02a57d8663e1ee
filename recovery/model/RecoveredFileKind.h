#pragma once
// The 29 kinds of file the scan can report, with their stored names, extensions and what is known of
// each kind: its group (picture, video, audio, ...), the structure it shares with other kinds, and the
// header a carved file of it is found by.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vantrel {

// Declaration order is the stored order and the order of allKinds. unknown stays the last case: the
// count follows it, and every per-kind table is checked against the count.
enum class RecoveredFileKind : std::uint8_t {
    jpeg, heic, avif, png, gif, webp, bmp, tiff, crw, cr2, cr3, nef, arw, orf,
    mp4, mov,
    mp3, m4a, wav, flac, ogg,
    pdf, docx, xlsx, pptx, doc, rtf,
    zip,
    unknown,
};

using RecoveredFileKindSet = std::set<RecoveredFileKind>;

inline constexpr std::size_t recoveredFileKindCount = static_cast<std::size_t>(RecoveredFileKind::unknown) + 1;

namespace FileKind {

// Whether a per-kind table (rows with a `kind` field, one for each kind) lists every kind in declaration
// order, for a static_assert beside the table: a kind added to the enum without its row leaves the last
// row value-initialised, out of order.
template <typename Rows>
constexpr bool listsEveryKindInOrder(const Rows& rows) {
    if (rows.size() != recoveredFileKindCount) return false;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (static_cast<std::size_t>(rows[i].kind) != i) return false;
    return true;
}

// All kinds in declaration order.
const std::array<RecoveredFileKind, recoveredFileKindCount>& allKinds();

// The stored name, equal to the case name ("jpeg", "unknown").
std::string_view rawValue(RecoveredFileKind kind);

// Exact, case-sensitive match of a case name; anything else is no kind.
std::optional<RecoveredFileKind> fromRawValue(std::string_view text);

// Extension without the dot: the stored name, except jpeg "jpg", tiff "tif", unknown "bin".
std::string_view preferredExtension(RecoveredFileKind kind);

bool isImage(RecoveredFileKind kind);
bool isVideo(RecoveredFileKind kind);
bool isAudio(RecoveredFileKind kind);

// Files built of TIFF directories (TIFF 6.0): tiff and the TIFF-based camera raws cr2, nef, arw, orf.
bool isTiffFamily(RecoveredFileKind kind);
// Files built of ISO base media boxes (ISO/IEC 14496-12), opening with an "ftyp" box: mp4, mov, heic,
// avif, m4a, cr3.
bool isIsoMedia(RecoveredFileKind kind);

// The 22 kinds a scan reports by default: pictures, documents and video, not audio, zip or unknown.
RecoveredFileKindSet defaultAllowedKinds();

const RecoveredFileKindSet& canonRawKinds();       // crw, cr2, cr3
const RecoveredFileKindSet& tiffRefinableKinds();  // what a TIFF header may turn out to be
const RecoveredFileKindSet& zipRefinableKinds();   // what a ZIP header may turn out to be
const RecoveredFileKindSet& ftypRefinableKinds();  // what an ISO media "ftyp" box may turn out to be

} // namespace FileKind
} // namespace vantrel
