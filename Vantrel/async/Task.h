#pragma once
// Task<T>: a lazy coroutine of the application's main thread. It does nothing until it is awaited
// by another task (then it runs at once, inside the awaiting step, and resumes its awaiter when it
// ends) or handed to a TaskScope (then its first step is posted to the executor). A task inherits
// the executor of the task that awaits it; the awaitables of Awaitables.h and DecisionWait.h take
// their executor from there.
//
// Rules for writers of tasks (g++ 12):
// - Coroutines take their arguments by value: a reference argument dangles after the first wait.
// - Never make a capturing lambda a coroutine (the captures live in the lambda, not in the frame).
// - Write co_await as a plain statement: `auto x = co_await f();`, not inside a condition or a
//   larger expression.
// - Never write a lambda expression inside a co_await expression: g++ 12 destroys such a closure
//   twice. Name it first (`auto start = [..](..) {..}; co_await fromCallback<T>(start);`).
// - Never hold a lock across a co_await.
// Destroying a Task destroys its frame, and with it every task it awaits: nothing it waits for
// resumes it afterwards (the awaitables disconnect themselves in their destructors).

#include "Vantrel/async/Executor.h"

#include <cassert>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

namespace vantrel {

template <typename T = void>
class Task;

namespace detail {

// Told when a task that nobody awaits has ended (TaskScope).
class TaskOwner {
public:
    virtual void taskFinished(std::coroutine_handle<> task, std::exception_ptr error) noexcept = 0;

protected:
    ~TaskOwner() = default;
};

struct TaskPromiseBase {
    std::shared_ptr<Executor> executor;
    std::coroutine_handle<> continuation;  // the awaiting task; none for a task a scope runs
    TaskOwner* owner = nullptr;            // the scope that runs it; none for an awaited task
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <typename Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
            TaskPromiseBase& promise = self.promise();
            if (promise.continuation) return promise.continuation;
            if (promise.owner) promise.owner->taskFinished(self, promise.error);  // may destroy the frame
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T>
struct TaskPromise : TaskPromiseBase {
    std::optional<T> value;
    void return_value(T result) { value.emplace(std::move(result)); }
    T take() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <>
struct TaskPromise<void> : TaskPromiseBase {
    void return_void() noexcept {}
    void take() {
        if (error) std::rethrow_exception(error);
    }
};

// The executor of the task that is suspending: what every awaitable schedules its resumption on.
template <typename Promise>
std::shared_ptr<Executor> executorOf(std::coroutine_handle<Promise> task) {
    static_assert(std::is_base_of_v<TaskPromiseBase, Promise>, "awaited outside a Task");
    return task.promise().executor;
}

} // namespace detail

template <typename T>
class [[nodiscard]] Task {
public:
    struct promise_type : detail::TaskPromise<T> {
        Task get_return_object() noexcept { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    Task(Task&& other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    bool valid() const noexcept { return static_cast<bool>(m_handle); }

    struct Awaiter {
        Handle task;
        bool await_ready() const noexcept { return false; }
        template <typename Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> awaiting) noexcept {
            task.promise().executor = detail::executorOf(awaiting);
            task.promise().continuation = awaiting;
            return task;
        }
        T await_resume() { return task.promise().take(); }
    };
    // Runs the task inside the awaiting task's step; the awaiter resumes when the task ends.
    Awaiter operator co_await() && noexcept {
        assert(m_handle && "awaiting an empty Task");
        return Awaiter{m_handle};
    }

    // Hands the frame over (to a TaskScope or a race); the Task is empty afterwards.
    Handle release() noexcept { return std::exchange(m_handle, {}); }

private:
    explicit Task(Handle handle) noexcept : m_handle(handle) {}
    void reset() noexcept {
        if (m_handle) std::exchange(m_handle, {}).destroy();
    }

    Handle m_handle;
};

} // namespace vantrel
