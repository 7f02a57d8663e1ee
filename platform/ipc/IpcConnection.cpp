#include "platform/ipc/IpcConnection.h"

#include "platform/ipc/IpcError.h"
#include "platform/ipc/IpcMessage.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <poll.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vantrel {

namespace {

std::string peerText(const PeerCredentials& peer) {
    return "uid=" + std::to_string(peer.uid) + " pid=" + std::to_string(peer.pid);
}

} // namespace

class IpcConnection::Core : public std::enable_shared_from_this<Core> {
public:
    Core(SeqpacketSocket socket, IpcConnectionOptions options)
        : m_socket(std::move(socket)), m_options(std::move(options)), m_peer(PeerCredentials::of(m_socket.fd())) {
        m_socket.setSendTimeout(m_options.sendTimeout);
        if (m_options.batchReader) {
            auto reader = m_options.batchReader();
            const SelectorRule* rule = reader ? m_options.exported.find(reader->selector()) : nullptr;
            if (rule && !rule->reply && rule->descriptors == 0) m_batchReader = std::move(reader);
        }
    }

    const PeerCredentials& peer() const { return m_peer; }
    std::size_t unansweredCalls() const { return m_unanswered.load(); }

    IpcConnectionState state() const {
        std::lock_guard lock(m_stateMutex);
        return m_state;
    }

    void resume() {
        std::lock_guard lock(m_stateMutex);
        if (m_started || m_state != IpcConnectionState::open) return;
        m_started = true;
        m_reader = std::thread([self = shared_from_this()] { self->readLoop(); });
    }

    void invalidate() {
        close(IpcConnectionState::invalidated, "invalidated");
        bool started;
        {
            std::lock_guard lock(m_stateMutex);
            started = m_started;
            m_started = true;  // a later resume() must not start a reader
        }
        // Without a reader nobody else reports the end.
        if (!started) notifyClosed();
    }

    // Called by the owner's destructor after invalidate().
    void detachOrJoin() {
        std::thread flusher;
        {
            std::lock_guard lock(m_queueMutex);
            flusher = std::move(m_flusher);
        }
        for (std::thread* thread : {&m_reader, &flusher}) {
            if (!thread->joinable()) continue;
            if (thread->get_id() == std::this_thread::get_id()) thread->detach();
            else thread->join();
        }
    }

    void call(std::string_view selector, nlohmann::json arguments, int descriptor, ReplyHandler onReply,
              FailureHandler onFailure) {
        const SelectorRule* rule = m_options.remote.find(selector);
        if (!rule || !rule->reply) return guarded([&] { onFailure(IpcError::make(IpcErrorCode::unknownSelector, std::string(selector))); });
        if (auto problem = checkOutgoing(*rule, arguments, descriptor))
            return guarded([&] { onFailure(IpcError::make(IpcErrorCode::invalidArguments, *problem)); });

        std::int64_t id = 0;
        std::optional<ErrorObject> closed;
        {
            std::lock_guard lock(m_stateMutex);
            if (m_state != IpcConnectionState::open) {
                closed = closedError(m_state);
            } else {
                id = m_nextId++;
                m_pending.emplace(id, Pending{rule, std::move(onReply), std::move(onFailure)});
            }
        }
        if (closed) return guarded([&] { onFailure(*closed); });
        if (auto failure = transmit(IpcMessage{IpcMessageKind::call, id, std::string(selector), std::move(arguments), std::nullopt}, descriptor)) {
            // The connection may have failed it already when the send broke the connection.
            if (auto entry = takePending(id)) guarded([&] { entry->onFailure(*failure); });
        }
    }

    std::optional<ErrorObject> send(std::string_view selector, nlohmann::json arguments, int descriptor) {
        const SelectorRule* rule = m_options.remote.find(selector);
        if (!rule || rule->reply) return IpcError::make(IpcErrorCode::unknownSelector, std::string(selector));
        if (auto problem = checkOutgoing(*rule, arguments, descriptor)) return IpcError::make(IpcErrorCode::invalidArguments, *problem);
        return transmit(IpcMessage{IpcMessageKind::send, 0, std::string(selector), std::move(arguments), std::nullopt}, descriptor);
    }

