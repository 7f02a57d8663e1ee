#pragma once
// The set of clusters a chain walk has met, kept as runs of consecutive numbers so that a long,
// mostly contiguous file costs a few entries rather than one per cluster.

#include <cstdint>
#include <map>

namespace vantrel {

class VisitedClusters {
public:
    // Records the cluster; false when it was already recorded.
    bool insert(std::uint32_t cluster);
    bool contains(std::uint32_t cluster) const;
    std::size_t runCount() const { return m_runs.size(); }

private:
    // Run start → one past the run's last cluster (64-bit so that cluster 0xFFFFFFFF has an end).
    std::map<std::uint32_t, std::uint64_t> m_runs;
};

} // namespace vantrel
