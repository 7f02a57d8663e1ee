#include "recovery/filesystems/VisitedClusters.h"

#include <iterator>

namespace vantrel {

bool VisitedClusters::contains(std::uint32_t cluster) const {
    auto after = m_runs.upper_bound(cluster);
    if (after == m_runs.begin()) return false;
    return cluster < std::prev(after)->second;
}

bool VisitedClusters::insert(std::uint32_t cluster) {
    auto after = m_runs.upper_bound(cluster);
    auto before = after == m_runs.begin() ? m_runs.end() : std::prev(after);
    if (before != m_runs.end() && cluster < before->second) return false;
    const bool extendsBefore = before != m_runs.end() && before->second == cluster;
    const bool joinsAfter = after != m_runs.end() && std::uint64_t{cluster} + 1 == after->first;
    if (extendsBefore && joinsAfter) {
        before->second = after->second;
        m_runs.erase(after);
    } else if (extendsBefore) {
        before->second = std::uint64_t{cluster} + 1;
    } else if (joinsAfter) {
        const std::uint64_t end = after->second;
        m_runs.erase(after);
        m_runs.emplace(cluster, end);
    } else {
        m_runs.emplace(cluster, std::uint64_t{cluster} + 1);
    }
    return true;
}

} // namespace vantrel
