#pragma once
// The one-shot link between a suspended task and whatever will wake it: a reply from another thread,
// a timer, a user's decision. The first outcome wins and later ones are ignored; the waiting task is
// always resumed through its executor, never inside the call that delivers the outcome. When the
// waiting task's frame goes away first, its awaiter abandons the link and nothing is resumed.

#include "Vantrel/async/Executor.h"

#include <coroutine>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <variant>

namespace vantrel {

// The value of an outcome that carries none.
struct Unit {
    friend bool operator==(Unit, Unit) = default;
};

namespace detail {

template <typename T>
class Resumption : public std::enable_shared_from_this<Resumption<T>> {
public:
    Resumption(std::weak_ptr<Executor> executor, std::coroutine_handle<> waiter)
        : m_executor(std::move(executor)), m_waiter(waiter) {}

    // True when this outcome is the first; the waiter is then resumed on its executor.
    bool resolve(T value) { return settle(Outcome(std::in_place_index<1>, std::move(value))); }
    bool fail(std::exception_ptr error) { return settle(Outcome(std::in_place_index<2>, std::move(error))); }

    // The waiter is gone: no outcome resumes anything any more.
    void abandon() {
        std::lock_guard lock(m_mutex);
        m_abandoned = true;
    }

    bool settled() const {
        std::lock_guard lock(m_mutex);
        return m_outcome.index() != 0;
    }

    // Neither settled nor abandoned: an outcome would still resume the waiter.
    bool waiting() const {
        std::lock_guard lock(m_mutex);
        return !m_abandoned && m_outcome.index() == 0;
    }

    // The outcome, once resumed: the value, or the failure thrown.
    T take() {
        std::unique_lock lock(m_mutex);
        if (m_outcome.index() == 2) std::rethrow_exception(std::get<2>(m_outcome));
        return std::move(std::get<1>(m_outcome));
    }

private:
    using Outcome = std::variant<std::monostate, T, std::exception_ptr>;

    bool settle(Outcome outcome) {
        {
            std::lock_guard lock(m_mutex);
            if (m_abandoned || m_outcome.index() != 0) return false;
            m_outcome = std::move(outcome);
        }
        if (auto executor = m_executor.lock()) {
            executor->post([self = this->shared_from_this()] { self->resumeWaiter(); });
        }
        return true;
    }

    void resumeWaiter() {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard lock(m_mutex);
            if (m_abandoned || !m_waiter) return;
            waiter = std::exchange(m_waiter, {});
        }
        waiter.resume();
    }

    mutable std::mutex m_mutex;
    std::weak_ptr<Executor> m_executor;
    std::coroutine_handle<> m_waiter;
    bool m_abandoned = false;
    Outcome m_outcome;
};

} // namespace detail
} // namespace vantrel
