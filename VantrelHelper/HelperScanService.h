#pragma once
// The helper's side of one connection: the nine operations, with two serial queues (scans on one;
// probe, access check, extraction, copy and remount on the other), a lock over the cancel flag and
// the count of extractions in flight, and the client that gets hits, progress and status lines.
//
// A running scan pauses at each cancel test while an extraction of the same connection runs, so the
// extraction has the device to itself; a cancel ends the pause at once. When the connection closes
// the running scan and copy are cancelled and nothing queued afterwards starts.

#include "VantrelHelper/DestinationCheck.h"
#include "VantrelHelper/DeviceAccess.h"
#include "VantrelHelper/HitExtraction.h"
#include "VantrelHelper/SerialQueue.h"
#include "platform/process/ThreadIdentity.h"
#include "recovery/bytesource/ByteSource.h"
#include "recovery/engine/ScanMode.h"
#include "recovery/filesystems/VolumeCache.h"
#include "recovery/model/RecoveryFilters.h"
#include "support/VantrelHelperClient.h"
#include "support/VantrelHelperProtocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/types.h>
#include <string>
#include <vector>

namespace vantrel {

class HelperScanService : public VantrelHelperProtocol {
public:
    // Runs one scan over the source, as RecoveryEngine::scan does, leaving what it learns of the
    // source's volumes in the cache that this connection's extractions from the device then use.
    using ScanRunner = std::function<void(ByteSource& source, ScanMode mode, const RecoveryFilters& filters,
                                          const std::function<bool()>& shouldCancel,
                                          const std::function<void(const ScanProgress&)>& onProgress,
                                          const std::function<void(const RecoveredHit&)>& onHit, VolumeCache& volumes)>;

    // How often a paused scan looks again whether the extraction has ended.
    static constexpr std::chrono::milliseconds extractionPauseStep{50};

    // Asked on the connection's thread before quitForRelaunch replies: why the quit is declined, or
    // nothing when it is taken.
    using QuitRequest = std::function<std::optional<std::string>()>;

    // Devices are read and destinations written for the peer's user (see DeviceAccess and DestinationCheck).
    HelperScanService(ScanRunner scan, QuitRequest quitRequested, UserIdentity peer = {});
    // Cancels what runs, then waits for the queues (the running task ends; waiting ones are dropped).
    ~HelperScanService() override;

    // The proxy of this connection's client; none until set, and none again after connectionClosed().
    void setClient(VantrelHelperClient* client);
    // The peer has gone: cancel the running scan or copy and start nothing more.
    void connectionClosed();
    // Nothing running or waiting on either queue.
    bool isIdle() const;
    // The disks (whole-disk kernel names) this connection's probes, scans, copies and extractions
    // opened: the disks it holds unmounted while it lasts. Shared, so that they can be read once the
    // service is gone and its last task with it.
    class HeldDisks {
    public:
        void add(const std::string& disk);
        std::set<std::string> names() const;

    private:
        mutable std::mutex m_lock;
        std::set<std::string> m_names;
    };
    std::shared_ptr<const HeldDisks> heldDisks() const { return m_held; }

    void ping(StringReply reply) override;
    void probeDeviceWithPath(const std::string& path, LengthReply reply) override;
    void checkRawDiskAccessWithPath(const std::string& path, AccessReply reply) override;
    void startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                           std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds,
                           const std::string& scanMode, ErrorReply reply) override;
    void cancelScan() override;
    void extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length, const std::string& destinationPath,
                            UniqueFd destination, const std::string& hitSource, std::int64_t firstCluster,
                            std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset, std::int64_t secondLength, ErrorReply reply) override;
    void copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath, UniqueFd destination,
                                  ErrorReply reply) override;
    void remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply) override;
    void quitForRelaunch(ErrorReply reply) override;
    void identifyDeviceWithPath(const std::string& path, IdentityReply reply) override;

    // The request's filters: known kind names only (the default kinds when none is known), a negative
    // minimum size as 0, a picture minimum of 0 or less as none.
    static RecoveryFilters filtersFor(std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                                      std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds);
    // quickUndelete for exactly "quickUndelete", standard for everything else.
    static ScanMode modeFor(const std::string& text);
    // The whole percentage of a report when it is to be logged (100, or 5 or more above the last
    // logged one, which it then becomes); nothing otherwise.
    static std::optional<int> percentageToLog(const ScanProgress& progress, int& lastLogged);
    // What follows "Scan complete" when sectors could not be read (the last report's readErrors):
    // " — 12 sectors could not be read; files in the folders they held may be missing."; empty for none.
    static std::string lossText(std::int64_t unreadableSectors);

protected:
    // Runs on the scan queue when a queued scan has found its connection open and starts; tests close
    // the connection here, as a peer may at any moment.
    virtual void scanStarting() {}

private:
    bool shouldCancel();
    bool isClosed();
    void hold(const DeviceAccess::CheckedDevice& device);
    // Leases the disk of a device path before it is opened (and unmounted), so that no remount slips in
    // and mounts the disk under a scan, extraction or copy, and holds it for this connection. None for
    // an image file or a refused path (the opening then fails with the mapped error).
    DeviceAccess::DiskLease leaseAndHold(const std::string& path);
    DeviceAccess::DiskLease leaseAndHold(const DeviceAccess::CheckedDevice& checked);
    // Clears the cancel flag for a scan that starts; false (flag left set) once the connection has closed.
    bool beginScan();
    void runScan(const std::string& path, const RecoveryFilters& filters, ScanMode mode, const ErrorReply& reply);
    void runExtraction(const std::string& path, const std::string& destinationPath, int destination,
                       const HitExtraction::HitDescription& description, const ErrorReply& reply);
    void runCopy(const std::string& path, const std::string& destinationPath, int destination, const ErrorReply& reply);
    void sendLog(const std::string& line);
    void sendProgress(std::uint64_t scanned, std::uint64_t total, std::int64_t hits, std::int64_t errors);
    void sendHit(const RecoveredHit& hit);
    // The volume cache of the device path: the one kept for it, else (or when fresh is asked for, as
    // a new scan does) a new one, which replaces the cache of any other path.
    std::shared_ptr<VolumeCache> volumeCacheFor(const std::string& path, bool fresh);

    ScanRunner m_scan;
    QuitRequest m_quitRequested;
    UserIdentity m_peer;

    mutable std::mutex m_lock;  // guards the three values below; never held while another lock is taken
    bool m_cancelFlag = false;
    int m_extractInFlight = 0;
    bool m_closed = false;

    std::shared_ptr<HeldDisks> m_held = std::make_shared<HeldDisks>();

    std::mutex m_volumeLock;  // guards the two values below
    std::string m_volumePath;
    std::shared_ptr<VolumeCache> m_volumes;

    // Where this connection's extractions found their destinations apart from the source, and what
    // their source path resolved to, for a batch.
    DestinationCheck::PlacementMemo m_placements;
    DeviceAccess::LookupMemo m_lookups;

    std::mutex m_clientLock;  // held while a message goes to the client, so it cannot vanish meanwhile
    VantrelHelperClient* m_client = nullptr;

    // Last: the queues' threads stop before the state they use is destroyed.
    SerialQueue m_queue{"io.tessik.vantrel.helper.scan"};
    SerialQueue m_ioQueue{"io.tessik.vantrel.helper.io"};
};

} // namespace vantrel
