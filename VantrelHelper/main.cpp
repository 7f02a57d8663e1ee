// VantrelHelper: the privileged helper. See HelperOptions.h for how it is started.

#include "VantrelHelper/DeviceAccess.h"
#include "VantrelHelper/HelperDelegate.h"
#include "VantrelHelper/HelperOptions.h"
#include "VantrelHelper/ScanEngineRunner.h"
#include "VantrelHelper/ServiceInstallation.h"
#include "platform/files/FolderWithoutLinks.h"
#include "platform/files/TrustedPath.h"
#include "platform/ipc/IpcListener.h"
#include "support/ProgramVersion.h"
#include "support/XPCConstants.h"
#include "support/log/AppLog.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <iostream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

using namespace vantrel;

constexpr std::string_view category = "helper";
// The first descriptor the service manager passes (sd_listen_fds(3)).
constexpr int firstPassedDescriptor = 3;
// A helper started by the service manager ends after this long with no connection and no disk to remount.
constexpr std::chrono::seconds idleExitDelay{60};
// A shared helper's connection with no call in flight for this long gives its place back; the
// application connects again on its next call.
constexpr std::chrono::seconds idleConnectionTimeout{120};
// The endpoint's socket file: owner and group may connect.
constexpr mode_t endpointMode = 0660;
constexpr mode_t endpointFolderMode = 0755;

// The socket the service manager passed, when it passed one to this very process.
std::optional<int> passedSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    if (!pid || !count || std::to_string(::getpid()) != pid || std::atoi(count) < 1) return std::nullopt;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    ::fcntl(firstPassedDescriptor, F_SETFD, FD_CLOEXEC);
    return firstPassedDescriptor;
}

std::string endpointPath() {
    const char* overridden = std::getenv(std::string(XPCConstants::helperSocketEnvironmentVariable).c_str());
    return overridden && *overridden ? overridden : std::string(XPCConstants::helperSocketPath);
}

// Listens at path. Its folder is made when missing; either way it must be one only root (or this
// helper's own user) can change, or whoever can could swap the socket for one of theirs, and no name
// on the way may be a symbolic link (whoever owns the link decides where the socket goes).
UniqueFd listenOnEndpoint(const std::string& path) {
    const auto folder = std::filesystem::absolute(path).lexically_normal().parent_path();
    const auto reachable = [](const std::filesystem::path& reached) {
        if (const auto opened = FolderWithoutLinks::open(reached.string()); !opened.fd)
            throw std::system_error(ELOOP, std::generic_category(), "the socket folder cannot be used: " + *opened.refusal);
    };
    reachable(folder.parent_path());
    if (::mkdir(folder.c_str(), endpointFolderMode) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "cannot make the socket folder " + folder.string());
    reachable(folder);
    if (!TrustedPath::isTrustedFolder(folder, ::geteuid()))
        throw std::system_error(EPERM, std::generic_category(),
                                "the socket folder " + folder.string() + " may be changed by others than root");
    std::optional<gid_t> group;
    if (const auto* entry = ::getgrnam(std::string(XPCConstants::helperGroupName).c_str())) group = entry->gr_gid;
    return IpcListener::listenOn(path, endpointMode, group);
}

// Root, members of the helper's group, and the helper's own user (a helper that is not root can do
// nothing for its own user that the user cannot do already).
AdmissionPolicy sharedAdmission() {
    const auto group = Admission::rootOrGroup(std::string(XPCConstants::helperGroupName));
    const uid_t self = ::geteuid();
    return [group, self](const PeerCredentials& peer) { return peer.uid == self || group(peer); };
}

int serveListener(UniqueFd socket, HelperDelegate& delegate, const std::string& where) {
    IpcListener::Options options;
    options.admission = sharedAdmission();
    options.log = [](IpcLogLevel level, const std::string& line) {
        if (level == IpcLogLevel::error) AppLog::error(line, category);
        else AppLog::info(line, category);
    };
    options.onAccept = [&delegate](SeqpacketSocket accepted, PeerCredentials, IpcListener::ConnectionSlot slot) {
        delegate.accept(std::move(accepted), std::move(slot));
    };
    IpcListener listener(std::move(socket), std::move(options));
    listener.resume();
    AppLog::info("Helper listening on " + where + " logging=" + (AppLog::isEnabled() ? "true" : "false") + " compile=false",
                 category);
    return delegate.run();
}

