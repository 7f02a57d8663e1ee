#pragma once
// The three one-way callbacks the helper sends to the application, in declaration order.
//
// Rules for implementers (the application's client):
// - Methods run on the connection's reader thread, in the order the helper sent them: a scan's
//   hits and progress come before the scan's reply. Hand them to the main thread.
// - The hit has been checked against HelperHitDTO's rules before helperDidFindHit runs; a message
//   whose argument is not a HelperHitDTO object never reaches it.
//
// On the helper's side VantrelHelperClientProxy implements this interface over a connection.

#include "platform/ipc/IpcMessage.h"
#include "platform/ipc/IpcPeer.h"
#include "platform/ipc/SelectorTable.h"
#include "support/HelperHitDTO.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace vantrel {

namespace HelperClientSelector {
inline constexpr std::string_view didFindHit = "helperDidFindHit:";
inline constexpr std::string_view didUpdateProgress = "helperDidUpdateProgressWithBytesScanned:totalBytes:hitsFound:readErrors:";
inline constexpr std::string_view didLog = "helperDidLog:";
} // namespace HelperClientSelector

class VantrelHelperClient {
public:
    virtual ~VantrelHelperClient() = default;

    // One hit found by the running scan.
    virtual void helperDidFindHit(const HelperHitDTO& hit) = 0;
    // One hit found by the running scan, its fields read where the helper keeps them: by default
    // helperDidFindHit with the record they make. The connection's proxy writes them as they are.
    virtual void helperDidFindHitView(const HelperHitView& hit) { helperDidFindHit(hit.record()); }
    // Hits found one after another, as one packet brings them: by default helperDidFindHit with each, in
    // order. A client that hands hits to another thread overrides it to hand them over together.
    virtual void helperDidFindHits(std::span<const HelperHitDTO> hits) {
        for (const auto& hit : hits) helperDidFindHit(hit);
    }
    // Scan or copy progress.
    virtual void helperDidUpdateProgressWithBytesScanned(std::int64_t bytesScanned, std::int64_t totalBytes,
                                                         std::int64_t hitsFound, std::int64_t readErrors) = 0;
    // One short status line for the user.
    virtual void helperDidLog(const std::string& line) = 0;

    // Argument types of the callbacks; the hit must be an object of class HelperHitDTO.
    static const SelectorTable& selectorTable();

    // Runs one received message (checked against selectorTable()) on the client. Use it as the
    // application connection's onMessage.
    static void dispatch(VantrelHelperClient& client, const IpcIncoming& message);

    // Reads the batch packets of found hits straight from their text and calls helperDidFindHit with each,
    // as dispatch() would after the connection's checks. Use it as the application connection's batch reader.
    static std::unique_ptr<IpcBatchReader> hitBatchReader(std::shared_ptr<VantrelHelperClient> client);
};

} // namespace vantrel
