#include "Vantrel/async/ManualExecutor.h"

#include <stdexcept>

namespace vantrel {

void ManualExecutor::post(Job job) {
    std::lock_guard lock(m_mutex);
    m_jobs.push_back(std::move(job));
}

Executor::TimerId ManualExecutor::startTimer(std::chrono::nanoseconds delay, Job job) {
    std::lock_guard lock(m_mutex);
    const TimerId id = m_nextTimer++;
    const TimePoint due = m_now + std::max(delay, std::chrono::nanoseconds{0});
    m_timers.emplace(std::pair{due, id}, std::move(job));
    m_timerDue.emplace(id, due);
    return id;
}

void ManualExecutor::cancelTimer(TimerId id) {
    std::lock_guard lock(m_mutex);
    const auto found = m_timerDue.find(id);
    if (found == m_timerDue.end()) return;
    m_timers.erase(std::pair{found->second, id});
    m_timerDue.erase(found);
}

Executor::TimePoint ManualExecutor::now() const {
    std::lock_guard lock(m_mutex);
    return m_now;
}

bool ManualExecutor::runOne() {
    Job job;
    {
        std::lock_guard lock(m_mutex);
        if (m_jobs.empty()) return false;
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
    }
    // Outside the lock: the job may post, start or cancel timers.
    job();
    return true;
}

bool ManualExecutor::fireNextTimerUntil(TimePoint limit) {
    Job job;
    {
        std::lock_guard lock(m_mutex);
        if (m_timers.empty()) return false;
        const auto first = m_timers.begin();
        if (first->first.first > limit) return false;
        m_now = std::max(m_now, first->first.first);
        job = std::move(first->second);
        m_timerDue.erase(first->first.second);
        m_timers.erase(first);
    }
    job();
    return true;
}

std::size_t ManualExecutor::runReady() {
    std::size_t count = 0;
    while (runOne()) ++count;
    return count;
}

std::size_t ManualExecutor::advanceBy(std::chrono::nanoseconds span) {
    const TimePoint target = now() + std::max(span, std::chrono::nanoseconds{0});
    std::size_t count = runReady();
    while (fireNextTimerUntil(target)) count += 1 + runReady();
    {
        std::lock_guard lock(m_mutex);
        m_now = std::max(m_now, target);
    }
    return count + runReady();
}

std::size_t ManualExecutor::runUntilIdle(std::size_t maxJobs) {
    std::size_t count = 0;
    for (;;) {
        if (runOne() || fireNextTimerUntil(TimePoint::max())) {
            if (++count > maxJobs) throw std::logic_error("ManualExecutor: still busy after the job limit");
            continue;
        }
        return count;
    }
}

std::size_t ManualExecutor::pendingJobCount() const {
    std::lock_guard lock(m_mutex);
    return m_jobs.size();
}

std::size_t ManualExecutor::pendingTimerCount() const {
    std::lock_guard lock(m_mutex);
    return m_timers.size();
}

std::chrono::nanoseconds ManualExecutor::elapsed() const {
    return now() - TimePoint{};
}

} // namespace vantrel
