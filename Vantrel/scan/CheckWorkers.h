#pragma once
// A few threads for the blocking work of the quality pass and the recovery checks (decoding in a
// child process, reading files), so that the main thread never waits for it. Jobs run in the order
// they were submitted, at most threadCount at a time; the destructor lets the running jobs end,
// drops the waiting ones and joins the threads.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {

class CheckWorkers {
public:
    explicit CheckWorkers(std::size_t threadCount);
    ~CheckWorkers();
    CheckWorkers(const CheckWorkers&) = delete;
    CheckWorkers& operator=(const CheckWorkers&) = delete;

    // Any thread. A job that is dropped at destruction is destroyed without running.
    void submit(std::function<void()> job);

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::size_t m_threadCount;
    std::size_t m_idle = 0;  // threads waiting for a job
    std::vector<std::thread> m_threads;  // started on the first job
};

} // namespace vantrel
