#include "platform/disks/DiskMounter.h"

#include "platform/disks/WholeDiskName.h"
#include "platform/files/SmallFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sys/mount.h>

namespace vantrel::DiskMounter {

namespace {

// A sysfs "dev" attribute is "major:minor\n".
constexpr std::size_t maxDevAttributeBytes = 32;
// Block devices listed in sysfs at most while looking for a number (a real system has far fewer).
constexpr std::size_t maxSysfsBlockEntries = 4096;

std::size_t depthOf(const std::string& target) {
    return static_cast<std::size_t>(std::count(target.begin(), target.end(), '/'));
}

std::vector<std::string> splitOptions(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const auto end = comma == std::string::npos ? text.size() : comma;
        if (end > start) parts.push_back(text.substr(start, end - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return parts;
}

std::filesystem::path mountProgram() {
    for (const auto& candidate : {std::filesystem::path("/usr/bin/mount"), std::filesystem::path("/bin/mount")}) {
        std::error_code error;
        if (std::filesystem::exists(candidate, error)) return candidate;
    }
    return "/usr/bin/mount";
}

} // namespace

std::optional<std::string> kernelName(std::uint32_t major, std::uint32_t minor, const std::filesystem::path& sysfsRoot) {
    const std::string number = std::to_string(major) + ":" + std::to_string(minor);
    std::error_code error;
    const auto link = std::filesystem::read_symlink(sysfsRoot / "dev" / "block" / number, error);
    if (!error && !link.filename().empty()) return link.filename().string();
    // Without the dev/block links, look through the class folder for the number.
    std::filesystem::directory_iterator entries(sysfsRoot / "class" / "block", error);
    if (error) return std::nullopt;
    std::size_t seen = 0;
    for (const auto& entry : entries) {
        if (++seen > maxSysfsBlockEntries) break;
        const auto dev = SmallFile::readRegular(entry.path() / "dev", maxDevAttributeBytes);
        if (!dev) continue;
        std::string text = *dev;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        if (text == number) return entry.path().filename().string();
    }
    return std::nullopt;
}

std::vector<MountEntry> mountsOfDisk(const std::string& diskName, const std::vector<MountEntry>& table,
                                     const std::filesystem::path& sysfsRoot) {
    std::vector<MountEntry> mounts;
    for (const auto& entry : table) {
        if (entry.major == 0) continue;  // pseudo file systems have no block device
        const auto name = kernelName(entry.major, entry.minor, sysfsRoot);
        if (!name || wholeDiskName(*name, sysfsRoot) != diskName) continue;
        mounts.push_back(entry);
    }
    // The table lists mounts in the order they were made; stable sort keeps that order reversed
    // within one depth.
    std::reverse(mounts.begin(), mounts.end());
    std::stable_sort(mounts.begin(), mounts.end(),
                     [](const MountEntry& a, const MountEntry& b) { return depthOf(a.target) > depthOf(b.target); });
    return mounts;
}

std::string replayOptions(const MountEntry& entry) {
    std::vector<std::string> options;
    std::set<std::string> seen;
    for (const auto& text : {entry.mountOptions, entry.superOptions}) {
        for (auto& option : splitOptions(text)) {
            if (seen.insert(option).second) options.push_back(std::move(option));
        }
    }
    std::string joined;
    for (const auto& option : options) joined += (joined.empty() ? "" : ",") + option;
    return joined;
}

UnmountOutcome unmountDisk(const std::string& diskName, const DiskMountRoots& roots) {
    UnmountOutcome outcome;
    const auto table = MountTable::read(roots.mountInfo);
    if (!table) {
        outcome.tableReadable = false;
        return outcome;
    }
    for (const auto& entry : mountsOfDisk(diskName, *table, roots.sysfs)) {
        // No MNT_DETACH: a busy file system must stay mounted and be reported, not hidden while in use.
        if (::umount2(entry.target.c_str(), 0) != 0) {
            outcome.failures.push_back(entry.target + ": " + std::strerror(errno));
            continue;
        }
        outcome.unmounted.push_back({entry.source, entry.target, entry.fileSystemType, replayOptions(entry)});
    }
    return outcome;
}

std::optional<std::string> remount(const UnmountedMount& mount, const ProcessRunner& runner) {
    if (mount.source.rfind("/dev/", 0) != 0 || mount.target.empty() || mount.target.front() != '/')
        return "not a device mount: " + mount.source;
    ProcessRequest request;
    request.program = mountProgram();
    request.arguments = {"-t", mount.fileSystemType, "-o", mount.options, "--", mount.source, mount.target};
    request.timeLimit = mountTimeLimit;
    request.maxOutputBytes = 64 * 1024;
    const auto result = runner.run(request);
    if (result.succeeded()) return std::nullopt;
    switch (result.outcome) {
    case ProcessResult::Outcome::exited: return "mount exited with status " + std::to_string(result.exitCode);
    case ProcessResult::Outcome::signalled: return std::string("mount was killed by a signal");
    case ProcessResult::Outcome::timedOut: return std::string("mount did not finish in time");
    case ProcessResult::Outcome::outputTooLarge: return std::string("mount wrote too much output");
    case ProcessResult::Outcome::notStarted: return "mount could not start: " + std::string(std::strerror(result.errorNumber));
    }
    return std::string("mount failed");
}

} // namespace vantrel::DiskMounter
