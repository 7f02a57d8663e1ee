#include "Vantrel/effects/SystemLocalDiskMounter.h"

#include "platform/disks/WholeDiskName.h"
#include "platform/process/ProcessRunner.h"
#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <thread>

namespace vantrel {

namespace {

constexpr std::string_view category = "app";
// The code the helper's remount reports too.
constexpr std::int64_t remountFailedCode = 16;

// Contents that are no file system of their own.
constexpr std::array<std::string_view, 6> unmountableTypes{"swap",        "LVM2_member", "crypto_LUKS",
                                                           "linux_raid_member", "zfs_member", "bcache"};

ErrorObject mountError(std::string message) {
    return ErrorObject{std::string(VantrelError::domain), remountFailedCode, std::move(message), std::nullopt};
}

std::optional<std::filesystem::path> firstInstalled(const std::vector<std::filesystem::path>& candidates) {
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
    return std::nullopt;
}

bool isMountable(const BlockDeviceFacts& volume) {
    return !volume.fileSystemType ||
           std::find(unmountableTypes.begin(), unmountableTypes.end(), *volume.fileSystemType) == unmountableTypes.end();
}

// The volumes to mount: not mounted, of a mountable content, and of a known one where the content of
// some volume of the disk is known (an extended partition or an empty one holds nothing to mount).
std::vector<BlockDeviceFacts> volumesToMount(const DiskFacts& disk) {
    std::vector<BlockDeviceFacts> volumes = disk.partitions;
    if (volumes.empty()) volumes.push_back(disk.disk);
    const bool anyKnown =
        std::any_of(volumes.begin(), volumes.end(), [](const BlockDeviceFacts& volume) { return volume.fileSystemType.has_value(); });
    std::erase_if(volumes, [anyKnown](const BlockDeviceFacts& volume) {
        return !volume.mounts.empty() || !isMountable(volume) || (anyKnown && !volume.fileSystemType);
    });
    return volumes;
}

std::string whyNot(const ProcessResult& result) {
    switch (result.outcome) {
    case ProcessResult::Outcome::exited: return "exit status " + std::to_string(result.exitCode);
    case ProcessResult::Outcome::signalled: return "stopped by a signal";
    case ProcessResult::Outcome::timedOut: return "no answer in time";
    case ProcessResult::Outcome::outputTooLarge: return "too much output";
    case ProcessResult::Outcome::notStarted: return "not started: " + std::generic_category().message(result.errorNumber);
    }
    return "failed";
}

} // namespace

SystemLocalDiskMounter::SystemLocalDiskMounter(LocalMountOptions options) : m_options(std::move(options)) {}

void SystemLocalDiskMounter::mountDisk(const std::string& bsdName, Completion done) {
    std::thread([mounter = SystemLocalDiskMounter(m_options), bsdName, done = std::move(done)] {
        done(mounter.mountNow(bsdName));
    }).detach();
}

bool SystemLocalDiskMounter::holdsMounts(const std::string& bsdName) const {
    if (!isPlausibleDeviceName(bsdName)) return false;
    // Mounts only: no content probe is needed.
    const DiskInventory inventory(m_options.roots, [](const std::string&) { return DiskInventory::ProbeResult{}; });
    const auto disk = inventory.describe(wholeDiskName(bsdName, m_options.roots.sysfs));
    if (!disk) return false;
    if (!disk->disk.mounts.empty()) return true;
    return std::any_of(disk->partitions.begin(), disk->partitions.end(),
                       [](const BlockDeviceFacts& volume) { return !volume.mounts.empty(); });
}

std::optional<ErrorObject> SystemLocalDiskMounter::mountNow(const std::string& bsdName) const {
    if (!isPlausibleDeviceName(bsdName)) return mountError("Not a disk name: " + bsdName);
    const auto diskName = wholeDiskName(bsdName, m_options.roots.sysfs);
    const DiskInventory inventory(m_options.roots, m_options.prober);
    const auto disk = inventory.describe(diskName);
    if (!disk) return mountError(diskName + " is not attached.");
    const auto volumes = volumesToMount(*disk);
    if (volumes.empty()) return std::nullopt;

    const auto udisksctl = firstInstalled(m_options.udisksctl);
    const auto mount = udisksctl ? std::nullopt : firstInstalled(m_options.mount);
    if (!udisksctl && !mount) return mountError("Neither udisksctl nor mount is installed to mount " + diskName + ".");
    std::vector<std::filesystem::path> allowed = m_options.udisksctl;
    allowed.insert(allowed.end(), m_options.mount.begin(), m_options.mount.end());
    const ProcessRunner runner(std::move(allowed));

    std::string failed;
    for (const auto& volume : volumes) {
        ProcessRequest request;
        request.program = udisksctl ? *udisksctl : *mount;
        if (udisksctl) request.arguments = {"mount", "--no-user-interaction", "--block-device", volume.devicePath()};
        else request.arguments = {volume.devicePath()};  // as /etc/fstab has it
        request.timeLimit = m_options.volumeTimeLimit;
        request.maxOutputBytes = 64 * 1024;
        const auto result = runner.run(request);
        if (result.succeeded()) {
            AppLog::info("local mount " + volume.devicePath() + " through " + request.program.string() + " OK", category);
            continue;
        }
        AppLog::error("local mount " + volume.devicePath() + " through " + request.program.string() + ": " + whyNot(result),
                      category);
        failed += (failed.empty() ? "" : ", ") + volume.devicePath() + " (" + whyNot(result) + ")";
    }
    if (failed.empty()) return std::nullopt;
    return mountError("Could not mount " + failed + ".");
}

} // namespace vantrel
