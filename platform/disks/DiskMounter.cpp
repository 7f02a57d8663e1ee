#include "platform/disks/DiskMounter.h"

#include "platform/UniqueFd.h"
#include "platform/disks/WholeDiskName.h"
#include "platform/files/FolderWithoutLinks.h"
#include "platform/files/SmallFile.h"
#include "platform/text/DecimalNumber.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The value of the first option named name (such as "uid=") in a comma-separated list.
std::optional<std::string> optionValue(const std::string& options, std::string_view name) {
    for (const auto& option : splitOptions(options)) {
        if (option.rfind(name, 0) == 0) return option.substr(name.size());
    }
    return std::nullopt;
}

std::optional<uid_t> parseUid(const std::string& text) {
    const auto value = DecimalNumber::parse<std::uint32_t>(text);
    if (!value) return std::nullopt;
    return static_cast<uid_t>(*value);
}

std::optional<uid_t> userNamed(const std::string& name) {
    std::vector<char> buffer(16 * 1024);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    return entry.pw_uid;
}

std::string kept(const std::string& target, const std::string& reason) { return target + " (" + reason + ")"; }

// The bind mounts among the mounts that have no whole mount of their file system beside them.
std::set<std::size_t> orphanBinds(const std::vector<MountEntry>& mounts) {
    std::set<std::size_t> orphans;
    for (std::size_t index = 0; index < mounts.size(); ++index) {
        const auto& bind = mounts[index];
        if (!isBindMount(bind)) continue;
        const bool whole = std::any_of(mounts.begin(), mounts.end(), [&](const MountEntry& other) {
            return !isBindMount(other) && other.major == bind.major && other.minor == bind.minor && other.source == bind.source;
        });
        if (!whole) orphans.insert(index);
    }
    return orphans;
}

