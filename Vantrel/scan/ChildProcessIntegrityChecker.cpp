#include "Vantrel/scan/ChildProcessIntegrityChecker.h"

#include "Vantrel/helper/PrivatePrograms.h"

#include "Vantrel/verify/CaptureStamp.h"
#include "Vantrel/verify/VerifyProtocol.h"

#include "platform/files/TrustedPath.h"
#include "platform/process/SpawnDefaults.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

// The child writes a few short lines for each file; more is not the protocol.
constexpr std::size_t maxAnswerBytes = 4096;
// The child's environment: the C locale, and nothing of the application's.
constexpr std::array<const char*, 3> childEnvironment = {"PATH=/usr/bin:/bin", "LC_ALL=C", nullptr};

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

} // namespace

// One serving child: its process group and the socket that is its standard input and output. Ending
// it kills the group; it is reaped on a thread of its own, as a child stuck in a device wait outlives
// even SIGKILL for a while.
class ChildProcessIntegrityChecker::Child {
public:
    Child(pid_t pid, int socket) : m_pid(pid), m_socket(socket) {}
    ~Child() {
        ::close(m_socket);
        ::kill(-m_pid, SIGKILL);
        std::thread([pid = m_pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    int socket() const { return m_socket; }

private:
    pid_t m_pid;
    int m_socket;
};

std::filesystem::path ChildProcessIntegrityChecker::programBesideThisOne() {
    const auto folder = runningProgramDirectory();
    if (!folder) return "/usr/libexec/vantrel/vantrel-verify";
    // Where none is found, the one beside: its failure to start is what each check then reports.
    return findPrivateProgram(*folder, "vantrel-verify").value_or(*folder / "vantrel-verify");
}

ChildProcessIntegrityChecker::ChildProcessIntegrityChecker(std::filesystem::path program, IntegrityLimits limits,
                                                           std::vector<std::string> extraArguments)
    : m_program(std::move(program)), m_limits(limits), m_extraArguments(std::move(extraArguments)) {}

ChildProcessIntegrityChecker::~ChildProcessIntegrityChecker() = default;

std::size_t ChildProcessIntegrityChecker::childrenStarted() const {
    std::lock_guard lock(m_lock);
    return m_started;
}

std::unique_ptr<ChildProcessIntegrityChecker::Child> ChildProcessIntegrityChecker::takeChild(bool& reused) {
    {
        std::lock_guard lock(m_lock);
        if (!m_idle.empty()) {
            auto child = std::move(m_idle.back());
            m_idle.pop_back();
            reused = true;
            return child;
        }
    }
    reused = false;
    // The serving program runs its decoding program beside it, as whoever this process is.
    if (!m_program.is_absolute() || !TrustedPath::isTrustedProgram(m_program) ||
        !TrustedPath::isTrustedProgram(m_program.string() + std::string(VerifyProtocol::decoderSuffix)))
        return nullptr;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    SpawnDefaults::apply(attributes);

    std::vector<std::string> arguments{m_program.string(), std::string(VerifyProtocol::serveOption),
                                       std::string(VerifyProtocol::cpuSecondsOption) + std::to_string(m_limits.cpuSeconds),
                                       std::string(VerifyProtocol::memoryMiBOption) + std::to_string(m_limits.memoryMiB)};
    arguments.insert(arguments.end(), m_extraArguments.begin(), m_extraArguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, arguments[0].c_str(), &actions, &attributes, argv.data(),
                                      const_cast<char* const*>(childEnvironment.data()));
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    ::close(ends[1]);
    if (spawned != 0) {
        ::close(ends[0]);
        return nullptr;
    }
    std::lock_guard lock(m_lock);
    ++m_started;
    return std::make_unique<Child>(pid, ends[0]);
}

void ChildProcessIntegrityChecker::keepChild(std::unique_ptr<Child> child) {
    std::lock_guard lock(m_lock);
    if (m_idle.size() < maxIdleChildren) m_idle.push_back(std::move(child));
}

ChildProcessIntegrityChecker::Answer ChildProcessIntegrityChecker::ask(Child& child, const std::string& request,
                                                                       IntegrityVerdict& verdict) const {
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t done = ::send(child.socket(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return Answer::childGone;
        sent += static_cast<std::size_t>(done);
    }
    const auto deadline = Clock::now() + m_limits.wallClock;
    const std::string end = "\n" + std::string(VerifyProtocol::endLine) + "\n";
    std::string answer = "\n";  // so that the end line is found also as the first line
    std::array<char, 1024> chunk{};
    while (Clock::now() < deadline) {
        pollfd entry{child.socket(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) return Answer::failed;
        if (ready <= 0) continue;
        const ssize_t got = ::recv(child.socket(), chunk.data(), chunk.size(), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return answer.size() == 1 ? Answer::childGone : Answer::failed;
        answer.append(chunk.data(), static_cast<std::size_t>(got));
        if (answer.size() > maxAnswerBytes) return Answer::failed;
        if (answer.ends_with(end)) {
            const auto parsed = parseVerifyOutput(answer.substr(1, answer.size() - end.size()));
            if (!parsed) return Answer::failed;
            verdict = *parsed;
            return Answer::verdict;
        }
    }
    return Answer::failed;
}

IntegrityVerdict ChildProcessIntegrityChecker::check(RecoveredFileKind kind, const std::string& filePath,
                                                     bool wasCutAtCap) {
    // A path that would break the request's line cannot be asked for.
    if (filePath.empty() || filePath.find('\n') != std::string::npos || filePath.size() > VerifyProtocol::maxRequestBytes / 2) {
        IntegrityVerdict unread{HitIntegrity::pending, std::nullopt};
        unread.unreadable = true;
        return unread;
    }
    const std::string request =
        std::string(FileKind::rawValue(kind)) + (wasCutAtCap ? " 1 " : " 0 ") + filePath + "\n";
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool reused = false;
        auto child = takeChild(reused);
        if (!child) return {HitIntegrity::pending, std::nullopt};
        IntegrityVerdict verdict;
        const Answer answer = ask(*child, request, verdict);
        if (answer == Answer::verdict) {
            keepChild(std::move(child));
            return verdict;
        }
        child.reset();
        // An idle child that had ended meanwhile says nothing of this file: a fresh one is asked.
        if (answer == Answer::childGone && reused) continue;
        break;
    }
    // Crashed, killed by a limit, out of time or talking nonsense: the file made a decoder fail.
    return {HitIntegrity::suspect, std::nullopt};
}

std::optional<IntegrityVerdict> parseVerifyOutput(const std::string& output) {
    std::istringstream lines(output);
    std::string line;
    std::optional<HitIntegrity> integrity;
    std::optional<CaptureStamp> stamp;
    while (std::getline(lines, line)) {
        const auto space = line.find(' ');
        if (space == std::string::npos) return std::nullopt;
        const std::string_view key = std::string_view(line).substr(0, space);
        const std::string value = line.substr(space + 1);
        if (key == VerifyProtocol::verdictKey && value == VerifyProtocol::unreadableValue) {
            IntegrityVerdict unread{HitIntegrity::pending, std::nullopt};
            unread.unreadable = true;
            return lines.peek() == std::char_traits<char>::eof() ? std::optional(unread) : std::nullopt;
        }
        if (key == VerifyProtocol::verdictKey) {
            integrity = HitIntegrityName::fromRawValue(value);
            if (!integrity || *integrity == HitIntegrity::pending) return std::nullopt;
        } else if (key == VerifyProtocol::dateKey) {
            stamp = CaptureStamp{value, std::nullopt};
        } else if (key == VerifyProtocol::offsetKey && stamp) {
            stamp->offset = value;
        } else {
            return std::nullopt;
        }
    }
    if (!integrity) return std::nullopt;
    IntegrityVerdict verdict{*integrity, std::nullopt};
    if (stamp) {
        verdict.captureDate = CaptureDate::toDate(*stamp);
        if (verdict.captureDate) verdict.captureUtcOffsetMinutes = CaptureDate::offsetMinutes(*stamp);
    }
    return verdict;
}

} // namespace vantrel
