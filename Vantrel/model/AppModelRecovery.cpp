// AppModel: recovery of the selected hits into a folder the user chose.
//
// Every destination is created by this program, exclusively and never through a link (so no file is
// ever replaced), under the hit's name made safe or the first free numbered variant of it, and handed
// to the helper as a descriptor; the helper writes the hit into it. Whatever the run does on the
// folder's file system is done on threads of its own (FolderWorker), so that the window never waits
// on it: the files are made there in the order of the hits, a few ahead of the run; the ones left
// unsettled are removed there; a hit whose whole bytes the cache holds is copied into its file there
// and flushed; and the batches are flushed there, beside the making of the next files. A few files
// are asked for ahead of the one the run waits for (extractionWindow), and their answers are taken in
// the order of the hits. A file whose
// copy or extraction failed or ran out of time is removed again, never left behind as if recovered;
// the first failure ends the run: no file is asked for after it, the ones asked already are taken as
// they come, except that after a time-out those not answered yet are left (they wait behind the one
// the helper is held up by) and their files removed. Each file's time limit counts from when it is the
// oldest one asked for. A file counts as recovered only after the helper's reply, this side's check of
// its length and the flush of its batch to the disk: the files the helper filled are flushed together
// (syncfs of their file system through a second descriptor kept here, and fdatasync of each when that
// fails) every flushBatchFiles files or flushBatchBytes bytes and at the end, while the run goes on; a
// file whose flush fails is removed and reported as not recovered, and ends the run. A run ends only
// once the files made ahead and not asked for, and those given back, are removed. A file shorter than
// its hit is reported, and its verdict is at most suspect. A folder this program may not write into is
// reported as such, not as blocked disk access.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/RecoveryFiles.h"

#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <fcntl.h>
#include <limits>
#include <thread>
#include <sys/utsname.h>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr std::string_view category = "recover";
constexpr std::int64_t recoveryTimedOutCode = 14;

QString tr(const char* text) { return QCoreApplication::translate("AppModel", text); }

ErrorObject recoveryTimedOut(double seconds) {
    return {std::string(VantrelError::domain), recoveryTimedOutCode,
            tr("Recovery timed out after %1s — the disk may be busy. Try again after the scan finishes.")
                .arg(static_cast<long long>(seconds))
                .toStdString(),
            std::nullopt};
}

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// Why a run stopped: an error of the destination folder, or of the cache copy or the helper.
struct RunFailure {
    ErrorObject error;
    bool destination = false;
};

// The files the helper filled are flushed together once this many wait, or this many bytes.
constexpr std::size_t flushBatchFiles = 128;
constexpr std::uint64_t flushBatchBytes = 256ull * 1024 * 1024;
// While a batch is flushed the next one fills, and the run waits for the flush only once this many
// files wait in the two together (each holds a descriptor until its batch is flushed), or a whole
// batch's bytes wait behind the flush. Under load a flush of the folder's file system can take longer
// than the helper takes to fill a batch of small files: the run then went on filling rather than
// leaving the helper without work for the rest of the flush.
constexpr std::size_t maxUnflushedFiles = 3 * flushBatchFiles;

// How long a look that found the scanned disk still at its path stands for the files asked for after
// it: far shorter than a card takes to be swapped, and than the files asked for ahead take to be read.
constexpr std::chrono::milliseconds sourceLookReuse{100};

constexpr std::size_t extractionWindow = AppModel::recoveryRequestsAhead;
constexpr std::size_t filesMadeAhead = AppModel::recoveryFilesMadeAhead;

// An outcome delivered once from any thread (the first wins) and looked at later on the main thread:
// taken at once when it has come, waited for otherwise.
template <typename T>
class Arrival {
public:
    void deliver(T value) {
        std::optional<CallbackResumer<T>> waiter;
        {
            std::lock_guard lock(m_mutex);
            if (m_value) return;
            m_value = std::move(value);
            if (!m_waiter) return;
            waiter = std::move(m_waiter);
            m_waiter.reset();
        }
        (*waiter)(*m_value);
    }
    std::optional<T> taken() const {
        std::lock_guard lock(m_mutex);
        return m_value;
    }
    void whenArrived(CallbackResumer<T> resume) {
        std::unique_lock lock(m_mutex);
        if (!m_value) {
            m_waiter = std::move(resume);
            return;
        }
        T value = *m_value;
        lock.unlock();
        resume(std::move(value));
    }

private:
    mutable std::mutex m_mutex;
    std::optional<T> m_value;
    std::optional<CallbackResumer<T>> m_waiter;
};

