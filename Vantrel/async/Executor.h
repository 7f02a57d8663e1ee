#pragma once
// Where the application's main-thread work runs: jobs posted in order, one-shot timers, and the clock
// those timers count on. Production posts to the Qt event loop (QtExecutor); tests use ManualExecutor,
// whose clock only moves when the test says so, so time limits of seconds run in no time and in an
// exact order.
//
// Rules for implementers:
// - post may be called from any thread; jobs run one at a time on the executor's thread, in the order
//   they were posted. A job is never run inside post.
// - startTimer and cancelTimer are called on the executor's thread only. A timer's job runs once, on
//   the executor's thread, no earlier than its delay after startTimer; timers due at the same time run
//   in the order they were started. Cancelling a timer that fired or was cancelled does nothing.
// - now() never goes backwards.

#include <chrono>
#include <cstdint>
#include <functional>

namespace vantrel {

class Executor {
public:
    using Job = std::function<void()>;
    using TimePoint = std::chrono::steady_clock::time_point;
    using TimerId = std::uint64_t;

    virtual ~Executor() = default;

    virtual void post(Job job) = 0;
    virtual TimerId startTimer(std::chrono::nanoseconds delay, Job job) = 0;
    virtual void cancelTimer(TimerId id) = 0;
    virtual TimePoint now() const = 0;
};

// A span given in seconds, as the flows write their limits (2.0, 0.4, 180).
inline std::chrono::nanoseconds secondsSpan(double seconds) {
    if (!(seconds > 0)) return std::chrono::nanoseconds{0};
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
}

} // namespace vantrel
