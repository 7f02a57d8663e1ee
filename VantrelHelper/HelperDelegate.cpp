#include "VantrelHelper/HelperDelegate.h"

#include "VantrelHelper/DeviceAccess.h"
#include "support/log/AppLog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace vantrel {

namespace {

// The signal that asked the process to end, or 0.
std::atomic<int> endSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

constexpr std::string_view category = "helper";
// How often run() looks at idle connections and time limits when nothing else wakes it.
constexpr std::chrono::milliseconds housekeepingStep{100};

// Whether the process is there (a process of another user too; one that has ended and not been
// waited for still counts).
bool processLives(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

IpcLogSink ipcLogSink() {
    return [](IpcLogLevel level, const std::string& message) {
        switch (level) {
        case IpcLogLevel::debug: AppLog::debug(message, category); return;
        case IpcLogLevel::info: AppLog::info(message, category); return;
        case IpcLogLevel::error: AppLog::error(message, category); return;
        }
    };
}

} // namespace

HelperDelegate::HelperDelegate(Options options) : m_options(std::move(options)) {}

HelperDelegate::~HelperDelegate() {
    closeAll();
    waitForReaping(std::chrono::steady_clock::duration::max());
}

void HelperDelegate::endOnSignal(int signal) { endSignal.store(signal); }

void HelperDelegate::closeAll() {
    std::list<Entry> entries;
    {
        std::lock_guard lock(m_mutex);
        entries.swap(m_entries);
    }
    for (auto& entry : entries) {
        entry.service->connectionClosed();
        entry.connection->invalidate();
    }
    // The ending mounts back everything itself.
    reap(std::move(entries), false);
}

void HelperDelegate::reap(std::list<Entry> entries, bool releaseDisks) {
    for (auto& entry : entries) {
        {
            std::lock_guard lock(m_mutex);
            ++m_reaping;
        }
        // Each entry is destroyed service first (waiting for its running task), then proxy, then
        // connection, then its place.
        std::thread([this, releaseDisks, taken = std::move(entry)]() mutable {
            const pid_t pid = taken.pid;
            const bool busy = taken.busyAtClose;
            const auto record = taken.service ? taken.service->heldDisks() : nullptr;
            { Entry gone = std::move(taken); }
            // Read once the last task has ended: a probe still running at the close holds its disk too.
            auto held = record ? record->names() : std::set<std::string>{};
            if (releaseDisks && !held.empty()) {
                if (!busy && processLives(pid)) {
                    std::lock_guard lock(m_mutex);
                    m_heldByProcess[pid].merge(held);
                } else {
                    release(held);
                }
            }
            std::lock_guard lock(m_mutex);
            --m_reaping;
            m_changed.notify_all();
        }).detach();
    }
}

bool HelperDelegate::heldElsewhere(const std::string& disk) {
    std::lock_guard lock(m_mutex);
    for (const auto& entry : m_entries)
        if (!entry.closed && entry.service->heldDisks()->names().count(disk)) return true;
    return std::any_of(m_heldByProcess.begin(), m_heldByProcess.end(),
                       [&](const auto& process) { return process.second.count(disk) > 0; });
}

void HelperDelegate::release(const std::set<std::string>& disks) {
    for (const auto& disk : disks) {
        if (heldElsewhere(disk)) {
            AppLog::info("Helper keeps " + disk + " unmounted: another connection holds it", category);
            continue;
        }
        std::string why;
        std::size_t mounted = 0;
        if (!DeviceAccess::mountDisk(disk, 0, &why, &mounted))
            AppLog::error("Helper could not mount " + disk + " back after its connection closed: " + why, category);
        else if (mounted > 0)
            AppLog::info("Helper mounted " + disk + " back: no connection holds it any more", category);
    }
}

void HelperDelegate::releaseLater(std::set<std::string> disks) {
    {
        std::lock_guard lock(m_mutex);
        ++m_reaping;
    }
    std::thread([this, disks = std::move(disks)] {
        release(disks);
        std::lock_guard lock(m_mutex);
        --m_reaping;
        m_changed.notify_all();
    }).detach();
}

std::set<std::string> HelperDelegate::takeEndedProcessesDisks() {
    std::set<std::string> disks;
    std::lock_guard lock(m_mutex);
    for (auto process = m_heldByProcess.begin(); process != m_heldByProcess.end();) {
        if (processLives(process->first)) {
            ++process;
            continue;
        }
        disks.merge(process->second);
        process = m_heldByProcess.erase(process);
    }
    return disks;
}

bool HelperDelegate::waitForReaping(std::chrono::steady_clock::duration limit) {
    std::unique_lock lock(m_mutex);
    const auto done = [this] { return m_reaping == 0; };
    if (limit == std::chrono::steady_clock::duration::max()) {
        m_changed.wait(lock, done);
        return true;
    }
    return m_changed.wait_for(lock, limit, done);
}

int HelperDelegate::finish(int status) {
    // The records of what to mount back die with the process, so it mounts back first, once no
    // connection reads a disk any more. A disk that stuck work still reads stays as it is.
    closeAll();
    const bool stopped = waitForReaping(endingWaitLimit);
    if (!DeviceAccess::mountAllDisks()) AppLog::error("Helper exiting with disks it could not mount back", category);
    if (!stopped) {
        AppLog::error("Helper exiting with requests that did not stop", category);
        std::_Exit(status);
    }
    return status;
}

void HelperDelegate::accept(SeqpacketSocket socket, IpcListener::ConnectionSlot slot) {
    Entry entry;
    {
        std::lock_guard lock(m_mutex);
        entry.id = m_nextId++;
        m_everAccepted = true;
    }
    const auto id = entry.id;
    entry.slot = std::move(slot);
    PeerCredentials peer;
    try {
        peer = PeerCredentials::of(socket.fd());
    } catch (const std::exception& failure) {
        AppLog::error(std::string("Helper cannot read its peer: ") + failure.what(), category);
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
        return;
    }
    entry.uid = peer.uid;
    entry.pid = peer.pid;
    entry.service = std::make_unique<HelperScanService>(m_options.scan, [this, id] { return quitRequested(id); },
                                                        UserIdentity{peer.uid, peer.gid, peer.groups});

    IpcConnectionOptions options;
    options.exported = VantrelHelperProtocol::selectorTable();
    options.remote = VantrelHelperClient::selectorTable();
    options.log = ipcLogSink();
    options.onMessage = [service = entry.service.get()](IpcIncoming message) {
        AppLog::debug("request " + message.selector + " uid=" + std::to_string(message.peer.uid) +
                          " pid=" + std::to_string(message.peer.pid),
                      category);
        VantrelHelperProtocol::dispatch(*service, std::move(message));
    };
    options.onClosed = [this, id](IpcConnectionState) { connectionClosed(id); };
    if (m_options.idleConnectionTimeout) options.idleTimeout = *m_options.idleConnectionTimeout;
    try {
        entry.connection = std::make_unique<IpcConnection>(std::move(socket), std::move(options));
    } catch (const std::exception& failure) {
        AppLog::error(std::string("Helper could not take a connection: ") + failure.what(), category);
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
        return;
    }
    entry.proxy = std::make_unique<VantrelHelperClientProxy>(*entry.connection, [](ErrorObject error) {
        AppLog::error("Helper client callback error: " + error.domain + " " + std::to_string(error.code) + " " + error.message,
                      category);
    });
    entry.service->setClient(entry.proxy.get());
    auto* connection = entry.connection.get();
    {
        std::lock_guard lock(m_mutex);
        m_entries.push_back(std::move(entry));
    }
    connection->resume();
    AppLog::info("Helper accepted connection uid=" + std::to_string(peer.uid) + " pid=" + std::to_string(peer.pid), category);
}

void HelperDelegate::connectionClosed(std::uint64_t id) {
    AppLog::debug("Helper connection invalidated", category);
    std::lock_guard lock(m_mutex);
    for (auto& entry : m_entries) {
        if (entry.id != id) continue;
        entry.closed = true;
        // Work in flight is a call not answered yet. The queues are not asked: a task that has sent its
        // answer is still on its queue for a moment, and a program that closes as soon as it has the
        // answer (and lives on) found its disk mounted back as if it had left its work.
        entry.busyAtClose = entry.connection->unansweredCalls() > 0;
        entry.service->connectionClosed();
    }
    m_changed.notify_all();
}

std::optional<std::string> HelperDelegate::quitRequested(std::uint64_t id) {
    uid_t uid = 0;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_entries)
            if (entry.id == id) uid = entry.uid;
    }
    if (!quitPermitted(id, uid)) {
        AppLog::info("quitForRelaunch from uid=" + std::to_string(uid) + " answered without exiting: other connections are open",
                     category);
        return "The helper goes on: other programs are connected to it, and only root may end it for them.";
    }
    std::lock_guard lock(m_mutex);
    if (!m_quitFrom) {
        m_quitFrom = id;
        m_quitAt = std::chrono::steady_clock::now() + quitDelay;
    }
    m_changed.notify_all();
    return std::nullopt;
}

