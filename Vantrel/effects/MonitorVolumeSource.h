#pragma once
// The volume source of the running program: the support library's VolumeMonitor, whose lists are
// handed from its worker thread to the executor's thread before they reach the observer.

#include "Vantrel/async/Executor.h"
#include "Vantrel/effects/VolumeSource.h"

#include <memory>

namespace vantrel {

class VolumeMonitor;

class MonitorVolumeSource final : public VolumeSource {
public:
    MonitorVolumeSource(std::shared_ptr<Executor> executor, std::unique_ptr<VolumeMonitor> monitor);
    ~MonitorVolumeSource() override;

    void start() override;
    void stop() override;
    void refresh() override;
    std::vector<ExternalVolume> volumes() const override;
    bool showInternal() const override;
    void setShowInternal(bool show) override;
    void setObserver(Observer observer) override;

private:
    struct Delivery;
    std::shared_ptr<Executor> m_executor;
    std::shared_ptr<Delivery> m_delivery;
    std::unique_ptr<VolumeMonitor> m_monitor;
};

} // namespace vantrel
