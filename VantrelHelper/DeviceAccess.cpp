#include "VantrelHelper/DeviceAccess.h"

#include "platform/UniqueFd.h"
#include "platform/disks/DiskInventory.h"
#include "platform/disks/WholeDiskName.h"
#include "platform/files/SmallFile.h"
#include "support/volumes/VolumeDiscovery.h"
#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace vantrel::DeviceAccess {

namespace {

constexpr std::string_view category = "helper";
// The verifying read and the probe read: enough to show the device answers.
constexpr std::int64_t verifyReadBytes = 4096;
constexpr std::size_t probeReadBytes = 512;
// A path look-up that has not returned by then is abandoned, and a user with this many look-ups
// still hanging gets the same answer at once.
constexpr std::chrono::seconds pathLookupLimit{5};
constexpr std::size_t maxLookupsPerUser = 4;
// A look-up thread that has had nothing to do for this long ends (the next look-up starts one again).
constexpr std::chrono::seconds lookupThreadIdleLimit{30};
// Mount points whose disk holds the running system; such a disk is never unmounted.
constexpr std::array<std::string_view, 9> systemMountPoints = {"/", "/usr", "/var", "/boot", "/boot/efi", "/home",
                                                                "/etc", "/opt", "/srv"};

Settings& mutableSettings() {
    static Settings value;
    return value;
}

// One mount this process took away, and the peer it did so for.
struct UnmountRecord {
    uid_t owner = 0;
    UnmountedMount mount;
};

// The unmounted disks with what was unmounted of each (in unmount order), and the disks being read.
struct SharedState {
    std::mutex lock;
    std::map<std::string, std::vector<UnmountRecord>> unmounted;
    std::map<std::string, int> leases;
};

SharedState& shared() {
    static SharedState state;
    return state;
}

[[noreturn]] void fail(ErrorObject error) { throw HelperError(std::move(error)); }

bool isLoopName(const std::string& diskName) { return diskName.rfind("loop", 0) == 0; }

std::string lastComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

ErrorObject notADevice(const std::string& path) {
    auto error = ErrorObject::posix(ENOTBLK, path);
    error.message = "Not a disk device: " + path;
    return error;
}

// The disk a block device belongs to, by its device number; the node's own name when sysfs does not know it.
std::string diskOfDeviceNumber(dev_t number, const std::string& fallbackName) {
    const auto& roots = settings().roots;
    const auto name = DiskMounter::kernelName(major(number), minor(number), roots.sysfs);
    return vantrel::wholeDiskName(name ? *name : fallbackName, roots.sysfs);
}

bool holdsSystemMount(const std::string& diskName) {
    const auto table = MountTable::read(settings().roots.mountInfo);
    if (!table) return true;  // unknown: do not take the risk
    for (const auto& entry : DiskMounter::mountsOfDisk(diskName, *table, settings().roots.sysfs)) {
        if (std::find(systemMountPoints.begin(), systemMountPoints.end(), entry.target) != systemMountPoints.end()) return true;
    }
    return false;
}

// The file's type after opening must still be what the check accepted.
void checkOpenedType(int fd, const CheckedDevice& device) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) fail(ErrorObject::posix(errno, device.resolvedPath));
    const bool same = device.isBlockDevice ? (S_ISBLK(info.st_mode) && info.st_rdev == device.blockDevice)
                                           : (S_ISREG(info.st_mode) && info.st_dev == device.fileDevice &&
                                              info.st_ino == device.fileInode);
    if (!same) fail(notADevice(device.resolvedPath));
}

ErrorObject refusal(const std::string& path, std::string reason) {
    return VantrelError::refusedForUserError(path, std::move(reason));
}

// Opens a path with the peer's identity when the peer is not root (and the process is); as the
// process otherwise. -1 with errno on failure.
int openAs(const UserIdentity& peer, const std::string& path, int flags) {
    if (!ThreadIdentity::switchesFor(peer)) return ::open(path.c_str(), flags);
    const ThreadIdentity identity(peer);
    if (!identity.active()) {
        errno = EPERM;
        return -1;
    }
    return ::open(path.c_str(), flags);
}

