#pragma once
// The kind a file's first bytes show, taken as the carver takes a header it finds: for a deleted file
// whose name gives no kind (a short name that cut the extension, a name without one), before it is
// passed over.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"

namespace vantrel::ContentSniffer {

// How much of a file's start is looked at.
inline constexpr std::uint64_t sniffBytes = 65536;

// The first row of the shipped signature table whose header matches at the start of head (longer
// headers first, as the carver orders them at one offset) and whose header checks head passes, refined
// as the carver refines it (Office packages, ISO media brands, camera raw makers); unknown when none
// does. head holds the file's first sniffBytes bytes, or the whole file when it is shorter.
RecoveredFileKind kindOf(ByteView head);

} // namespace vantrel::ContentSniffer
