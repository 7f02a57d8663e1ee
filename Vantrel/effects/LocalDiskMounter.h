#pragma once
// Mounting a disk again from the application, at quit, for disks a scan left unmounted (the
// platform's DiskMounter does the mounting where the application may). It may take time, so it
// answers through a completion, which may run on any thread, exactly once.

#include "platform/ErrorObject.h"

#include <functional>
#include <optional>
#include <string>

namespace vantrel {

class LocalDiskMounter {
public:
    using Completion = std::function<void(std::optional<ErrorObject> error)>;

    virtual ~LocalDiskMounter() = default;

    // Mounts the volumes of the whole disk (a kernel name such as "sdb").
    virtual void mountDisk(const std::string& bsdName, Completion done) = 0;
    // Whether a volume of the whole disk is mounted now; quick enough for the main thread. A scan
    // unmounts only such a disk, so only such a disk is mounted again afterwards.
    virtual bool holdsMounts(const std::string& bsdName) const = 0;
};

} // namespace vantrel
