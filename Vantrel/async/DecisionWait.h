#pragma once
// A slot for one task that waits for a user's decision (a dialog's answer). It holds at most one
// waiter: a new wait first resumes the waiter it replaces with the cancel value, and destroying the
// slot does the same, so no flow waits for ever on a dialog that was replaced or forgotten. Main
// thread only; the waiter is always resumed through its executor, never inside resolve.

#include "Vantrel/async/Resumption.h"
#include "Vantrel/async/Task.h"

#include <memory>
#include <utility>

namespace vantrel {

template <typename Decision>
class DecisionWait {
public:
    explicit DecisionWait(Decision cancelValue) : m_cancel(std::move(cancelValue)) {}
    ~DecisionWait() { resolve(m_cancel); }
    DecisionWait(const DecisionWait&) = delete;
    DecisionWait& operator=(const DecisionWait&) = delete;

    class [[nodiscard]] Awaitable {
    public:
        explicit Awaitable(DecisionWait& slot) : m_slot(&slot) {}
        Awaitable(Awaitable&&) noexcept = default;
        Awaitable& operator=(Awaitable&&) = delete;
        ~Awaitable() {
            if (m_link) m_link->abandon();
        }
        bool await_ready() const noexcept { return false; }
        template <typename Promise>
        void await_suspend(std::coroutine_handle<Promise> task) {
            m_link = std::make_shared<detail::Resumption<Decision>>(detail::executorOf(task), task);
            m_slot->replaceWaiter(m_link);
        }
        Decision await_resume() { return m_link->take(); }

    private:
        DecisionWait* m_slot;
        std::shared_ptr<detail::Resumption<Decision>> m_link;
    };

    // Suspends the task until resolve, a newer wait or the slot's end.
    Awaitable wait() { return Awaitable(*this); }

    // Resumes the waiter, if any, with the decision; false when nobody waits.
    bool resolve(Decision decision) {
        const auto waiter = std::exchange(m_waiter, {});
        return waiter && waiter->resolve(std::move(decision));
    }

    // A task waits and has not been answered yet.
    bool isPending() const { return m_waiter && m_waiter->waiting(); }

private:
    void replaceWaiter(std::shared_ptr<detail::Resumption<Decision>> link) {
        if (auto previous = std::exchange(m_waiter, std::move(link))) previous->resolve(m_cancel);
    }

    Decision m_cancel;
    std::shared_ptr<detail::Resumption<Decision>> m_waiter;
};

} // namespace vantrel
