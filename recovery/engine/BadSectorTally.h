#pragma once
// The byte source a scan reads through: it passes every read on, and keeps the sectors that could not
// be read, so that the scan's end can say how many there were, each counted once however many of the
// walks and the carver met it.
//
// A sector is the source's block size. A failed read of one sector, or of part of one, marks that
// sector bad; a failed read of several sectors tells only that one of them is bad, and counts as one
// until reads of single sectors (the FAT reader's and the carver's retries) tell which. A read that
// touches a sector known to be bad fails at once without a read of the device, as the device itself
// would fail it: a failing card may spend seconds on each try.

#include "recovery/bytesource/ByteSource.h"

#include <cstdint>
#include <set>
#include <utility>

namespace vantrel {

class BadSectorTally final : public ByteSource {
public:
    explicit BadSectorTally(ByteSource& inner) : m_inner(inner) {}

    std::uint64_t length() const override { return m_inner.length(); }
    std::uint64_t blockSize() const override { return m_inner.blockSize(); }
    std::uint64_t currentLength() override { return m_inner.currentLength(); }
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override;
    void willRead(std::uint64_t offset, std::int64_t count) override { m_inner.willRead(offset, count); }

    // The sectors known bad, and one for each failed read of several sectors none of which is known bad.
    std::int64_t unreadableSectors() const;

private:
    // [first, last] sector of a read, by the block size.
    std::pair<std::uint64_t, std::uint64_t> sectorsOf(std::uint64_t offset, std::uint64_t count) const;
    // The first sector known bad in [first, last], or nothing.
    const std::uint64_t* firstBadIn(std::uint64_t first, std::uint64_t last) const;

    ByteSource& m_inner;
    std::set<std::uint64_t> m_badSectors;
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_failedSpans;
};

} // namespace vantrel
