#include "Vantrel/helper/HelperRoute.h"

#include "Vantrel/helper/PrivatePrograms.h"

#include "platform/ipc/PeerCredentials.h"
#include "support/XPCConstants.h"
#include "support/log/AppLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <system_error>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr std::string_view category = "xpc";
// The descriptor a spawned helper finds its connection on; through pkexec it is standard input,
// because pkexec closes every descriptor above standard error.
constexpr int spawnedConnectionFd = 3;

bool isExecutable(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// Waits for the child in the background, so that a helper that ends leaves no zombie behind, and
// marks it ended.
void reapLater(pid_t pid, std::shared_ptr<std::atomic<bool>> alive) {
    std::thread([pid, alive = std::move(alive)] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        alive->store(false);
    }).detach();
}

bool isSpawned(HelperRoute route) {
    return route == HelperRoute::spawnedAsRoot || route == HelperRoute::spawnedWithPkexec || route == HelperRoute::spawnedAsUser;
}

} // namespace

std::string_view rawValue(HelperRoute route) {
    switch (route) {
    case HelperRoute::none: return "none";
    case HelperRoute::serviceSocket: return "serviceSocket";
    case HelperRoute::spawnedAsRoot: return "spawnedAsRoot";
    case HelperRoute::spawnedWithPkexec: return "spawnedWithPkexec";
    case HelperRoute::spawnedAsUser: return "spawnedAsUser";
    }
    return "none";
}

std::optional<std::filesystem::path> findHelperProgram(const std::filesystem::path& programDirectory) {
    return findPrivateProgram(programDirectory, "VantrelHelper", "VantrelHelper");
}

std::optional<std::filesystem::path> findProgramOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view folders = path ? path : "";
    while (!folders.empty()) {
        const auto colon = folders.find(':');
        const auto folder = folders.substr(0, colon);
        folders.remove_prefix(colon == std::string_view::npos ? folders.size() : colon + 1);
        // An empty entry or a relative one would name the working folder: not where pkexec is taken from.
        if (folder.empty() || folder.front() != '/') continue;
        const auto candidate = std::filesystem::path(folder) / name;
        if (isExecutable(candidate)) return candidate;
    }
    return std::nullopt;
}

HelperConnectorOptions HelperConnectorOptions::standard() {
    HelperConnectorOptions options;
    const char* overridden = std::getenv(std::string(XPCConstants::helperSocketEnvironmentVariable).c_str());
    options.socketPath = overridden && *overridden ? overridden : std::string(XPCConstants::helperSocketPath);
    if (const auto folder = runningProgramDirectory()) options.helperProgram = findHelperProgram(*folder);
    options.applicationUid = ::getuid();
    if (const auto pkexec = findProgramOnPath("pkexec")) options.pkexecProgram = *pkexec;
    return options;
}

HelperConnector::HelperConnector(HelperConnectorOptions options) : m_options(std::move(options)) {}

HelperRoute HelperConnector::lastRoute() const {
    std::lock_guard lock(m_mutex);
    return m_lastRoute;
}

bool HelperConnector::lastHelperAcceptsImageFiles() const {
    if (!isSpawned(lastRoute())) return false;
    const auto& arguments = m_options.helperArguments;
    return std::find(arguments.begin(), arguments.end(), "--allow-image-files") != arguments.end();
}

bool HelperConnector::helperAcceptsImageFiles() {
    if (lastRoute() != HelperRoute::none) return lastHelperAcceptsImageFiles();
    if (!isSpawned(nextRoute())) return false;
    const auto& arguments = m_options.helperArguments;
    return std::find(arguments.begin(), arguments.end(), "--allow-image-files") != arguments.end();
}

pid_t HelperConnector::lastSpawnedPid() const {
    std::lock_guard lock(m_mutex);
    return m_lastSpawnedPid;
}

bool HelperConnector::spawnedHelperAlive() const {
    std::lock_guard lock(m_mutex);
    return isSpawned(m_lastRoute) && m_spawnedAlive && m_spawnedAlive->load();
}

void HelperConnector::noteAnswer() {
    std::lock_guard lock(m_mutex);
    m_answered = true;
}