// The backing file of a loop device, opened as the peer by the name sysfs shows and kept only when
// it is the very file the kernel reads (same device and inode): a deleted, renamed or replaced file
// does not pass, whatever now stands at the name.
bool peerMayReadLoopBacking(const std::string& loopName, const UserIdentity& peer) {
    const auto& lookUp = settings().loopBacking;
    const auto backing = lookUp ? lookUp(loopName) : std::nullopt;
    if (!backing) return false;
    auto name = SmallFile::readRegular(settings().roots.sysfs / "block" / loopName / "loop" / "backing_file", PATH_MAX);
    if (!name) return false;
    while (!name->empty() && name->back() == '\n') name->pop_back();
    if (name->empty() || name->front() != '/') return false;
    const UniqueFd fd(openAs(peer, *name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) return false;
    return FileIdentity{info.st_dev, info.st_ino} == backing->file;
}

// One path look-up (links resolved, then the file's type and numbers) done on a thread other than the
// request's, so that a path on a stalled file system (a FUSE or network mount that no longer answers)
// holds that thread and not the request: the request is answered when the time is up.
struct Lookup {
    bool timedOut = false;
    std::vector<std::string> stuck;  // refused: the user's look-ups that still hang
    bool found = false;
    int error = 0;
    std::string resolved;
    struct stat info {};
};

// A look-up waiting for a thread, and where its answer goes.
struct LookupJob {
    struct Answer {
        Lookup result;
        bool finished = false;
    };
    std::string path;
    UserIdentity peer;
    std::shared_ptr<Answer> answer;
};

// The look-up threads: long-lived, each serving one look-up after another from the queue, with the
// identity of that look-up's user for the time of it. A look-up never waits behind one that hangs: when
// no thread is free, another is started (so a user has as many threads stuck as look-ups hanging, at
// most maxLookupsPerUser, as before), and a thread left without work for lookupThreadIdleLimit ends.
struct Lookups {
    std::mutex lock;
    std::condition_variable done;    // a look-up returned
    std::condition_variable queued;  // a job waits for a thread
    std::map<uid_t, std::multiset<std::string>> running;  // paths not yet returned, per user (abandoned ones too)
    std::deque<LookupJob> jobs;
    std::size_t idleThreads = 0;
};

// Never destroyed: the threads, stuck ones too, use it for as long as the process lives.
Lookups& lookups() {
    static auto* value = new Lookups;
    return *value;
}

Lookup resolveFor(const std::string& path, const UserIdentity& peer) {
    Lookup result;
    const bool forPeer = ThreadIdentity::switchesFor(peer);
    const ThreadIdentity identity(peer);
    char resolved[PATH_MAX];
    if (!forPeer || identity.active()) {
        result.found = ::realpath(path.c_str(), resolved) && ::stat(resolved, &result.info) == 0;
        result.error = errno;
        if (result.found) result.resolved = resolved;
    }
    return result;
}

void serveLookups() {
    auto& all = lookups();
    std::unique_lock lock(all.lock);
    for (;;) {
        ++all.idleThreads;
        const bool work = all.queued.wait_for(lock, lookupThreadIdleLimit, [&] { return !all.jobs.empty(); });
        --all.idleThreads;
        if (!work) return;
        LookupJob job = std::move(all.jobs.front());
        all.jobs.pop_front();
        lock.unlock();
        Lookup result = resolveFor(job.path, job.peer);
        lock.lock();
        auto& running = all.running[job.peer.uid];
        running.erase(running.find(job.path));
        if (running.empty()) all.running.erase(job.peer.uid);
        job.answer->result = std::move(result);
        job.answer->finished = true;
        all.done.notify_all();
    }
}

Lookup lookUpWithin(const std::string& path, const UserIdentity& peer) {
    auto answer = std::make_shared<LookupJob::Answer>();
    auto& all = lookups();
    std::unique_lock lock(all.lock);
    // A user whose look-ups hang gets no more threads for new ones.
    auto& running = all.running[peer.uid];
    if (running.size() >= maxLookupsPerUser) {
        Lookup refused;
        refused.stuck.assign(running.begin(), running.end());
        return refused;
    }
    running.insert(path);
    all.jobs.push_back({path, peer, answer});
    if (all.idleThreads >= all.jobs.size()) {
        all.queued.notify_one();
    } else {
        try {
            std::thread serving(serveLookups);
            ::pthread_setname_np(serving.native_handle(), "helper.lookup");
            serving.detach();
        } catch (...) {
            // No thread for it: the look-up is not left counted as hanging.
            all.jobs.pop_back();
            running.erase(running.find(path));
            throw;
        }
    }
    if (!all.done.wait_for(lock, pathLookupLimit, [&] { return answer->finished; })) {
        Lookup abandoned;
        abandoned.timedOut = true;
        return abandoned;
    }
    return answer->result;
}

ErrorObject lookupTimedOut(const std::string& path) {
    auto error = ErrorObject::posix(ETIMEDOUT, path);
    error.message = "The path did not answer within " + std::to_string(pathLookupLimit.count()) +
                    " seconds (a file system on the way may have stalled): " + path;
    return error;
}

// The user's own paths only, so the answer tells nothing of other users.
ErrorObject lookupsStuck(const std::string& path, const std::vector<std::string>& stuck) {
    auto error = ErrorObject::posix(EAGAIN, path);
    std::string names;
    for (const auto& name : stuck) names += (names.empty() ? "" : ", ") + name;
    error.message = "No path is looked up for you while " + std::to_string(stuck.size()) +
                    " earlier look-ups still wait for a file system that stopped answering: " + names +
                    ". Try again once they return (unplug or unmount what stalled).";
    return error;
}

} // namespace

