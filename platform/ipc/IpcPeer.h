#pragma once
// What a proxy needs of a connection: calls that answer once, and one-way sends. Implemented by
// IpcConnection (one socket) and IpcClient (reconnects after an interruption).

#include "platform/ErrorObject.h"
#include "platform/UniqueFd.h"
#include "platform/ipc/IpcError.h"
#include "platform/ipc/IpcReply.h"
#include "platform/ipc/PeerCredentials.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// One received call or send, already checked against the selector table.
struct IpcIncoming {
    std::string selector;
    nlohmann::json arguments;         // matches the declared types
    UniqueFd descriptor;              // present exactly when the selector declares one
    std::optional<IpcReply> reply;    // calls only; a send has none
    PeerCredentials peer;
};

class IpcPeer {
public:
    // The peer's answer: its values, and its error when it failed (errors of any domain).
    using ReplyHandler = std::function<void(nlohmann::json arguments, std::optional<ErrorObject> error)>;
    // No answer will come: the connection is gone, or the call or its reply was refused.
    using FailureHandler = std::function<void(ErrorObject error)>;

    virtual ~IpcPeer() = default;

    // Exactly one of onReply and onFailure is called, exactly once: on the connection's reader
    // thread, or on the calling thread before call() returns when the call cannot be sent.
    // descriptor (borrowed, -1 for none) must match the selector's declared count.
    virtual void call(std::string_view selector, nlohmann::json arguments, int descriptor,
                      ReplyHandler onReply, FailureHandler onFailure) = 0;

    // One-way message; answers why it could not be sent, or nothing.
    virtual std::optional<ErrorObject> send(std::string_view selector, nlohmann::json arguments, int descriptor = -1) = 0;

    // One-way message without a descriptor that may wait a little to share its packet with the ones
    // after it. It still arrives after every message sent before it and before every one sent after it.
    // An answer of nothing only means it was taken: a message that fails its checks later is logged and
    // dropped. The default sends it at once.
    virtual std::optional<ErrorObject> sendBatched(std::string_view selector, nlohmann::json arguments) {
        return send(selector, std::move(arguments));
    }

    // sendBatched for arguments the caller has written as JSON text itself (a record sent by the thousand,
    // written without building a JSON value). The text must be the arguments array exactly as the selector's
    // types accept it: the caller has checked it, and the connection sends it as it is. The default reads
    // the text back and sends it through sendBatched.
    virtual std::optional<ErrorObject> sendBatchedText(std::string_view selector, std::string_view argumentsText) {
        auto arguments = nlohmann::json::parse(argumentsText, nullptr, false);
        if (arguments.is_discarded() || !arguments.is_array())
            return IpcError::make(IpcErrorCode::invalidArguments, "arguments of " + std::string(selector) + " are not a JSON array");
        return sendBatched(selector, std::move(arguments));
    }

    // One-way message without a descriptor, in a packet of its own, that goes out after the batched messages
    // sent before it without the sender waiting for them or for the socket (a scan's progress after its
    // hits). It is checked at once (an error answers as send's does); an answer of nothing means it was
    // taken: a later failure to send it closes the connection, and what is sent after that fails. The
    // default sends it at once.
    virtual std::optional<ErrorObject> sendAfterBatched(std::string_view selector, nlohmann::json arguments) {
        return send(selector, std::move(arguments));
    }
};

} // namespace vantrel
