#pragma once
// The kind of file a name promises by its extension; shared by the FAT, exFAT and HFS+ walks.

#include "recovery/model/RecoveredFileKind.h"

#include <string_view>

namespace vantrel {

// The text after the name's last ".", lower-cased, looked up in a fixed table; unknown otherwise
// (also for a name without a ".").
RecoveredFileKind kindForFileName(std::string_view name);

} // namespace vantrel