    std::optional<ErrorObject> sendBatched(std::string_view selector, nlohmann::json arguments) {
        const SelectorRule* rule = batchedRule(selector);
        if (!rule) return IpcError::make(IpcErrorCode::unknownSelector, std::string(selector));
        return enqueue([&](std::vector<Queued>& queue) {
            queue.push_back(Queued{Queued::Kind::value, rule, std::move(arguments), {}, 1});
            return true;
        });
    }

    std::optional<ErrorObject> sendBatchedText(std::string_view selector, std::string_view argumentsText) {
        if (!batchedRule(selector)) return IpcError::make(IpcErrorCode::unknownSelector, std::string(selector));
        return enqueue([&](std::vector<Queued>& queue) { return appendEntry(queue, selector, argumentsText); });
    }

    std::optional<ErrorObject> sendAfterBatched(std::string_view selector, nlohmann::json arguments) {
        const SelectorRule* rule = m_options.remote.find(selector);
        if (!rule || rule->reply) return IpcError::make(IpcErrorCode::unknownSelector, std::string(selector));
        if (auto problem = checkOutgoing(*rule, arguments, -1)) return IpcError::make(IpcErrorCode::invalidArguments, *problem);
        std::string packet =
            IpcMessageCodec::encode(IpcMessage{IpcMessageKind::send, 0, std::string(selector), std::move(arguments), std::nullopt});
        if (packet.size() > SeqpacketSocket::maxPacketBytes)
            return IpcError::make(IpcErrorCode::messageTooLarge, std::to_string(packet.size()) + " bytes");
        return enqueue([&](std::vector<Queued>& queue) {
            queue.push_back(Queued{Queued::Kind::packet, nullptr, {}, std::move(packet), 1});
            return true;
        });
    }

private:
    // One piece of what waits for the flusher, in the order it was sent.
    struct Queued {
        enum class Kind {
            value,    // one batched message whose arguments the flusher checks and encodes
            entries,  // batched messages written as text: a batch packet's head and entries, without its end
            packet,   // a message of its own, encoded
        };
        Kind kind;
        const SelectorRule* rule;  // value: points into m_options.remote
        nlohmann::json arguments;  // value
        std::string text;          // entries, packet
        std::size_t sends;         // messages it holds
    };

    const SelectorRule* batchedRule(std::string_view selector) const {
        const SelectorRule* rule = m_options.remote.find(selector);
        return rule && !rule->reply && rule->descriptors == 0 ? rule : nullptr;
    }

    // Adds one message written as text to the batch of entries the queue ends with, or to a new one when
    // that is full. Called with m_queueMutex held: the lock covers a copy of the message's bytes, nothing
    // more.
    bool appendEntry(std::vector<Queued>& queue, std::string_view selector, std::string_view argumentsText) {
        Queued* batch = queue.empty() || queue.back().kind != Queued::Kind::entries ? nullptr : &queue.back();
        if (batch && batch->sends < IpcMessageCodec::maxBatchSends) {
            const std::size_t before = batch->text.size();
            batch->text.push_back(',');
            IpcMessageCodec::appendBatchEntryText(batch->text, selector, argumentsText);
            if (batch->text.size() + batchEndBytes <= SeqpacketSocket::maxPacketBytes) {
                ++batch->sends;
                return true;
            }
            batch->text.resize(before);  // it goes in a packet of its own
        }
        Queued fresh{Queued::Kind::entries, nullptr, {}, spareTextLocked(), 1};
        IpcMessageCodec::beginBatch(fresh.text);
        IpcMessageCodec::appendBatchEntryText(fresh.text, selector, argumentsText);
        if (fresh.text.size() + batchEndBytes > SeqpacketSocket::maxPacketBytes) {
            log(IpcLogLevel::error, "IPC message " + std::string(selector) + " not sent: " +
                                        std::to_string(fresh.text.size() + batchEndBytes) + " bytes");
            return false;
        }
        queue.push_back(std::move(fresh));
        return true;
    }

    // A batch text to fill: one the flusher gave back, or a new one with a packet's room, so that a sender
    // filling batches neither allocates nor grows (and copies) one per packet. Called with m_queueMutex held.
    std::string spareTextLocked() {
        if (m_spareTexts.empty()) {
            std::string text;
            text.reserve(SeqpacketSocket::maxPacketBytes);
            return text;
        }
        std::string text = std::move(m_spareTexts.back());
        m_spareTexts.pop_back();
        return text;
    }

