#pragma once
// What a task waits for besides other tasks:
//   auto start = [client](CallbackResumer<std::string> resume) {
//       client->ping([resume](std::string text) { resume(std::move(text)); });
//   };
//   auto answer = co_await fromCallback<std::string>(start);   // the lambda named: see Task.h
//   co_await sleepFor(std::chrono::milliseconds(400));
//   auto answer = co_await withTimeout(pingTask(client), secondsSpan(2.0));   // throws TaskTimedOut
// Every wait resumes its task through the task's executor, once, and disconnects itself when the
// task's frame is destroyed while it waits.

#include "Vantrel/async/Resumption.h"
#include "Vantrel/async/Task.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace vantrel {

// A time limit ran out before the awaited work ended.
class TaskTimedOut : public std::runtime_error {
public:
    TaskTimedOut() : std::runtime_error("the time limit ran out") {}
};

// Every copy of a CallbackResumer was destroyed without delivering an outcome (a reply that will
// never come); the waiting task gets this instead of waiting for ever.
class CallbackDropped : public std::runtime_error {
public:
    CallbackDropped() : std::runtime_error("the callback was dropped without an answer") {}
};

namespace detail {

template <typename T>
using ValueOf = std::conditional_t<std::is_void_v<T>, Unit, T>;

template <typename T>
class DropGuard {
public:
    explicit DropGuard(std::shared_ptr<Resumption<ValueOf<T>>> resumption) : link(std::move(resumption)) {}
    ~DropGuard() { link->fail(std::make_exception_ptr(CallbackDropped())); }
    DropGuard(const DropGuard&) = delete;
    DropGuard& operator=(const DropGuard&) = delete;
    std::shared_ptr<Resumption<ValueOf<T>>> link;
};

} // namespace detail

// The handle a callback-style call gets to wake the waiting task. Copyable and callable from any
// thread; the first value or failure wins, later calls return false and do nothing.
template <typename T>
class CallbackResumer {
public:
    explicit CallbackResumer(std::shared_ptr<detail::DropGuard<T>> guard) : m_guard(std::move(guard)) {}

    template <typename U = T>
        requires(!std::is_void_v<U>)
    bool operator()(U value) const {
        return m_guard->link->resolve(std::move(value));
    }
    template <typename U = T>
        requires std::is_void_v<U>
    bool operator()() const {
        return m_guard->link->resolve(Unit{});
    }
    bool fail(std::exception_ptr error) const { return m_guard->link->fail(std::move(error)); }
    template <typename Exception>
    bool fail(Exception error) const {
        return fail(std::make_exception_ptr(std::move(error)));
    }

private:
    std::shared_ptr<detail::DropGuard<T>> m_guard;
};

template <typename T>
class [[nodiscard]] CallbackAwaitable {
public:
    using Starter = std::function<void(CallbackResumer<T>)>;
    explicit CallbackAwaitable(Starter starter) : m_starter(std::move(starter)) {}
    CallbackAwaitable(CallbackAwaitable&&) noexcept = default;
    CallbackAwaitable& operator=(CallbackAwaitable&&) = delete;
    ~CallbackAwaitable() {
        if (m_link) m_link->abandon();
    }

    bool await_ready() const noexcept { return false; }
    template <typename Promise>
    void await_suspend(std::coroutine_handle<Promise> task) {
        m_link = std::make_shared<detail::Resumption<detail::ValueOf<T>>>(detail::executorOf(task), task);
        // This copy keeps the drop guard quiet until the starter has returned or thrown.
        CallbackResumer<T> resumer(std::make_shared<detail::DropGuard<T>>(m_link));
        try {
            m_starter(resumer);
        } catch (...) {
            // The start itself failed: the task resumes with that failure (posted like any outcome).
            resumer.fail(std::current_exception());
        }
    }
    T await_resume() {
        if constexpr (std::is_void_v<T>)
            m_link->take();
        else
            return m_link->take();
    }

private:
    Starter m_starter;
    std::shared_ptr<detail::Resumption<detail::ValueOf<T>>> m_link;
};

// Turns a call that answers through a callback (on any thread) into a wait. The starter runs inside
// the suspending step; whatever the resumer delivers is handed to the task on its executor.
template <typename T>
CallbackAwaitable<T> fromCallback(typename CallbackAwaitable<T>::Starter starter) {
    return CallbackAwaitable<T>(std::move(starter));
}

class [[nodiscard]] SleepAwaitable {
public:
    explicit SleepAwaitable(std::chrono::nanoseconds span) : m_span(span) {}
    SleepAwaitable(SleepAwaitable&&) noexcept = default;
    SleepAwaitable& operator=(SleepAwaitable&&) = delete;
    ~SleepAwaitable() { disconnect(); }