int serveConnection(int fd, HelperDelegate& delegate) {
    SeqpacketSocket socket{UniqueFd(fd)};
    PeerCredentials peer;
    try {
        peer = PeerCredentials::of(socket.fd());
    } catch (const std::exception& failure) {
        AppLog::error(std::string("Helper cannot read its peer: ") + failure.what(), category);
        return EXIT_FAILURE;
    }
    // Spawned over a socket pair: only the parent that made the pair (or root) is served.
    if (peer.uid != 0 && peer.pid != ::getppid()) {
        AppLog::error("Helper refused peer uid=" + std::to_string(peer.uid) + " pid=" + std::to_string(peer.pid), category);
        return EXIT_FAILURE;
    }
    delegate.accept(std::move(socket));
    AppLog::info("Helper serving one connection logging=" + std::string(AppLog::isEnabled() ? "true" : "false") +
                     " compile=false",
                 category);
    return delegate.run();
}

// --install-service and --remove-service: what was done besides on standard output, a failure on
// standard error.
int changeService(bool install) {
    if (::geteuid() != 0) {
        std::cerr << "VantrelHelper: installing or removing the helper service needs root (pkexec VantrelHelper ...)\n";
        return EXIT_FAILURE;
    }
    const auto settings = ServiceInstallationOptions::standard();
    const auto outcome = install ? installService(settings) : removeService(settings);
    AppLog::info(std::string("Helper service ") + (install ? "install" : "removal") + (outcome.succeeded ? " done" : " failed") +
                     (outcome.said.empty() ? "" : ": " + outcome.said),
                 category);
    (outcome.succeeded ? std::cout : std::cerr) << outcome.said << (outcome.said.empty() || outcome.said.back() == '\n' ? "" : "\n");
    return outcome.succeeded ? EXIT_SUCCESS : EXIT_FAILURE;
}

} // namespace

int main(int argc, char** argv) {
    std::string problem;
    const auto options = HelperOptions::parse(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), problem);
    if (!options) {
        std::cerr << "VantrelHelper: " << problem << "\n" << HelperOptions::usage();
        return 2;
    }
    // Answered before anything is opened or listened on.
    if (options->help) {
        std::cout << HelperOptions::usage()
                  << "Reads disks for Vantrel: as the helper service, on a socket of its own (--listen),\n"
                     "or on one connection it was started for (--connection-fd).\n";
        return 0;
    }
    if (options->version) {
        std::cout << "VantrelHelper " << programVersion << "\n";
        return 0;
    }
    if (options->mode == HelperOptions::Mode::installService || options->mode == HelperOptions::Mode::removeService)
        return changeService(options->mode == HelperOptions::Mode::installService);
    // A client that goes away must not end the helper through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // systemctl stop, a shutdown, a closed terminal, Ctrl+C in it: the same ending as a quit, mount-backs
    // included.
    struct sigaction ending {};
    ending.sa_handler = HelperDelegate::endOnSignal;
    ending.sa_flags = SA_RESTART;
    sigemptyset(&ending.sa_mask);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) ::sigaction(signal, &ending, nullptr);
    DeviceAccess::configure({options->allowImageFiles, {}, argc > 0 ? argv[0] : ""});

    HelperDelegate::Options delegateOptions;
    delegateOptions.scan = ScanEngineRunner::runner();
    try {
        switch (options->mode) {
        case HelperOptions::Mode::connection: {
            delegateOptions.endWithLastConnection = true;
            HelperDelegate delegate(std::move(delegateOptions));
            return serveConnection(options->connectionFd, delegate);
        }
        case HelperOptions::Mode::listen: {
            delegateOptions.idleConnectionTimeout = idleConnectionTimeout;
            HelperDelegate delegate(std::move(delegateOptions));
            return serveListener(listenOnEndpoint(options->listenPath), delegate, options->listenPath);
        }
        case HelperOptions::Mode::endpoint: {
            delegateOptions.idleConnectionTimeout = idleConnectionTimeout;
            if (const auto passed = passedSocket()) {
                delegateOptions.idleExit = idleExitDelay;
                HelperDelegate delegate(std::move(delegateOptions));
                return serveListener(UniqueFd(*passed), delegate, "the service manager's socket");
            }
            HelperDelegate delegate(std::move(delegateOptions));
            const auto path = endpointPath();
            return serveListener(listenOnEndpoint(path), delegate, path);
        }
        case HelperOptions::Mode::installService:
        case HelperOptions::Mode::removeService: break;  // changed above
        }
    } catch (const std::exception& failure) {
        std::cerr << "VantrelHelper: " << failure.what() << "\n";
        AppLog::error(std::string("Helper could not start: ") + failure.what(), category);
    }
    return EXIT_FAILURE;
}
