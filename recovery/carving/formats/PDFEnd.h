#pragma once
// Where a PDF file ends (ISO 32000-1): a linearized file states its length in the linearization
// dictionary (annex F: "/L", within the file's first 1024 bytes); otherwise the end marker "%%EOF" ends
// a revision. An incremental update (section 7.5.6) appends objects, a cross-reference section and a
// further "%%EOF", so an end marker followed by "xref" or an object header is not the file's end; the
// same holds for the first-page end marker of a linearized file.

#include "recovery/carving/CandidateCursor.h"

#include <cstdint>
#include <optional>

namespace vantrel::PDFEnd {

// The linearization dictionary lies within this many bytes of the start.
inline constexpr std::uint64_t linearizationWindowBytes = 1024;
// Bytes looked at after an end marker for the start of an update.
inline constexpr std::uint64_t updateLookBytes = 64;

// The length "/L" of the linearization dictionary in head, or nothing.
std::optional<std::uint64_t> linearizedLength(ByteView head);

// Whether the bytes at end (just past an end marker, or a linearized length) begin an incremental
// update: white space, then "xref" or "<number> <number> obj". A failed read throws.
bool updateFollows(CandidateCursor& cursor, std::uint64_t end);

// end moved past the end-of-line marker (CR, LF or CR LF, section 7.5.5) that follows the end marker
// just before end; end itself when none follows within the cursor's limit. A failed read throws.
std::uint64_t pastEndOfLine(CandidateCursor& cursor, std::uint64_t end);

} // namespace vantrel::PDFEnd
