#pragma once
// Accepts connections on a listening AF_UNIX SOCK_SEQPACKET socket, on its own thread. Each peer is
// checked by the admission policy (SO_PEERCRED) before anything is read from it. At most
// maxConnections are served at once, of which a user other than root holds at most
// maxConnectionsPerUser, and the last reservedForRoot places are root's alone: one user cannot lock
// the others out, nor everybody lock out root. A refused peer's socket is closed at once and logged
// with its uid and pid. An admitted socket is handed to onAccept, which builds the IpcConnection.

#include "platform/UniqueFd.h"
#include "platform/ipc/IpcLog.h"
#include "platform/ipc/PeerCredentials.h"
#include "platform/ipc/SeqpacketSocket.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>

namespace vantrel {

class IpcListener {
public:
    // Keep it as long as the accepted connection lives; releasing it frees the place.
    using ConnectionSlot = std::shared_ptr<void>;

    // The helper serves one application, and perhaps a tool or two; more is a runaway client.
    static constexpr std::size_t defaultMaxConnections = 16;
    // An application keeps one connection and opens another now and then; a tool or two besides.
    static constexpr std::size_t defaultMaxConnectionsPerUser = 4;
    static constexpr std::size_t defaultReservedForRoot = 1;

    struct Options {
        AdmissionPolicy admission;  // none: every peer is refused
        std::size_t maxConnections = defaultMaxConnections;
        std::size_t maxConnectionsPerUser = defaultMaxConnectionsPerUser;  // root excepted
        std::size_t reservedForRoot = defaultReservedForRoot;
        IpcLogSink log;
        std::function<void(SeqpacketSocket socket, PeerCredentials peer, ConnectionSlot slot)> onAccept;
    };

    // A fresh socket bound at path with the given file mode (and group, when given) and listening. A
    // stale socket file at path is replaced; any other file there is an error. The mode is in place
    // from the bind on (through the umask, so call this before other threads create files) and the
    // group is changed without following links. The caller makes sure nobody else can change the
    // folder (TrustedPath::isTrustedFolder). Throws std::system_error.
    static UniqueFd listenOn(const std::string& path, mode_t mode, std::optional<gid_t> group = std::nullopt);

    // Takes a socket that already listens (from listenOn, or handed over by the service manager).
    IpcListener(UniqueFd listeningSocket, Options options);
    // Stops accepting and waits for the accepting thread.
    ~IpcListener();
    IpcListener(const IpcListener&) = delete;
    IpcListener& operator=(const IpcListener&) = delete;

    void resume();
    std::size_t activeConnections() const;

private:
    struct Places;
    void acceptLoop();
    // Takes a place for the peer, or answers why there is none.
    std::optional<std::string> takePlace(uid_t uid);

    UniqueFd m_socket;
    UniqueFd m_wakeRead;
    UniqueFd m_wakeWrite;
    Options m_options;
    std::shared_ptr<Places> m_places;
    std::thread m_thread;
};

} // namespace vantrel
