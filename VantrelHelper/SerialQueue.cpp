#include "VantrelHelper/SerialQueue.h"

#include <pthread.h>

namespace vantrel {

namespace {
// pthread names hold at most 15 bytes.
constexpr std::size_t maxThreadNameBytes = 15;
} // namespace

SerialQueue::SerialQueue(std::string label) : m_label(std::move(label)) {
    m_thread = std::thread([this] { run(); });
    const auto name = m_label.size() > maxThreadNameBytes ? m_label.substr(m_label.size() - maxThreadNameBytes) : m_label;
    ::pthread_setname_np(m_thread.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_tasks);
    }
    m_changed.notify_all();
    m_thread.join();
    // The waiting tasks are destroyed here, outside the lock.
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        m_tasks.push_back(std::move(task));
    }
    m_changed.notify_all();
}

bool SerialQueue::isIdle() const {
    std::lock_guard lock(m_mutex);
    return !m_running && m_tasks.empty();
}

void SerialQueue::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stopping || !m_tasks.empty(); });
            if (m_stopping) return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
            m_running = true;
        }
        task();
        task = nullptr;
        std::lock_guard lock(m_mutex);
        m_running = false;
    }
}

} // namespace vantrel