bool HelperDelegate::quitPermitted(std::uint64_t quitter, uid_t uid) {
    // Ending the helper ends every user's connections and mounts back every user's disks: root may,
    // and so may the only connection; a member beside others may not. Connections their programs
    // closed just before the quit count as gone once the helper has seen them close, which it is
    // given quitDelay for.
    if (uid == 0) return true;
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, quitDelay, [&] {
        return std::none_of(m_entries.begin(), m_entries.end(),
                            [quitter](const Entry& entry) { return entry.id != quitter && !entry.closed; });
    });
}

std::list<HelperDelegate::Entry> HelperDelegate::takeClosed() {
    std::list<Entry> closed;
    std::lock_guard lock(m_mutex);
    for (auto entry = m_entries.begin(); entry != m_entries.end();) {
        const auto next = std::next(entry);
        if (entry->closed) closed.splice(closed.end(), m_entries, entry);
        entry = next;
    }
    return closed;
}

bool HelperDelegate::othersIdle(std::uint64_t quitter) {
    std::lock_guard lock(m_mutex);
    for (const auto& entry : m_entries) {
        if (entry.id != quitter && !entry.closed && !entry.service->isIdle()) return false;
    }
    return true;
}

int HelperDelegate::run() {
    auto quietSince = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(lock, housekeepingStep);
        }
        reap(takeClosed(), true);  // taken down off this thread: a stuck request holds only its own thread
        if (auto disks = takeEndedProcessesDisks(); !disks.empty()) releaseLater(std::move(disks));

        const auto now = std::chrono::steady_clock::now();
        std::optional<std::uint64_t> quitFrom;
        bool empty = false;
        bool everAccepted = false;
        std::chrono::steady_clock::time_point quitAt;
        {
            std::lock_guard lock(m_mutex);
            quitFrom = m_quitFrom;
            quitAt = m_quitAt;
            empty = m_entries.empty();
            everAccepted = m_everAccepted;
        }
        if (const int signal = endSignal.load(); signal != 0) {
            AppLog::info("Helper ending on signal " + std::to_string(signal), category);
            return finish(0);
        }
        if (quitFrom && now >= quitAt && (othersIdle(*quitFrom) || now >= quitAt + quitWaitLimit)) {
            AppLog::info("Helper exiting for relaunch", category);
            return finish(0);
        }
        if (m_options.endWithLastConnection && everAccepted && empty) return finish(0);
        if (!empty || !DeviceAccess::unmountedDisks().empty()) quietSince = now;
        if (m_options.idleExit && now - quietSince >= *m_options.idleExit) {
            AppLog::info("Helper idle, exiting", category);
            return finish(0);
        }
    }
}

} // namespace vantrel