    // Keeps the batch texts the flusher has sent, emptied, for the senders to fill again (up to a queue's worth;
    // the rest are freed). Freeing a packet's worth per batch made the allocator hand the memory back to the
    // system and the sender fault it in again: a page-table flush on every processor per packet.
    void keepSpareTexts(std::vector<std::string>& texts) {
        std::lock_guard lock(m_queueMutex);
        for (auto& text : texts) {
            if (m_spareTexts.size() >= maxSpareTexts) break;
            if (text.capacity() < SeqpacketSocket::maxPacketBytes) continue;  // not one of them
            text.clear();
            m_spareTexts.push_back(std::move(text));
        }
        texts.clear();
    }

    // Queues what add puts at the end of the queue (add answers whether it added anything) and wakes the
    // flusher only when it has something to do: when it waits for a first message, or a packet's worth or
    // a message of its own is waiting. A sender that finds the queue full waits until the flusher has
    // taken it, so that a peer that reads slowly holds the sender back rather than filling the memory.
    template <typename Add>
    std::optional<ErrorObject> enqueue(Add&& add) {
        bool wake = false;
        {
            std::unique_lock lock(m_queueMutex);
            for (;;) {
                if (const auto current = state(); current != IpcConnectionState::open) return closedError(current);
                if (m_queuedSends < maxQueuedSends && m_queuedBytes < maxQueuedBytes) break;
                ++m_sendersWaiting;
                if (m_flusherWaits != FlusherWait::none) {
                    m_flusherWaits = FlusherWait::none;
                    m_queueChanged.notify_one();
                }
                m_queueTaken.wait(lock);
                --m_sendersWaiting;
            }
            if (!m_flusher.joinable()) m_flusher = std::thread([self = shared_from_this()] { self->flushLoop(); });
            const bool wasEmpty = m_queued.empty();
            const std::size_t textBytes = m_queued.empty() ? 0 : m_queued.back().text.size();
            const std::size_t pieces = m_queued.size();
            if (!add(m_queued)) return std::nullopt;
            // What the last piece grew by, or the new piece's text.
            m_queuedBytes += m_queued.size() == pieces ? m_queued.back().text.size() - textBytes : m_queued.back().text.size();
            if (wasEmpty) m_queuedSince = std::chrono::steady_clock::now();
            ++m_queuedSends;
            if (m_queued.back().kind == Queued::Kind::packet) ++m_queuedPackets;
            if (m_flusherWaits == FlusherWait::forFirst || (m_flusherWaits == FlusherWait::untilDue && readyLocked())) {
                m_flusherWaits = FlusherWait::none;
                wake = true;
            }
        }
        if (wake) m_queueChanged.notify_one();
        return std::nullopt;
    }

    // Whether the flusher should send what waits before it is due. Called with m_queueMutex held.
    bool readyLocked() const { return m_queuedPackets > 0 || m_queuedSends >= IpcMessageCodec::maxBatchSends; }

    struct Pending {
        const SelectorRule* rule;  // points into m_options.remote, which never changes
        ReplyHandler onReply;
        FailureHandler onFailure;
    };

    static ErrorObject closedError(IpcConnectionState state) {
        return IpcError::make(state == IpcConnectionState::invalidated ? IpcErrorCode::connectionInvalidated
                                                                       : IpcErrorCode::connectionInterrupted);
    }

    void log(IpcLogLevel level, const std::string& message) const {
        try {
            ipcLog(m_options.log, level, message);
        } catch (...) {
            // Logging never takes the connection down.
        }
    }

    // Runs a handler; an exception from it is logged, never allowed to end the reader thread.
    template <typename Function>
    void guarded(Function&& function) const {
        try {
            function();
        } catch (const std::exception& error) {
            log(IpcLogLevel::error, std::string("IPC handler threw: ") + error.what());
        } catch (...) {
            log(IpcLogLevel::error, "IPC handler threw");
        }
    }

    std::optional<std::string> checkOutgoing(const SelectorRule& rule, const nlohmann::json& arguments, int descriptor) const {
        if (auto problem = m_options.remote.checkValues(arguments, rule.arguments)) return problem;
        const std::size_t descriptors = descriptor >= 0 ? 1 : 0;
        if (descriptors != rule.descriptors) return "expected " + std::to_string(rule.descriptors) + " descriptors";
        return std::nullopt;
    }

