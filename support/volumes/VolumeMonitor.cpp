#include "support/volumes/VolumeMonitor.h"

#include "platform/disks/DiskInventory.h"
#include "support/volumes/VolumeDiscovery.h"

namespace vantrel {

VolumeMonitor::VolumeMonitor()
    : VolumeMonitor([inventory = DiskInventory()](bool showInternal) {
          return VolumeDiscovery::discover(inventory, showInternal);
      }) {}

VolumeMonitor::VolumeMonitor(Discovery discovery, std::chrono::milliseconds interval)
    : m_discovery(std::move(discovery)), m_interval(interval) {}

VolumeMonitor::~VolumeMonitor() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable()) m_worker.join();
}

void VolumeMonitor::ensureWorker() {
    if (!m_worker.joinable()) m_worker = std::thread([this] { work(); });
}

void VolumeMonitor::start() {
    {
        std::lock_guard lock(m_mutex);
        m_periodic = true;
        m_passRequested = true;
        ensureWorker();
    }
    m_wake.notify_all();
}

void VolumeMonitor::refresh() {
    {
        std::lock_guard lock(m_mutex);
        m_passRequested = true;
        ensureWorker();
    }
    m_wake.notify_all();
}

void VolumeMonitor::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_periodic = false;
    }
    m_wake.notify_all();
}

std::vector<ExternalVolume> VolumeMonitor::volumes() const {
    std::lock_guard lock(m_mutex);
    return m_volumes;
}

bool VolumeMonitor::showInternal() const {
    std::lock_guard lock(m_mutex);
    return m_showInternal;
}

void VolumeMonitor::setShowInternal(bool show) {
    std::lock_guard lock(m_mutex);
    m_showInternal = show;
}

void VolumeMonitor::setObserver(Observer observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void VolumeMonitor::work() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_mutex);
    auto nextPass = Clock::now();
    while (!m_quit) {
        if (!m_passRequested && !(m_periodic && Clock::now() >= nextPass)) {
            if (m_periodic)
                m_wake.wait_until(lock, nextPass);
            else
                m_wake.wait(lock);
            continue;
        }
        m_passRequested = false;
        const bool showInternal = m_showInternal;
        lock.unlock();
        std::vector<ExternalVolume> found;
        bool discovered = true;
        try {
            found = m_discovery(showInternal);
            VolumeDiscovery::sortByName(found);
        } catch (...) {
            // A failed pass keeps the last list; the next pass tries again.
            discovered = false;
        }
        lock.lock();
        nextPass = Clock::now() + m_interval;
        if (m_quit || !discovered) continue;
        m_volumes = found;
        const Observer observer = m_observer;
        lock.unlock();
        if (observer) observer(found);
        lock.lock();
    }
}

} // namespace vantrel
