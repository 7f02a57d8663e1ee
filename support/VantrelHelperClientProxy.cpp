#include "support/VantrelHelperClientProxy.h"

namespace vantrel {

namespace S = HelperClientSelector;

VantrelHelperClientProxy::VantrelHelperClientProxy(IpcPeer& peer, ErrorHandler errorHandler)
    : m_peer(peer), m_errorHandler(std::move(errorHandler)) {}

// Hits travel in batches: a dense card finds thousands a second, and a packet for each would cost the
// scan and the application more than the hits themselves. Progress and log lines go at once, after them.
void VantrelHelperClientProxy::helperDidFindHit(const HelperHitDTO& hit) {
    auto error = m_peer.sendBatched(S::didFindHit, nlohmann::json::array({hit.encode()}));
    if (error && m_errorHandler) m_errorHandler(std::move(*error));
}

void VantrelHelperClientProxy::helperDidUpdateProgressWithBytesScanned(std::int64_t bytesScanned, std::int64_t totalBytes,
                                                                       std::int64_t hitsFound, std::int64_t readErrors) {
    send(S::didUpdateProgress, nlohmann::json::array({bytesScanned, totalBytes, hitsFound, readErrors}));
}

void VantrelHelperClientProxy::helperDidLog(const std::string& line) { send(S::didLog, nlohmann::json::array({line})); }

void VantrelHelperClientProxy::send(std::string_view selector, nlohmann::json arguments) {
    auto error = m_peer.send(selector, std::move(arguments));
    if (error && m_errorHandler) m_errorHandler(std::move(*error));
}

} // namespace vantrel
