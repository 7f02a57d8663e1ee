#pragma once
// Walks of the JPEGs at a window's sector starts made on other processors while the carve goes through the
// window: on a card of small pictures, their decoding is most of a scan's time. Threads of its own take the
// pictures of the window being carved in order, and then those of the window after it (over that window's
// bytes alone, as the one after is not read yet), so that they are ahead of the carve when it gets there. The
// carve takes a walk that is done and walks one not yet begun itself; where one it needs is under way it makes
// those not yet begun after it, and then that one too if it is still under way, rather than wait.
//
// The carve and the threads meet through atomics and futexes only, never a lock, and the carve never spins
// or yields: on a busy machine any thread may be kept off its processor for a time slice at any point, and a
// lock held there, or a yield, holds the carve (and with it the whole scan) for as long.

#include "recovery/carving/JPEGWalkAhead.h"

#include <atomic>
#include <cstdint>
#include <memory>
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
    void nextDropped() override;

private:
    enum class State : std::uint8_t { waiting, running, done, takenByCarve };
    struct Entry {
        std::uint64_t offset = 0;
        std::atomic<State> state{State::waiting};
        std::optional<JPEGScanWalk::Walk> walk;  // written before state becomes done
    };
    // The pictures of one window and the bytes they are walked over.
    struct Batch {
        // Written by the carve only while the batch is closed and no thread is busy in it, and read by a
        // thread only while it counts itself busy in it and has seen it open.
        JPEGWalkAhead::Windows windows;
        std::unique_ptr<Entry[]> entries;
        std::size_t capacity = 0;
        std::size_t count = 0;

        std::atomic<std::size_t> nextEntry{0};
        std::atomic<bool> open{false};
        std::atomic<std::uint32_t> busy{0};
    };

    void work();
    // Makes the next walk not yet begun of the window carved, or else of the one after it; false when
    // neither has one left.
    bool walkNext();
    // Makes the batch's next walk not yet begun, taken in order; false when none is left or it is closed.
    bool walkNextOf(Batch& batch);
    // Opens the batch for the pictures at the sector starts of windows' current window.
    void open(Batch& batch, const JPEGWalkAhead::Windows& windows);
    // Closes the batch and returns once no thread reads its bytes.
    static void close(Batch& batch);

    Batch m_batches[2];
    std::atomic<Batch*> m_carved{&m_batches[0]};  // the window being carved; the other batch is the one after
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint32_t> m_windowsBegun{0};  // what the threads sleep on when they have nothing to walk
    std::vector<std::thread> m_threads;
};

} // namespace vantrel
