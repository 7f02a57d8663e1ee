#pragma once
// A serial work queue: one thread that runs the submitted tasks one after another, in order.
// Destroying the queue lets the running task finish, drops the tasks still waiting (their captured
// replies then answer with noReply) and joins the thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vantrel {

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    // No task running and none waiting.
    bool isIdle() const;
    const std::string& label() const { return m_label; }

private:
    void run();

    std::string m_label;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_tasks;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace vantrel
