#pragma once
// The helper's view of its client: each callback becomes a one-way message on the connection (hits
// batched, several to a packet, in their order among the other messages).
// A message that cannot be sent (the application is gone, the record is refused) goes to
// errorHandler; the operation that sent it carries on. The peer must outlive the proxy.

#include "support/VantrelHelperClient.h"

#include <functional>

namespace vantrel {

class VantrelHelperClientProxy : public VantrelHelperClient {
public:
    using ErrorHandler = std::function<void(ErrorObject error)>;

    VantrelHelperClientProxy(IpcPeer& peer, ErrorHandler errorHandler);

    void helperDidFindHit(const HelperHitDTO& hit) override;
    void helperDidFindHitView(const HelperHitView& hit) override;
    void helperDidUpdateProgressWithBytesScanned(std::int64_t bytesScanned, std::int64_t totalBytes, std::int64_t hitsFound,
                                                 std::int64_t readErrors) override;
    void helperDidLog(const std::string& line) override;

private:
    void send(std::string_view selector, nlohmann::json arguments);

    IpcPeer& m_peer;
    ErrorHandler m_errorHandler;
};

} // namespace vantrel
