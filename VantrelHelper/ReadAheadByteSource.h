#pragma once
// A byte source that reads ahead: the read a caller announces through willRead (the carver's next window)
// is made on a thread of this source while the caller works on what it has, and handed over without a copy
// when the caller asks for it. The device sees the same reads as without it, one at a time; an announced
// read may come before other reads that the caller makes before asking for it.

#include "recovery/bytesource/ByteSource.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace vantrel {

// The inner source is only ever used by one thread at a time: every call on it, from the caller's thread or
// the read-ahead thread, waits until a read ahead in progress has finished. One read is ahead at most.
// A read ahead gives the bytes or the failure the same read would have given when asked for (the failure is
// thrown then, from the caller's readInto); one that is not asked for before the next willRead is dropped,
// and one that is asked for before the thread has begun it is read by the caller. The source is used by one
// caller thread at a time, as any byte source.
class ReadAheadByteSource final : public ByteSource {
public:
    explicit ReadAheadByteSource(ByteSource& inner);
    // Waits for a read in progress (a read cannot be broken off) and ends the thread.
    ~ReadAheadByteSource() override;
    ReadAheadByteSource(const ReadAheadByteSource&) = delete;
    ReadAheadByteSource& operator=(const ReadAheadByteSource&) = delete;

    std::uint64_t length() const override { return m_inner.length(); }
    std::uint64_t blockSize() const override { return m_inner.blockSize(); }
    std::uint64_t currentLength() override;
    // The announced read is handed over by swapping buffers: out takes the bytes read ahead, and its own
    // storage is what the next read ahead fills.
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override;
    // Starts reading (offset, count) on the thread; replaces a read ahead that was not asked for.
    void willRead(std::uint64_t offset, std::int64_t count) override;

private:
    // none: nothing announced; queued: announced, for the thread to read; held: announced, kept from the
    // thread while the caller reads something else; reading; done: read, to be asked for.
    enum class State { none, queued, held, reading, done };

    void run();
    // Waits until no read ahead is queued or in progress; the lock is held on return.
    void waitIdle(std::unique_lock<std::mutex>& lock);

    ByteSource& m_inner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    State m_state = State::none;
    bool m_stopping = false;
    std::uint64_t m_offset = 0;
    std::int64_t m_count = 0;
    Bytes m_buffer;                   // the thread's alone while reading, the caller's otherwise
    std::exception_ptr m_failure;     // of the read ahead, when it failed
    std::thread m_thread;             // started by the first willRead
};

} // namespace vantrel
