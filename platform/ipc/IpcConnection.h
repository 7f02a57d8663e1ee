#pragma once
// One connection between the application and the helper over a SeqpacketSocket.
//
// Rules the layer keeps:
// - One reader thread per connection receives every packet in order and runs the handlers and the
//   reply callbacks on it; sends from any thread are serialised, so messages sent one after another
//   by one thread (a scan's hits, then its reply) arrive in that order.
// - A received call or send is checked against `exported` (what this side serves): an unknown
//   selector, wrong arity, types or descriptor count gets an error reply of the domain "VantrelIPC"
//   (a send is dropped and logged), as does a call beyond maxUnansweredCalls. A malformed packet
//   closes the connection.
// - Every call is answered once (see IpcReply); every outgoing call ends in exactly one reply or
//   one failure (see IpcPeer); when the connection closes, every pending call fails at once.
// - One-way messages sent with sendBatched travel together, up to maxBatchSends in one packet: they go out
//   when a packet's worth waits, when any other message is sent (before that message), and at the latest
//   maxBatchDelay after the first of them. They are checked, encoded and sent by the connection's flusher
//   thread, off the sender's; one that fails its selector's checks is logged and left out. Arguments sent as
//   text (sendBatchedText) were checked by their sender and go out as they are, copied into the waiting batch
//   packet at once. A message sent with sendAfterBatched goes the same way, in a packet of its own after the
//   batches before it: its sender waits neither for the socket nor for the batches. A sender that finds
//   the queue full (a few packets' worth) waits for the flusher. The receiver checks and
//   hands on each of them as a send; a batch its batch reader takes (see IpcBatchReader) is handed on by
//   the reader, which takes only what would pass those checks, without a JSON value in between.
// - States: open; interrupted (the peer went away, broke the protocol, stopped reading past the
//   send time-out or stayed idle past the idle time-out); invalidated (closed by this side). Neither comes back; IpcClient makes a new
//   connection after an interruption.
//
// Handlers run on the reader thread and should hand long work to other threads: the next message
// is not read until a handler returns. They may call into this connection, and may even destroy it.

#include "platform/ipc/IpcLog.h"
#include "platform/ipc/IpcMessage.h"
#include "platform/ipc/IpcPeer.h"
#include "platform/ipc/PeerCredentials.h"
#include "platform/ipc/SelectorTable.h"
#include "platform/ipc/SeqpacketSocket.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace vantrel {

enum class IpcConnectionState { open, interrupted, invalidated };

struct IpcConnectionOptions {
    // A peer that has not taken a packet for this long is treated as gone, so that a client that
    // stopped reading cannot stall the helper's scan.
    static constexpr std::chrono::milliseconds defaultSendTimeout{10'000};
    // Received calls not yet answered. The application has a handful in flight (a scan, a few
    // extractions, a ping); a peer that piles up more is refused rather than queued without end.
    static constexpr std::size_t defaultMaxUnansweredCalls = 256;
    // The longest a batched message waits for others to share its packet.
    static constexpr std::chrono::milliseconds maxBatchDelay{20};

    SelectorTable exported;   // what this side serves: received calls and sends are checked against it
    SelectorTable remote;     // what the peer serves: outgoing calls and sends, and their replies
    std::function<void(IpcIncoming message)> onMessage;          // none: calls get noReply errors
    // When set, makes the connection's reader of the batch packets of one selector (see IpcBatchReader), which
    // hands their sends on in place of onMessage; every other packet is decoded as usual. Its selector must be
    // one `exported` serves as a one-way message without descriptor, or the reader is not used.
    std::function<std::unique_ptr<IpcBatchReader>()> batchReader;
    std::function<void(IpcConnectionState finalState)> onClosed;  // once, the reader's last act
    std::chrono::milliseconds sendTimeout = defaultSendTimeout;
    std::size_t maxUnansweredCalls = defaultMaxUnansweredCalls;
    // When set, the connection closes (interrupted) once no received call has been unanswered for this
    // long, so that idle peers give their place back; a call in flight keeps it open however long it runs.
    // The time counts from the last call received or answered: one-way messages do not reset it.
    std::optional<std::chrono::milliseconds> idleTimeout;
    IpcLogSink log;
};

class IpcConnection : public IpcPeer {
public:
    // Reads the peer's credentials (throws std::system_error when it cannot). Nothing is received
    // until resume(); calls may be made before.
    IpcConnection(SeqpacketSocket socket, IpcConnectionOptions options);
    // Invalidates, then waits for the reader thread unless called on it.
    ~IpcConnection() override;
    IpcConnection(const IpcConnection&) = delete;
    IpcConnection& operator=(const IpcConnection&) = delete;

    // Starts the reader thread.
    void resume();
    // Closes the connection: pending calls fail with connectionInvalidated, later calls fail at once.
    void invalidate();

    IpcConnectionState state() const;
    const PeerCredentials& peer() const;
    // Calls received and not answered yet (a reply counts from when it is sent).
    std::size_t unansweredCalls() const;

    void call(std::string_view selector, nlohmann::json arguments, int descriptor,
              ReplyHandler onReply, FailureHandler onFailure) override;
    std::optional<ErrorObject> send(std::string_view selector, nlohmann::json arguments, int descriptor = -1) override;
    std::optional<ErrorObject> sendBatched(std::string_view selector, nlohmann::json arguments) override;
    std::optional<ErrorObject> sendBatchedText(std::string_view selector, std::string_view argumentsText) override;
    std::optional<ErrorObject> sendAfterBatched(std::string_view selector, nlohmann::json arguments) override;

private:
    class Core;
    std::shared_ptr<Core> m_core;
};

} // namespace vantrel
