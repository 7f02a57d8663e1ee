#pragma once
// The nine operations the helper serves and the application calls, in declaration order.
//
// Rules for implementers (the helper's service):
// - Every reply callback is called exactly once; failures travel only in the reply's error.
//   Dropping a callback uncalled sends the caller an error of the domain "VantrelIPC" (noReply).
// - Methods are called on the connection's reader thread: answer ping, cancel and quit at once,
//   and hand the rest to the service's own queues. Reply callbacks may be called from any thread.
// - Arguments have been checked against selectorTable() before a method runs: integers are
//   within 64 bits (an extraction's offsets and length 0 or more), strings are UTF-8 of at most
//   4096 bytes without NUL, arrays hold at most 256.
//   What they mean (a path under /dev, a kind name) is still the implementer's to check.
// - Destination files arrive as descriptors the application opened; the helper never opens a
//   path the application names for writing. The path travels along for messages and logs.
//
// On the application's side VantrelHelperProtocolProxy implements this interface over a connection.
//
// Wiring, helper side (one service per accepted connection):
//   IpcListener::Options listen;  listen.admission = Admission::rootOrGroup(XPCConstants::helperGroupName);
//   listen.onAccept = [&](SeqpacketSocket socket, PeerCredentials peer, IpcListener::ConnectionSlot slot) {
//       IpcConnectionOptions options;
//       options.exported = VantrelHelperProtocol::selectorTable();
//       options.remote = VantrelHelperClient::selectorTable();
//       options.onMessage = [service](IpcIncoming m) { VantrelHelperProtocol::dispatch(*service, std::move(m)); };
//       options.onClosed = ...;  // drop the connection, its service and the slot
//       auto connection = std::make_unique<IpcConnection>(std::move(socket), std::move(options));
//       service->client = std::make_unique<VantrelHelperClientProxy>(*connection, logCallbackError);
//       connection->resume();   // keep connection, service and slot together until onClosed
//   };
// A helper started over a socket pair builds one IpcConnection on its inherited descriptor and
// checks Admission::rootOrUser(parent's uid) against connection.peer() before resume().
// Application side: an IpcClient with exported = VantrelHelperClient::selectorTable(), remote =
// selectorTable(), onMessage = VantrelHelperClient::dispatch, and a VantrelHelperProtocolProxy on it.

#include "platform/ErrorObject.h"
#include "platform/UniqueFd.h"
#include "platform/ipc/IpcPeer.h"
#include "platform/ipc/SelectorTable.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

namespace HelperProtocolSelector {
inline constexpr std::string_view ping = "ping:";
inline constexpr std::string_view probeDevice = "probeDeviceWithPath:reply:";
inline constexpr std::string_view checkRawDiskAccess = "checkRawDiskAccessWithPath:reply:";
inline constexpr std::string_view startScan =
    "startScanWithPath:minimumByteSize:minimumImageWidth:minimumImageHeight:allowedKinds:scanMode:reply:";
inline constexpr std::string_view cancelScan = "cancelScan";
inline constexpr std::string_view extractHit =
    "extractHitWithPath:offset:length:destinationPath:hitSource:firstCluster:partitionOffset:fileSystem:secondOffset:"
    "secondLength:reply:";
inline constexpr std::string_view copyDevice = "copyDeviceWithSourcePath:destinationPath:reply:";
inline constexpr std::string_view remountDisks = "remountDisksWithBsdNames:reply:";
inline constexpr std::string_view quitForRelaunch = "quitForRelaunch:";
inline constexpr std::string_view identifyDevice = "identifyDeviceWithPath:reply:";
} // namespace HelperProtocolSelector

class VantrelHelperProtocol {
public:
    using StringReply = std::function<void(std::string answer)>;
    using LengthReply = std::function<void(std::int64_t length, std::optional<ErrorObject> error)>;
    using AccessReply = std::function<void(bool granted, std::optional<ErrorObject> error)>;
    using ErrorReply = std::function<void(std::optional<ErrorObject> error)>;
    using EmptyReply = std::function<void()>;
    // The medium's identity in its stored form (MediumIdentity) as JSON text, or empty and the error.
    using IdentityReply = std::function<void(std::string identity, std::optional<ErrorObject> error)>;

    virtual ~VantrelHelperProtocol() = default;

    // Answers "pong".
    virtual void ping(StringReply reply) = 0;
    // The device's length in bytes, or 0 and the error.
    virtual void probeDeviceWithPath(const std::string& path, LengthReply reply) = 0;
    // Whether a test read of the raw device works; false and the error when not.
    virtual void checkRawDiskAccessWithPath(const std::string& path, AccessReply reply) = 0;
    // Hits, progress and status lines go to the client; the reply comes when the scan has ended.
    virtual void startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                                   std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds,
                                   const std::string& scanMode, ErrorReply reply) = 0;
    // One way: asks the running scan (or copy) of this connection to stop.
    virtual void cancelScan() = 0;
    // Writes the hit's bytes into destination, which the application created at destinationPath. A picture
    // put together from two pieces has a second piece of secondLength bytes at secondOffset (its first piece
    // is the rest of length from offset); 0 and 0 for every other hit.
    virtual void extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length,
                                    const std::string& destinationPath, UniqueFd destination, const std::string& hitSource,
                                    std::int64_t firstCluster, std::int64_t partitionOffset, const std::string& fileSystem,
                                    std::int64_t secondOffset, std::int64_t secondLength, ErrorReply reply) = 0;
    // Copies the whole device into destination (the application never sends it).
    virtual void copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath,
                                          UniqueFd destination, ErrorReply reply) = 0;
    virtual void remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply) = 0;
    // Replies, then the helper exits once its other connections are idle; a quit the helper will not
    // carry out (a member's, beside other connections) is answered with the error that says why.
    virtual void quitForRelaunch(ErrorReply reply) = 0;
    // What the medium at the path says of itself (its partition table's id, its volumes' serial numbers,
    // labels and sizes, a fingerprint of the sectors that using it does not change), read without
    // unmounting it, so that the application can tell a card from the next one given its name.
    virtual void identifyDeviceWithPath(const std::string& path, IdentityReply reply) = 0;

    // Argument, reply and descriptor types of every operation.
    static const SelectorTable& selectorTable();

    // Runs one received message (checked against selectorTable()) on the service. Use it as the
    // helper connection's onMessage.
    static void dispatch(VantrelHelperProtocol& service, IpcIncoming message);
};

} // namespace vantrel