std::optional<std::string> describeFailure(const ProcessResult& result) {
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

ProcessRequest mountRequest(std::vector<std::string> arguments) {
    ProcessRequest request;
    request.program = mountProgram();
    request.arguments = std::move(arguments);
    request.timeLimit = mountTimeLimit;
    request.maxOutputBytes = 64 * 1024;
    return request;
}

bool isDeviceMount(const UnmountedMount& mount) {
    return mount.source.rfind("/dev/", 0) == 0 && !mount.target.empty() && mount.target.front() == '/';
}

// The name the kernel resolves to exactly the open folder, whatever has been renamed since.
std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The recorded mount point opened again, without following a link, when it is still the very folder
// found at unmount; else why not.
std::optional<std::string> openRecordedFolder(const UnmountedMount& mount, UniqueFd& folder) {
    if (mount.folderDevice == 0 && mount.folderInode == 0)
        return "the folder " + mount.target + " was not found when it was unmounted";
    auto opened = FolderWithoutLinks::open(mount.target);
    if (!opened.fd) return "the mount point cannot be reached without following a link (" + *opened.refusal + ")";
    if (opened.device != mount.folderDevice || opened.inode != mount.folderInode)
        return "the mount point " + mount.target + " is no longer the folder it was unmounted from";
    folder = std::move(opened.fd);
    return std::nullopt;
}

// The per-mount flags of an option list, as a bind mount takes them when remounted.
unsigned long perMountFlags(const std::string& options) {
    static const std::map<std::string, unsigned long> known = {
        {"ro", MS_RDONLY},        {"nosuid", MS_NOSUID},         {"nodev", MS_NODEV},
        {"noexec", MS_NOEXEC},    {"noatime", MS_NOATIME},       {"nodiratime", MS_NODIRATIME},
        {"relatime", MS_RELATIME}, {"strictatime", MS_STRICTATIME}, {"nosymfollow", MS_NOSYMFOLLOW},
    };
    unsigned long flags = 0;
    for (const auto& option : splitOptions(options)) {
        if (const auto found = known.find(option); found != known.end()) flags |= found->second;
    }
    return flags;
}

// Binds the open folder from onto the open folder to, then gives the new mount its per-mount flags
// (mount(8) would look the target up by name again for that step). A bind whose flags cannot be set
// is taken away again.
std::optional<std::string> bindThroughDescriptors(const FolderWithoutLinks::Opened& from, int to, const UnmountedMount& record) {
    if (::mount(descriptorPath(from.fd.get()).c_str(), descriptorPath(to).c_str(), nullptr, MS_BIND, nullptr) != 0)
        return std::string("bind mount failed: ") + std::strerror(errno);
    const auto flags = perMountFlags(record.options);
    if (flags == 0) return std::nullopt;
    // The new mount's root: the target's name now leads into it, and it must show the folder bound.
    const auto placed = FolderWithoutLinks::open(record.target);
    std::optional<std::string> problem;
    if (!placed.fd || placed.device != from.device || placed.inode != from.inode)
        problem = "the bind mount at " + record.target + " could not be found again to set its options";
    else if (::mount(nullptr, descriptorPath(placed.fd.get()).c_str(), nullptr, MS_REMOUNT | MS_BIND | flags, nullptr) != 0)
        problem = std::string("setting the bind mount's options failed: ") + std::strerror(errno);
    if (problem && placed.fd) ::umount2(descriptorPath(placed.fd.get()).c_str(), 0);
    return problem;
}

// The mount point of a whole mount of source that the table shows, if any.
std::optional<std::string> wholeMountInPlace(const std::string& source, const std::filesystem::path& mountInfo) {
    const auto table = MountTable::read(mountInfo);
    if (!table) return std::nullopt;
    for (const auto& entry : *table) {
        if (entry.source == source && !isBindMount(entry)) return entry.target;
    }
    return std::nullopt;
}

// Puts one bind record back from the whole mount at wholeTarget; nothing on success, else why not.
std::optional<std::string> rebind(const UnmountedMount& record, const std::string& wholeTarget) {
    const auto fromPath = (std::filesystem::path(wholeTarget) / std::filesystem::path(record.root).relative_path()).string();
    // Both the whole mount's root and the folder must be reached without links and lie on one file
    // system: the folder is the disk's own, not one swapped in from elsewhere.
    const auto base = FolderWithoutLinks::open(wholeTarget);
    const auto from = FolderWithoutLinks::open(fromPath);
    if (!base.fd || !from.fd) return "the folder " + fromPath + " cannot be reached without following a link";
    if (base.device != from.device) return "the folder " + fromPath + " is not on " + record.source;
    UniqueFd target;
    if (auto problem = openRecordedFolder(record, target)) return problem;
    return bindThroughDescriptors(from, target.get(), record);
}

// A bind mount unmounted while its whole mount stayed (busy) hides nothing: it goes back at once, from
// the whole mount in place, and is reported as kept.
void putBackBindsOfStayingMounts(UnmountOutcome& outcome, const std::filesystem::path& mountInfo) {
    std::vector<UnmountedMount> stillUnmounted;
    for (auto& record : outcome.unmounted) {
        const auto whole = record.isBind() ? wholeMountInPlace(record.source, mountInfo) : std::nullopt;
        if (!whole) {
            stillUnmounted.push_back(std::move(record));
            continue;
        }
        if (const auto problem = rebind(record, *whole)) {
            stillUnmounted.push_back(std::move(record));
            continue;
        }
        outcome.failures.push_back(kept(record.target, "its whole mount stayed"));
    }
    outcome.unmounted = std::move(stillUnmounted);
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

bool isBindMount(const MountEntry& entry) {
    if (entry.root == "/") return false;
    const auto subvolume = optionValue(entry.superOptions, "subvol=");
    return !(subvolume && *subvolume == entry.root);
}

std::optional<uid_t> mountOwner(const MountEntry& entry) {
    for (const auto* options : {&entry.superOptions, &entry.mountOptions}) {
        for (const auto name : {std::string_view("uid="), std::string_view("user_id=")}) {
            if (const auto value = optionValue(*options, name)) return parseUid(*value);
        }
    }
    // The desktop's automounter mounts a user's disks at /media/USER/LABEL or /run/media/USER/LABEL.
    for (const std::filesystem::path base : {"/media", "/run/media"}) {
        const std::filesystem::path target = entry.target;
        auto rest = target.lexically_relative(base);
        if (rest.empty() || *rest.begin() == ".." || *rest.begin() == "." || std::distance(rest.begin(), rest.end()) < 2)
            continue;
        return userNamed(rest.begin()->string());
    }
    return std::nullopt;
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

UnmountOutcome unmountDisk(const std::string& diskName, const DiskMountRoots& roots, const MountVeto& veto) {
    UnmountOutcome outcome;
    const auto table = MountTable::read(roots.mountInfo);
    if (!table) {
        outcome.tableReadable = false;
        return outcome;
    }
    const auto mounts = mountsOfDisk(diskName, *table, roots.sysfs);
    // Decided before anything is unmounted: a disk is unmounted whole, or not at all when part of it must stay.
    std::vector<std::optional<std::string>> vetoes(mounts.size());
    const auto orphans = orphanBinds(mounts);
    for (std::size_t index = 0; index < mounts.size(); ++index) {
        if (veto) vetoes[index] = veto(mounts[index]);
        if (!vetoes[index] && orphans.count(index) > 0) vetoes[index] = "a bind mount that could not be put back";
    }
    if (std::any_of(vetoes.begin(), vetoes.end(), [](const auto& why) { return why.has_value(); })) {
        for (std::size_t index = 0; index < mounts.size(); ++index)
            outcome.failures.push_back(kept(mounts[index].target, vetoes[index].value_or("another mount of the disk must stay")));
        return outcome;
    }
    for (const auto& entry : mounts) {
        // The folder beneath is found from its parent, opened before the unmount without links: what the
        // mount covered, not whatever the name shows once it is gone.
        const std::filesystem::path target = entry.target;
        const auto parent = FolderWithoutLinks::open(target.parent_path().string());
        if (!parent.fd || target.filename().empty()) {
            outcome.failures.push_back(kept(entry.target, "its mount point cannot be reached without following a link"));
            continue;
        }
        // No MNT_DETACH: a busy file system must stay mounted and be reported, not hidden while in use.
        if (::umount2(entry.target.c_str(), 0) != 0) {
            outcome.failures.push_back(kept(entry.target, std::strerror(errno)));
            continue;
        }
        const bool bind = isBindMount(entry);
        UnmountedMount record{entry.source, entry.target, entry.fileSystemType,
                              bind ? entry.mountOptions : replayOptions(entry), bind ? entry.root : "/"};
        const UniqueFd folder(::openat(parent.fd.get(), target.filename().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (folder && ::fstat(folder.get(), &info) == 0) {
            record.folderDevice = info.st_dev;
            record.folderInode = info.st_ino;
        }
        outcome.unmounted.push_back(std::move(record));
    }
    putBackBindsOfStayingMounts(outcome, roots.mountInfo);
    return outcome;
}

std::optional<std::string> remount(const UnmountedMount& mount, const ProcessRunner& runner) {
    if (!isDeviceMount(mount) || mount.isBind()) return "not a device mount: " + mount.source;
    UniqueFd folder;
    if (auto problem = openRecordedFolder(mount, folder)) return problem;
    // -c: mount(8) hands the descriptor's name to the kernel as it is, without resolving it to a path.
    auto request = mountRequest({"-c", "-t", mount.fileSystemType, "-o", mount.options, "--", mount.source,
                                 descriptorPath(STDERR_FILENO + 1)});
    request.passedDescriptors = {folder.get()};
    return describeFailure(runner.run(request));
}

std::vector<RemountFailure> remountAll(const std::vector<UnmountedMount>& records, const ProcessRunner& runner,
                                       const std::filesystem::path& mountInfo) {
    std::map<std::size_t, std::string> failed;         // record index → why it stayed unmounted
    std::map<std::string, std::string> wholeTargets;  // source → mount point of a whole mount put back
    for (std::size_t index = records.size(); index-- > 0;) {
        const auto& record = records[index];
        if (record.isBind()) continue;
        if (auto problem = remount(record, runner)) failed.emplace(index, std::move(*problem));
        else wholeTargets.emplace(record.source, record.target);
    }
    for (std::size_t index = records.size(); index-- > 0;) {
        const auto& record = records[index];
        if (!record.isBind()) continue;
        const auto whole = wholeTargets.find(record.source);
        const auto from = whole != wholeTargets.end() ? std::optional(whole->second) : wholeMountInPlace(record.source, mountInfo);
        if (!isDeviceMount(record) || !from) {
            failed.emplace(index, "no whole mount of " + record.source + " was put back to bind from");
            continue;
        }
        if (auto problem = rebind(record, *from)) failed.emplace(index, std::move(*problem));
    }
    std::vector<RemountFailure> failures;
    for (auto& [index, reason] : failed) failures.push_back({records[index], std::move(reason)});
    return failures;
}

} // namespace vantrel::DiskMounter
