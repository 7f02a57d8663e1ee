// vantrel-verify: the program the application starts to have found files judged. It is small (no
// decoder, no toolkit) so that it starts at once: serving many files, it opens each one and hands it,
// open, to a judging process it starts afresh from the decoding program beside it, which gives up
// root before it reads a byte and judges file after file under its limits until it has used its
// processor time or judged its share. Every other task (one file judged, a preview drawn, a picture
// turned) is the decoding program's: this process becomes it, with the same arguments.

#include "Vantrel/verify/ChildLimits.h"
#include "Vantrel/verify/JudgePackets.h"
#include "Vantrel/verify/VerifyProtocol.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace vantrel;
using ChildLimits::count;
using ChildLimits::limitExit;
using ChildLimits::usageExit;

struct ServeOptions {
    std::uint64_t cpuSeconds = 0;
    std::uint64_t memoryMiB = 0;
    std::string testHook;  // handed on to the judge, in the test build only
};

bool asksToServe(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == VerifyProtocol::serveOption) return true;
    return false;
}

// Serving takes its files from its input, and takes only its limits beside.
std::optional<ServeOptions> parseServe(int argc, char** argv) {
    ServeOptions options;
    std::optional<std::uint64_t> cpu;
    std::optional<std::uint64_t> memory;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == VerifyProtocol::serveOption) continue;
        if (argument.starts_with(VerifyProtocol::cpuSecondsOption)) {
            cpu = count(argument.substr(VerifyProtocol::cpuSecondsOption.size()));
            if (!cpu) return std::nullopt;
        } else if (argument.starts_with(VerifyProtocol::memoryMiBOption)) {
            memory = count(argument.substr(VerifyProtocol::memoryMiBOption.size()));
            if (!memory || *memory > ChildLimits::maxMemoryMiB) return std::nullopt;
#ifdef VANTREL_VERIFY_TEST_HOOKS
        } else if (argument.starts_with("--test-")) {
            options.testHook = argument;
#endif
        } else {
            return std::nullopt;
        }
    }
    if (!cpu || !memory) return std::nullopt;
    options.cpuSeconds = *cpu;
    options.memoryMiB = *memory;
    return options;
}

// The decoding program beside this one, which the application checked before it started this one.
std::string decoderPath() {
    std::string self(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= self.size() - 1) return {};
    self.resize(static_cast<std::size_t>(length));
    return self + std::string(VerifyProtocol::decoderSuffix);
}

void say(std::string_view key, std::string_view value) {
    std::printf("%.*s %.*s\n", static_cast<int>(key.size()), key.data(), static_cast<int>(value.size()), value.data());
}

void sayEnd() { std::printf("%.*s\n", static_cast<int>(VerifyProtocol::endLine.size()), VerifyProtocol::endLine.data()); }

// A judging process: the decoding program started afresh (not a copy of this process), on a socket of
// packets as its input and this process's output as its own, in this process group.
class Judge {
public:
    static std::unique_ptr<Judge> start(const std::string& program, const ServeOptions& options) {
        if (program.empty()) return nullptr;
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
        ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        std::vector<std::string> arguments{program, std::string(VerifyProtocol::judgeOption),
                                           std::string(VerifyProtocol::cpuSecondsOption) + std::to_string(options.cpuSeconds),
                                           std::string(VerifyProtocol::memoryMiBOption) + std::to_string(options.memoryMiB)};
        if (!options.testHook.empty()) arguments.push_back(options.testHook);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(ends[1]);
        if (spawned != 0) {
            ::close(ends[0]);
            return nullptr;
        }
        return std::unique_ptr<Judge>(new Judge(pid, ends[0]));
    }
    // Closing its input ends a judge that waits for a file; one that does not end so is ended.
    ~Judge() {
        ::close(m_socket);
        int status = 0;
        if (!m_ended) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Judge(const Judge&) = delete;
    Judge& operator=(const Judge&) = delete;

    enum class Outcome { judged, judgedLast, failed };
    // Hands over the open file and waits until the answer is written.
    Outcome judge(const JudgePackets::Request& request, int fd) {
        if (!JudgePackets::send(m_socket, JudgePackets::requestText(request), fd)) return Outcome::failed;
        std::array<char, 16> reply{};
        ssize_t got = -1;
        do {
            got = ::recv(m_socket, reply.data(), reply.size(), 0);
        } while (got < 0 && errno == EINTR);
        const std::string_view said(reply.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
        if (said == JudgePackets::judgedReply) return Outcome::judged;
        if (said != JudgePackets::lastReply) return Outcome::failed;
        // A judge that took its last file ends by itself, and normally.
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_ended = true;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Outcome::judgedLast : Outcome::failed;
    }

private:
    Judge(pid_t pid, int socket) : m_pid(pid), m_socket(socket) {}
    pid_t m_pid;
    int m_socket;
    bool m_ended = false;
};

// One request a line, "<kind> <0|1> <file>", until the input ends; a line that is not one ends the
// process, so that the application sees no answer. This process opens each file (as root, when
// started so) and never decodes: its judging process reads and judges it. A judge that does not
// answer normally ends this process too, so that the application sees no answer for that file and
// starts a fresh process (and judge) for the next.
int serve(const ServeOptions& options) {
    const std::string program = decoderPath();
    std::unique_ptr<Judge> judge;
    std::string line;
    for (int c = std::getchar();; c = std::getchar()) {
        if (c == EOF) return line.empty() ? 0 : usageExit;
        if (c != '\n') {
            if (line.size() >= VerifyProtocol::maxRequestBytes) return usageExit;
            line.push_back(static_cast<char>(c));
            continue;
        }
        const auto request = JudgePackets::parseRequest(line);
        if (!request) return usageExit;
        line.clear();
        const int fd = ::open(request->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
            static_cast<std::uint64_t>(info.st_size) > ChildLimits::maxFileBytes) {
            if (fd >= 0) ::close(fd);
            say(VerifyProtocol::verdictKey, VerifyProtocol::unreadableValue);
            sayEnd();
            if (std::fflush(stdout) != 0) return 1;
            continue;
        }
        if (!judge) judge = Judge::start(program, options);
        const auto outcome = judge ? judge->judge(*request, fd) : Judge::Outcome::failed;
        ::close(fd);
        if (outcome == Judge::Outcome::failed) return limitExit;
        if (outcome == Judge::Outcome::judgedLast) judge.reset();
        sayEnd();
        if (std::fflush(stdout) != 0) return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (!asksToServe(argc, argv)) {
        // The decoding program, with these arguments and the descriptors the application opened.
        const std::string program = decoderPath();
        if (!program.empty()) ::execv(program.c_str(), argv);
        std::fprintf(stderr, "vantrel-verify: cannot start %s\n", program.c_str());
        return limitExit;
    }
    const auto options = parseServe(argc, argv);
    if (!options) {
        std::fputs("usage: vantrel-verify --serve --cpu-seconds=<n> --memory-mib=<n>   (requests on standard input)\n", stderr);
        return usageExit;
    }
    // This process never decodes; its judge sets CPU limits of its own.
    if (!ChildLimits::limitCoreAndMemory(options->memoryMiB)) return limitExit;
    return serve(*options);
}