template <typename T>
Task<T> arrivalOf(std::shared_ptr<Arrival<T>> arrival) {
    if (auto value = arrival->taken()) co_return std::move(*value);
    auto start = [arrival](CallbackResumer<T> resume) { arrival->whenArrived(std::move(resume)); };
    auto value = co_await fromCallback<T>(start);
    co_return value;
}

using ExtractionOutcome = Arrival<std::optional<ErrorObject>>;
using FlushOutcome = Arrival<std::vector<int>>;

// Since Linux 5.8 syncfs answers a failed write back of any file of the file system since the
// descriptor was opened; before, it answers 0 whatever happened, and so tells nothing.
bool syncfsReportsFailedWrites() {
    static const bool reports = [] {
        utsname names{};
        if (::uname(&names) != 0) return false;
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(names.release, "%u.%u", &major, &minor) != 2) return false;
        return major > 5 || (major == 5 && minor >= 8);
    }();
    return reports;
}

int flushFileSystem(int fd, const std::function<int(int)>& flush) {
    if (flush) return flush(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
    if (!syncfsReportsFailedWrites()) return ENOTSUP;
    return ::syncfs(fd) == 0 ? 0 : errno;
}

int flushOne(int fd, const std::function<int(int)>& flush) {
    for (;;) {
        const int result = flush ? flush(fd) : ::fdatasync(fd);
        if (result == 0) return 0;
        if (errno != EINTR) return errno != 0 ? errno : EIO;
    }
}

// How a batch is flushed: the file system its files are on at once (one write of its journal rather
// than one for every file), and each file on its own only when that fails, to tell which of them did.
struct Flushes {
    std::function<int(int)> file;
    std::function<int(int)> fileSystem;
};

// A file the helper filled that waits for the flush of its batch.
struct Unflushed {
    std::size_t index = 0;  // of the hit among the chosen
    std::filesystem::path path;
    UniqueFd fd;  // a second descriptor of the file, kept for the flush
};

// A batch being flushed while the run goes on.
struct Flushing {
    std::vector<Unflushed> batch;
    std::shared_ptr<FlushOutcome> errors;  // the error number of each file (0: on the disk)
};

// The run's work on the folder's file system, done on threads of its own so that the window never
// waits on it: on a journalled file system being written back (and one that discards freed blocks at
// once), making or removing a file can wait tens of milliseconds for the journal or the device, and a
// flush far longer. One thread makes the run's files in the order of the hits and a few ahead of the
// run, removes the ones the run gives back (before anything else), and runs the copies from the cache
// in the order they are handed in; the next file is made ahead of those when the run has none left to
// take. The flushes of batches run in their order on a second thread, so that the files of the next
// batch are made while one is written to the disk (on the first thread, each flush held back every
// file after it, and the run ran dry of files while the disk wrote). Each name is chosen as if the files
// were made one after another here: the first free candidate when it is made, made exclusively
// (RecoveryFiles::createUnique). The first file the folder refuses is the last one made. Whatever was
// made and not taken is removed when the work stops. Without a thread, each piece of work is done where
// it is asked for.
class FolderWorker {
public:
    struct Made {
        RecoveryFiles::CreatedFile file;
        std::optional<ErrorObject> refused;  // the folder's error: nothing is made after it
    };

    // hits outlive the worker; ahead files at most are made and not yet taken.
    FolderWorker(std::string folder, const std::vector<RecoveredHit>& hits, std::size_t ahead, Flushes flushes)
        : m_state(std::make_shared<State>()), m_folder(std::move(folder)), m_hits(hits), m_ahead(ahead),
          m_flushes(std::move(flushes)) {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            m_state->ended = true;
        }
        try {
            if (m_thread.joinable()) m_flusher = std::thread([this] { flushInTurn(); });
        } catch (const std::system_error&) {
        }
    }
    FolderWorker(const FolderWorker&) = delete;
    FolderWorker& operator=(const FolderWorker&) = delete;
    // Waits for the thread, which first does what it was given and removes what it made that was not taken.
    ~FolderWorker() {
        stop();
        if (m_thread.joinable()) m_thread.join();
        if (m_flusher.joinable()) m_flusher.join();
    }

    // The file of the next hit in order (the caller takes no more than there are hits).
    Task<Made> next() {
        for (;;) {
            auto made = take();
            if (made) co_return std::move(*made);
            auto start = [state = m_state](CallbackResumer<void> resume) { state->whenReady(std::move(resume), false); };
            co_await fromCallback<void>(start);
        }
    }

    // Removes a file of the run.
    void remove(std::filesystem::path path) {
        {
            std::lock_guard lock(m_state->mutex);
            if (!m_state->ended) {
                m_state->removals.push_back(std::move(path));
                m_state->wake.notify_one();
                return;
            }
        }
        removeQuietly(path);
    }

    // Copies the first length bytes of a cached file into the file made for it, and flushes it.
    std::shared_ptr<ExtractionOutcome> copy(UniqueFd input, UniqueFd output, std::uint64_t length,
                                            std::filesystem::path source, std::filesystem::path destination) {
        auto outcome = std::make_shared<ExtractionOutcome>();
        auto files = std::make_shared<std::pair<UniqueFd, UniqueFd>>(std::move(input), std::move(output));
        submit([=] {
            try {
                RecoveryFiles::copyPrefix(files->first.get(), source, files->second.get(), length, destination);
                outcome->deliver(std::nullopt);
            } catch (const std::exception& error) {
                outcome->deliver(CallError::objectOf(error));
            }
            *files = {};
        });
        return outcome;
    }

    // Flushes a batch. The descriptors are closed once flushed. The batch's files are in one folder, and
    // the first was opened before the others were written, so the flush of the file system through it
    // answers for all of them.
    Flushing flush(std::vector<Unflushed> batch) {
        Flushing flushing{std::move(batch), std::make_shared<FlushOutcome>()};
        auto files = std::make_shared<std::vector<UniqueFd>>();
        for (auto& file : flushing.batch) files->push_back(std::move(file.fd));
        std::function<void()> job = [files, flushes = m_flushes, errors = flushing.errors] {
            if (!files->empty() && flushFileSystem(files->front().get(), flushes.fileSystem) == 0) {
                const auto count = files->size();
                files->clear();
                errors->deliver(std::vector<int>(count, 0));
                return;
            }
            std::vector<int> numbers;
            for (auto& fd : *files) {
                numbers.push_back(flushOne(fd.get(), flushes.file));
                fd.reset();
            }
            errors->deliver(std::move(numbers));
        };
        if (m_flusher.joinable()) {
            std::lock_guard lock(m_state->mutex);
            m_state->flushes.push_back(std::move(job));
            m_state->flushWake.notify_one();
        } else {
            submit(std::move(job));
        }
        return flushing;
    }

    // Makes nothing more; stopped() answers once what was given is done and the files made and not
    // taken are removed.
    void stop() {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
        m_state->wake.notify_one();
        m_state->flushWake.notify_one();
    }
    Task<void> stopped() {
        stop();
        auto start = [state = m_state](CallbackResumer<void> resume) { state->whenReady(std::move(resume), true); };
        co_await fromCallback<void>(start);
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Made> made;  // in order, not taken yet
        std::vector<std::filesystem::path> removals;
        std::deque<std::function<void()>> work;  // copies (and flushes without a flushing thread), in order
        std::condition_variable flushWake;
        std::deque<std::function<void()>> flushes;  // in order; each is done, also once stopping
        bool stopping = false;
        bool ended = false;  // the thread is done (or never ran): what comes is done where it is asked for
        std::optional<CallbackResumer<void>> waiter;

        // Resumes at once when a file is there (or the thread ended), else when there is.
        void whenReady(CallbackResumer<void> resume, bool forTheEnd) {
            {
                std::lock_guard lock(mutex);
                if (!ended && (forTheEnd || made.empty())) {
                    waiter = std::move(resume);
                    return;
                }
            }
            resume();
        }
        // With the lock held; the waiter is resumed once it is released.
        std::optional<CallbackResumer<void>> takeWaiter() { return std::exchange(waiter, std::nullopt); }
    };

    static Made make(const std::string& folder, const RecoveredHit& item) {
        Made made;
        try {
            // The name comes from a disk: it becomes a file name in the folder only once made safe.
            const std::string name = RecoveryFiles::safeFileName(
                item.suggestedName, "recovered." + std::string(FileKind::preferredExtension(item.kind)));
            made.file = RecoveryFiles::createUnique(folder, name);
        } catch (const std::exception& error) {
            made.refused = CallError::objectOf(error);
        }
        return made;
    }

    void submit(std::function<void()> job) {
        {
            std::lock_guard lock(m_state->mutex);
            if (!m_state->ended) {
                m_state->work.push_back(std::move(job));
                m_state->wake.notify_one();
                return;
            }
        }
        job();
    }

    std::optional<Made> take() {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->made.empty()) {
            Made made = std::move(m_state->made.front());
            m_state->made.pop_front();
            // Woken once half of those made ahead are taken, the thread makes them again in one go,
            // rather than one wake-up for every file taken.
            if (m_state->made.size() <= m_ahead / 2) m_state->wake.notify_one();
            return made;
        }
        if (m_state->ended) return make(m_folder, m_hits[m_taken++]);  // no thread to make it
        return std::nullopt;
    }

    void run() {
        State& state = *m_state;
        std::size_t index = 0;
        bool refused = false;
        const auto mayMake = [&] { return !state.stopping && !refused && index < m_hits.size() && state.made.size() < m_ahead; };
        std::unique_lock lock(state.mutex);
        for (;;) {
            state.wake.wait(lock, [&] { return state.stopping || !state.removals.empty() || !state.work.empty() || mayMake(); });
            if (!state.removals.empty()) {
                auto removals = std::exchange(state.removals, {});
                lock.unlock();
                for (const auto& path : removals) removeQuietly(path);
                lock.lock();
                continue;
            }
            // The run may be waiting for its next file: that is made before a copy (or a flush done here).
            if (!state.work.empty() && !(mayMake() && state.made.empty())) {
                runFirst(state.work, lock);
                continue;
            }
            if (!mayMake()) break;  // stopping, with nothing left to do
            lock.unlock();
            Made made = make(m_folder, m_hits[index++]);
            lock.lock();
            refused = made.refused.has_value();
            state.made.push_back(std::move(made));
            if (auto waiter = state.takeWaiter()) {
                lock.unlock();
                (*waiter)();
                lock.lock();
            }
        }
        auto left = std::exchange(state.made, {});
        lock.unlock();
        for (const auto& made : left)
            if (!made.refused) removeQuietly(made.file.path);
        lock.lock();
        // Given back while the last ones went.
        for (const auto& path : std::exchange(state.removals, {})) removeQuietly(path);
        state.ended = true;
        auto waiter = state.takeWaiter();
        lock.unlock();
        if (waiter) (*waiter)();
    }

    // The flushing thread: every flush handed in is done, the last ones after stop() too.
    void flushInTurn() {
        State& state = *m_state;
        std::unique_lock lock(state.mutex);
        for (;;) {
            state.flushWake.wait(lock, [&] { return state.stopping || !state.flushes.empty(); });
            if (state.flushes.empty()) return;
            runFirst(state.flushes, lock);
        }
    }

    // Takes the first job of a queue and does it with the lock released.
    static void runFirst(std::deque<std::function<void()>>& jobs, std::unique_lock<std::mutex>& lock) {
        auto job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
    }

    std::shared_ptr<State> m_state;
    std::string m_folder;
    const std::vector<RecoveredHit>& m_hits;
    std::size_t m_ahead;
    Flushes m_flushes;
    std::size_t m_taken = 0;  // made here, without a thread
    std::thread m_thread;
    std::thread m_flusher;  // only with m_thread
};

