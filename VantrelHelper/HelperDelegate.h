#pragma once
// Owns the helper's connections: each admitted socket gets its own connection and scan service, and
// the main thread's run() hands the closed ones to threads of their own to be taken down (a request
// stuck in the kernel holds that thread, and its user's place, never the main thread) and decides when
// the process ends: with its only connection (spawned over a socket pair), after a quit for relaunch
// asked by root or by the only connection, once the other connections are idle (or after a time limit),
// after SIGTERM, SIGHUP or SIGINT, or after a quiet spell with no connection and no unmounted disk
// (started by the service manager); in every case it first mounts back what it unmounted. A quit asked
// by a member while other connections are open changes nothing and is answered with an error that says so.
//
// A connection holds the disks its probes, scans, copies and extractions opened. When it closes, they
// are mounted back once nothing else holds them: no open connection, and no process whose connection
// closed between calls while it lives on (the helper closes idle connections, and the application
// connects again on its next call, its results still to be recovered from the disk it left unmounted).
// A connection that closes with work in flight (the program was killed mid-scan) holds nothing more.

#include "VantrelHelper/HelperScanService.h"
#include "platform/ipc/IpcConnection.h"
#include "platform/ipc/IpcListener.h"
#include "support/VantrelHelperClientProxy.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace vantrel {

class HelperDelegate {
public:
    // After the quit reply, the process ends this much later, so the reply leaves first.
    static constexpr std::chrono::milliseconds quitDelay{150};
    // A quit waits this long at most for the other connections' work to end.
    static constexpr std::chrono::seconds quitWaitLimit{10};
    // At the end, work still running after its connection was closed gets this long to stop; after
    // that the disks it does not read are mounted back and the process exits without it.
    static constexpr std::chrono::seconds endingWaitLimit{5};

    struct Options {
        HelperScanService::ScanRunner scan;
        bool endWithLastConnection = false;       // spawned for one connection
        std::optional<std::chrono::seconds> idleExit;  // started by the service manager
        // A shared helper closes a connection that has had no call in flight for this long, so that
        // idle connections cannot hold the listener's places (the application reconnects on its next call).
        std::optional<std::chrono::milliseconds> idleConnectionTimeout;
    };

    explicit HelperDelegate(Options options);
    // Closes every connection and waits for their work to stop.
    ~HelperDelegate();
    HelperDelegate(const HelperDelegate&) = delete;
    HelperDelegate& operator=(const HelperDelegate&) = delete;

    // Serves an admitted socket. Thread-safe.
    void accept(SeqpacketSocket socket, IpcListener::ConnectionSlot slot = {});

    // Runs on the main thread until the process is to end; returns its exit status. Before it
    // returns, every connection is closed and every disk the process unmounted is mounted back. When
    // work is still stuck then, the process exits at once from here (the kernel ends the stuck threads).
    int run();

    // From a signal handler: run() ends as after a quit, mount-backs included.
    static void endOnSignal(int signal);

private:
    struct Entry {
        std::uint64_t id = 0;
        uid_t uid = 0;
        pid_t pid = 0;
        bool busyAtClose = false;  // closed with work in flight
        IpcListener::ConnectionSlot slot;  // destroyed last: the place is the user's until its work has stopped
        std::unique_ptr<IpcConnection> connection;
        std::unique_ptr<VantrelHelperClientProxy> proxy;
        std::unique_ptr<HelperScanService> service;  // destroyed first: its queues still send through the proxy
        bool closed = false;
    };

    void closeAll();
    // Takes the entries down on threads of their own.
    // With releaseDisks, each entry's disks are mounted back afterwards unless still held.
    void reap(std::list<Entry> entries, bool releaseDisks);
    // Whether every reaping thread has ended within the time.
    bool waitForReaping(std::chrono::steady_clock::duration limit);
    int finish(int status);
    void connectionClosed(std::uint64_t id);
    // Why the quit is declined, or nothing when it is taken.
    std::optional<std::string> quitRequested(std::uint64_t id);
    // Mounts back the disks that nothing holds any more; on a thread of its own, counted as reaping.
    void releaseLater(std::set<std::string> disks);
    void release(const std::set<std::string>& disks);
    bool heldElsewhere(const std::string& disk);
    // The disks of processes that have ended since their connections closed.
    std::set<std::string> takeEndedProcessesDisks();
    // Takes the closed entries out of the list (destroyed by the caller, outside the lock).
    std::list<Entry> takeClosed();
    bool othersIdle(std::uint64_t quitter);
    // Root may end the helper, and so may the only connection.
    bool quitPermitted(std::uint64_t quitter, uid_t uid);

    Options m_options;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::list<Entry> m_entries;
    std::uint64_t m_nextId = 1;
    bool m_everAccepted = false;
    std::size_t m_reaping = 0;  // entries being taken down
    std::optional<std::uint64_t> m_quitFrom;
    // Disks held by processes whose connections closed between calls, while the processes live.
    std::map<pid_t, std::set<std::string>> m_heldByProcess;
    std::chrono::steady_clock::time_point m_quitAt;
};

} // namespace vantrel