bool HelperConnector::helperStarting() const {
    std::lock_guard lock(m_mutex);
    return m_lastRoute == HelperRoute::spawnedWithPkexec && m_spawnedAlive && m_spawnedAlive->load() && !m_answered;
}

HelperRoute HelperConnector::spawnRoute() const {
    if (m_options.applicationUid == 0) return HelperRoute::spawnedAsRoot;
    if (isExecutable(m_options.pkexecProgram)) return HelperRoute::spawnedWithPkexec;
    return HelperRoute::spawnedAsUser;
}

HelperRoute HelperConnector::nextRoute() {
    {
        std::lock_guard lock(m_mutex);
        if (m_predicted) return *m_predicted;
    }
    HelperRoute route = HelperRoute::none;
    try {
        connectService();
        route = HelperRoute::serviceSocket;
    } catch (const std::system_error&) {
        if (m_options.helperProgram) route = spawnRoute();
    }
    std::lock_guard lock(m_mutex);
    m_predicted = route;
    return route;
}

SeqpacketSocket HelperConnector::connectService() const {
    if (m_options.socketPath.empty()) throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory));
    auto socket = SeqpacketSocket::connect(m_options.socketPath);
    // Only root may serve the helper's socket: a server of any other user (a stale socket in a
    // folder somebody else could write) would receive the user's destination files.
    const auto server = PeerCredentials::of(socket.fd());
    if (server.uid == 0) return socket;
    AppLog::error("Refusing the helper socket " + m_options.socketPath + ": it is served by uid " +
                      std::to_string(server.uid) + ", not root",
                  category);
    throw std::system_error(std::make_error_code(std::errc::operation_not_permitted));
}

SeqpacketSocket HelperConnector::connect() {
    {
        std::lock_guard lock(m_mutex);
        m_predicted.reset();
    }
    std::error_code serviceError = std::make_error_code(std::errc::no_such_file_or_directory);
    try {
        auto socket = connectService();
        std::lock_guard lock(m_mutex);
        m_lastRoute = HelperRoute::serviceSocket;
        return socket;
    } catch (const std::system_error& error) {
        serviceError = error.code();
    }
    if (m_options.helperProgram) {
        const HelperRoute route = spawnRoute();
        auto socket = spawn(route);
        std::lock_guard lock(m_mutex);
        m_lastRoute = route;
        return socket;
    }
    {
        std::lock_guard lock(m_mutex);
        m_lastRoute = HelperRoute::none;
    }
    throw std::system_error(serviceError, "cannot reach the helper at " + m_options.socketPath);
}

SeqpacketSocket HelperConnector::spawn(HelperRoute route) {
    auto [ours, theirs] = SeqpacketSocket::pair();
    const bool throughPkexec = route == HelperRoute::spawnedWithPkexec;
    const int childFd = throughPkexec ? 0 : spawnedConnectionFd;

    // Everything the child needs is built before fork: after it only async-signal-safe calls run.
    std::vector<std::string> arguments;
    if (throughPkexec) arguments.push_back(m_options.pkexecProgram.string());
    arguments.push_back(m_options.helperProgram->string());
    arguments.push_back("--connection-fd=" + std::to_string(childFd));
    for (const auto& argument : m_options.helperArguments) arguments.push_back(argument);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    AppLog::info("Starting a helper (" + std::string(rawValue(route)) + "): " + m_options.helperProgram->string(), category);
    const int theirFd = theirs.fd();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        // dup2 onto the same number would keep close-on-exec set, so move the descriptor first.
        int fd = theirFd;
        if (fd == childFd) fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
        if (fd < 0 || ::dup2(fd, childFd) < 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    auto alive = std::make_shared<std::atomic<bool>>(true);
    {
        std::lock_guard lock(m_mutex);
        m_lastSpawnedPid = pid;
        m_spawnedAlive = alive;
        m_answered = false;
    }
    reapLater(pid, std::move(alive));
    // Our copy of the child's end closes here, so the helper's exit shows as a closed connection.
    { SeqpacketSocket drop = std::move(theirs); }
    return std::move(ours);
}

} // namespace vantrel
