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

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>

namespace vantrel::DestinationCheck {

// Where one connection's destinations were found to lie apart from its source, kept for a batch: the
// files of one recovery go one after another into one folder, so the storage under that folder and
// under the source is followed once for the batch, not once for each file. Kept only for the answer
// "apart", for the same source and the same destination file system (by device number, and mount for
// a file system without a device), and only while claims follow one another within batchGap; every
// file is still checked not to be one of the files the source rests on. Thread-safe.
class PlacementMemo {
public:
    static constexpr std::chrono::seconds batchGap{2};

    struct Key {
        bool sourceIsBlockDevice = false;
        dev_t sourceDevice = 0;   // the block device, or the image file's device
        ino_t sourceInode = 0;    // the image file's inode
        dev_t destinationDevice = 0;
        std::optional<std::uint64_t> destinationMount;  // for a file system without a device only
        bool operator==(const Key&) const = default;
    };

    // Whether the destination file was found apart from the source in this batch; counts as a use.
    bool vouchesFor(const Key& key, FileIdentity destination, std::chrono::steady_clock::time_point now);
    // Keeps an answer of apart, with the files the source rests on.
    void remember(const Key& key, std::set<FileIdentity> sourceFiles, std::chrono::steady_clock::time_point now);

private:
    std::mutex m_lock;
    std::optional<Key> m_key;
    std::set<FileIdentity> m_sourceFiles;
    std::chrono::steady_clock::time_point m_lastUse;
};

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
// that may lie on the source, EBUSY for one being written by another request). With a memo, the
// storage of source and destination is followed only when the memo does not vouch for them.
Claim claim(int fd, const std::string& destinationPath, const DeviceAccess::CheckedDevice& source,
            const UserIdentity& peer, PlacementMemo* memo = nullptr);

// What the source rests on: a block device's stack as far as its files, or the image file itself.
StoragePlaces sourcePlaces(const DeviceAccess::CheckedDevice& source);

} // namespace vantrel::DestinationCheck
