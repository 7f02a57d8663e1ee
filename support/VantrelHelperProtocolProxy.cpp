#include "support/VantrelHelperProtocolProxy.h"

namespace vantrel {

namespace S = HelperProtocolSelector;

VantrelHelperProtocolProxy::VantrelHelperProtocolProxy(IpcPeer& peer, ErrorHandler errorHandler)
    : m_peer(peer), m_errorHandler(errorHandler ? std::move(errorHandler) : [](ErrorObject) {}) {}

void VantrelHelperProtocolProxy::ping(StringReply reply) {
    m_peer.call(S::ping, nlohmann::json::array(), -1,
                [reply, onError = m_errorHandler](nlohmann::json arguments, std::optional<ErrorObject> error) {
                    if (error) return onError(std::move(*error));
                    reply(arguments[0].get<std::string>());
                },
                m_errorHandler);
}

void VantrelHelperProtocolProxy::probeDeviceWithPath(const std::string& path, LengthReply reply) {
    m_peer.call(S::probeDevice, nlohmann::json::array({path}), -1,
                [reply](nlohmann::json arguments, std::optional<ErrorObject> error) {
                    reply(arguments[0].get<std::int64_t>(), std::move(error));
                },
                m_errorHandler);
}

void VantrelHelperProtocolProxy::checkRawDiskAccessWithPath(const std::string& path, AccessReply reply) {
    m_peer.call(S::checkRawDiskAccess, nlohmann::json::array({path}), -1,
                [reply](nlohmann::json arguments, std::optional<ErrorObject> error) { reply(arguments[0].get<bool>(), std::move(error)); },
                m_errorHandler);
}

void VantrelHelperProtocolProxy::startScanWithPath(const std::string& path, std::int64_t minimumByteSize,
                                                   std::int64_t minimumImageWidth, std::int64_t minimumImageHeight,
                                                   const std::vector<std::string>& allowedKinds, const std::string& scanMode,
                                                   ErrorReply reply) {
    callWithErrorReply(S::startScan, nlohmann::json::array({path, minimumByteSize, minimumImageWidth, minimumImageHeight, allowedKinds, scanMode}), -1,
                       std::move(reply));
}

void VantrelHelperProtocolProxy::cancelScan() {
    if (auto error = m_peer.send(S::cancelScan, nlohmann::json::array())) m_errorHandler(std::move(*error));
}

void VantrelHelperProtocolProxy::extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length,
                                                    const std::string& destinationPath, UniqueFd destination,
                                                    const std::string& hitSource, std::int64_t firstCluster,
                                                    std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset, std::int64_t secondLength, ErrorReply reply) {
    callWithErrorReply(S::extractHit, nlohmann::json::array({path, offset, length, destinationPath, hitSource, firstCluster, partitionOffset, fileSystem,
                                                                      secondOffset, secondLength}),
                       destination.get(), std::move(reply));
}

void VantrelHelperProtocolProxy::copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath,
                                                          UniqueFd destination, ErrorReply reply) {
    callWithErrorReply(S::copyDevice, nlohmann::json::array({sourcePath, destinationPath}), destination.get(), std::move(reply));
}

void VantrelHelperProtocolProxy::remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply) {
    callWithErrorReply(S::remountDisks, nlohmann::json::array({nlohmann::json(bsdNames)}), -1, std::move(reply));
}

void VantrelHelperProtocolProxy::quitForRelaunch(ErrorReply reply) {
    callWithErrorReply(S::quitForRelaunch, nlohmann::json::array(), -1, std::move(reply));
}

void VantrelHelperProtocolProxy::identifyDeviceWithPath(const std::string& path, IdentityReply reply) {
    m_peer.call(S::identifyDevice, nlohmann::json::array({path}), -1,
                [reply](nlohmann::json arguments, std::optional<ErrorObject> error) {
                    reply(arguments[0].get<std::string>(), std::move(error));
                },
                m_errorHandler);
}

void VantrelHelperProtocolProxy::callWithErrorReply(std::string_view selector, nlohmann::json arguments, int descriptor,
                                                    ErrorReply reply) {
    m_peer.call(selector, std::move(arguments), descriptor,
                [reply](nlohmann::json, std::optional<ErrorObject> error) { reply(std::move(error)); }, m_errorHandler);
}

} // namespace vantrel