    std::optional<Pending> takePending(std::int64_t id) {
        std::lock_guard lock(m_stateMutex);
        const auto found = m_pending.find(id);
        if (found == m_pending.end()) return std::nullopt;
        Pending entry = std::move(found->second);
        m_pending.erase(found);
        return entry;
    }

    // Sends one packet; the failure's text, or nothing. Called with m_sendMutex held.
    std::string sendPacketLocked(const std::string& packet, int descriptor) {
        try {
            m_socket.send(packet, descriptor);
            return {};
        } catch (const std::system_error& error) {
            return error.code() == std::errc::resource_unavailable_try_again ? "send timed out" : error.what();
        }
    }

    // Checks, encodes and sends the queued one-way messages, batched ones in batch packets; the failure's text,
    // or nothing. A batched value that does not pass its selector's checks is logged and left out. Called with
    // m_sendMutex held, so that nothing sent after what it takes goes before it.
    std::string sendQueuedLocked() {
        // The lists keep their room from flush to flush (they are the flusher's, under m_sendMutex).
        std::vector<Queued>& taken = m_taken;
        std::vector<std::string>& sentTexts = m_sentTexts;
        taken.clear();
        {
            std::lock_guard lock(m_queueMutex);
            taken.swap(m_queued);
            m_queuedSends = 0;
            m_queuedBytes = 0;
            m_queuedPackets = 0;
            if (m_sendersWaiting > 0) m_queueTaken.notify_all();
        }
        // The batch packet being filled (its head and entries) and the messages in it. Batches of entries that
        // come whole are sent as they are; values and small batches share packets.
        std::string packet;
        std::size_t count = 0;
        const auto sendBatch = [&] {
            if (count == 0) return std::string();
            count = 0;
            IpcMessageCodec::endBatch(packet);
            return sendPacketLocked(packet, -1);
        };
        const auto fits = [&](std::size_t sends, std::size_t entriesBytes) {
            return count + sends <= IpcMessageCodec::maxBatchSends &&
                   packet.size() + 1 + entriesBytes + batchEndBytes <= SeqpacketSocket::maxPacketBytes;
        };
        for (auto& queued : taken) {
            switch (queued.kind) {
            case Queued::Kind::packet:
                if (auto failure = sendBatch(); !failure.empty()) return failure;
                if (auto failure = sendPacketLocked(queued.text, -1); !failure.empty()) return failure;
                break;
            case Queued::Kind::entries: {
                const std::string_view entries = std::string_view(queued.text).substr(IpcMessageCodec::batchHead.size());
                if (count > 0 && fits(queued.sends, entries.size())) {
                    packet.push_back(',');
                    packet += entries;
                    count += queued.sends;
                    break;
                }
                if (auto failure = sendBatch(); !failure.empty()) return failure;
                // The packet sent before, if any, goes back to the senders with the batch texts.
                packet.swap(queued.text);
                sentTexts.push_back(std::move(queued.text));
                count = queued.sends;
                break;
            }
            case Queued::Kind::value: {
                const auto& selector = queued.rule->selector;
                if (auto problem = checkOutgoing(*queued.rule, queued.arguments, -1)) {
                    log(IpcLogLevel::error, "IPC message " + selector + " not sent: " + *problem);
                    break;
                }
                const std::string entry = IpcMessageCodec::encodeBatchEntry(selector, queued.arguments);
                if (IpcMessageCodec::batchPacketBytes(entry.size()) > SeqpacketSocket::maxPacketBytes) {
                    log(IpcLogLevel::error, "IPC message " + selector + " not sent: " + std::to_string(entry.size()) + " bytes");
                    break;
                }
                if (count > 0 && !fits(1, entry.size()))
                    if (auto failure = sendBatch(); !failure.empty()) return failure;
                if (count++ > 0) packet.push_back(',');
                else IpcMessageCodec::beginBatch(packet);
                packet += entry;
                break;
            }
            }
        }
        auto failure = sendBatch();
        sentTexts.push_back(std::move(packet));
        for (auto& queued : taken)
            if (queued.kind == Queued::Kind::entries) sentTexts.push_back(std::move(queued.text));
        taken.clear();
        keepSpareTexts(sentTexts);
        return failure;
    }

