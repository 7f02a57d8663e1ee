#pragma once
// The length of an RTF document (Microsoft's Rich Text Format document, version 1.9.1: "RTF Syntax", "Control
// words", "Control symbols", "Groups", the \bin control word) from its groups: the document is one group,
// "{\rtf" to the brace that closes it. Braces count towards the depth unless escaped ("\{", "\}"; "\\" is
// an escaped backslash); "\binN" is followed, after its delimiting space, by N bytes of binary data,
// which are passed over whole. A control word is a backslash, letters, an optional signed number and an
// optional space that belongs to it. A line end right after the closing brace is counted as the file's.
//
// RTF is 7-bit text outside \bin data, with 8-bit bytes tolerated: a NUL byte outside \bin data is
// taken for the end of what was written, and the walk gives nothing.

#include "recovery/carving/CandidateCursor.h"

#include <cstdint>
#include <optional>

namespace vantrel::RTFGroupWalk {

inline constexpr std::uint64_t chunkBytes = 0x40000;
// A number longer than this is no control word's parameter (the format's are 16 or 32-bit).
inline constexpr int maxParameterDigits = 10;

// The length up to the brace that closes the outer group (and a line end after it), or nothing when
// the bytes do not start with "{\rtf", or the cursor's limit or a NUL byte comes first. A failed read
// throws.
std::optional<std::uint64_t> walk(CandidateCursor& cursor);

} // namespace vantrel::RTFGroupWalk