void configure(Settings value) { mutableSettings() = std::move(value); }
const Settings& settings() { return mutableSettings(); }

StorageRoots storageRoots() {
    const auto& current = settings();
    return StorageRoots{current.roots.sysfs, current.roots.mountInfo, current.loopBacking};
}

bool sameDevice(const CheckedDevice& left, const CheckedDevice& right) {
    return left.isBlockDevice == right.isBlockDevice && left.blockDevice == right.blockDevice &&
           left.fileDevice == right.fileDevice && left.fileInode == right.fileInode;
}

std::optional<CheckedDevice> LookupMemo::recall(const std::string& path, std::chrono::steady_clock::time_point now,
                                                bool* readable) {
    std::lock_guard lock(m_lock);
    if (readable) *readable = false;
    if (!m_answer || m_answer->first != path || now < m_lookedUpAt || now - m_lookedUpAt > reuseLimit) return std::nullopt;
    if (readable) *readable = m_readable;
    return m_answer->second;
}

void LookupMemo::remember(const std::string& path, const CheckedDevice& device, std::chrono::steady_clock::time_point lookedUpAt) {
    std::lock_guard lock(m_lock);
    m_answer.emplace(path, device);
    m_lookedUpAt = lookedUpAt;
    m_readable = false;
}

void LookupMemo::readableRemembered(const std::string& path, const CheckedDevice& device) {
    std::lock_guard lock(m_lock);
    if (m_answer && m_answer->first == path && sameDevice(m_answer->second, device)) m_readable = true;
}

void LookupMemo::forget() {
    std::lock_guard lock(m_lock);
    m_answer.reset();
    m_readable = false;
}

ErrorObject unavailableToPeer(const std::string& path) {
    return refusal(path, path + " does not exist or you may not read it");
}

CheckedDevice checkDevicePath(const std::string& path, const UserIdentity& peer) {
    if (path.empty() || path.front() != '/') fail(notADevice(path));
    // A user other than root resolves the path with the user's own rights; whatever fails then gets
    // the one answer, missing or closed alike.
    const bool forPeer = ThreadIdentity::switchesFor(peer);
    const auto lookup = lookUpWithin(path, peer);
    if (!lookup.stuck.empty()) fail(lookupsStuck(path, lookup.stuck));
    if (lookup.timedOut) fail(lookupTimedOut(path));
    if (!lookup.found) fail(forPeer ? unavailableToPeer(path) : ErrorObject::posix(lookup.error, path));
    const struct stat& info = lookup.info;
    CheckedDevice device;
    device.resolvedPath = lookup.resolved;
    if (S_ISBLK(info.st_mode)) {
        if (device.resolvedPath.rfind("/dev/", 0) != 0) fail(notADevice(path));
        device.isBlockDevice = true;
        device.blockDevice = info.st_rdev;
        device.diskName = diskOfDeviceNumber(info.st_rdev, lastComponent(device.resolvedPath));
        if (isLoopName(device.diskName) && !settings().allowImageFiles) fail(notADevice(path));
        return device;
    }
    if (S_ISREG(info.st_mode) && settings().allowImageFiles) {
        device.fileDevice = info.st_dev;
        device.fileInode = info.st_ino;
        return device;
    }
    fail(notADevice(path));
}

