#include "recovery/model/AllocatedRegionMap.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel {

namespace {
// The first range that starts at or after value, in sorted ranges.
auto firstStartingAtOrAfter(const std::vector<AllocatedRegionMap::Range>& ranges, std::uint64_t value) {
    return std::lower_bound(ranges.begin(), ranges.end(), value,
                            [](const AllocatedRegionMap::Range& range, std::uint64_t at) { return range.first < at; });
}
} // namespace

AllocatedRegionMap::AllocatedRegionMap(std::vector<Range> ranges) : m_ranges(std::move(ranges)) {
    std::erase_if(m_ranges, [](const Range& range) { return range.first >= range.second; });
    m_normal = false;
}

const AllocatedRegionMap& AllocatedRegionMap::empty() {
    static const AllocatedRegionMap map;
    return map;
}

void AllocatedRegionMap::add(std::uint64_t start, std::uint64_t length) {
    if (length == 0) return;
    const auto end = checkedAdd(start, length);
    if (!end) return;
    if (!m_ranges.empty()) {
        Range& last = m_ranges.back();
        // The next cluster of the chain added last, or a repeat of it: no new range.
        if (start <= last.second && *end >= last.first) {
            if (start < last.first) m_normal = false;  // it may now reach a range before it
            last.first = std::min(last.first, start);
            last.second = std::max(last.second, *end);
            return;
        }
        if (start < last.first) m_normal = false;
    }
    m_ranges.emplace_back(start, *end);
}

void AllocatedRegionMap::normalize() const {
    if (m_normal) return;
    std::sort(m_ranges.begin(), m_ranges.end());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_ranges.size(); ++i) {
        if (kept > 0 && m_ranges[i].first <= m_ranges[kept - 1].second)
            m_ranges[kept - 1].second = std::max(m_ranges[kept - 1].second, m_ranges[i].second);
        else
            m_ranges[kept++] = m_ranges[i];
    }
    m_ranges.resize(kept);
    m_normal = true;
}

const std::vector<AllocatedRegionMap::Range>& AllocatedRegionMap::ranges() const {
    normalize();
    return m_ranges;
}

bool AllocatedRegionMap::overlaps(std::uint64_t offset, std::uint64_t length) const {
    if (length == 0) return false;
    const auto end = checkedAdd(offset, length);
    if (!end) return true;
    normalize();
    // Only ranges starting before the query's end can meet it; they do not overlap one another, so
    // the last of them reaches furthest and decides.
    const auto firstAfter = firstStartingAtOrAfter(m_ranges, *end);
    return firstAfter != m_ranges.begin() && std::prev(firstAfter)->second > offset;
}

std::uint64_t AllocatedRegionMap::nextRangeStart(std::uint64_t offset) const {
    normalize();
    const auto next = firstStartingAtOrAfter(m_ranges, offset);
    return next == m_ranges.end() ? UINT64_MAX : next->first;
}

} // namespace vantrel
