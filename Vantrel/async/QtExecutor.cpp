#include "Vantrel/async/QtExecutor.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

namespace vantrel {

QtExecutor::QtExecutor() : m_context(std::make_unique<QObject>()) {}

QtExecutor::~QtExecutor() {
    // The timers are children of the context and go with it.
    m_timers.clear();
}

void QtExecutor::post(Job job) {
    // A queued call to an object of the main thread is delivered there, in posting order, from any thread.
    QMetaObject::invokeMethod(m_context.get(), [job = std::move(job)] { job(); }, Qt::QueuedConnection);
}

Executor::TimerId QtExecutor::startTimer(std::chrono::nanoseconds delay, Job job) {
    const TimerId id = m_nextTimer++;
    auto* timer = new QTimer(m_context.get());
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, m_context.get(), [this, id, timer, job = std::move(job)] {
        m_timers.erase(id);
        timer->deleteLater();
        job();
    });
    m_timers.emplace(id, timer);
    // Round up, so a timer never fires before its delay.
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(std::max(delay, std::chrono::nanoseconds{0}));
    timer->start(milliseconds);
    return id;
}

void QtExecutor::cancelTimer(TimerId id) {
    const auto found = m_timers.find(id);
    if (found == m_timers.end()) return;
    found->second->stop();
    found->second->deleteLater();
    m_timers.erase(found);
}

Executor::TimePoint QtExecutor::now() const {
    return std::chrono::steady_clock::now();
}

} // namespace vantrel
