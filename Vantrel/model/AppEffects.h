#pragma once
// Everything the model reaches outside itself. The program passes the real adapters; tests pass fakes
// and a manual executor, so every flow runs without a display, a helper or devices.

#include "Vantrel/async/Executor.h"
#include "Vantrel/catalog/CatalogVolumeMatching.h"
#include "Vantrel/effects/Clock.h"
#include "Vantrel/effects/DesktopShell.h"
#include "Vantrel/effects/FileDialogs.h"
#include "Vantrel/effects/HelperClient.h"
#include "Vantrel/effects/LocalDiskMounter.h"
#include "Vantrel/effects/ServiceRegistrar.h"
#include "Vantrel/effects/SettingsStore.h"
#include "Vantrel/scan/SourceGuard.h"

#include <memory>
#include <optional>
#include <string>

namespace vantrel {

struct AppEffects {
    std::shared_ptr<Executor> executor;
    std::shared_ptr<Clock> clock;
    std::shared_ptr<HelperClient> helper;
    std::shared_ptr<ServiceRegistrar> registrar;
    std::shared_ptr<SettingsStore> settings;
    std::shared_ptr<DesktopShell> shell;
    std::shared_ptr<FileDialogs> dialogs;
    std::shared_ptr<LocalDiskMounter> mounter;
    // Where the helper program shipped with the application lies; none when there is none to spawn.
    std::optional<std::string> helperProgram;
    // Serial number and partition-table and file-system ids of an attached disk, from udev and sysfs.
    CatalogVolumeMatching::IdentityLookup diskIdentity = [](const ExternalVolume& volume) {
        return DiskIdentity::read(volume.bsdName);
    };
    // What stands at a device path now (none: SourceGuard::observe with diskIdentity), and whether an open
    // file or folder lies on the source at a device path (none: SourceGuard::fileOverlap).
    std::function<SourceGuard::DiskMark(const std::string& devicePath)> observeDisk{};
    std::function<BackingStorage::OverlapAnswer(const std::string& devicePath, int fd)> destinationOverlap{};
    // Flushes a recovered file to the disk, as fdatasync does (0, or -1 with errno); none: fdatasync.
    std::function<int(int fd)> flushFile{};
    // Flushes the whole file system a recovered file is on, as syncfs does (0, or -1 with errno): 0 only
    // when every file of it written since fd was opened is on the disk. None: syncfs where the kernel
    // reports failed writes to it, else -1 (each file is then flushed on its own).
    std::function<int(int fd)> flushFileSystem{};
};

} // namespace vantrel