    bool await_ready() const noexcept { return false; }
    template <typename Promise>
    void await_suspend(std::coroutine_handle<Promise> task) {
        auto executor = detail::executorOf(task);
        m_executor = executor;
        m_link = std::make_shared<detail::Resumption<Unit>>(executor, task);
        m_timer = executor->startTimer(m_span, [link = m_link] { link->resolve(Unit{}); });
    }
    void await_resume() {
        m_link->take();
        m_link.reset();
    }

private:
    void disconnect() {
        if (!m_link) return;
        m_link->abandon();
        if (auto executor = m_executor.lock()) executor->cancelTimer(m_timer);
    }

    std::chrono::nanoseconds m_span;
    std::weak_ptr<Executor> m_executor;
    std::shared_ptr<detail::Resumption<Unit>> m_link;
    Executor::TimerId m_timer = 0;
};

// Resumes the task in a later turn of its executor, after the jobs posted before: a long piece of work
// on the main thread gives way between its slices.
inline CallbackAwaitable<void> nextTurn() {
    return fromCallback<void>([](CallbackResumer<void> resume) { resume(); });
}

// Resumes the task after span on its executor's clock.
inline SleepAwaitable sleepFor(std::chrono::nanoseconds span) {
    return SleepAwaitable(span);
}

namespace detail {

template <typename T>
Task<void> relayOutcome(Task<T> work, std::shared_ptr<Resumption<ValueOf<T>>> link) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(work);
            link->resolve(Unit{});
        } else {
            T value = co_await std::move(work);
            link->resolve(std::move(value));
        }
    } catch (...) {
        link->fail(std::current_exception());
    }
}

} // namespace detail

template <typename T>
class [[nodiscard]] TimeoutAwaitable {
public:
    using TimeoutError = std::function<std::exception_ptr()>;
    TimeoutAwaitable(Task<T> work, std::chrono::nanoseconds limit, TimeoutError onTimeout)
        : m_work(std::move(work)), m_limit(limit), m_onTimeout(std::move(onTimeout)) {}
    TimeoutAwaitable(TimeoutAwaitable&&) noexcept = default;
    TimeoutAwaitable& operator=(TimeoutAwaitable&&) = delete;
    ~TimeoutAwaitable() {
        if (m_link) m_link->abandon();
        if (auto executor = m_executor.lock(); executor && m_timer) executor->cancelTimer(m_timer);
        // Then m_relay goes: destroying it ends the work, whose own waits disconnect, so a late
        // answer resumes nothing.
    }

    bool await_ready() const noexcept { return false; }
    template <typename Promise>
    void await_suspend(std::coroutine_handle<Promise> task) {
        auto executor = detail::executorOf(task);
        m_executor = executor;
        m_link = std::make_shared<detail::Resumption<detail::ValueOf<T>>>(executor, task);
        m_timer = executor->startTimer(m_limit, [link = m_link, onTimeout = m_onTimeout] {
            link->fail(onTimeout ? onTimeout() : std::make_exception_ptr(TaskTimedOut()));
        });
        auto relay = detail::relayOutcome<T>(std::move(m_work), m_link).release();
        relay.promise().executor = executor;
        m_relay.handle = relay;
        // The work starts inside this step, as an awaited task would; its outcome is posted.
        relay.resume();
    }
    T await_resume() {
        if (auto executor = m_executor.lock(); executor && m_timer) executor->cancelTimer(m_timer);
        m_timer = 0;
        if constexpr (std::is_void_v<T>)
            m_link->take();
        else
            return m_link->take();
    }

private:
    // Owns the relay's frame, which stays suspended at its end until the race is destroyed.
    struct RelayFrame {
        std::coroutine_handle<> handle;
        RelayFrame() = default;
        RelayFrame(RelayFrame&& other) noexcept : handle(std::exchange(other.handle, {})) {}
        ~RelayFrame() {
            if (handle) handle.destroy();
        }
    };

    Task<T> m_work;
    std::chrono::nanoseconds m_limit;
    TimeoutError m_onTimeout;
    std::weak_ptr<Executor> m_executor;
    std::shared_ptr<detail::Resumption<detail::ValueOf<T>>> m_link;
    Executor::TimerId m_timer = 0;
    RelayFrame m_relay;
};

// Races the work against a timer: the first of its value, its failure and the time limit wins, once.
// When the limit wins, the task resumes with onTimeout's exception (TaskTimedOut when none is given)
// and the work is destroyed where it stands.
template <typename T>
TimeoutAwaitable<T> withTimeout(Task<T> work, std::chrono::nanoseconds limit,
                                typename TimeoutAwaitable<T>::TimeoutError onTimeout = {}) {
    return TimeoutAwaitable<T>(std::move(work), limit, std::move(onTimeout));
}

} // namespace vantrel
