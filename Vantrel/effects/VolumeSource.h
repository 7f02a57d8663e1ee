#pragma once
// The list of attached disks the user can scan (the volume monitor). Main thread only: each new list
// reaches the observer on the main thread.

#include "support/volumes/ExternalVolume.h"

#include <functional>
#include <vector>

namespace vantrel {

class VolumeSource {
public:
    using Observer = std::function<void(const std::vector<ExternalVolume>&)>;

    virtual ~VolumeSource() = default;

    // Lists now and every 2 seconds until stop.
    virtual void start() = 0;
    virtual void stop() = 0;
    // Lists again as soon as possible.
    virtual void refresh() = 0;
    // The last list, sorted by name.
    virtual std::vector<ExternalVolume> volumes() const = 0;
    virtual bool showInternal() const = 0;
    virtual void setShowInternal(bool show) = 0;
    // Called with every new list (also an unchanged one).
    virtual void setObserver(Observer observer) = 0;
};

} // namespace vantrel
