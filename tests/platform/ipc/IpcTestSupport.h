#pragma once
// Helpers for the IPC tests: waiting for answers with a deadline, a small selector table, and a raw
// peer that speaks packets directly so tests can send what a well-behaved peer never would.

#include "platform/ipc/IpcConnection.h"
#include "platform/ipc/IpcMessage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <thread>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::test {

inline constexpr auto ipcWait = std::chrono::seconds(5);

// What one call ended in, and how many times it ended (must be once).
struct CallOutcome {
    std::optional<nlohmann::json> arguments;  // set when a reply came
    std::optional<ErrorObject> error;         // the reply's error, or the failure
    bool failed = false;                      // the failure handler ran
    int endings = 0;
};

class CallRecorder {
public:
    IpcPeer::ReplyHandler onReply() {
        return [this](nlohmann::json arguments, std::optional<ErrorObject> error) {
            std::lock_guard lock(m_mutex);
            m_outcome.arguments = std::move(arguments);
            m_outcome.error = std::move(error);
            ++m_outcome.endings;
            m_changed.notify_all();
        };
    }
    IpcPeer::FailureHandler onFailure() {
        return [this](ErrorObject error) {
            std::lock_guard lock(m_mutex);
            m_outcome.error = std::move(error);
            m_outcome.failed = true;
            ++m_outcome.endings;
            m_changed.notify_all();
        };
    }
    // Waits for the first ending.
    CallOutcome wait() {
        std::unique_lock lock(m_mutex);
        EXPECT_TRUE(m_changed.wait_for(lock, ipcWait, [&] { return m_outcome.endings > 0; })) << "no answer in time";
        return m_outcome;
    }
    CallOutcome now() {
        std::lock_guard lock(m_mutex);
        return m_outcome;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    CallOutcome m_outcome;
};

inline CallOutcome callAndWait(IpcPeer& peer, std::string_view selector, nlohmann::json arguments, int descriptor = -1) {
    CallRecorder recorder;
    peer.call(selector, std::move(arguments), descriptor, recorder.onReply(), recorder.onFailure());
    auto outcome = recorder.wait();
    // A late second ending would be a fault; give it a moment to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    outcome.endings = recorder.now().endings;
    return outcome;
}

// Waits until the predicate holds, polling; false after the deadline.
template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + ipcWait;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A thread-safe list of values received by handlers.
template <typename T>
class Inbox {
public:
    void push(T value) {
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(value));
        m_changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, ipcWait, [&] { return m_items.size() >= count; });
    }
    std::vector<T> items() {
        std::lock_guard lock(m_mutex);
        return m_items;
    }
    T take(std::size_t index) {
        std::lock_guard lock(m_mutex);
        return std::move(m_items.at(index));
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<T> m_items;
};

// echo:reply: (string → string), add:to:reply: (int, int → int), flag:reply: (bool → bool),
// names:reply: ([string] → [string]), writeTo:reply: (string + descriptor → nothing),
// pair:reply: (nothing → int, string), notify: (int, one-way), thing: (Thing object, one-way).
inline SelectorTable testTable() {
    using T = IpcValueType;
    std::vector<SelectorRule> selectors{
        {"echo:reply:", {T::string()}, std::vector{T::string()}, 0},
        {"add:to:reply:", {T::integer(), T::integer()}, std::vector{T::integer()}, 0},
        {"flag:reply:", {T::boolean()}, std::vector{T::boolean()}, 0},
        {"names:reply:", {T::stringArray()}, std::vector{T::stringArray()}, 0},
        {"writeTo:reply:", {T::string()}, std::vector<T>{}, 1},
        {"pair:reply:", {}, std::vector{T::integer(), T::string()}, 0},
        {"notify:", {T::integer()}, std::nullopt, 0},
        {"thing:", {T::object("Thing")}, std::nullopt, 0},
    };
    std::map<std::string, SelectorTable::ClassValidator> classes{
        {"Thing", [](const nlohmann::json& object) -> std::optional<std::string> {
             const auto found = object.find("n");
             if (found == object.end() || !IpcValue::int64(*found)) return "Thing needs an integer n";
             return std::nullopt;
         }},
    };
    return SelectorTable(std::move(selectors), std::move(classes));
}

// Sends raw packets and reads raw ones, as a misbehaving peer would.
class RawPeer {
public:
    explicit RawPeer(SeqpacketSocket socket) : m_socket(std::move(socket)) {}
    void send(const std::string& packet, int descriptor = -1) { m_socket.send(packet, descriptor); }
    void send(const nlohmann::json& message, int descriptor = -1) { send(message.dump(), descriptor); }
    // The next message, or nothing when the connection closed (or nothing came in time).
    std::optional<IpcMessage> receive() {
        pollfd fd{m_socket.fd(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(ipcWait).count())) <= 0) return std::nullopt;
        SeqpacketSocket::Packet packet;
        if (m_socket.receive(packet) != SeqpacketSocket::ReceiveStatus::packet) return std::nullopt;
        return IpcMessageCodec::decode(packet.bytes);
    }
    SeqpacketSocket& socket() { return m_socket; }

private:
    SeqpacketSocket m_socket;
};

} // namespace vantrel::test
