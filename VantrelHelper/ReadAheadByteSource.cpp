#include "VantrelHelper/ReadAheadByteSource.h"

#include <pthread.h>
#include <utility>

namespace vantrel {

ReadAheadByteSource::ReadAheadByteSource(ByteSource& inner) : m_inner(inner) {}

ReadAheadByteSource::~ReadAheadByteSource() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void ReadAheadByteSource::waitIdle(std::unique_lock<std::mutex>& lock) {
    m_changed.wait(lock, [this] { return m_state != State::queued && m_state != State::reading; });
}

std::uint64_t ReadAheadByteSource::currentLength() {
    std::unique_lock lock(m_mutex);
    waitIdle(lock);
    return m_inner.currentLength();
}

void ReadAheadByteSource::readInto(std::uint64_t offset, std::int64_t count, Bytes& out) {
    std::unique_lock lock(m_mutex);
    const bool announced = m_state != State::none && m_offset == offset && m_count == count;
    if (announced && m_state == State::queued) {
        // The thread has not begun it (the processors are busy elsewhere): the caller reads it at once
        // rather than wait for the thread to be scheduled.
        m_state = State::none;
        lock.unlock();
        m_inner.readInto(offset, count, out);
        return;
    }
    if (m_state == State::queued) {
        // Another read while the thread has not begun the announced one: this one first, the announced one
        // held back meanwhile so that the source never serves two reads at once.
        m_state = State::held;
        lock.unlock();
        struct Requeue {
            ReadAheadByteSource& source;
            ~Requeue() {
                {
                    std::lock_guard relock(source.m_mutex);
                    source.m_state = State::queued;
                }
                source.m_changed.notify_all();
            }
        } requeue{*this};
        m_inner.readInto(offset, count, out);
        return;
    }
    waitIdle(lock);
    if (announced && m_state == State::done) {
        m_state = State::none;
        if (m_failure) {
            out.clear();
            std::rethrow_exception(std::exchange(m_failure, nullptr));
        }
        out.swap(m_buffer);
        return;
    }
    // Any other read goes to the source from here, after the read ahead, which stays for its own request;
    // the thread is idle until the next willRead, which only this caller makes.
    lock.unlock();
    m_inner.readInto(offset, count, out);
}

void ReadAheadByteSource::willRead(std::uint64_t offset, std::int64_t count) {
    {
        std::unique_lock lock(m_mutex);
        waitIdle(lock);
        m_offset = offset;
        m_count = count;
        m_failure = nullptr;
        m_state = State::queued;
        if (!m_thread.joinable()) {
            m_thread = std::thread([this] { run(); });
            ::pthread_setname_np(m_thread.native_handle(), "scan.readahead");
        }
    }
    m_changed.notify_all();
}

void ReadAheadByteSource::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || m_state == State::queued; });
        if (m_stopping) return;
        m_state = State::reading;
        const std::uint64_t offset = m_offset;
        const std::int64_t count = m_count;
        lock.unlock();
        std::exception_ptr failure;
        try {
            m_inner.readInto(offset, count, m_buffer);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        m_failure = failure;
        m_state = State::done;
        m_changed.notify_all();
    }
}

} // namespace vantrel
