#include "support/VantrelHelperClientProxy.h"

namespace vantrel {

namespace S = HelperClientSelector;

VantrelHelperClientProxy::VantrelHelperClientProxy(IpcPeer& peer, ErrorHandler errorHandler)
    : m_peer(peer), m_errorHandler(std::move(errorHandler)) {}

// Hits travel in batches: a dense card finds thousands a second, and a packet for each would cost the
// scan and the application more than the hits themselves. Progress goes after them in a packet of its own,
// without the scan waiting for the socket; log lines go at once, after them. A hit's record is written as
// text at once (the scan's thread builds no JSON value for it, into a buffer the thread keeps) and checked
// here as the connection would check it: one the application would refuse is not sent.
void VantrelHelperClientProxy::helperDidFindHit(const HelperHitDTO& hit) { helperDidFindHitView(HelperHitView(hit)); }

void VantrelHelperClientProxy::helperDidFindHitView(const HelperHitView& hit) {
    std::optional<ErrorObject> error;
    if (auto problem = hit.problem()) {
        error = IpcError::make(IpcErrorCode::invalidArguments, std::string(S::didFindHit) + " argument 0: " + *problem);
    } else {
        thread_local std::string arguments;
        arguments.assign(1, '[');
        hit.appendText(arguments);
        arguments += ']';
        error = m_peer.sendBatchedText(S::didFindHit, arguments);
    }
    if (error && m_errorHandler) m_errorHandler(std::move(*error));
}

void VantrelHelperClientProxy::helperDidUpdateProgressWithBytesScanned(std::int64_t bytesScanned, std::int64_t totalBytes,
                                                                       std::int64_t hitsFound, std::int64_t readErrors) {
    auto error = m_peer.sendAfterBatched(S::didUpdateProgress, nlohmann::json::array({bytesScanned, totalBytes, hitsFound, readErrors}));
    if (error && m_errorHandler) m_errorHandler(std::move(*error));
}

void VantrelHelperClientProxy::helperDidLog(const std::string& line) { send(S::didLog, nlohmann::json::array({line})); }

void VantrelHelperClientProxy::send(std::string_view selector, nlohmann::json arguments) {
    auto error = m_peer.send(selector, std::move(arguments));
    if (error && m_errorHandler) m_errorHandler(std::move(*error));
}

} // namespace vantrel
