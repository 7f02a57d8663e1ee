#pragma once
// Wall-clock time as the user sees it: "now" for the capture-date pickers and for throughput samples.
// Time limits and sleeps run on the Executor's clock instead.

#include "recovery/model/RecoveredHit.h"

namespace vantrel {

class Clock {
public:
    virtual ~Clock() = default;
    virtual HitDate now() const = 0;
};

// The system's clock.
class SystemClock final : public Clock {
public:
    HitDate now() const override { return std::chrono::system_clock::now(); }
};

} // namespace vantrel
