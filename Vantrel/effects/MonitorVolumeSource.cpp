#include "Vantrel/effects/MonitorVolumeSource.h"

#include "support/volumes/VolumeMonitor.h"

namespace vantrel {

// Lives on the main thread; the worker reaches it only through posted jobs that hold it weakly.
struct MonitorVolumeSource::Delivery {
    Observer observer;
};

MonitorVolumeSource::MonitorVolumeSource(std::shared_ptr<Executor> executor, std::unique_ptr<VolumeMonitor> monitor)
    : m_executor(std::move(executor)), m_delivery(std::make_shared<Delivery>()), m_monitor(std::move(monitor)) {
    std::weak_ptr<Executor> executorRef = m_executor;
    std::weak_ptr<Delivery> deliveryRef = m_delivery;
    m_monitor->setObserver([executorRef, deliveryRef](const std::vector<ExternalVolume>& volumes) {
        const auto target = executorRef.lock();
        if (!target) return;
        target->post([deliveryRef, volumes] {
            const auto delivery = deliveryRef.lock();
            if (delivery && delivery->observer) delivery->observer(volumes);
        });
    });
}

MonitorVolumeSource::~MonitorVolumeSource() {
    // The monitor's destructor waits for a pass in progress; no observer call comes after it.
    m_monitor.reset();
}

void MonitorVolumeSource::start() {
    m_monitor->start();
}

void MonitorVolumeSource::stop() {
    m_monitor->stop();
}

void MonitorVolumeSource::refresh() {
    m_monitor->refresh();
}

std::vector<ExternalVolume> MonitorVolumeSource::volumes() const {
    return m_monitor->volumes();
}

bool MonitorVolumeSource::showInternal() const {
    return m_monitor->showInternal();
}

void MonitorVolumeSource::setShowInternal(bool show) {
    m_monitor->setShowInternal(show);
}

void MonitorVolumeSource::setObserver(Observer observer) {
    m_delivery->observer = std::move(observer);
}

} // namespace vantrel