    std::string flushQueued() {
        std::lock_guard lock(m_sendMutex);
        if (state() != IpcConnectionState::open) return {};
        return sendQueuedLocked();
    }

    // Sends the queued messages once a packet's worth or a message of its own waits, or the first of them is
    // maxBatchDelay old, until the connection closes. The checking, encoding and sending happen here, off the
    // sender's thread.
    void flushLoop() {
        for (;;) {
            {
                std::unique_lock lock(m_queueMutex);
                for (;;) {
                    if (state() != IpcConnectionState::open) return;
                    if (m_queued.empty()) {
                        m_flusherWaits = FlusherWait::forFirst;
                        m_queueChanged.wait(lock);
                        continue;
                    }
                    const auto due = m_queuedSince + IpcConnectionOptions::maxBatchDelay;
                    if (readyLocked() || std::chrono::steady_clock::now() >= due) break;
                    m_flusherWaits = FlusherWait::untilDue;
                    m_queueChanged.wait_until(lock, due);
                }
                m_flusherWaits = FlusherWait::none;
            }
            if (const std::string failure = flushQueued(); !failure.empty()) {
                close(IpcConnectionState::interrupted, failure);
                return;
            }
        }
    }

    // Encodes and sends one message under the send lock, after the batch waiting. A failed send breaks the
    // connection.
    std::optional<ErrorObject> transmit(const IpcMessage& message, int descriptor) {
        const std::string packet = IpcMessageCodec::encode(message);
        if (packet.size() > SeqpacketSocket::maxPacketBytes)
            return IpcError::make(IpcErrorCode::messageTooLarge, std::to_string(packet.size()) + " bytes");
        std::string failure;
        {
            std::lock_guard lock(m_sendMutex);
            if (const auto current = state(); current != IpcConnectionState::open) return closedError(current);
            failure = sendQueuedLocked();
            if (failure.empty()) failure = sendPacketLocked(packet, descriptor);
            if (failure.empty()) return std::nullopt;
        }
        close(IpcConnectionState::interrupted, failure);
        return IpcError::make(IpcErrorCode::connectionInterrupted, failure);
    }

    void close(IpcConnectionState to, const std::string& why) {
        std::map<std::int64_t, Pending> failing;
        {
            std::lock_guard lock(m_stateMutex);
            if (m_state != IpcConnectionState::open) return;
            m_state = to;
            failing.swap(m_pending);
        }
        log(to == IpcConnectionState::invalidated ? IpcLogLevel::debug : IpcLogLevel::error,
            "IPC connection " + peerText(m_peer) + " closed: " + why);
        m_socket.shutdown();
        {
            // Taken so that the flusher and the senders waiting for room are either waiting (and woken) or see
            // the state before they wait.
            std::lock_guard lock(m_queueMutex);
            m_queueChanged.notify_all();
            m_queueTaken.notify_all();
        }
        const ErrorObject error = to == IpcConnectionState::invalidated ? closedError(to)
                                                                        : IpcError::make(IpcErrorCode::connectionInterrupted, why);
        for (auto& pending : failing) {
            auto& entry = pending.second;
            guarded([&] { entry.onFailure(error); });
        }
    }

    void notifyClosed() {
        if (m_options.onClosed) guarded([&] { m_options.onClosed(state()); });
    }

    void touch() { m_lastActivity.store(std::chrono::steady_clock::now().time_since_epoch().count()); }

