#pragma once
// The check of one found file: its integrity verdict and, for a picture, its capture date.

#include "recovery/model/RecoveredFileKind.h"
#include "recovery/model/RecoveredHit.h"

#include <optional>
#include <string>

namespace vantrel {

struct IntegrityVerdict {
    HitIntegrity integrity;
    std::optional<HitDate> captureDate;
};

// Implementations are called off the main thread, several at once, and must be safe for that.
class IntegrityChecker {
public:
    virtual ~IntegrityChecker() = default;
    virtual IntegrityVerdict check(RecoveredFileKind kind, const std::string& filePath, bool wasCutAtCap) = 0;
};

} // namespace vantrel
