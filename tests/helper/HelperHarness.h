#pragma once
// Starts the built VantrelHelper program and talks to it through the IPC layer, as the application
// does: spawned over a socket pair (--connection-fd) or as a shared helper (--listen PATH).

#include "platform/ipc/IpcClient.h"
#include "platform/ipc/IpcConnection.h"
#include "support/VantrelHelperClient.h"
#include "support/VantrelHelperProtocolProxy.h"
#include "tests/fixtures/BatchReadings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vantrel {
constexpr std::uint64_t mebibyte = 1024 * 1024;
} // namespace vantrel

namespace vantrel::test {

inline constexpr auto helperWait = std::chrono::seconds(20);

// What the helper sent back through the client interface.
class RecordingClient : public VantrelHelperClient {
public:
    struct Progress {
        std::int64_t scanned, total, hits, errors;
    };

    void helperDidFindHit(const HelperHitDTO& hit) override {
        std::lock_guard lock(m_mutex);
        m_hits.push_back(hit);
        m_changed.notify_all();
    }
    void helperDidUpdateProgressWithBytesScanned(std::int64_t scanned, std::int64_t total, std::int64_t hits,
                                                 std::int64_t errors) override {
        std::lock_guard lock(m_mutex);
        m_progress.push_back({scanned, total, hits, errors});
        m_events.push_back("progress");
        m_changed.notify_all();
    }
    void helperDidLog(const std::string& line) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
        m_events.push_back("log:" + line);
        m_changed.notify_all();
    }