    // Waits until a packet (or the end) can be received; false when the connection has had no call in
    // flight for the idle time-out.
    bool waitWhileBusyOrFresh(std::chrono::milliseconds idle) {
        for (;;) {
            std::chrono::milliseconds wait = idle;
            if (m_unanswered.load() == 0) {
                const auto last = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(m_lastActivity.load()));
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(last + idle - std::chrono::steady_clock::now());
                if (left.count() <= 0) return false;
                wait = left;
            }
            pollfd entry{m_socket.fd(), POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(std::min<std::int64_t>(wait.count(), INT32_MAX)));
            if (ready > 0 || (ready < 0 && errno != EINTR)) return true;  // receive() tells what came
        }
    }

    void readLoop() {
        SeqpacketSocket::Packet packet;
        touch();
        while (state() == IpcConnectionState::open) {
            if (m_options.idleTimeout && !waitWhileBusyOrFresh(*m_options.idleTimeout)) {
                close(IpcConnectionState::interrupted,
                      "idle for " + std::to_string(m_options.idleTimeout->count()) + " ms with no call in flight");
                break;
            }
            const auto status = m_socket.receive(packet);
            if (status == SeqpacketSocket::ReceiveStatus::closed) {
                close(IpcConnectionState::interrupted, "the peer closed the connection");
                break;
            }
            if (status == SeqpacketSocket::ReceiveStatus::violation) {
                close(IpcConnectionState::interrupted, "protocol violation: truncated packet or control data");
                break;
            }
            // The batch reader's packets go straight on; a packet it is not sure of is decoded below, from the start.
            if (m_batchReader && !packet.descriptor) {
                if (const std::size_t count = IpcMessageCodec::readBatch(packet.bytes, *m_batchReader)) {
                    receiveReadBatch(count);
                    continue;
                }
            }
            IpcMessage message;
            try {
                message = IpcMessageCodec::decode(packet.bytes);
            } catch (const IpcProtocolError& error) {
                close(IpcConnectionState::interrupted, std::string("protocol violation: ") + error.what());
                break;
            }
            switch (message.kind) {
            case IpcMessageKind::call: receiveCall(std::move(message), std::move(packet.descriptor)); break;
            case IpcMessageKind::send: receiveSend(std::move(message), std::move(packet.descriptor)); break;
            case IpcMessageKind::reply: receiveReply(std::move(message), std::move(packet.descriptor)); break;
            case IpcMessageKind::batch: receiveBatch(std::move(message), std::move(packet.descriptor)); break;
            }
        }
        notifyClosed();
    }

    // Answers a call; a reply that does not match the declared types, or does not fit a packet,
    // becomes an error reply so that the caller still gets exactly one well-formed answer.
    void sendReply(std::int64_t id, const SelectorRule& rule, nlohmann::json arguments, std::optional<ErrorObject> error) {
        const auto& types = rule.reply ? *rule.reply : std::vector<IpcValueType>{};
        if (auto problem = m_options.exported.checkValues(arguments, types)) {
            log(IpcLogLevel::error, "IPC reply to " + rule.selector + " refused: " + *problem);
            arguments = SelectorTable::defaultValues(types);
            error = IpcError::make(IpcErrorCode::invalidReply, *problem);
        }
        auto failure = transmit(IpcMessage{IpcMessageKind::reply, id, {}, std::move(arguments), std::move(error)}, -1);
        if (failure && IpcError::is(*failure, IpcErrorCode::messageTooLarge)) {
            log(IpcLogLevel::error, "IPC reply to " + rule.selector + " too large: " + failure->message);
            transmit(IpcMessage{IpcMessageKind::reply, id, {}, SelectorTable::defaultValues(types), *failure}, -1);
        }
    }

    void refuseCall(std::int64_t id, const std::string& selector, const std::vector<IpcValueType>& replyTypes, ErrorObject error) {
        log(IpcLogLevel::error, "IPC call " + selector + " from " + peerText(m_peer) + " refused: " + error.message);
        transmit(IpcMessage{IpcMessageKind::reply, id, {}, SelectorTable::defaultValues(replyTypes), std::move(error)}, -1);
    }

    std::optional<std::string> checkIncoming(const SelectorRule& rule, const nlohmann::json& arguments, const UniqueFd& descriptor) const {
        if (auto problem = m_options.exported.checkValues(arguments, rule.arguments)) return problem;
        if ((descriptor ? 1u : 0u) != rule.descriptors) return "expected " + std::to_string(rule.descriptors) + " descriptors";
        return std::nullopt;
    }

    void receiveCall(IpcMessage message, UniqueFd descriptor) {
        const SelectorRule* rule = m_options.exported.find(message.selector);
        if (!rule) return refuseCall(message.id, message.selector, {}, IpcError::make(IpcErrorCode::unknownSelector, message.selector));
        if (!rule->reply)
            return refuseCall(message.id, message.selector, {}, IpcError::make(IpcErrorCode::unknownSelector, message.selector + " takes no reply"));
        if (auto problem = checkIncoming(*rule, message.arguments, descriptor))
            return refuseCall(message.id, message.selector, *rule->reply, IpcError::make(IpcErrorCode::invalidArguments, *problem));
        if (m_unanswered.load() >= m_options.maxUnansweredCalls)
            return refuseCall(message.id, message.selector, *rule->reply, IpcError::make(IpcErrorCode::tooManyCalls));
        log(IpcLogLevel::debug, "IPC call " + message.selector + " id=" + std::to_string(message.id) + " from " + peerText(m_peer));

        // Only calls keep a connection from being idle: one-way messages alone never do.
        touch();
        ++m_unanswered;
        std::weak_ptr<Core> weak = weak_from_this();
        IpcReply reply = IpcReply::make(
            [weak, id = message.id, rule](nlohmann::json arguments, std::optional<ErrorObject> error) {
                if (auto core = weak.lock()) {
                    core->touch();
                    --core->m_unanswered;
                    core->sendReply(id, *rule, std::move(arguments), std::move(error));
                }
            },
            SelectorTable::defaultValues(*rule->reply));
        IpcIncoming incoming{std::move(message.selector), std::move(message.arguments), std::move(descriptor), std::move(reply), m_peer};
        if (m_options.onMessage) guarded([&] { m_options.onMessage(std::move(incoming)); });
    }

    void receiveSend(IpcMessage message, UniqueFd descriptor, bool inBatch = false) {
        const SelectorRule* rule = m_options.exported.find(message.selector);
        std::optional<std::string> problem;
        if (!rule) problem = "unknown selector";
        else if (rule->reply) problem = "expects a reply";
        else problem = checkIncoming(*rule, message.arguments, descriptor);
        if (problem) {
            log(IpcLogLevel::error, "IPC message " + message.selector + " from " + peerText(m_peer) + " refused: " + *problem);
            return;
        }
        if (!inBatch) log(IpcLogLevel::debug, "IPC message " + message.selector + " from " + peerText(m_peer));
        IpcIncoming incoming{std::move(message.selector), std::move(message.arguments), std::move(descriptor), std::nullopt, m_peer};
        if (m_options.onMessage) guarded([&] { m_options.onMessage(std::move(incoming)); });
    }

    // Each send of a batch is checked and handed on as if it had come alone; one that is refused is dropped
    // and the others still count. A descriptor never rides a batch.
    void receiveBatch(IpcMessage message, UniqueFd descriptor) {
        if (descriptor) {
            log(IpcLogLevel::error, "IPC batch from " + peerText(m_peer) + " refused: a batch carries no descriptor");
            return;
        }
        log(IpcLogLevel::debug, "IPC batch of " + std::to_string(message.sends.size()) + " messages from " + peerText(m_peer));
        for (auto& send : message.sends) {
            if (state() != IpcConnectionState::open) return;
            receiveSend(std::move(send), UniqueFd{}, true);
        }
    }

    // A batch read by the batch reader, whose sends would all have passed receiveSend's checks: handed on in
    // their order, together, as one packet read whole in one go.
    void receiveReadBatch(std::size_t count) {
        log(IpcLogLevel::debug, "IPC batch of " + std::to_string(count) + " messages from " + peerText(m_peer));
        if (state() != IpcConnectionState::open) return;
        guarded([&] { m_batchReader->deliverAll(count); });
    }

    void receiveReply(IpcMessage message, UniqueFd descriptor) {
        auto entry = takePending(message.id);
        if (!entry) {
            // A second answer, or one to a call that already failed: the caller has its answer.
            log(IpcLogLevel::error, "IPC reply to unknown call id=" + std::to_string(message.id) + " ignored");
            return;
        }
        std::optional<std::string> problem;
        if (descriptor) problem = "a reply carries no descriptor";
        else problem = m_options.remote.checkValues(message.arguments, *entry->rule->reply);
        if (problem) {
            log(IpcLogLevel::error, "IPC reply to " + entry->rule->selector + " refused: " + *problem);
            return guarded([&] { entry->onFailure(IpcError::make(IpcErrorCode::invalidReply, *problem)); });
        }
        guarded([&] { entry->onReply(std::move(message.arguments), std::move(message.error)); });
    }

    SeqpacketSocket m_socket;
    const IpcConnectionOptions m_options;
    const PeerCredentials m_peer;
    std::mutex m_sendMutex;                 // taken before m_stateMutex, never after
    mutable std::mutex m_stateMutex;
    IpcConnectionState m_state = IpcConnectionState::open;
    bool m_started = false;
    std::int64_t m_nextId = 1;
    std::map<std::int64_t, Pending> m_pending;
    std::atomic<std::size_t> m_unanswered{0};  // received calls whose IpcReply has not answered
    std::atomic<std::chrono::steady_clock::rep> m_lastActivity{0};  // last call received or answered
    std::thread m_reader;
    std::unique_ptr<IpcBatchReader> m_batchReader;  // used by the reader thread only
    // One-way messages waiting for the flusher, guarded by m_queueMutex (taken after m_sendMutex, never
    // before), and the thread that sends them when no other message takes them along. The bound lets a fast
    // sender run a few packets ahead of a peer that reads in bursts; messages written as text count by their
    // bytes too, as a record may be large.
    static constexpr std::size_t maxQueuedSends = 16 * IpcMessageCodec::maxBatchSends;
    static constexpr std::size_t maxQueuedBytes = 16 * SeqpacketSocket::maxPacketBytes;
    static constexpr std::size_t batchEndBytes = IpcMessageCodec::batchTail.size();
    enum class FlusherWait { none, forFirst, untilDue };
    std::mutex m_queueMutex;
    std::vector<Queued> m_queued;
    std::size_t m_queuedSends = 0;    // messages in m_queued
    std::size_t m_queuedBytes = 0;    // bytes of the texts in m_queued
    std::size_t m_queuedPackets = 0;  // messages of their own in m_queued
    std::chrono::steady_clock::time_point m_queuedSince;
    std::condition_variable m_queueChanged;  // the flusher waits on it
    std::condition_variable m_queueTaken;    // senders waiting for room wait on it
    FlusherWait m_flusherWaits = FlusherWait::none;
    std::size_t m_sendersWaiting = 0;
    std::thread m_flusher;
    // Emptied batch texts, guarded by m_queueMutex; a queue's worth and the packet being sent at most.
    static constexpr std::size_t maxSpareTexts = maxQueuedBytes / SeqpacketSocket::maxPacketBytes + 2;
    std::vector<std::string> m_spareTexts;
    std::vector<Queued> m_taken;           // guarded by m_sendMutex
    std::vector<std::string> m_sentTexts;  // guarded by m_sendMutex
};

