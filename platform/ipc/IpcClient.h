#pragma once
// The calling side's connection that outlives its sockets: it connects on the first call, and after
// an interruption (the peer went away: its pending calls have failed) the next call connects again,
// which is what starts a new helper. Once invalidated, every later call fails with
// connectionInvalidated; make a new IpcClient to talk again.

#include "platform/ipc/IpcConnection.h"

#include <functional>
#include <memory>

namespace vantrel {

class IpcClient : public IpcPeer {
public:
    // Makes a fresh connected socket; throws std::system_error when it cannot.
    using Connector = std::function<SeqpacketSocket()>;

    // options.onClosed is replaced by the client; use the two handlers below instead.
    IpcClient(Connector connector, IpcConnectionOptions options);
    ~IpcClient() override;
    IpcClient(const IpcClient&) = delete;
    IpcClient& operator=(const IpcClient&) = delete;

    // Called on a reader thread when a connection is lost without invalidate().
    void setInterruptionHandler(std::function<void()> handler);
    // Called once, on the invalidating thread.
    void setInvalidationHandler(std::function<void()> handler);

    void invalidate();
    bool isInvalidated() const;

    // A connection that fails to open fails the call with connectFailed.
    void call(std::string_view selector, nlohmann::json arguments, int descriptor,
              ReplyHandler onReply, FailureHandler onFailure) override;
    std::optional<ErrorObject> send(std::string_view selector, nlohmann::json arguments, int descriptor = -1) override;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

} // namespace vantrel
