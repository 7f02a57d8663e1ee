#pragma once
// A byte source over a device node or an ordinary file. Every transfer starts and ends on the device's
// block size (except at the end of the source). Linux does not require it: the node is opened without
// O_DIRECT and read through the page cache, which serves any offset. The alignment keeps each transfer
// to whole logical blocks, the unit in which a device reads and fails, and lets a caller's aligned
// request land in its buffer without a copy.

#include "recovery/bytesource/ByteSource.h"

#include <cstdint>
#include <string>

namespace vantrel {

class FileByteSource final : public ByteSource {
public:
    // The largest single aligned transfer.
    static constexpr std::uint64_t maxTransferBytes = 4 * 1024 * 1024;
    static constexpr std::uint64_t minimumBlockSize = 512;

    // Opens the path read-only. Throws PosixError naming the path when the open fails, and
    // ByteSourceError::deviceSizeUnknown when no probe gives the size (the descriptor is closed then).
    explicit FileByteSource(const std::string& path, const std::string& sysfsBlockRoot = "/sys/class/block");

    // Adopts an open, readable descriptor (closed when the source is destroyed, also when this throws).
    FileByteSource(int fd, const std::string& path, const std::string& sysfsBlockRoot = "/sys/class/block");

    ~FileByteSource() override;
    FileByteSource(const FileByteSource&) = delete;
    FileByteSource& operator=(const FileByteSource&) = delete;

    std::uint64_t length() const override { return m_length; }
    // A read that meets the end of the data before length() throws ByteSourceError::deviceChanged when
    // the device or file is now shorter.
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override;

    // The logical block size the device reports (BLKSSZGET), also the transfer alignment; 512 for a file.
    std::uint64_t blockSize() const override { return m_blockSize; }
    // The file's size, or the block device's (0 once its medium is gone), asked now.
    std::uint64_t currentLength() override;
    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

private:
    void probe(const std::string& sysfsBlockRoot);
    // Reads [offset, offset + count) through one aligned transfer of at most maxTransferBytes into dest;
    // returns the bytes delivered (fewer when the data ends early, never 0).
    std::size_t alignedRead(std::uint64_t offset, std::uint64_t count, std::uint8_t* dest);

    int m_fd = -1;
    std::string m_path;
    std::uint64_t m_blockSize = minimumBlockSize;
    std::uint64_t m_length = 0;
    Bytes m_scratch;
};

} // namespace vantrel
