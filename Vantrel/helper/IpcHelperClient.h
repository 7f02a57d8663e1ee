#pragma once
// The helper client over the socket layer: one IpcClient at a time, made on the first call after the
// last was dropped, whose connector is HelperConnector (service socket, else a spawned helper).
// Dropping the connection (invalidate) makes the next call connect afresh, except while it leads to a
// helper spawned for it that still runs: that helper ends with its connection, so dropping it would
// only start another one (through pkexec, with another password). A notice of a connection that was
// already replaced never touches its replacement. The client's own notices ("Helper
// connection interrupted", "Helper connection invalidated") reach the receiver as status lines.

#include "Vantrel/effects/HelperClient.h"
#include "Vantrel/helper/HelperRoute.h"

#include "platform/ipc/IpcClient.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace vantrel {

class IpcHelperClient final : public HelperClient {
public:
    explicit IpcHelperClient(HelperConnectorOptions options);
    ~IpcHelperClient() override;

    void ping(StringReply reply, Failure failed) override;
    void probeDeviceWithPath(const std::string& path, LengthReply reply, Failure failed) override;
    void checkRawDiskAccessWithPath(const std::string& path, AccessReply reply, Failure failed) override;
    void startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                           std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds,
                           const std::string& scanMode, ErrorReply reply, Failure failed) override;
    void cancelScan() override;
    void extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length,
                            const std::string& destinationPath, UniqueFd destination, const std::string& hitSource,
                            std::int64_t firstCluster, std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset, std::int64_t secondLength,
                            ErrorReply reply, Failure failed) override;
    void copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath, UniqueFd destination,
                                  ErrorReply reply, Failure failed) override;
    void remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply, Failure failed) override;
    void quitForRelaunch(EmptyReply reply, Failure failed) override;
    void identifyDeviceWithPath(const std::string& path, IdentityReply reply, Failure failed) override;

    void setCallbackReceiver(std::shared_ptr<VantrelHelperClient> receiver) override;
    void invalidate() override;
    // A helper this client spawned, or would spawn next, with --allow-image-files (never the service's).
    bool acceptsImageFiles() const override;
    // Which route the current (or last) connection took.
    HelperRoute route() const override;
    bool helperStarting() const override;
    bool connectingAsksForPassword() const override;
    // The helper process started for the current (or last) connection, or -1 for the service's.
    pid_t helperPid() const;

    struct Shared;  // the connection state, shared with the connection's handlers

private:
    // The current connection and a proxy whose failures go to failed; the connection stays alive in
    // the proxy's handlers until the call ends.
    template <typename Call>
    void withProxy(Failure failed, Call call);

    std::shared_ptr<Shared> m_shared;
};

} // namespace vantrel
