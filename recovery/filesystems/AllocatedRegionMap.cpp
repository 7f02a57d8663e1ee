#include "recovery/filesystems/AllocatedRegionMap.h"

#include "recovery/bytesource/Bounds.h"

#include <algorithm>

namespace vantrel {

namespace {
bool startsBefore(const AllocatedRegionMap::Range& a, const AllocatedRegionMap::Range& b) { return a.first < b.first; }
} // namespace

AllocatedRegionMap::AllocatedRegionMap(std::vector<Range> ranges) : m_ranges(std::move(ranges)) {
    std::stable_sort(m_ranges.begin(), m_ranges.end(), startsBefore);
}

const AllocatedRegionMap& AllocatedRegionMap::empty() {
    static const AllocatedRegionMap map;
    return map;
}

void AllocatedRegionMap::add(std::uint64_t start, std::uint64_t length) {
    if (length == 0) return;
    const auto end = checkedAdd(start, length);
    if (!end) return;
    m_ranges.emplace_back(start, *end);
    m_indexValid = false;
}

void AllocatedRegionMap::buildIndex() const {
    m_sorted = m_ranges;
    std::stable_sort(m_sorted.begin(), m_sorted.end(), startsBefore);
    m_maxEndPrefix.resize(m_sorted.size());
    std::uint64_t maxEnd = 0;
    for (std::size_t i = 0; i < m_sorted.size(); ++i) {
        maxEnd = std::max(maxEnd, m_sorted[i].second);
        m_maxEndPrefix[i] = maxEnd;
    }
    m_indexValid = true;
}

bool AllocatedRegionMap::overlaps(std::uint64_t offset, std::uint64_t length) const {
    if (length == 0) return false;
    const auto end = checkedAdd(offset, length);
    if (!end) return true;
    if (!m_indexValid) buildIndex();
    // Only ranges starting before the query's end can meet it; of those, one meets it exactly when
    // its end lies past the query's start, so the largest such end decides.
    const auto firstAfter = std::lower_bound(m_sorted.begin(), m_sorted.end(), *end,
                                             [](const Range& range, std::uint64_t value) { return range.first < value; });
    const auto candidates = static_cast<std::size_t>(firstAfter - m_sorted.begin());
    return candidates > 0 && m_maxEndPrefix[candidates - 1] > offset;
}

std::uint64_t AllocatedRegionMap::nextRangeStart(std::uint64_t offset) const {
    if (!m_indexValid) buildIndex();
    const auto next = std::lower_bound(m_sorted.begin(), m_sorted.end(), offset,
                                       [](const Range& range, std::uint64_t value) { return range.first < value; });
    return next == m_sorted.end() ? UINT64_MAX : next->first;
}

} // namespace vantrel
