#pragma once
// The executor of tests and benchmarks: a queue that runs only when asked and a virtual clock that
// moves only when asked. Jobs may be posted from any thread; everything else is called on the thread
// that drives the executor.

#include "Vantrel/async/Executor.h"

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace vantrel {

class ManualExecutor final : public Executor {
public:
    // A run that goes on for this many jobs is taken for a flow that never ends.
    static constexpr std::size_t defaultMaxJobs = 10'000'000;

    void post(Job job) override;
    TimerId startTimer(std::chrono::nanoseconds delay, Job job) override;
    void cancelTimer(TimerId id) override;
    TimePoint now() const override;

    // Runs posted jobs, including the ones they post, until the queue is empty. The clock stands still,
    // so no timer fires. Returns the number of jobs run.
    std::size_t runReady();
    // Runs the oldest ready job, as one turn of an event loop would; false when none is ready.
    bool runOne();
    // Moves the clock forward by span: fires the timers that fall due on the way, each at its due time
    // and in due order, and runs the ready jobs after each. Returns the number of jobs run.
    std::size_t advanceBy(std::chrono::nanoseconds span);
    // Runs ready jobs and fires timers, moving the clock to each next due time, until nothing is left.
    // Throws std::logic_error after maxJobs jobs (a flow that keeps itself alive for ever).
    std::size_t runUntilIdle(std::size_t maxJobs = defaultMaxJobs);

    std::size_t pendingJobCount() const;
    std::size_t pendingTimerCount() const;
    // Virtual time since the executor was made.
    std::chrono::nanoseconds elapsed() const;

private:
    bool fireNextTimerUntil(TimePoint limit);

    mutable std::mutex m_mutex;
    std::deque<Job> m_jobs;
    // Ordered by due time, then by start order (ids grow).
    std::map<std::pair<TimePoint, TimerId>, Job> m_timers;
    std::unordered_map<TimerId, TimePoint> m_timerDue;
    TimerId m_nextTimer = 1;
    TimePoint m_now{};
};

} // namespace vantrel
