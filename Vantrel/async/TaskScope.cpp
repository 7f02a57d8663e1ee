#include "Vantrel/async/TaskScope.h"

#include "support/log/AppLog.h"

#include <string>
#include <vector>

namespace vantrel {

namespace {

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& caught) {
        return caught.what();
    } catch (...) {
        return "unknown exception";
    }
}

} // namespace

TaskScope::TaskScope(std::shared_ptr<Executor> executor) : m_executor(std::move(executor)) {}

TaskScope::~TaskScope() {
    m_state->closing = true;
    // Destroying a frame runs the destructors of its locals, which may end other tasks of this scope
    // or spawn new ones (destroyed at once); take the set out first.
    while (!m_state->tasks.empty()) {
        std::vector<void*> frames(m_state->tasks.begin(), m_state->tasks.end());
        m_state->tasks.clear();
        for (void* frame : frames) std::coroutine_handle<>::from_address(frame).destroy();
    }
}

void TaskScope::spawn(Task<void> task) {
    auto handle = task.release();
    if (!handle) return;
    if (m_state->closing) {
        handle.destroy();
        return;
    }
    handle.promise().executor = m_executor;
    handle.promise().owner = this;
    m_state->tasks.insert(handle.address());
    std::weak_ptr<State> state = m_state;
    m_executor->post([state, frame = handle.address()] {
        const auto alive = state.lock();
        // The scope may be gone, or may have destroyed the frame, before this turn.
        if (!alive || alive->closing || !alive->tasks.contains(frame)) return;
        std::coroutine_handle<>::from_address(frame).resume();
    });
}

void TaskScope::taskFinished(std::coroutine_handle<> task, std::exception_ptr error) noexcept {
    if (m_state->tasks.erase(task.address()) == 0) return;  // the destructor already owns it
    task.destroy();
    if (!error) return;
    try {
        if (m_failureHandler)
            m_failureHandler(error);
        else
            AppLog::error("Task ended with an error: " + describe(error), "app");
    } catch (...) {
        // A failing failure handler must not take the executor down.
    }
}

} // namespace vantrel
