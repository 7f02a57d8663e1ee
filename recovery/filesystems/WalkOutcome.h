#pragma once
// What the walk of one volume leaves for the scan's progress: the FAT and exFAT deleted-file walks and
// the HFS Plus catalog walk give it alike.

#include <cstdint>

namespace vantrel {

struct WalkOutcome {
    std::int64_t readErrors = 0;  // bad spots counted and passed over, and directories cut at the byte cap
    bool cancelled = false;
};

} // namespace vantrel
