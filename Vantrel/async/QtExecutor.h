#pragma once
// The executor of the running application: jobs go to the Qt event loop of the thread that made it
// (the main thread), timers are Qt timers there, and the clock is the steady clock. Make it after the
// QCoreApplication and destroy it before; jobs still queued when it goes are dropped.

#include "Vantrel/async/Executor.h"

#include <memory>
#include <unordered_map>

class QObject;
class QTimer;

namespace vantrel {

class QtExecutor final : public Executor {
public:
    QtExecutor();
    ~QtExecutor() override;
    QtExecutor(const QtExecutor&) = delete;
    QtExecutor& operator=(const QtExecutor&) = delete;

    void post(Job job) override;
    TimerId startTimer(std::chrono::nanoseconds delay, Job job) override;
    void cancelTimer(TimerId id) override;
    TimePoint now() const override;

private:
    std::unique_ptr<QObject> m_context;
    std::unordered_map<TimerId, QTimer*> m_timers;
    TimerId m_nextTimer = 1;
};

} // namespace vantrel