// A file this run made in the folder: removed again (by the worker) when the run leaves it unsettled (a
// failure, a time-out, the model going away while the helper still writes it), unless it was kept.
class MadeFile {
public:
    MadeFile() = default;
    MadeFile(std::filesystem::path path, FolderWorker& worker) : m_path(std::move(path)), m_worker(&worker) {}
    MadeFile(MadeFile&& other) noexcept : m_path(std::exchange(other.m_path, {})), m_worker(other.m_worker) {}
    MadeFile& operator=(MadeFile&& other) noexcept {
        if (this != &other) {
            remove();
            m_path = std::exchange(other.m_path, {});
            m_worker = other.m_worker;
        }
        return *this;
    }
    ~MadeFile() { remove(); }
    void keep() { m_path.clear(); }
    void remove() {
        if (!m_path.empty()) m_worker->remove(std::exchange(m_path, {}));
    }

private:
    std::filesystem::path m_path;
    FolderWorker* m_worker = nullptr;
};

// A file of the run on its way, in the order of the hits: made in the folder and copied from the cache,
// or asked of the helper, or refused.
struct Underway {
    std::size_t index = 0;  // of the hit among the chosen
    std::filesystem::path destination;
    MadeFile made;
    std::optional<ErrorObject> written;  // known at once: a refusal, a folder that refused the file
    bool destinationFailed = false;      // the folder refused it: the run's error names the folder
    std::shared_ptr<ExtractionOutcome> answer;  // the helper's, or the worker's for a copy from the cache
    bool fromCache = false;                     // copied (and flushed) by the worker, with no time limit
    UniqueFd kept;                              // a second descriptor of a file the helper fills, for its flush
};

