#include "VantrelHelper/HelperDelegate.h"

#include "VantrelHelper/DeviceAccess.h"
#include "support/log/AppLog.h"

#include <algorithm>
#include <atomic>
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
    reap(std::move(entries));
}

void HelperDelegate::reap(std::list<Entry> entries) {
    for (auto& entry : entries) {
        {
            std::lock_guard lock(m_mutex);
            ++m_reaping;
        }
        // Each entry is destroyed service first (waiting for its running task), then proxy, then
        // connection, then its place.
        std::thread([this, taken = std::move(entry)]() mutable {
            { Entry gone = std::move(taken); }
            std::lock_guard lock(m_mutex);
            --m_reaping;
            m_changed.notify_all();
        }).detach();
    }
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
    entry.service = std::make_unique<HelperScanService>(m_options.scan, [this, id] { quitRequested(id); },
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
        entry.service->connectionClosed();
    }
    m_changed.notify_all();
}

void HelperDelegate::quitRequested(std::uint64_t id) {
    std::lock_guard lock(m_mutex);
    if (!m_quitFrom) {
        m_quitFrom = id;
        m_quitUid = 0;
        for (const auto& entry : m_entries)
            if (entry.id == id) m_quitUid = entry.uid;
        m_quitAt = std::chrono::steady_clock::now() + quitDelay;
    }
    m_changed.notify_all();
}

bool HelperDelegate::quitPermitted(std::uint64_t quitter, uid_t uid) {
    // Ending the helper ends every user's connections and mounts back every user's disks: root may,
    // and so may the only connection; a member beside others may not.
    if (uid == 0) return true;
    std::lock_guard lock(m_mutex);
    return std::none_of(m_entries.begin(), m_entries.end(),
                        [quitter](const Entry& entry) { return entry.id != quitter && !entry.closed; });
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
        reap(takeClosed());  // taken down off this thread: a stuck request holds only its own thread

        const auto now = std::chrono::steady_clock::now();
        std::optional<std::uint64_t> quitFrom;
        uid_t quitUid = 0;
        bool empty = false;
        bool everAccepted = false;
        std::chrono::steady_clock::time_point quitAt;
        {
            std::lock_guard lock(m_mutex);
            quitFrom = m_quitFrom;
            quitUid = m_quitUid;
            quitAt = m_quitAt;
            empty = m_entries.empty();
            everAccepted = m_everAccepted;
        }
        if (const int signal = endSignal.load(); signal != 0) {
            AppLog::info("Helper ending on signal " + std::to_string(signal), category);
            return finish(0);
        }
        if (quitFrom && now >= quitAt && !quitPermitted(*quitFrom, quitUid)) {
            AppLog::info("quitForRelaunch from uid=" + std::to_string(quitUid) +
                             " answered without exiting: other connections are open",
                         category);
            std::lock_guard lock(m_mutex);
            m_quitFrom.reset();
            continue;
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
