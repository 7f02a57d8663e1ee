#include "Vantrel/scan/CheckWorkers.h"

namespace vantrel {

CheckWorkers::CheckWorkers(std::size_t threadCount) : m_threadCount(threadCount < 1 ? 1 : threadCount) {}

CheckWorkers::~CheckWorkers() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_jobs);
    }
    m_wake.notify_all();
    for (auto& thread : m_threads) thread.join();
}

void CheckWorkers::submit(std::function<void()> job) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        m_jobs.push_back(std::move(job));
        if (m_idle < m_jobs.size() && m_threads.size() < m_threadCount)
            m_threads.emplace_back([this] { work(); });
    }
    m_wake.notify_one();
}

void CheckWorkers::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            ++m_idle;
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            --m_idle;
            if (m_stopping) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

} // namespace vantrel
