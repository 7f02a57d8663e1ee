#pragma once
// How the application reaches the root helper, in the order it tries them:
// - the helper service's socket (systemd socket activation, or VANTREL_HELPER_SOCKET), served by root;
// - a helper of its own, spawned beside the program over a socket pair: directly when the application
//   runs as root, through pkexec when it does not and pkexec exists, and otherwise as the user (whose
//   device opens then fail with the refused-access error).
// HelperConnector does this for each new connection and remembers which route it took. A spawned
// helper serves the one connection it was started for and ends with it, so the connection to it is
// kept while it lives (IpcHelperClient), and a new one is started only when it has died.

#include "platform/ipc/SeqpacketSocket.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vantrel {

enum class HelperRoute {
    none,            // not connected yet, or no route worked
    serviceSocket,   // the installed helper service
    spawnedAsRoot,   // a helper spawned directly by an application that runs as root
    spawnedWithPkexec,
    spawnedAsUser,   // a helper without privileges: it can read only what the user can
};

std::string_view rawValue(HelperRoute route);

struct HelperConnectorOptions {
    std::string socketPath;                        // the service socket to try first; empty: none
    std::optional<std::filesystem::path> helperProgram;  // the helper to spawn; none: do not spawn
    std::filesystem::path pkexecProgram = "/usr/bin/pkexec";  // standard(): the first pkexec on PATH
    uid_t applicationUid = 0;
    std::vector<std::string> helperArguments = {"--allow-image-files"};

    // The service socket of this environment (VANTREL_HELPER_SOCKET, else /run/vantrel/helper.sock),
    // the helper beside this program, and this process's user.
    static HelperConnectorOptions standard();
};

// The helper program that belongs with the running program: beside it, in the build tree's
// VantrelHelper folder, or where cmake --install puts it.
std::optional<std::filesystem::path> findHelperProgram(const std::filesystem::path& programDirectory);
// The first executable of that name in the folders of PATH.
std::optional<std::filesystem::path> findProgramOnPath(const std::string& name);

class HelperConnector {
public:
    explicit HelperConnector(HelperConnectorOptions options);

    // A connected socket to a helper, by the first route that works; throws std::system_error with
    // the service socket's error when none does.
    SeqpacketSocket connect();

    HelperRoute lastRoute() const;
    // Whether the helper of the last connection opens image files: only a helper this connector
    // spawned, and only when it was started with --allow-image-files. The service's helper is started
    // by systemd without it, and nothing on the service socket says otherwise.
    bool lastHelperAcceptsImageFiles() const;
    // The same for the helper the next call would reach when nothing was reached yet (nextRoute), so
    // that an image file can be opened before the first call starts a helper.
    bool helperAcceptsImageFiles();
    // The helper process this connector started last, or -1.
    pid_t lastSpawnedPid() const;
    // The last connection went to a helper this connector started, and that helper still runs.
    bool spawnedHelperAlive() const;
    // The helper answered a call since it was started (a reply, not a callback).
    void noteAnswer();
    // The last helper was started through pkexec, still runs and has not answered yet: its user may
    // still be typing the password.
    bool helperStarting() const;
    // The route connect() would take now, found without starting anything: the service when its
    // socket is served by root, else the route of a spawned helper, else none. Remembered until the
    // next connect().
    HelperRoute nextRoute();

private:
    SeqpacketSocket spawn(HelperRoute route);
    // The route of a helper spawned now: as root, through pkexec, or as the user.
    HelperRoute spawnRoute() const;
    // A connection to the service's socket when root serves it; throws std::system_error otherwise.
    SeqpacketSocket connectService() const;

    HelperConnectorOptions m_options;
    mutable std::mutex m_mutex;
    HelperRoute m_lastRoute = HelperRoute::none;
    pid_t m_lastSpawnedPid = -1;
    std::shared_ptr<std::atomic<bool>> m_spawnedAlive;  // cleared by the reaper when the helper ends
    bool m_answered = false;
    std::optional<HelperRoute> m_predicted;
};

} // namespace vantrel