    std::vector<HelperHitDTO> hits() {
        std::lock_guard lock(m_mutex);
        return m_hits;
    }
    std::vector<Progress> progress() {
        std::lock_guard lock(m_mutex);
        return m_progress;
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // Progress reports and status lines ("log:" + line) in the order they arrived.
    std::vector<std::string> events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    bool saw(const std::string& line) {
        for (const auto& text : lines())
            if (text == line) return true;
        return false;
    }
    // Waits until a progress report or a hit has come (the scan is under way).
    bool waitForProgress(std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, helperWait, [&] { return m_progress.size() >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<HelperHitDTO> m_hits;
    std::vector<Progress> m_progress;
    std::vector<std::string> m_lines;
    std::vector<std::string> m_events;
};

// readHitBatches: the batches of hits are read from their text, as the application reads them; otherwise
// every packet goes through the JSON library.
inline IpcConnectionOptions applicationOptions(RecordingClient& client, bool readHitBatches = false) {
    IpcConnectionOptions options;
    options.exported = VantrelHelperClient::selectorTable();
    options.remote = VantrelHelperProtocol::selectorTable();
    options.onMessage = [&client](IpcIncoming message) { VantrelHelperClient::dispatch(client, message); };
    if (readHitBatches) options.batchReader = [&client] { return VantrelHelperClient::hitBatchReader(unowned(client)); };
    return options;
}

// A child process running the helper with the given arguments; the child's descriptor childFd (when
// 0 or more) becomes descriptor 3. prefix runs before the helper (e.g. setpriv to change user). With
// socketActivation the child is told, as the service manager tells it, that descriptor 3 listens.
class HelperProcess {
public:
    HelperProcess(std::vector<std::string> arguments, int childFd = -1, std::vector<std::string> prefix = {},
                  bool socketActivation = false) {
        std::vector<std::string> argv = std::move(prefix);
        argv.push_back(VANTREL_HELPER_PATH);
        for (auto& argument : arguments) argv.push_back(std::move(argument));
        std::vector<char*> pointers;
        for (auto& argument : argv) pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            if (childFd >= 0) {
                if (childFd == 3) ::fcntl(3, F_SETFD, 0);
                else ::dup2(childFd, 3);
            }
            if (socketActivation) {
                // The test process forks from one thread, so setenv is safe here.
                ::setenv("LISTEN_FDS", "1", 1);
                ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
            }
            ::execvp(pointers[0], pointers.data());
            ::_exit(127);
        }
    }
    ~HelperProcess() {
        if (!m_exitStatus) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // The exit status once the process has ended within the time, or nothing.
    std::optional<int> waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!m_exitStatus) {
            int status = 0;
            const auto done = ::waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return m_exitStatus;
    }

private:
    pid_t m_pid = -1;
    std::optional<int> m_exitStatus;
};

// A helper spawned for one connection over a socket pair, as the application starts it without systemd.
class SpawnedHelper {
public:
    explicit SpawnedHelper(std::vector<std::string> extraArguments = {"--allow-image-files"}, std::vector<std::string> prefix = {},
                           bool readHitBatches = false) {
        auto [ours, theirs] = SeqpacketSocket::pair();
        extraArguments.insert(extraArguments.begin(), "--connection-fd=3");
        process = std::make_unique<HelperProcess>(std::move(extraArguments), theirs.fd(), std::move(prefix));
        // Our copy of the helper's end closes here, so the helper's exit shows as a closed connection.
        { SeqpacketSocket drop = std::move(theirs); }
        connection = std::make_unique<IpcConnection>(std::move(ours), applicationOptions(client, readHitBatches));
        connection->resume();
        helper = std::make_unique<VantrelHelperProtocolProxy>(*connection, [this](ErrorObject error) {
            std::lock_guard lock(m_mutex);
            connectionErrors.push_back(error);
        });
    }
    // A fresh destination file as the application makes it (exclusive create, mode 0600), open for writing.
    static UniqueFd destination(const std::filesystem::path& path) {
        return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    }
    ~SpawnedHelper() {
        helper.reset();
        connection.reset();
    }

    RecordingClient client;
    std::unique_ptr<HelperProcess> process;
    std::unique_ptr<IpcConnection> connection;
    std::unique_ptr<VantrelHelperProtocolProxy> helper;
    std::vector<ErrorObject> connectionErrors;

private:
    std::mutex m_mutex;
};

// Waits until a listening helper's socket file exists.
inline bool waitForSocket(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + helperWait;
    std::error_code error;
    while (!std::filesystem::exists(path, error)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Waits for a reply callback's values.
template <typename... Values>
class Answer {
public:
    auto callback() {
        return [state = m_state](Values... values) { state->set_value(std::make_tuple(std::move(values)...)); };
    }
    std::tuple<Values...> get() {
        auto future = m_state->get_future();
        if (future.wait_for(helperWait) != std::future_status::ready) {
            ADD_FAILURE() << "no reply in time";
            return {};
        }
        return future.get();
    }
private:
    std::shared_ptr<std::promise<std::tuple<Values...>>> m_state = std::make_shared<std::promise<std::tuple<Values...>>>();
};

using ErrorAnswer = Answer<std::optional<ErrorObject>>;

inline std::optional<ErrorObject> waitError(ErrorAnswer& answer) { return std::get<0>(answer.get()); }

// The helper's answer to a ping.
inline std::string pingAnswer(VantrelHelperProtocol& helper) {
    Answer<std::string> pong;
    helper.ping(pong.callback());
    return std::get<0>(pong.get());
}

// The error the helper answers a request to quit with (nothing: it quits).
inline std::optional<ErrorObject> quitAnswer(VantrelHelperProtocol& helper) {
    ErrorAnswer quit;
    helper.quitForRelaunch(quit.callback());
    return waitError(quit);
}

// An application's connection to a shared helper's socket, reconnecting as the application does; a
// connection error fails the test.
struct SocketApplication {
    explicit SocketApplication(const std::string& socketPath)
        : connection([socketPath] { return SeqpacketSocket::connect(socketPath); }, applicationOptions(client)),
          helper(connection, [](ErrorObject error) { ADD_FAILURE() << error.message; }) {}

    RecordingClient client;
    IpcClient connection;
    VantrelHelperProtocolProxy helper;
};

} // namespace vantrel::test
