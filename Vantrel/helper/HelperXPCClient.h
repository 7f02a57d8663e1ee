#pragma once
// The application's one channel to the root helper: the helper's operations as tasks with clear
// completion rules, and its callbacks (hits, progress, status lines) handed to three handlers.
//
// Time limits: ping, checkRawDiskAccess and quitForRelaunch take one from their caller; the first
// of reply, connection error and timer decides, once, and a late reply is only logged. probeDevice
// has a generous limit of its own and extractHit takes one from its caller, so that a helper that
// stays connected but stops answering cannot hang a flow. startScan and
// remountDisks report through a completion that is called exactly once. Nothing retries on its own
// but ensureReachable.
//
// The handlers run on the connection's delivery thread; the model moves their work to the main
// thread. Tasks hold the client's state, not the client, so a task that outlives it is safe.

#include "Vantrel/async/Task.h"
#include "Vantrel/effects/HelperClient.h"

#include "recovery/engine/ScanMode.h"
#include "recovery/model/MediumIdentity.h"
#include "recovery/model/RecoveredHit.h"
#include "recovery/model/RecoveryFilters.h"
#include "support/HelperHitDTO.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

class HelperXPCClient {
public:
    using HitHandler = std::function<void(RecoveredHit hit)>;
    // Hits that came together, in their order.
    using HitsHandler = std::function<void(std::vector<RecoveredHit> hits)>;
    using ProgressHandler = std::function<void(ScanProgress progress)>;
    using LogHandler = std::function<void(std::string line)>;
    using Completion = std::function<void(std::optional<ErrorObject> error)>;

    // A probe unmounts and opens a disk; a stalled helper is cut off after this long.
    static constexpr double probeTimeLimitSeconds = 60.0;

    explicit HelperXPCClient(std::shared_ptr<HelperClient> connection);
    ~HelperXPCClient();
    HelperXPCClient(const HelperXPCClient&) = delete;
    HelperXPCClient& operator=(const HelperXPCClient&) = delete;

    void setOnHit(HitHandler handler);
    // Takes the hits in place of the handler of one hit (which then gets none).
    void setOnHits(HitsHandler handler);
    void setOnProgress(ProgressHandler handler);
    void setOnLog(LogHandler handler);

    // Throws CallError: code 11 after the time limit, or the connection's error.
    Task<void> ping(double timeoutSeconds);
    // Pings on a fresh connection up to attempts times (at least once), sleeping the delay between
    // attempts; throws the last attempt's error.
    Task<void> ensureReachable(int attempts, double timeoutSeconds, std::uint64_t retryDelayNanoseconds);
    // Whether a test read of the raw device works. A reply of false with an error throws the error.
    Task<bool> checkRawDiskAccess(std::string path, double timeoutSeconds);
    // The device's size in bytes.
    Task<std::uint64_t> probeDevice(std::string path, double timeoutSeconds = probeTimeLimitSeconds);
    // What the medium at the path says of itself. Throws the helper's or the connection's error, code 11
    // after the time limit, or a CallError when the answer is not an identity.
    Task<MediumIdentity> identifyDevice(std::string path, double timeoutSeconds = probeTimeLimitSeconds);
    void startScan(const std::string& path, const RecoveryFilters& filters, ScanMode mode, Completion completion);
    void cancelScan();
    // Writes the first length bytes of the hit (all of them when length is its byteLength) into destination,
    // a file the application created at destinationPath. Throws the helper's or the connection's error, or
    // code 11 once timeoutSeconds (when given) have passed.
    Task<void> extractHit(std::string path, const RecoveredHit& hit, std::uint64_t length, std::string destinationPath,
                          UniqueFd destination, std::optional<double> timeoutSeconds = std::nullopt);
    // The same request without waiting for it: answered calls once, on the connection's delivery thread,
    // with the helper's or the connection's error or none, so that a caller may have several asked at once.
    using ExtractionAnswer = std::function<void(std::optional<ErrorObject> error)>;
    void startExtraction(std::string path, const RecoveredHit& hit, std::uint64_t length, std::string destinationPath,
                         UniqueFd destination, ExtractionAnswer answered);
    void remountDisks(const std::vector<std::string>& bsdNames, Completion completion);
    // Asks the helper to quit so that the next call starts a fresh one; never fails. Whatever ends the
    // request, the connection is dropped and the task returns 0.3 seconds later.
    Task<void> quitForRelaunch(double timeoutSeconds);

    // Drops the connection; the next call makes a new one.
    void invalidate();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// A hit as the application keeps it, from the record the helper sent: a fresh identity, pending (or
// suspect when its clusters were reused), no capture date; unknown names fall back as the protocol says.
RecoveredHit hitFromTransferRecord(const HelperHitDTO& record);

// Seconds as log lines write them: "2.0", "0.4", "180.0".
std::string secondsText(double seconds);
// Names as log lines list them: ["disk4", "disk6"], or [] for none.
std::string nameListText(const std::vector<std::string>& names);

} // namespace vantrel