bool servesUnprivilegedPeers(const std::string& diskName) {
    const auto& roots = settings().roots;
    const DiskInventory inventory({roots.sysfs, roots.mountInfo, DiskInventoryRoots{}.udevData}, {});
    const auto facts = inventory.describe(diskName);
    return facts && VolumeDiscovery::diskMeta(*facts).isExternalCandidate() && !holdsSystemMount(diskName);
}

void checkPeerMayRead(const CheckedDevice& device, const UserIdentity& peer) {
    if (peer.uid == 0 || !device.isBlockDevice) return;
    if (isLoopName(device.diskName)) {
        if (!peerMayReadLoopBacking(device.diskName, peer))
            fail(refusal(device.resolvedPath, "Only root may read " + device.resolvedPath +
                                                  ": you may not read the file behind the loop device, or it was deleted"));
        return;
    }
    if (!servesUnprivilegedPeers(device.diskName))
        fail(refusal(device.resolvedPath, "Only root may read " + device.resolvedPath + ": it is an internal or system disk"));
}

CheckedDevice checkForPeer(const std::string& path, const UserIdentity& peer) {
    auto device = checkDevicePath(path, peer);
    checkPeerMayRead(device, peer);
    return device;
}

std::string wholeDiskName(const std::string& pathOrName) {
    return vantrel::wholeDiskName(lastComponent(pathOrName), settings().roots.sysfs);
}

std::optional<std::string> unmountDisk(const std::string& devicePath, uid_t peerUid) {
    CheckedDevice device;
    try {
        device = checkDevicePath(devicePath);
    } catch (const HelperError& refused) {
        return devicePath + " (" + refused.error().message + ")";
    }
    if (!device.isBlockDevice) return device.resolvedPath + " (not a disk device)";
    const auto& disk = device.diskName;
    AppLog::info("unmountDisk " + disk + " uid=" + std::to_string(peerUid), category);
    if (holdsSystemMount(disk)) {
        AppLog::error("unmountDisk " + disk + " refused: it holds a system mount", category);
        return disk + " (it holds a system mount)";
    }
    DiskMounter::MountVeto veto;
    if (peerUid != 0) {
        veto = [peerUid](const MountEntry& entry) -> std::optional<std::string> {
            if (DiskMounter::mountOwner(entry) == peerUid) return std::nullopt;
            return "mounted by another user";
        };
    }
    auto outcome = DiskMounter::unmountDisk(disk, settings().roots, veto);
    if (!outcome.tableReadable) {
        AppLog::error("unmountDisk " + disk + " failed: the mount table cannot be read", category);
        return disk + " (the mount table cannot be read)";
    }
    for (const auto& failure : outcome.failures) AppLog::error("unmountDisk " + disk + " kept " + failure, category);
    AppLog::info("unmountDisk " + disk + " unmounted=" + std::to_string(outcome.unmounted.size()) +
                     " failed=" + std::to_string(outcome.failures.size()),
                 category);
    if (!outcome.unmounted.empty()) {
        std::lock_guard lock(shared().lock);
        auto& records = shared().unmounted[disk];
        for (auto& mount : outcome.unmounted) records.push_back({peerUid, std::move(mount)});
    }
    if (outcome.failures.empty()) return std::nullopt;
    std::string kept;
    for (const auto& failure : outcome.failures) kept += (kept.empty() ? "" : "; ") + failure;
    return kept;
}

