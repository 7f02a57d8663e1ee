#pragma once
// Owns the helper's connections: each admitted socket gets its own connection and scan service, and
// the main thread's run() reaps the closed ones and decides when the process ends: with its only
// connection (spawned over a socket pair), after a quit for relaunch once the other connections are
// idle, or after a quiet spell with no connection and no unmounted disk (started by the service manager);
// in every case it first mounts back what it unmounted.

#include "VantrelHelper/HelperScanService.h"
#include "platform/ipc/IpcConnection.h"
#include "platform/ipc/IpcListener.h"
#include "support/VantrelHelperClientProxy.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

namespace vantrel {

class HelperDelegate {
public:
    // After the quit reply, the process ends this much later, so the reply leaves first.
    static constexpr std::chrono::milliseconds quitDelay{150};

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
    // returns, every connection is closed and every disk the process unmounted is mounted back.
    int run();

private:
    struct Entry {
        std::uint64_t id = 0;
        IpcListener::ConnectionSlot slot;
        std::unique_ptr<IpcConnection> connection;
        std::unique_ptr<VantrelHelperClientProxy> proxy;
        std::unique_ptr<HelperScanService> service;  // destroyed first: its queues still send through the proxy
        bool closed = false;
    };

    void closeAll();
    int finish(int status);
    void connectionClosed(std::uint64_t id);
    void quitRequested(std::uint64_t id);
    // Takes the closed entries out of the list (destroyed by the caller, outside the lock).
    std::list<Entry> takeClosed();
    bool othersIdle(std::uint64_t quitter);

    Options m_options;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::list<Entry> m_entries;
    std::uint64_t m_nextId = 1;
    bool m_everAccepted = false;
    std::optional<std::uint64_t> m_quitFrom;
    std::chrono::steady_clock::time_point m_quitAt;
};

} // namespace vantrel
