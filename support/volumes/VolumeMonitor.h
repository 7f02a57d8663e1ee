#pragma once
// The list of attached disks the user can scan, rediscovered every 2 seconds between start and stop.
// Discovery runs on the monitor's own worker thread (it reads sysfs and may run blkid), so no call here
// ever waits for it: start, refresh and stop only ask the worker, and each finished pass is published
// to the observer on the worker thread. A user interface hands that call over to its own thread.

#include "support/volumes/ExternalVolume.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {

class VolumeMonitor {
public:
    using Discovery = std::function<std::vector<ExternalVolume>(bool showInternal)>;
    using Observer = std::function<void(const std::vector<ExternalVolume>&)>;

    static constexpr std::chrono::milliseconds refreshInterval{2000};

    // Discovers the disks of this machine.
    VolumeMonitor();
    // Discovers through the given function (called on the worker thread only, never concurrently).
    explicit VolumeMonitor(Discovery discovery, std::chrono::milliseconds interval = refreshInterval);
    // Stops and waits for a pass in progress to end; the observer is not called after this returns.
    ~VolumeMonitor();
    VolumeMonitor(const VolumeMonitor&) = delete;
    VolumeMonitor& operator=(const VolumeMonitor&) = delete;

    // A pass at once, then one every interval until stop.
    void start();
    // A pass at once (after the one running, if any), also when not started.
    void refresh();
    // No more periodic passes.
    void stop();

    // The last published list, sorted by name (letter case ignored; equal names keep discovery order).
    // Empty until the first pass ends.
    std::vector<ExternalVolume> volumes() const;
    // Whether internal disks are listed too; a change counts from the next pass (call refresh for one now).
    bool showInternal() const;
    void setShowInternal(bool show);
    // Called after every pass, changed or not, with the new list, on the worker thread.
    void setObserver(Observer observer);

private:
    void ensureWorker();
    void work();

    Discovery m_discovery;
    std::chrono::milliseconds m_interval;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<ExternalVolume> m_volumes;
    Observer m_observer;
    bool m_showInternal = false;
    bool m_periodic = false;
    bool m_passRequested = false;
    bool m_quit = false;
    std::thread m_worker;
};

} // namespace vantrel
