#pragma once
// The checks a destination descriptor passes before the helper writes a single byte into it, and
// the claim that keeps it to one writer. The application created the file and sent it open; the
// helper takes it only when
//   - it is a regular file open for writing,
//   - it belongs to the connected user and has no second name (the helper never writes, as root,
//     into a file that is someone else's or that a link makes appear elsewhere), and
//   - it lies on no storage the source rests on: both sides are followed down to physical disks and
//     files (partitions, device-mapper, md, loop devices by their backing files, overlayfs, btrfs),
//     and a destination whose storage cannot be followed is refused, since it might be the source;
// then it takes an exclusive lock on the file for the time of the write. The file's mode is the
// application's to choose: the helper never changes it.

#include "VantrelHelper/DeviceAccess.h"
#include "platform/disks/BackingStorage.h"
#include "platform/process/ThreadIdentity.h"

#include <string>

namespace vantrel::DestinationCheck {

// Holds the destination for one write: no other request of this helper, and no other process that
// locks, writes it meanwhile. Releases on destruction.
class Claim {
public:
    Claim() = default;
    Claim(int fd, FileIdentity file);
    ~Claim();
    Claim(Claim&& other) noexcept;
    Claim& operator=(Claim&& other) noexcept;
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

private:
    void release();
    int m_fd = -1;
    FileIdentity m_file;
};

// Runs every check above and claims the file; throws HelperError with the reason (POSIX EBADF or
// EINVAL for an unusable descriptor, "Vantrel" 17 for a file that is not the user's, EXDEV for one
// that may lie on the source, EBUSY for one being written by another request).
Claim claim(int fd, const std::string& destinationPath, const DeviceAccess::CheckedDevice& source,
            const UserIdentity& peer);

// What the source rests on: a block device's stack as far as its files, or the image file itself.
StoragePlaces sourcePlaces(const DeviceAccess::CheckedDevice& source);

} // namespace vantrel::DestinationCheck
