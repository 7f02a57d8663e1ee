#pragma once
// Capture dates against the day-based range of the results filter. A capture date is the camera
// clock's face (RecoveredHit), so its day is the day that clock showed, whatever zone this computer is
// in: days here are days of that face, 24 hours each, and a bound counts for its whole day, from its
// first second to 23:59:59.

#include "recovery/model/RecoveredHit.h"

#include <optional>

namespace vantrel::CaptureDay {

// The midnight that begins the day of the date.
HitDate startOfDay(HitDate date);
// One second before the midnight that begins the next day.
HitDate lastSecondOfDay(HitDate date);
// What a clock of this computer's zone shows at the moment now, as a face (for "today").
HitDate clockFaceNow(HitDate now);

// The range of dates a filter with these bounds lets through, worked out once per query.
struct Window {
    std::optional<HitDate> first;  // start of the from-bound's day
    std::optional<HitDate> last;   // last second of the to-bound's day
    bool active = false;           // some bound is set

    static Window of(const std::optional<HitDate>& from, const std::optional<HitDate>& to);
    // Without bounds every hit passes; with one, a hit without a capture date never does.
    bool admits(const std::optional<HitDate>& captureDate) const;
};

// The whole test for one hit: true without bounds; false for a missing date once a bound is set;
// otherwise from the start of the from-day to 23:59:59 of the to-day, both inclusive.
bool captureDateInRange(const std::optional<HitDate>& captureDate, const std::optional<HitDate>& from,
                        const std::optional<HitDate>& to);

} // namespace vantrel::CaptureDay
