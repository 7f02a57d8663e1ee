#pragma once
// The file-level check of a hit's bytes: a verdict and, for pictures, the capture date. The quality
// pass runs it on a hit's cached probe, the recovery on the file it has just written.
//
// Rules for implementers:
// - check may be called from any thread, up to four calls at a time, and may block for as long as its
//   own time limit; it never throws: bytes that cannot be judged are a verdict.
// - It returns ok, suspect, failed or skipped (a kind that has no validator); pending only when nothing
//   was judged: the checker could not run, or the file could not be read (unreadable set).
// - wasCutAtCap says that the file holds only the first bytes of a longer hit because the probe was cut
//   at its size cap; a file that is short for any other reason is judged as it is.

#include "Vantrel/verify/IntegrityKinds.h"
#include "recovery/model/RecoveredFileKind.h"
#include "recovery/model/RecoveredHit.h"

#include <optional>
#include <string>

namespace vantrel {

struct IntegrityVerdict {
    HitIntegrity integrity = HitIntegrity::failed;
    std::optional<HitDate> captureDate;                    // the clock's face (CaptureStamp.h)
    std::optional<std::int32_t> captureUtcOffsetMinutes{}; // recorded beside it, to be shown only
    // The file was not there to be read, or could not be read whole: no verdict.
    bool unreadable = false;
};

class IntegrityChecker {
public:
    virtual ~IntegrityChecker() = default;
    virtual IntegrityVerdict check(RecoveredFileKind kind, const std::string& filePath, bool wasCutAtCap) = 0;
};

} // namespace vantrel