// What the run has to show for itself so far.
struct RunTally {
    int saved = 0;
    std::vector<std::string> shortFiles;
    std::vector<std::string> uncheckedFiles;  // written, but not there to be read back and judged
    std::optional<RunFailure> failure;        // the first
    std::optional<std::size_t> failedIndex;

    void fail(RunFailure why, std::size_t index) {
        if (failure) return;
        failure = std::move(why);
        failedIndex = index;
    }
};

// Settles a flushed batch: each file whose flush succeeded counts as saved; one whose flush failed is
// removed, taken off the lists of names, and the first such failure ends the run.
void settleBatch(const std::vector<Unflushed>& batch, const std::vector<int>& errors, RunTally& tally, FolderWorker& worker) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto& file = batch[i];
        const int error = i < errors.size() ? errors[i] : EIO;
        if (error == 0) {
            ++tally.saved;
            continue;
        }
        AppLog::error("recover flush failed " + file.path.string() + ": errno " + std::to_string(error), category);
        worker.remove(file.path);
        const auto name = file.path.filename().string();
        std::erase(tally.shortFiles, name);
        std::erase(tally.uncheckedFiles, name);
        auto object = ErrorObject::posix(error, file.path.string());
        object.message = tr("%1 could not be written to the disk: %2")
                             .arg(QString::fromStdString(file.path.string()), QString::fromLocal8Bit(std::strerror(error)))
                             .toStdString();
        tally.fail(RunFailure{std::move(object), false}, file.index);
    }
}

} // namespace