bool mountDisk(const std::string& name, uid_t peerUid, std::string* why, std::size_t* mounted) {
    if (mounted) *mounted = 0;
    const auto says = [why](const std::string& reason) {
        if (why) *why += (why->empty() ? "" : "; ") + reason;
    };
    if (!isPlausibleDeviceName(name)) {
        AppLog::error("mountDisk refused a name that is no device name", category);
        says("not a device name");
        return false;
    }
    const auto disk = wholeDiskName(name);
    AppLog::info("mountDisk " + disk + " uid=" + std::to_string(peerUid), category);
    if (isLeased(disk)) {
        AppLog::error("mountDisk " + disk + " skipped: it is being read", category);
        says("it is being read");
        return false;
    }
    // The peer's records come out of the set; those of other peers stay where they are.
    const auto mayMount = [peerUid](const UnmountRecord& record) { return peerUid == 0 || record.owner == peerUid; };
    std::vector<UnmountRecord> records;
    {
        std::lock_guard lock(shared().lock);
        const auto found = shared().unmounted.find(disk);
        if (found != shared().unmounted.end()) {
            auto& all = found->second;
            std::copy_if(all.begin(), all.end(), std::back_inserter(records), mayMount);
            std::erase_if(all, mayMount);
            if (all.empty()) shared().unmounted.erase(found);
        }
    }
    if (records.empty()) {
        AppLog::info("mountDisk " + disk + ": nothing was unmounted by this helper for this user", category);
        return true;
    }
    std::vector<UnmountedMount> mounts;
    for (const auto& record : records) mounts.push_back(record.mount);
    const auto failed = DiskMounter::remountAll(mounts, ProcessRunner());
    for (const auto& failure : failed) {
        AppLog::error("mountDisk " + failure.mount.source + " on " + failure.mount.target + " failed: " + failure.reason, category);
        says(failure.mount.target + ": " + failure.reason);
    }
    if (mounted) *mounted = records.size() - failed.size();
    AppLog::info("mountDisk " + disk + " mounted=" + std::to_string(records.size() - failed.size()) +
                     " failed=" + std::to_string(failed.size()),
                 category);
    if (failed.empty()) return true;
    // Kept for the next try, each with the peer it was unmounted for.
    std::lock_guard lock(shared().lock);
    auto& kept = shared().unmounted[disk];
    for (const auto& failure : failed) {
        const auto record = std::find_if(records.begin(), records.end(),
                                         [&](const UnmountRecord& candidate) { return candidate.mount == failure.mount; });
        kept.push_back({record == records.end() ? peerUid : record->owner, failure.mount});
    }
    return false;
}

std::set<std::string> unmountedDisks(uid_t peerUid) {
    std::lock_guard lock(shared().lock);
    std::set<std::string> names;
    for (const auto& [name, records] : shared().unmounted) {
        if (std::any_of(records.begin(), records.end(),
                        [&](const UnmountRecord& record) { return peerUid == 0 || record.owner == peerUid; }))
            names.insert(name);
    }
    return names;
}

bool mountAllDisks() {
    bool all = true;
    for (const auto& disk : unmountedDisks()) all = mountDisk(disk) && all;
    return all;
}

DiskLease leaseDisk(const std::string& diskName) {
    {
        std::lock_guard lock(shared().lock);
        ++shared().leases[diskName];
    }
    return DiskLease(nullptr, [diskName](void*) {
        std::lock_guard lock(shared().lock);
        const auto found = shared().leases.find(diskName);
        if (found != shared().leases.end() && --found->second <= 0) shared().leases.erase(found);
    });
}

bool isLeased(const std::string& diskName) {
    std::lock_guard lock(shared().lock);
    return shared().leases.count(diskName) > 0;
}

std::string executablePath() {
    // Read once: every opening names it in a log line, and the running program's file does not change.
    static const std::string running = [] {
        std::error_code error;
        const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::string() : path.string();
    }();
    if (!running.empty()) return running;
    if (!settings().argumentZero.empty()) return settings().argumentZero;
    return "VantrelHelper";
}

std::vector<std::string> candidateNodes(const std::string& path) { return {path}; }

ErrorObject mapOpenError(const ErrorObject& error, const std::string& path, std::optional<std::string> executable) {
    if (error.domain == ErrorObject::posixDomain && (error.code == EPERM || error.code == EACCES)) {
        const auto exe = executable ? *executable : executablePath();
        AppLog::error("Permission denied opening " + path + " (errno " + std::to_string(error.code) + ") exe=" + exe +
                          " — the helper must run as root to read disks",
                      category);
        return VantrelError::diskAccessDeniedError(path, exe);
    }
    return error;
}

namespace {

// A refusal before anything was opened: policy refusals and the one answer for users pass as they
// are, everything else is mapped.
[[noreturn]] void failChecked(const HelperError& refused, const std::string& path, const std::string& exe) {
    AppLog::error("open/read failed for " + path + ": " + refused.error().message, category);
    fail(mapOpenError(refused.error(), path, exe));
}

// Opens a node for the peer: an image file with the peer's identity (a refusal then is the peer's,
// answered as such), a device as the helper. Throws HelperError or PosixError.
int openForPeer(const std::string& node, int flags, const CheckedDevice& device, const UserIdentity& peer) {
    if (!device.isBlockDevice && ThreadIdentity::switchesFor(peer)) {
        const int fd = openAs(peer, node, flags);
        if (fd < 0) fail(unavailableToPeer(node));
        return fd;
    }
    const int fd = ::open(node.c_str(), flags);
    if (fd < 0) throw PosixError(errno, node);
    return fd;
}

} // namespace

