#pragma once
// A capture time as a picture states it. EXIF times are the camera's wall-clock time, and the photo's
// day is the day on that clock wherever it is looked at: a capture date is kept as the clock's face
// (the wall-clock time read as if it were universal time), and the offset from universal time that the
// picture may record is kept beside it, to be shown, never applied.

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

// The clock's face of the wall-clock time; nothing for a text that is not a valid date, or for an offset
// that is not a valid one.
std::optional<HitDate> toDate(const CaptureStamp& stamp);
// The recorded offset in minutes east of universal time (-14:00 to +14:00); nothing without one or for
// an invalid text.
std::optional<std::int32_t> offsetMinutes(const CaptureStamp& stamp);

} // namespace CaptureDate
} // namespace vantrel
