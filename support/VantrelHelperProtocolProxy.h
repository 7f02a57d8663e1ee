#pragma once
// The application's view of the helper: each operation becomes a call on a connection (an
// IpcClient that reconnects, or one IpcConnection). Exactly one thing happens per call: the reply
// callback runs, or errorHandler gets the connection's error; never both, never neither.
//
// An error reply for an operation whose reply carries an error reaches the reply with the
// declared default values (0, false); for ping, whose reply has no error, it goes to errorHandler. Callbacks run on the connection's reader thread, or on the calling
// thread when the call cannot be sent. The peer must outlive the proxy's calls.

#include "support/VantrelHelperProtocol.h"

namespace vantrel {

class VantrelHelperProtocolProxy : public VantrelHelperProtocol {
public:
    using ErrorHandler = std::function<void(ErrorObject error)>;

    VantrelHelperProtocolProxy(IpcPeer& peer, ErrorHandler errorHandler);

    void ping(StringReply reply) override;
    void probeDeviceWithPath(const std::string& path, LengthReply reply) override;
    void checkRawDiskAccessWithPath(const std::string& path, AccessReply reply) override;
    void startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                           std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds,
                           const std::string& scanMode, ErrorReply reply) override;
    void cancelScan() override;
    // The proxy sends the descriptor and closes its own copy.
    void extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length, const std::string& destinationPath,
                            UniqueFd destination, const std::string& hitSource, std::int64_t firstCluster,
                            std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset, std::int64_t secondLength, ErrorReply reply) override;
    void copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath, UniqueFd destination,
                                  ErrorReply reply) override;
    void remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply) override;
    void quitForRelaunch(ErrorReply reply) override;
    void identifyDeviceWithPath(const std::string& path, IdentityReply reply) override;

private:
    void callWithErrorReply(std::string_view selector, nlohmann::json arguments, int descriptor, ErrorReply reply);

    IpcPeer& m_peer;
    ErrorHandler m_errorHandler;
};

} // namespace vantrel