void probeRawAccess(const std::string& path, const UserIdentity& peer) {
    const auto exe = executablePath();
    CheckedDevice device;
    try {
        device = checkForPeer(path, peer);
    } catch (const HelperError& refused) {
        failChecked(refused, path, exe);
    }
    ErrorObject last = ErrorObject::posix(ENODEV, path);
    for (const auto& node : candidateNodes(device.resolvedPath)) {
        UniqueFd owned;
        try {
            owned.reset(openForPeer(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC, device, peer));
            checkOpenedType(owned.get(), device);
        } catch (const std::exception& failure) {
            last = HelperError::toErrorObject(failure, node);
            AppLog::error("disk access probe open failed for " + node + ": " + last.message, category);
            continue;
        }
        const int fd = owned.get();
        int blockSize = 0;
        if (device.isBlockDevice && ::ioctl(fd, BLKSSZGET, &blockSize) == 0 && blockSize > 0) {
            AppLog::info("disk access probe ioctl OK " + node + " blockSize=" + std::to_string(blockSize), category);
            return;
        }
        std::array<char, probeReadBytes> buffer{};
        const auto count = ::pread(fd, buffer.data(), buffer.size(), 0);
        if (count > 0) {
            AppLog::info("disk access probe read OK " + node + " n=" + std::to_string(count), category);
            return;
        }
        last = count < 0 ? ErrorObject::posix(errno, node)
                         : HelperError::toErrorObject(ByteSourceError::readFailed(0));
        AppLog::error("disk access probe read failed for " + node + ": " + last.message, category);
    }
    fail(mapOpenError(last, path, exe));
}

OpenedDevice openRawDevice(const std::string& path, const std::function<void(const std::string&)>& log, bool unmount,
                           bool verify, const UserIdentity& peer, const CheckedDevice* checked, bool readable) {
    const auto exe = executablePath();
    AppLog::info("prepareRawDevice path=" + path + " unmount=" + (unmount ? "true" : "false") +
                     " verify=" + (verify ? "true" : "false") + " exe=" + exe,
                 category);
    OpenedDevice opened;
    try {
        if (checked) {
            opened.device = *checked;
            if (!readable) checkPeerMayRead(opened.device, peer);
        } else {
            opened.device = checkForPeer(path, peer);
        }
    } catch (const HelperError& refused) {
        failChecked(refused, path, exe);
    }
    if (unmount && opened.device.isBlockDevice) {
        if (log) log("Unmounting volumes (prevents OS writes during recovery)…");
        // The scan goes on over a disk that stays mounted; the user is told what stays and why.
        if (const auto kept = unmountDisk(opened.device.resolvedPath, peer.uid); kept && log)
            log("Still mounted: " + *kept + " — reading it anyway");
    }
    ErrorObject last = ErrorObject::posix(ENODEV, path);
    for (const auto& node : candidateNodes(opened.device.resolvedPath)) {
        try {
            // Opened without blocking (a FIFO swapped in for an image file would wait for a writer for
            // ever) and checked to be what was accepted before anything may block on it.
            UniqueFd fd(openForPeer(node, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, opened.device, peer));
            checkOpenedType(fd.get(), opened.device);
            if (::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) throw PosixError(errno, node);
            // The source owns the descriptor from here on, also when it throws.
            auto source =
                std::make_unique<FileByteSource>(fd.release(), node, (settings().roots.sysfs / "class" / "block").string());
            if (verify) source->read(0, std::min<std::int64_t>(static_cast<std::int64_t>(std::min<std::uint64_t>(
                                                                   source->length(), INT64_MAX)),
                                                               verifyReadBytes));
            opened.source = std::move(source);
            return opened;
        } catch (const std::exception& failure) {
            last = HelperError::toErrorObject(failure, node);
            AppLog::error("open/read failed for " + node + ": " + last.message, category);
        }
    }
    fail(mapOpenError(last, path, exe));
}

} // namespace vantrel::DeviceAccess
