#pragma once
// The application's link to the root helper: the operations of VantrelHelperProtocol, each with
// its own failure path, the three callbacks, and dropping the connection.
//
// Rules for implementers:
// - Per call, exactly one of reply and failed runs, once, on any thread: reply with the helper's
//   answer (whose error, where the operation has one, is the helper's own), failed with the error of
//   a call that could not be sent or whose connection was lost before the answer.
// - The callbacks (hits, progress, log lines) reach the receiver on any thread, in the order the
//   helper sent them; a scan's hits and progress come before its reply.
// - invalidate drops the current connection; the next call connects afresh (and so starts a helper
//   that quit). A helper started beside the program lives as long as its connection, so its
//   connection is kept while it lives: dropping it would only start another (through pkexec, with
//   another password).
// The production adapter (over platform/ipc's IpcClient) and the timed calls built on it belong to
// the helper client; tests use a fake.

#include "Vantrel/helper/HelperRoute.h"

#include "platform/ErrorObject.h"
#include "platform/UniqueFd.h"
#include "support/VantrelHelperClient.h"
#include "support/VantrelHelperProtocol.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {

class HelperClient {
public:
    using StringReply = VantrelHelperProtocol::StringReply;
    using LengthReply = VantrelHelperProtocol::LengthReply;
    using AccessReply = VantrelHelperProtocol::AccessReply;
    using ErrorReply = VantrelHelperProtocol::ErrorReply;
    using EmptyReply = VantrelHelperProtocol::EmptyReply;
    using IdentityReply = VantrelHelperProtocol::IdentityReply;
    using Failure = std::function<void(ErrorObject error)>;

    virtual ~HelperClient() = default;

    virtual void ping(StringReply reply, Failure failed) = 0;
    virtual void probeDeviceWithPath(const std::string& path, LengthReply reply, Failure failed) = 0;
    virtual void checkRawDiskAccessWithPath(const std::string& path, AccessReply reply, Failure failed) = 0;
    virtual void startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                                   std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds,
                                   const std::string& scanMode, ErrorReply reply, Failure failed) = 0;
    // One way; a lost connection is not reported.
    virtual void cancelScan() = 0;
    virtual void extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length,
                                    const std::string& destinationPath, UniqueFd destination, const std::string& hitSource,
                                    std::int64_t firstCluster, std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset, std::int64_t secondLength,
                                    ErrorReply reply, Failure failed) = 0;
    virtual void copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath,
                                          UniqueFd destination, ErrorReply reply, Failure failed) = 0;
    virtual void remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply, Failure failed) = 0;
    virtual void quitForRelaunch(EmptyReply reply, Failure failed) = 0;
    virtual void identifyDeviceWithPath(const std::string& path, IdentityReply reply, Failure failed) = 0;

    // Where the helper's callbacks go from now on; null drops them.
    virtual void setCallbackReceiver(std::shared_ptr<VantrelHelperClient> receiver) = 0;
    virtual void invalidate() = 0;

    // True while the helper of the current (or last) connection opens disk image files as well as
    // disks; known only once a call has connected. False unless an implementation knows better.
    virtual bool acceptsImageFiles() const { return false; }

    // The helper of the current (or last) connection: the service's, or one started beside the program.
    virtual HelperRoute route() const { return HelperRoute::none; }
    // True while the helper of the current connection was started through pkexec and has not answered
    // yet: its user may still be typing the password.
    virtual bool helperStarting() const { return false; }
    // True when no helper is connected and the next call would start one through pkexec, which asks
    // the user for a password.
    virtual bool connectingAsksForPassword() const { return false; }
};

} // namespace vantrel
