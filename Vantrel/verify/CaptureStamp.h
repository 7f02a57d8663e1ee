#pragma once
// A capture time as a picture states it, and the moment it names. EXIF times are the camera's
// wall-clock time; without an offset from universal time they are read in the local time zone, so a
// photo keeps its calendar day in the local calendar.

#include "recovery/model/RecoveredHit.h"

#include <optional>
#include <string>

namespace vantrel {

// "YYYY:MM:DD HH:MM:SS" and, when present, "+HH:MM" or "-HH:MM".
struct CaptureStamp {
    std::string wallClock;
    std::optional<std::string> offset;
    friend bool operator==(const CaptureStamp&, const CaptureStamp&) = default;
};

namespace CaptureDate {

// With an offset, the wall clock less the offset; without, the wall clock in the local time zone.
// Nothing for a text that is not a valid date or offset.
std::optional<HitDate> toDate(const CaptureStamp& stamp);

} // namespace CaptureDate
} // namespace vantrel
