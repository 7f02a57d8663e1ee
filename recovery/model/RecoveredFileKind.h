#pragma once
// The 29 kinds of file the scan can report, with their stored names and extensions.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vantrel {

// Declaration order is the stored order and the order of allKinds; indexes 0 to 13 are pictures.
enum class RecoveredFileKind : std::uint8_t {
    jpeg, heic, avif, png, gif, webp, bmp, tiff, crw, cr2, cr3, nef, arw, orf,
    mp4, mov,
    mp3, m4a, wav, flac, ogg,
    pdf, docx, xlsx, pptx, doc, rtf,
    zip,
    unknown,
};

using RecoveredFileKindSet = std::set<RecoveredFileKind>;

inline constexpr std::size_t recoveredFileKindCount = 29;

namespace FileKind {

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

// The 22 kinds a scan reports by default: pictures, documents and video, not audio, zip or unknown.
RecoveredFileKindSet defaultAllowedKinds();

const RecoveredFileKindSet& canonRawKinds();       // crw, cr2, cr3
const RecoveredFileKindSet& tiffRefinableKinds();  // what a TIFF header may turn out to be
const RecoveredFileKindSet& zipRefinableKinds();   // what a ZIP header may turn out to be
const RecoveredFileKindSet& ftypRefinableKinds();  // what an ISO media "ftyp" box may turn out to be

} // namespace FileKind
} // namespace vantrel
