#pragma once
// Walks of the JPEGs at a window's sector starts made on other processors while the carve goes through the
// window: on a card of small pictures, their decoding is most of a scan's time. Threads of its own wait for
// each window the carve begins and take its pictures in order; the carve takes a walk that is done, waits for
// one begun, and walks one not yet begun itself.

#include "recovery/carving/JPEGWalkAhead.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {

class ParallelJPEGWalks final : public JPEGWalkAhead::Provider {
public:
    // The threads a scan is given: one fewer than the processors, at most maxThreads; none on one processor.
    static constexpr unsigned maxThreads = 6;
    static unsigned threadsFor(unsigned processors);

    explicit ParallelJPEGWalks(unsigned threads);
    ~ParallelJPEGWalks() override;
    ParallelJPEGWalks(const ParallelJPEGWalks&) = delete;
    ParallelJPEGWalks& operator=(const ParallelJPEGWalks&) = delete;

    void windowBegins(const JPEGWalkAhead::Windows& windows) override;
    std::optional<JPEGScanWalk::Walk> walked(std::uint64_t offset) override;
    void windowEnds() override;

private:
    enum class State : std::uint8_t { waiting, running, done, takenByCarve };
    struct Entry {
        std::uint64_t offset = 0;
        std::atomic<State> state{State::waiting};
        std::optional<JPEGScanWalk::Walk> walk;  // written before state becomes done
    };

    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;      // a window begins, or the threads are to stop
    std::condition_variable m_finished;  // the last busy thread is done with the window
    JPEGWalkAhead::Windows m_windows;
    std::unique_ptr<Entry[]> m_entries;
    std::size_t m_capacity = 0;
    std::size_t m_count = 0;
    std::atomic<std::size_t> m_nextEntry{0};
    std::atomic<bool> m_open{false};  // a window's bytes may be read
    unsigned m_busy = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace vantrel
