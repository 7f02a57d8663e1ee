#pragma once
// Names for undeleted files: a file's own name when it is worth keeping and not yet used in this
// state, else a numbered name such as recovered_00001.jpg. Names come from disks, so they are made
// safe to use as a file name in a user's folder first.

#include "recovery/model/RecoveredFileKind.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace vantrel {

struct UndeleteNamingState {
    // A file name is at most this long on the file systems we write to.
    static constexpr std::size_t maxNameBytes = 255;

    std::int64_t serial = 0;           // number of the last numbered name handed out
    std::set<std::string> usedNames;   // lower-cased form of every name handed out

    // Whether a name is too generic or mangled to keep (FILE0001.JPG, PHOTO~1.JPG, empty).
    static bool isWeakName(std::string_view name);
    // The trimmed name is not empty and not weak.
    static bool isUsableUndeleteName(std::string_view name);
    // Without trailing spaces and full stops.
    static std::string trimTrailingDotsAndSpaces(std::string_view name);
    // Separators and control characters become "_", invalid UTF-8 bytes too; "." and ".." become
    // empty; the result is cut to maxNameBytes on a character boundary, keeping a short extension.
    static std::string makeSafeFileName(std::string_view name);

    // The preferred name (made safe and trimmed) when it is not weak and not handed out yet, else numberedName.
    std::string suggestedName(std::string_view preferred, RecoveredFileKind kind);
    // "recovered_", the next serial with at least five digits, ".", the kind's extension; a serial whose
    // name was handed out already is passed over.
    std::string numberedName(RecoveredFileKind kind);
};

} // namespace vantrel
