#include "platform/ipc/IpcListener.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vantrel {

namespace {

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// Connections waiting to be accepted.
constexpr int listenBacklog = 16;
// Pause before accepting again when the process has no descriptor to spare.
constexpr auto acceptRetryPause = std::chrono::milliseconds(100);

} // namespace

// The connections being served, in all and per user; shared with the slots, which may outlive the listener.
struct IpcListener::Places {
    std::mutex mutex;
    std::size_t total = 0;
    std::map<uid_t, std::size_t> perUser;
};

UniqueFd IpcListener::listenOn(const std::string& path, mode_t mode, std::optional<gid_t> group) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) throw std::system_error(ENAMETOOLONG, std::generic_category(), "socket path");

    // Only a socket left by an earlier run is replaced; never a file someone put there.
    const auto removeStaleSocket = [](const std::string& candidate) {
        struct stat existing {};
        if (::lstat(candidate.c_str(), &existing) != 0) return;
        if (!S_ISSOCK(existing.st_mode)) throw std::system_error(EEXIST, std::generic_category(), "not a socket: " + candidate);
        if (::unlink(candidate.c_str()) != 0) throwErrno("unlink");
    };
    removeStaleSocket(path);

    // The socket is bound under a staging name with its mode, given its group, made to listen and only
    // then renamed into place, so a peer that sees the path can connect at once and never finds a
    // wrong mode or group.
    // A path too long for a staging name is bound in place (a peer may then briefly be refused).
    std::string bound = path + ".staging." + std::to_string(::getpid());
    if (bound.size() >= sizeof(address.sun_path)) bound = path;
    else removeStaleSocket(bound);
    std::memcpy(address.sun_path, bound.data(), bound.size());

    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) throwErrno("socket");
    // The socket file takes the mode the umask leaves of 0777 at bind: no moment with a wider one.
    const mode_t previousMask = ::umask(~mode & 0777);
    const int bindResult = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int bindError = errno;
    ::umask(previousMask);
    if (bindResult != 0) throw std::system_error(bindError, std::generic_category(), "bind");
    const auto unlinkStaging = [&] {
        if (bound != path) ::unlink(bound.c_str());
    };
    const bool grouped = !group || ::fchownat(AT_FDCWD, bound.c_str(), static_cast<uid_t>(-1), *group, AT_SYMLINK_NOFOLLOW) == 0;
    if (!grouped || ::listen(fd.get(), listenBacklog) != 0) {
        const int saved = errno;
        unlinkStaging();
        throw std::system_error(saved, std::generic_category(), "listen on " + path);
    }
    if (bound != path && ::rename(bound.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        unlinkStaging();
        throw std::system_error(saved, std::generic_category(), "rename to " + path);
    }
    return fd;
}

IpcListener::IpcListener(UniqueFd listeningSocket, Options options)
    : m_socket(std::move(listeningSocket)), m_options(std::move(options)), m_places(std::make_shared<Places>()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe2");
    m_wakeRead.reset(fds[0]);
    m_wakeWrite.reset(fds[1]);
}

IpcListener::~IpcListener() {
    if (m_thread.joinable()) {
        const char wake = 1;
        while (::write(m_wakeWrite.get(), &wake, 1) < 0 && errno == EINTR) {}
        m_thread.join();
    }
}

void IpcListener::resume() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { acceptLoop(); });
}

std::size_t IpcListener::activeConnections() const {
    std::lock_guard lock(m_places->mutex);
    return m_places->total;
}

std::optional<std::string> IpcListener::takePlace(uid_t uid) {
    std::lock_guard lock(m_places->mutex);
    if (m_places->total >= m_options.maxConnections) return "too many connections";
    if (uid != 0) {
        const auto reserved = std::min(m_options.reservedForRoot, m_options.maxConnections);
        if (m_places->total >= m_options.maxConnections - reserved) return "too many connections, the rest are kept for root";
        const auto found = m_places->perUser.find(uid);
        if (found != m_places->perUser.end() && found->second >= m_options.maxConnectionsPerUser)
            return "too many connections of this user";
    }
    ++m_places->total;
    ++m_places->perUser[uid];
    return std::nullopt;
}

void IpcListener::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_socket.get(), POLLIN, 0}, {m_wakeRead.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            ipcLog(m_options.log, IpcLogLevel::error, std::string("IPC listener poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        UniqueFd accepted(::accept4(m_socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!accepted) {
            // Out of descriptors, the pending peer stays queued and poll() reports it again at
            // once: pause instead of spinning until a connection closes.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(acceptRetryPause);
            continue;  // otherwise the peer gave up; keep serving
        }

        PeerCredentials peer;
        try {
            peer = PeerCredentials::of(accepted.get());
        } catch (const std::system_error& error) {
            ipcLog(m_options.log, IpcLogLevel::error, std::string("IPC peer without credentials refused: ") + error.what());
            continue;
        }
        const std::string who = "uid=" + std::to_string(peer.uid) + " pid=" + std::to_string(peer.pid);
        if (!m_options.admission || !m_options.admission(peer)) {
            ipcLog(m_options.log, IpcLogLevel::error, "IPC connection refused, peer not admitted: " + who);
            continue;
        }
        if (const auto full = takePlace(peer.uid)) {
            ipcLog(m_options.log, IpcLogLevel::error, "IPC connection refused, " + *full + ": " + who);
            continue;
        }
        ConnectionSlot slot(static_cast<void*>(nullptr), [places = m_places, uid = peer.uid](void*) {
            std::lock_guard lock(places->mutex);
            --places->total;
            if (const auto found = places->perUser.find(uid); found != places->perUser.end() && --found->second == 0)
                places->perUser.erase(found);
        });
        ipcLog(m_options.log, IpcLogLevel::info, "IPC connection accepted: " + who);
        try {
            if (m_options.onAccept) m_options.onAccept(SeqpacketSocket(std::move(accepted)), std::move(peer), std::move(slot));
        } catch (const std::exception& error) {
            ipcLog(m_options.log, IpcLogLevel::error, std::string("IPC connection set-up failed: ") + error.what());
        }
    }
}

} // namespace vantrel
