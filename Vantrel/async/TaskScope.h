#pragma once
// The owner of the tasks that nobody awaits: the model's flows. spawn posts a task's first step to the
// executor; the scope keeps the frame until the task ends, and destroying the scope destroys every
// frame still suspended, without resuming any. That is how "a task that holds the model weakly does
// nothing once the model is gone" is kept: the model owns its scope, so its tasks go with it, and the
// replies, timers and decisions they waited for find nobody to resume.
//
// Main thread only. A task that ends with an exception is reported to the failure handler (by
// default an error line in the log) and does not stop the others.

#include "Vantrel/async/Task.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <unordered_set>

namespace vantrel {

class TaskScope final : private detail::TaskOwner {
public:
    using FailureHandler = std::function<void(std::exception_ptr)>;

    explicit TaskScope(std::shared_ptr<Executor> executor);
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

    // Runs the task from the executor's next turn on. Tasks spawned while the scope is being destroyed
    // are destroyed at once.
    void spawn(Task<void> task);

    // Tasks spawned and not yet ended.
    std::size_t activeCount() const { return m_state->tasks.size(); }
    const std::shared_ptr<Executor>& executor() const { return m_executor; }
    void setFailureHandler(FailureHandler handler) { m_failureHandler = std::move(handler); }

private:
    struct State {
        std::unordered_set<void*> tasks;  // frame addresses
        bool closing = false;
    };

    void taskFinished(std::coroutine_handle<> task, std::exception_ptr error) noexcept override;

    std::shared_ptr<Executor> m_executor;
    std::shared_ptr<State> m_state = std::make_shared<State>();
    FailureHandler m_failureHandler;
};

} // namespace vantrel