IpcConnection::IpcConnection(SeqpacketSocket socket, IpcConnectionOptions options)
    : m_core(std::make_shared<Core>(std::move(socket), std::move(options))) {}

IpcConnection::~IpcConnection() {
    m_core->invalidate();
    m_core->detachOrJoin();
}

void IpcConnection::resume() { m_core->resume(); }
void IpcConnection::invalidate() { m_core->invalidate(); }
IpcConnectionState IpcConnection::state() const { return m_core->state(); }
const PeerCredentials& IpcConnection::peer() const { return m_core->peer(); }
std::size_t IpcConnection::unansweredCalls() const { return m_core->unansweredCalls(); }

void IpcConnection::call(std::string_view selector, nlohmann::json arguments, int descriptor, ReplyHandler onReply,
                         FailureHandler onFailure) {
    m_core->call(selector, std::move(arguments), descriptor, std::move(onReply), std::move(onFailure));
}

std::optional<ErrorObject> IpcConnection::send(std::string_view selector, nlohmann::json arguments, int descriptor) {
    return m_core->send(selector, std::move(arguments), descriptor);
}

std::optional<ErrorObject> IpcConnection::sendBatched(std::string_view selector, nlohmann::json arguments) {
    return m_core->sendBatched(selector, std::move(arguments));
}

std::optional<ErrorObject> IpcConnection::sendBatchedText(std::string_view selector, std::string_view argumentsText) {
    return m_core->sendBatchedText(selector, argumentsText);
}

std::optional<ErrorObject> IpcConnection::sendAfterBatched(std::string_view selector, nlohmann::json arguments) {
    return m_core->sendAfterBatched(selector, std::move(arguments));
}

} // namespace vantrel
