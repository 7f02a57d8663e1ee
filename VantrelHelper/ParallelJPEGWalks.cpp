#include "VantrelHelper/ParallelJPEGWalks.h"

#include "recovery/carving/SignatureCarver.h"

#include <algorithm>

#include <pthread.h>

namespace vantrel {

unsigned ParallelJPEGWalks::threadsFor(unsigned processors) { return std::min(processors > 1 ? processors - 1 : 0, maxThreads); }

ParallelJPEGWalks::ParallelJPEGWalks(unsigned threads) {
    m_threads.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        m_threads.emplace_back([this] { work(); });
        // Named apart from the scan's own thread, whose name they would otherwise carry, for profiles.
        ::pthread_setname_np(m_threads.back().native_handle(), "scan.walk");
    }
}

ParallelJPEGWalks::~ParallelJPEGWalks() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_open = false;
    }
    m_wake.notify_all();
    for (auto& thread : m_threads) thread.join();
}

void ParallelJPEGWalks::windowBegins(const JPEGWalkAhead::Windows& windows) {
    if (m_threads.empty()) return;
    // Found outside the lock; no thread is busy between two windows.
    const auto starts = JPEGWalkAhead::pictureStarts(windows, SignatureCarver::fileStartAlignmentBytes);
    {
        std::lock_guard lock(m_mutex);
        if (starts.size() > m_capacity) {
            m_capacity = std::max(starts.size(), 2 * m_capacity);
            m_entries = std::make_unique<Entry[]>(m_capacity);
        }
        for (std::size_t i = 0; i < starts.size(); ++i) {
            m_entries[i].offset = starts[i];
            m_entries[i].walk.reset();
            m_entries[i].state.store(State::waiting, std::memory_order_relaxed);
        }
        m_count = starts.size();
        m_windows = windows;
        m_nextEntry = 0;
        m_open = m_count > 0;
    }
    if (m_count > 0) m_wake.notify_all();
}

std::optional<JPEGScanWalk::Walk> ParallelJPEGWalks::walked(std::uint64_t offset) {
    Entry* const end = m_entries.get() + m_count;
    Entry* const found = std::lower_bound(m_entries.get(), end, offset, [](const Entry& entry, std::uint64_t at) { return entry.offset < at; });
    if (found == end || found->offset != offset) return std::nullopt;
    State state = State::waiting;
    if (found->state.compare_exchange_strong(state, State::takenByCarve)) return std::nullopt;
    while (state == State::running) {
        found->state.wait(State::running, std::memory_order_acquire);
        state = found->state.load(std::memory_order_acquire);
    }
    return state == State::done ? found->walk : std::nullopt;
}

void ParallelJPEGWalks::windowEnds() {
    if (m_threads.empty()) return;
    std::unique_lock lock(m_mutex);
    m_open = false;
    m_finished.wait(lock, [&] { return m_busy == 0; });
    m_count = 0;
}

void ParallelJPEGWalks::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stopping || (m_open && m_nextEntry.load() < m_count); });
        if (m_stopping) return;
        ++m_busy;
        const std::size_t count = m_count;
        const JPEGWalkAhead::Windows windows = m_windows;
        lock.unlock();
        // Pictures are taken in order, ahead of the carve, until the window ends.
        for (std::size_t i = m_nextEntry.fetch_add(1); i < count && m_open.load(); i = m_nextEntry.fetch_add(1)) {
            Entry& entry = m_entries[i];
            State state = State::waiting;
            if (!entry.state.compare_exchange_strong(state, State::running)) continue;
            try {
                // A walk stops soon once the window ends (the carve waits for it).
                entry.walk = JPEGWalkAhead::walk(windows, entry.offset, [this] { return !m_open.load(std::memory_order_relaxed); });
            } catch (...) {
                entry.walk.reset();  // the carve walks it itself
            }
            entry.state.store(State::done, std::memory_order_release);
            entry.state.notify_all();
        }
        lock.lock();
        if (--m_busy == 0) m_finished.notify_all();
    }
}

} // namespace vantrel
