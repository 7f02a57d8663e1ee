#include "VantrelHelper/ParallelJPEGWalks.h"

#include "recovery/carving/SignatureCarver.h"

#include <algorithm>
#include <climits>

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vantrel {

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free && sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "a futex waits on the atomic's own word");

// Sleeps while word holds value (or until woken; callers look again). Unlike std::atomic::wait, which spins
// and then yields the processor a few times first, and on a busy machine a yield can keep the caller off it
// for a time slice.
void sleepWhile(std::atomic<std::uint32_t>& word, std::uint32_t value) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void wake(std::atomic<std::uint32_t>& word, int count) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

void wakeAll(std::atomic<std::uint32_t>& word) { wake(word, INT_MAX); }

bool sameWindow(const JPEGWalkAhead::Windows& a, const JPEGWalkAhead::Windows& b) {
    return a.currentOffset == b.currentOffset && a.current.data() == b.current.data() && a.current.size() == b.current.size();
}

} // namespace

unsigned ParallelJPEGWalks::threadsFor(unsigned processors) { return std::min(processors > 1 ? processors - 1 : 0, maxThreads); }

ParallelJPEGWalks::ParallelJPEGWalks(unsigned threads) {
    m_threads.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        m_threads.emplace_back([this] { work(); });
        // Named apart from the scan's own thread, whose name they would otherwise carry, for profiles.
        ::pthread_setname_np(m_threads.back().native_handle(), "scan.walk");
        // Their share of the processors stays as it is, but woken for a window they do not take the processor
        // from the carve that woke them. Where the policy cannot be had they run as they are.
        const sched_param batch{};
        ::pthread_setschedparam(m_threads.back().native_handle(), SCHED_BATCH, &batch);
    }
}

ParallelJPEGWalks::~ParallelJPEGWalks() {
    for (Batch& batch : m_batches) close(batch);
    m_stopping = true;
    ++m_windowsBegun;
    wakeAll(m_windowsBegun);
    for (auto& thread : m_threads) thread.join();
}

void ParallelJPEGWalks::open(Batch& batch, const JPEGWalkAhead::Windows& windows) {
    const auto starts = JPEGWalkAhead::pictureStarts(windows, SignatureCarver::fileStartAlignmentBytes);
    if (starts.size() > batch.capacity) {
        batch.capacity = std::max(starts.size(), 2 * batch.capacity);
        batch.entries = std::make_unique<Entry[]>(batch.capacity);
    }
    for (std::size_t i = 0; i < starts.size(); ++i) {
        batch.entries[i].offset = starts[i];
        batch.entries[i].walk.reset();
        batch.entries[i].state.store(State::waiting, std::memory_order_relaxed);
    }
    batch.count = starts.size();
    batch.windows = windows;
    batch.nextEntry = 0;
    batch.open = batch.count > 0;
}

void ParallelJPEGWalks::close(Batch& batch) {
    // A thread counts itself busy before it looks whether the batch is open, and the carve closes it before it
    // looks at the count (both sequentially consistent): a thread not waited for here has not seen it open,
    // and reads none of its bytes. The thread that ends the count wakes the carve when it sees it closed.
    batch.open = false;
    for (std::uint32_t busy = batch.busy.load(); busy != 0; busy = batch.busy.load()) sleepWhile(batch.busy, busy);
}

void ParallelJPEGWalks::windowBegins(const JPEGWalkAhead::Windows& windows) {
    if (m_threads.empty()) return;
    Batch* carved = m_carved.load();
    Batch* following = carved == &m_batches[0] ? &m_batches[1] : &m_batches[0];
    // The window walked ahead is the one carved now when its bytes are where they were: its walks go on.
    // Otherwise its walks are of no use, and the window is opened afresh.
    if (following->count > 0 && sameWindow(following->windows, windows)) {
        std::swap(carved, following);
    } else {
        close(*following);
        following->count = 0;
        open(*carved, windows);
    }
    // The batch of the window before (closed by windowEnds) takes the window after this one, over its bytes
    // alone; a picture that runs past them is walked by the carve, when it gets there.
    if (!windows.next.empty()) open(*following, {windows.next, windows.nextOffset, {}, 0});
    m_carved = carved;
    ++m_windowsBegun;
    // One thread is woken here and it wakes the others: each thread woken costs the waker time, and the
    // carve's time is the scan's.
    wake(m_windowsBegun, 1);
}

std::optional<JPEGScanWalk::Walk> ParallelJPEGWalks::walked(std::uint64_t offset) {
    Batch& batch = *m_carved.load();
    Entry* const end = batch.entries.get() + batch.count;
    Entry* const found = std::lower_bound(batch.entries.get(), end, offset, [](const Entry& entry, std::uint64_t at) { return entry.offset < at; });
    if (found == end || found->offset != offset) return std::nullopt;
    State state = State::waiting;
    if (found->state.compare_exchange_strong(state, State::takenByCarve)) return std::nullopt;
    // The walk is under way on a thread that may not be running: rather than wait for it, the carve makes
    // the walks not yet begun of this window, which it needs next, and then, if it is still under way, makes
    // this one as well. On a busy machine the thread may be kept off its processor for a time slice; when it
    // runs on, the carve would have waited about as long as its own walk takes.
    while (state == State::running && walkNextOf(batch)) state = found->state.load(std::memory_order_acquire);
    return state == State::done ? found->walk : std::nullopt;
}

void ParallelJPEGWalks::windowEnds() {
    if (m_threads.empty()) return;
    Batch& carved = *m_carved.load();
    close(carved);
    carved.count = 0;
}

void ParallelJPEGWalks::nextDropped() {
    if (m_threads.empty()) return;
    Batch* carved = m_carved.load();
    Batch& following = carved == &m_batches[0] ? m_batches[1] : m_batches[0];
    close(following);
    following.count = 0;
}

bool ParallelJPEGWalks::walkNextOf(Batch& batch) {
    ++batch.busy;
    bool walked = false;
    if (batch.open) {
        for (std::size_t i = batch.nextEntry.fetch_add(1); i < batch.count && batch.open.load(); i = batch.nextEntry.fetch_add(1)) {
            Entry& entry = batch.entries[i];
            State state = State::waiting;
            if (!entry.state.compare_exchange_strong(state, State::running)) continue;
            try {
                // A walk stops soon once its batch is closed (the carve waits for it).
                entry.walk = JPEGWalkAhead::walk(batch.windows, entry.offset, [&batch] { return !batch.open.load(std::memory_order_relaxed); });
            } catch (...) {
                entry.walk.reset();  // the carve walks it itself
            }
            entry.state.store(State::done, std::memory_order_release);
            walked = true;
            break;
        }
    }
    if (--batch.busy == 0 && !batch.open) wakeAll(batch.busy);
    return walked;
}

bool ParallelJPEGWalks::walkNext() {
    Batch* const carved = m_carved.load();
    Batch* const following = carved == &m_batches[0] ? &m_batches[1] : &m_batches[0];
    return walkNextOf(*carved) || walkNextOf(*following);
}

void ParallelJPEGWalks::work() {
    for (;;) {
        const std::uint32_t begun = m_windowsBegun.load();
        if (m_stopping) return;
        if (walkNext()) {
            // Woken for a window, this thread wakes the others.
            wakeAll(m_windowsBegun);
            while (walkNext()) {
            }
        }
        sleepWhile(m_windowsBegun, begun);
    }
}

} // namespace vantrel