std::filesystem::path AppModel::uniqueURL(const std::filesystem::path& folder, std::string_view name) {
    return RecoveryFiles::uniqueURL(folder, name);
}

void AppModel::recoverSelected(std::string folder) {
    // Only the disk the hits were found on, and only while it is attached: the offsets count from its start.
    const auto device = sourceDeviceToRead();
    if (!device) {
        setErrorMessage(m_selectedVolume ? sourceNotAttachedMessage() : tr("No volume selected."));
        return;
    }
    std::vector<RecoveredHit> chosen;
    for (const auto& hit : m_hits)
        if (m_selectedHitIDs.contains(hit.id)) chosen.push_back(hit);
    if (chosen.empty()) return;
    if (m_isRecovering) {
        setStatusMessage(tr("Recovery already in progress…"));
        return;
    }
    // Before the first file: a folder on the disk being read would overwrite the very files sought.
    if (const auto refusal = destinationRefusal(folder)) {
        AppLog::error("recoverSelected refused " + folder + ": " + refusal->toStdString(), category);
        setErrorMessage(*refusal);
        setStatusMessage(tr("Nothing was recovered."));
        return;
    }
    setIsRecovering(true);
    const auto count = static_cast<long long>(chosen.size());
    setStatusMessage(m_isScanning ? tr("Recovering %1 file(s) while scan pauses briefly…").arg(count)
                                  : tr("Recovering %1 file(s)…").arg(count));
    AppLog::info("recoverSelected count=" + std::to_string(count) + " scanning=" + (m_isScanning ? "true" : "false") +
                     " → " + folder,
                 category);
    tasks().spawn(recoverHits(std::move(chosen), std::move(folder), std::move(*device)));
}

