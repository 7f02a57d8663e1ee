#pragma once
// How the application reaches the root helper, in the order it tries them:
// - the helper service's socket (systemd socket activation, or VANTREL_HELPER_SOCKET), served by root;
// - a helper of its own, spawned beside the program over a socket pair: directly when the application
//   runs as root, through pkexec when it does not and pkexec exists, and otherwise as the user (whose
//   device opens then fail with the refused-access error).
// HelperConnector does this for each new connection and remembers which route it took.

#include "platform/ipc/SeqpacketSocket.h"

#include <filesystem>
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
    std::filesystem::path pkexecProgram = "/usr/bin/pkexec";
    uid_t applicationUid = 0;
    std::vector<std::string> helperArguments = {"--allow-image-files"};

    // The service socket of this environment (VANTREL_HELPER_SOCKET, else /run/vantrel/helper.sock),
    // the helper beside this program, and this process's user.
    static HelperConnectorOptions standard();
};

// The helper program that belongs with the running program: beside it, in the build tree's
// VantrelHelper folder, or where cmake --install puts it.
std::optional<std::filesystem::path> findHelperProgram(const std::filesystem::path& programDirectory);

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
    // The helper process this connector started last, or -1.
    pid_t lastSpawnedPid() const;

private:
    SeqpacketSocket spawn(HelperRoute route);

    HelperConnectorOptions m_options;
    mutable std::mutex m_mutex;
    HelperRoute m_lastRoute = HelperRoute::none;
    pid_t m_lastSpawnedPid = -1;
};

} // namespace vantrel
