#include "VantrelHelper/DestinationCheck.h"

#include "VantrelHelper/HelperError.h"
#include "support/VantrelError.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>

namespace vantrel::DestinationCheck {

namespace {

// The destinations being written by this process, whichever connection writes them.
struct Claimed {
    std::mutex lock;
    std::set<FileIdentity> files;
};

Claimed& claimed() {
    static Claimed value;
    return value;
}

[[noreturn]] void refuse(int errorNumber, const std::string& path, std::string message) {
    auto error = ErrorObject::posix(errorNumber, path);
    error.message = std::move(message);
    throw HelperError(std::move(error));
}

} // namespace

bool PlacementMemo::vouchesFor(const Key& key, FileIdentity destination, std::chrono::steady_clock::time_point now) {
    std::lock_guard lock(m_lock);
    if (!m_key || !(*m_key == key) || now - m_lastUse > batchGap || now < m_lastUse) return false;
    if (key.destinationMount == std::nullopt && major(key.destinationDevice) == 0) return false;
    if (m_sourceFiles.count(destination)) return false;
    m_lastUse = now;
    return true;
}

void PlacementMemo::remember(const Key& key, std::set<FileIdentity> sourceFiles, std::chrono::steady_clock::time_point now) {
    std::lock_guard lock(m_lock);
    m_key = key;
    m_sourceFiles = std::move(sourceFiles);
    m_lastUse = now;
}

namespace {

// The memo's key for a source and an open destination.
PlacementMemo::Key placementKey(const DeviceAccess::CheckedDevice& source, int fd, const struct stat& info) {
    PlacementMemo::Key key;
    key.sourceIsBlockDevice = source.isBlockDevice;
    key.sourceDevice = source.isBlockDevice ? source.blockDevice : source.fileDevice;
    key.sourceInode = source.isBlockDevice ? 0 : source.fileInode;
    key.destinationDevice = info.st_dev;
    if (major(info.st_dev) == 0) key.destinationMount = BackingStorage::mountIdOf(fd);
    return key;
}

// Refuses a destination that may lie on what the source rests on.
void checkApart(const StoragePlaces& places, int fd, const std::string& destinationPath) {
    const auto answer = BackingStorage::overlapOf(places, fd, DeviceAccess::storageRoots());
    switch (answer.overlap) {
    case BackingStorage::Overlap::apart: break;
    case BackingStorage::Overlap::sourceUnknown:
        refuse(EXDEV, destinationPath, "Cannot tell which disks the source rests on (" + answer.reason + ")");
    case BackingStorage::Overlap::destinationUnknown:
        refuse(EXDEV, destinationPath,
               "Cannot tell which disk holds the destination " + destinationPath + " (" + answer.reason + ")");
    case BackingStorage::Overlap::meets: refuse(EXDEV, destinationPath, "The destination lies on the disk being read: " + destinationPath);
    }
}

} // namespace

Claim::Claim(int fd, FileIdentity file) : m_fd(fd), m_file(file) {}

Claim::~Claim() { release(); }

Claim::Claim(Claim&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)), m_file(other.m_file) {}

Claim& Claim::operator=(Claim&& other) noexcept {
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
        m_file = other.m_file;
    }
    return *this;
}

void Claim::release() {
    if (m_fd < 0) return;
    ::flock(m_fd, LOCK_UN);
    std::lock_guard lock(claimed().lock);
    claimed().files.erase(m_file);
    m_fd = -1;
}

StoragePlaces sourcePlaces(const DeviceAccess::CheckedDevice& source) {
    return BackingStorage::ofSource(source.isBlockDevice, source.blockDevice, {source.fileDevice, source.fileInode},
                                    DeviceAccess::storageRoots());
}

Claim claim(int fd, const std::string& destinationPath, const DeviceAccess::CheckedDevice& source,
            const UserIdentity& peer, PlacementMemo* memo) {
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0)
        refuse(EBADF, destinationPath, "The destination is no open file: " + destinationPath);
    if (!S_ISREG(info.st_mode)) refuse(EINVAL, destinationPath, "The destination is not a regular file: " + destinationPath);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR))
        refuse(EBADF, destinationPath, "The destination is not open for writing: " + destinationPath);
    if (info.st_uid != peer.uid)
        throw HelperError(VantrelError::refusedForUserError(destinationPath, "The destination " + destinationPath +
                                                                                 " does not belong to you"));
    if (info.st_nlink > 1)
        throw HelperError(VantrelError::refusedForUserError(destinationPath, "The destination " + destinationPath +
                                                                                 " has more than one name"));

    const FileIdentity file{info.st_dev, info.st_ino};
    const auto now = std::chrono::steady_clock::now();
    const auto key = placementKey(source, fd, info);
    if (!memo || !memo->vouchesFor(key, file, now)) {
        const auto places = sourcePlaces(source);
        checkApart(places, fd, destinationPath);
        if (memo) memo->remember(key, places.files, now);
    }
    {
        std::lock_guard lock(claimed().lock);
        if (!claimed().files.insert(file).second)
            refuse(EBUSY, destinationPath, "The destination is being written by another request: " + destinationPath);
    }
    Claim held(fd, file);  // a refusal below releases it again
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        refuse(EBUSY, destinationPath, "The destination is being written by another program: " + destinationPath);
    return held;
}

} // namespace vantrel::DestinationCheck
