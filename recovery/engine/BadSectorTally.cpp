#include "recovery/engine/BadSectorTally.h"

#include "recovery/filesystems/SourceReads.h"

#include <algorithm>

namespace vantrel {

std::pair<std::uint64_t, std::uint64_t> BadSectorTally::sectorsOf(std::uint64_t offset, std::uint64_t count) const {
    const std::uint64_t sectorBytes = std::max<std::uint64_t>(m_inner.blockSize(), 1);
    const std::uint64_t end = std::min(m_inner.length(), offset + std::max<std::uint64_t>(count, 1));
    return {offset / sectorBytes, (std::max(end, offset + 1) - 1) / sectorBytes};
}

const std::uint64_t* BadSectorTally::firstBadIn(std::uint64_t first, std::uint64_t last) const {
    const auto found = m_badSectors.lower_bound(first);
    return found != m_badSectors.end() && *found <= last ? &*found : nullptr;
}

void BadSectorTally::readInto(std::uint64_t offset, std::int64_t count, Bytes& out) {
    // Only a read of bytes the device holds can meet a bad sector; any other is the inner source's to refuse.
    const bool onDevice = count > 0 && offset < m_inner.length();
    if (onDevice) {
        const auto [first, last] = sectorsOf(offset, static_cast<std::uint64_t>(count));
        if (const std::uint64_t* bad = firstBadIn(first, last)) {
            out.clear();
            throw ByteSourceError::readFailed(std::max(offset, *bad * std::max<std::uint64_t>(m_inner.blockSize(), 1)));
        }
    }
    try {
        m_inner.readInto(offset, count, out);
    } catch (...) {
        if (onDevice && SourceReads::isBadSpot(std::current_exception())) {
            const auto span = sectorsOf(offset, static_cast<std::uint64_t>(count));
            if (span.first == span.second)
                m_badSectors.insert(span.first);
            else
                m_failedSpans.insert(span);
        }
        throw;
    }
}

std::int64_t BadSectorTally::unreadableSectors() const {
    auto count = static_cast<std::int64_t>(m_badSectors.size());
    // Failed reads that overlap (a window, then a piece of it) may have met the same bad sector: each run
    // of overlapping ones counts once, and not at all when it holds a sector known bad.
    auto span = m_failedSpans.begin();
    while (span != m_failedSpans.end()) {
        const std::uint64_t first = span->first;
        std::uint64_t last = span->second;
        for (++span; span != m_failedSpans.end() && span->first <= last; ++span) last = std::max(last, span->second);
        if (!firstBadIn(first, last)) ++count;
    }
    return count;
}

} // namespace vantrel