Task<void> AppModel::recoverHits(std::vector<RecoveredHit> chosen, std::string folder, std::string devicePath) {
    const int count = static_cast<int>(chosen.size());
    RunTally tally;
    FolderWorker worker(folder, chosen, filesMadeAhead, Flushes{m_effects.flushFile, m_effects.flushFileSystem});
    std::deque<Underway> underway;  // made and asked for, in order, at most extractionWindow
    std::vector<Unflushed> filling;  // filled by the helper, waiting for a batch's flush
    std::uint64_t fillingBytes = 0;
    std::optional<Flushing> flushing;  // at most one batch at a time
    std::size_t next = 0;
    bool asking = true;  // new files are made and asked for until the run fails
    // An extraction ran out of time: the helper is held up by it, and those asked after it wait behind it.
    bool helperHeldUp = false;
    // When the disk at devicePath was last found to be the scanned one. Looking at a disk (its node,
    // ids, medium number and size: some 40 µs) for each of a thousand small files held the main thread
    // longer than taking their answers did, so a look that found it stands for sourceLookReuse; one
    // that did not is never reused, and a disk taken away, another scan or a catalog counts at once.
    std::optional<Executor::TimePoint> sourceSeenAt;
    const auto stillTheScannedDisk = [&] {
        const auto now = m_effects.executor->now();
        if (sourceSeenAt && now >= *sourceSeenAt && now - *sourceSeenAt <= sourceLookReuse &&
            m_plain.resultsDiskAttached && m_plain.scannedDiskMark && m_plain.activeRawDevicePath == devicePath)
            return true;
        const bool same = sourceDeviceToRead() == devicePath;
        sourceSeenAt = same ? std::optional(now) : std::nullopt;
        return same;
    };

    // Copies the hit's file from the cache into the file made for it, or asks the helper to fill it.
    auto begin = [&](std::size_t index, FolderWorker::Made made) {
        Underway file;
        file.index = index;
        const RecoveredHit& item = chosen[index];
        AppLog::info("recover " + std::to_string(index + 1) + "/" + std::to_string(count) + " " + item.suggestedName +
                         " len=" + std::to_string(item.byteLength),
                     category);
        if (made.refused) {
            file.written = std::move(made.refused);
            file.destinationFailed = true;
            return file;
        }
        auto& created = made.file;
        file.destination = created.path;
        file.made = MadeFile(created.path, worker);
        const auto& destination = file.destination;
        // Opened here, so that the cache dropping the file meanwhile does not take it from the copy. A
        // link, a FIFO or another user's file put in its place is refused without waiting on it, and the
        // helper is asked instead, as for a probe that is too short.
        const auto cached = m_probeCache->cachedFile(item.id);
        std::optional<RecoveryFiles::OwnRegularFile> input;
        if (cached) {
            try {
                auto opened = RecoveryFiles::openOwnRegularFile(*cached);
                if (opened.size >= item.byteLength) input = std::move(opened);
            } catch (const std::exception& error) {
                AppLog::error("probe cache refused " + item.suggestedName + ": " + error.what(), category);
            }
        }
        // The helper checks the files it fills; the ones written here are checked here, and each
        // read of the disk waits for it to be the scanned one still.
        const bool fromCache = input.has_value();
        const auto refusal = fromCache ? destinationFileRefusal(created.fd.get(), destination)
                                       : (stillTheScannedDisk() ? std::nullopt : std::optional(sourceNotAttachedMessage()));
        if (refusal) {
            auto error = ErrorObject::posix(fromCache ? EXDEV : ENODEV, destination.string());
            error.message = refusal->toStdString();
            file.written = error;
        } else if (fromCache) {
            AppLog::info("recover from probe cache " + item.suggestedName, category);
            file.answer = worker.copy(std::move(input->fd), std::move(created.fd), item.byteLength, *cached, destination);
            file.fromCache = true;
        } else if (file.kept = UniqueFd(::fcntl(created.fd.get(), F_DUPFD_CLOEXEC, 0)); !file.kept) {
            file.written = ErrorObject::posix(errno, destination.string());
        } else {
            file.answer = std::make_shared<ExtractionOutcome>();
            try {
                helperClient().startExtraction(devicePath, item, item.byteLength, destination.string(), std::move(created.fd),
                                               [answer = file.answer](std::optional<ErrorObject> error) {
                                                   answer->deliver(std::move(error));
                                               });
            } catch (const std::exception& error) {
                file.answer->deliver(CallError::objectOf(error));
            }
        }
        return file;
    };

    for (;;) {
        if (const auto done = flushing ? flushing->errors->taken() : std::nullopt) {
            settleBatch(flushing->batch, *done, tally, worker);
            flushing.reset();
        }
        const bool batchFull = filling.size() >= flushBatchFiles || fillingBytes >= flushBatchBytes;
        if (batchFull && flushing &&
            (flushing->batch.size() + filling.size() >= maxUnflushedFiles || fillingBytes >= flushBatchBytes)) {
            const auto errors = co_await arrivalOf(flushing->errors);
            settleBatch(flushing->batch, errors, tally, worker);
            flushing.reset();
        }
        if (batchFull && !flushing) {
            flushing = worker.flush(std::move(filling));
            filling.clear();
            fillingBytes = 0;
        }
        if (tally.failure) asking = false;
        while (asking && next < chosen.size() && underway.size() < extractionWindow) {
            auto made = co_await worker.next();
            underway.push_back(begin(next, std::move(made)));
            ++next;
            // Known at once: the run ends with it, and nothing after it is made.
            if (underway.back().written) asking = false;
        }
        if (underway.empty()) break;
        Underway file = std::move(underway.front());
        underway.pop_front();
        const RecoveredHit& item = chosen[file.index];
        const auto& destination = file.destination;
        setStatusMessage(tr("Recovering %1/%2: ").arg(file.index + 1).arg(count) + QString::fromStdString(item.suggestedName) +
                         "…");
        std::optional<ErrorObject> written = std::move(file.written);
        if (file.fromCache) {
            written = co_await arrivalOf(file.answer);
        } else if (file.answer) {
            auto answered = file.answer->taken();
            if (!answered && helperHeldUp) {
                // Asked behind the one that ran out of time, it would wait as long again: it is left, and its file removed.
                AppLog::error("recover left " + item.suggestedName + ": asked after an extraction that timed out", category);
                continue;
            }
            if (answered) {
                written = std::move(*answered);
            } else {
                // The time counts from here: the file is the oldest the helper has been asked for.
                const double limit = recoveryTimeLimitSeconds;
                auto ranOut = std::make_shared<bool>(false);
                std::function<std::exception_ptr()> onTimeout = [limit, ranOut] {
                    *ranOut = true;
                    return std::make_exception_ptr(CallError(recoveryTimedOut(limit)));
                };
                try {
                    written = co_await withTimeout(arrivalOf(file.answer), secondsSpan(limit), onTimeout);
                } catch (const std::exception& error) {
                    written = CallError::objectOf(error);
                }
                helperHeldUp = helperHeldUp || *ranOut;
            }
        }
        // The file must hold something of the hit; an empty one is no recovery.
        // Asked of the file itself where this side holds it (no walk of the path on the main thread).
        const auto size = written ? std::nullopt
                                  : (file.kept ? RecoveryFiles::regularFileSize(file.kept.get())
                                               : RecoveryFiles::regularFileSize(destination));
        if (!written && (!size || (*size == 0 && item.byteLength > 0))) {
            auto error = ErrorObject::posix(EIO, destination.string());
            error.message = tr("The helper wrote no bytes into %1.").arg(QString::fromStdString(destination.string())).toStdString();
            written = error;
        }
        if (written) {
            file.made.remove();
            if (tally.failure) AppLog::error("recover failed as well " + item.suggestedName + ": " + written->message, category);
            tally.fail(RunFailure{*written, file.destinationFailed}, file.index);
            continue;
        }
        file.made.keep();
        if (file.kept) {
            filling.push_back({file.index, destination, std::move(file.kept)});
            fillingBytes += *size;
        } else {
            ++tally.saved;  // copied from the cache and flushed there
        }
        const bool shorter = *size < item.byteLength;
        if (shorter) {
            tally.shortFiles.push_back(destination.filename().string());
            AppLog::error("recover short " + item.suggestedName + ": " + std::to_string(*size) + " of " +
                              std::to_string(item.byteLength) + " bytes",
                          category);
        }

        // The written file is judged when the hit has no verdict yet; a short file is never ok.
        const auto* current = hit(item.id);
        if (!current) continue;
        const auto integrity = current->integrity;
        if ((integrity == HitIntegrity::pending || integrity == HitIntegrity::skipped) && m_integrityChecker &&
            IntegrityKinds::isCheckable(item.kind)) {
            auto verdict = co_await checkFile(item.kind, destination.string(), false);
            if (verdict.unreadable || verdict.integrity == HitIntegrity::pending) {
                // Nothing was judged: the hit keeps what it had, and the status says why.
                if (verdict.unreadable) tally.uncheckedFiles.push_back(destination.filename().string());
                continue;
            }
            if (shorter && verdict.integrity == HitIntegrity::ok) verdict.integrity = HitIntegrity::suspect;
            applyIntegrityResult(item.id, verdict.integrity, std::nullopt);
        } else if (shorter && integrity == HitIntegrity::ok) {
            applyIntegrityResult(item.id, HitIntegrity::suspect, std::nullopt);
        }
    }

    // What was written before a failure is kept, once it is on the disk too.
    if (flushing) {
        const auto errors = co_await arrivalOf(flushing->errors);
        settleBatch(flushing->batch, errors, tally, worker);
    }
    if (!filling.empty()) {
        auto last = worker.flush(std::move(filling));
        const auto errors = co_await arrivalOf(last.errors);
        settleBatch(last.batch, errors, tally, worker);
    }
    // The files made ahead and not asked for, and those given back, are gone before the run ends.
    co_await worker.stopped();
    if (tally.failure) {
        const auto& error = tally.failure->error;
        AppLog::error("recover failed " + chosen[tally.failedIndex.value_or(0)].suggestedName + ": " + error.message, category);
        if (tally.failure->destination) {
            setErrorMessage(tr("Could not create a file in the folder %1: %2")
                                .arg(QString::fromStdString(folder), QString::fromStdString(error.message)));
        } else {
            if (VantrelError::isDiskAccessDenied(error) || isPermissionError(error)) {
                setFullDiskAccessState(RawDiskAccessState::denied);
                setShowHelperSheet(true);
            }
            setErrorMessage(userFacingErrorMessage(error));
        }
    }
    finishRecovery(tally.saved, count, std::move(tally.shortFiles), std::move(tally.uncheckedFiles));
}

void AppModel::finishRecovery(int saved, int count, std::vector<std::string> shortFiles,
                              std::vector<std::string> uncheckedFiles) {
    QString text = tr("Recovered %1 file(s).").arg(saved);
    if (!shortFiles.empty()) {
        QStringList names;
        for (const auto& name : shortFiles) names << QString::fromStdString(name);
        text += " " + tr("%1 of them shorter than found on the disk: %2.").arg(shortFiles.size()).arg(names.join(", "));
    }
    if (!uncheckedFiles.empty()) {
        QStringList names;
        for (const auto& name : uncheckedFiles) names << QString::fromStdString(name);
        text += " " + tr("%1 of them not checked, as they could not be read back: %2.")
                          .arg(uncheckedFiles.size())
                          .arg(names.join(", "));
    }
    setStatusMessage(text);
    AppLog::info("recoverSelected done saved=" + std::to_string(saved) + "/" + std::to_string(count), category);
    setIsRecovering(false);
    enqueueIntegrityChecks();
}

} // namespace vantrel
