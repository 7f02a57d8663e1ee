#include "platform/process/ProcessRunner.h"

#include "platform/files/TrustedPath.h"
#include "platform/process/SpawnDefaults.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

// The environment of every child: tool output in the C locale, so it parses the same everywhere.
constexpr std::array<const char*, 3> childEnvironment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", nullptr};
// How long to wait between checks for a child that has closed its output but not yet exited, when the
// kernel offers no process descriptor to wait on.
constexpr std::chrono::milliseconds exitPollInterval{5};
constexpr std::size_t readChunkBytes = 16 * 1024;
// How long a killed child may take to go. One stuck in an uninterruptible device wait outlives SIGKILL;
// it is then reaped in the background so the caller's time limit still holds.
constexpr std::chrono::milliseconds killGrace{1000};

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

void killGroup(pid_t pid) {
    // The child leads its own process group, so helpers it started die with it.
    if (::kill(-pid, SIGKILL) != 0) ::kill(pid, SIGKILL);
}

// Waits for the child to end, reaping it; returns its wait status.
int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Whether the child ended before the deadline (it is not reaped).
bool waitForExit(pid_t pid, int pidFd, Clock::time_point deadline) {
    for (;;) {
        siginfo_t info {};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (Clock::now() >= deadline) return false;
        if (pidFd >= 0) {
            pollfd entry{pidFd, POLLIN, 0};
            ::poll(&entry, 1, millisecondsUntil(deadline));
        } else {
            ::usleep(static_cast<useconds_t>(std::chrono::microseconds(exitPollInterval).count()));
        }
    }
}

} // namespace

const std::vector<std::filesystem::path>& ProcessRunner::systemPrograms() {
    static const std::vector<std::filesystem::path> programs = {
        "/usr/sbin/blkid", "/sbin/blkid",   "/usr/bin/mount", "/bin/mount",
        "/usr/bin/umount", "/bin/umount",
    };
    return programs;
}

ProcessRunner::ProcessRunner() : m_allowedPrograms(systemPrograms()) {}

ProcessRunner::ProcessRunner(std::vector<std::filesystem::path> allowedPrograms)
    : m_allowedPrograms(std::move(allowedPrograms)) {}

bool ProcessRunner::isAllowed(const std::filesystem::path& program) const {
    if (!program.is_absolute()) return false;
    if (std::find(m_allowedPrograms.begin(), m_allowedPrograms.end(), program) == m_allowedPrograms.end()) return false;
    return TrustedPath::isTrustedProgram(program);
}

ProcessResult ProcessRunner::run(const ProcessRequest& request) const {
    ProcessResult result;
    if (!isAllowed(request.program)) {
        result.errorNumber = EACCES;
        return result;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.errorNumber = errno;
        return result;
    }
    Descriptor readEnd(pipeFds[0]);
    Descriptor writeEnd(pipeFds[1]);
    Descriptor errorReadEnd;
    Descriptor errorWriteEnd;
    if (request.maxErrorBytes > 0) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            result.errorNumber = errno;
            return result;
        }
        errorReadEnd.reset(pipeFds[0]);
        errorWriteEnd.reset(pipeFds[1]);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    if (errorWriteEnd.get() >= 0) ::posix_spawn_file_actions_adddup2(&actions, errorWriteEnd.get(), STDERR_FILENO);
    else ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Passed descriptors are first moved above the numbers they go to, so none is overwritten before
    // it has been placed; then each goes to its number (which clears its close-on-exec flag).
    constexpr int firstPassed = STDERR_FILENO + 1;
    int staging = firstPassed + static_cast<int>(request.passedDescriptors.size());
    for (const int fd : request.passedDescriptors) staging = std::max(staging, fd + 1);
    for (std::size_t index = 0; index < request.passedDescriptors.size(); ++index)
        ::posix_spawn_file_actions_adddup2(&actions, request.passedDescriptors[index], staging + static_cast<int>(index));
    for (std::size_t index = 0; index < request.passedDescriptors.size(); ++index)
        ::posix_spawn_file_actions_adddup2(&actions, staging + static_cast<int>(index), firstPassed + static_cast<int>(index));
    // Descriptors this process opened without close-on-exec must not leak into the tool.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, firstPassed + static_cast<int>(request.passedDescriptors.size()));
    SpawnDefaults::apply(attributes);

    std::vector<char*> argv;
    std::string programText = request.program.string();
    argv.push_back(programText.data());
    std::vector<std::string> arguments = request.arguments;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, programText.c_str(), &actions, &attributes, argv.data(),
                                      const_cast<char* const*>(childEnvironment.data()));
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    writeEnd.reset();
    errorWriteEnd.reset();
    if (spawned != 0) {
        result.errorNumber = spawned;
        return result;
    }

    const auto deadline = Clock::now() + request.timeLimit;
    Descriptor pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    std::array<char, readChunkBytes> chunk{};
    bool outputEnded = false;
    bool errorEnded = errorReadEnd.get() < 0;
    bool tooLarge = false;
    // Reads what one of the two pipes holds; false when it has ended.
    auto drain = [&](int fd, std::string& into, std::size_t cap, bool stopsAtCap) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0) return errno == EINTR || errno == EAGAIN;
        if (got == 0) return false;
        const auto bytes = static_cast<std::size_t>(got);
        const std::size_t room = cap - std::min(cap, into.size());
        into.append(chunk.data(), std::min(bytes, room));
        if (stopsAtCap && bytes > room) tooLarge = true;
        return true;
    };
    while (!(outputEnded && errorEnded) && !tooLarge && Clock::now() < deadline) {
        std::array<pollfd, 2> entries{};
        nfds_t count = 0;
        if (!outputEnded) entries[count++] = {readEnd.get(), POLLIN, 0};
        if (!errorEnded) entries[count++] = {errorReadEnd.get(), POLLIN, 0};
        const int ready = ::poll(entries.data(), count, millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (nfds_t index = 0; index < count; ++index) {
            if (entries[index].revents == 0) continue;
            if (entries[index].fd == readEnd.get())
                outputEnded = !drain(readEnd.get(), result.standardOutput, request.maxOutputBytes, true);
            else
                errorEnded = !drain(errorReadEnd.get(), result.standardError, request.maxErrorBytes, false);
        }
    }
    readEnd.reset();
    errorReadEnd.reset();

    const bool exited = !tooLarge && outputEnded && errorEnded && waitForExit(pid, pidFd.get(), deadline);
    if (!exited) {
        killGroup(pid);
        if (!waitForExit(pid, pidFd.get(), Clock::now() + killGrace)) {
            std::thread([pid] { reap(pid); }).detach();
            result.outcome = tooLarge ? ProcessResult::Outcome::outputTooLarge : ProcessResult::Outcome::timedOut;
            return result;
        }
    }
    const int status = reap(pid);
    if (tooLarge) {
        result.outcome = ProcessResult::Outcome::outputTooLarge;
    } else if (!exited) {
        result.outcome = ProcessResult::Outcome::timedOut;
    } else if (WIFEXITED(status)) {
        result.outcome = ProcessResult::Outcome::exited;
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.outcome = ProcessResult::Outcome::signalled;
    }
    return result;
}

} // namespace vantrel
