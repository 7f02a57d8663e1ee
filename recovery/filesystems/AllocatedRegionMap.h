#pragma once
// The byte ranges of a device that live files occupy. Carved hits that overlap a live range are dropped,
// and a deleted file whose clusters lie in one is marked as reallocated.

#include <cstdint>
#include <utility>
#include <vector>

namespace vantrel {

class AllocatedRegionMap {
public:
    // [start, end), absolute byte offsets in the source.
    using Range = std::pair<std::uint64_t, std::uint64_t>;

    AllocatedRegionMap() = default;
    // Sorts by start, stably (equal starts keep their order); ends are not compared. Nothing is merged.
    explicit AllocatedRegionMap(std::vector<Range> ranges);

    static const AllocatedRegionMap& empty();

    // Appends [start, start + length) when length > 0 and the end fits in 64 bits; no sorting, no merging.
    void add(std::uint64_t start, std::uint64_t length);

    std::size_t count() const { return m_ranges.size(); }
    const std::vector<Range>& ranges() const { return m_ranges; }

    // False for length 0; true when offset + length overflows; otherwise whether some range meets
    // [offset, offset + length). Answered from a sorted index built on first use after a change, so
    // a map is not to be queried from two threads at once.
    bool overlaps(std::uint64_t offset, std::uint64_t length) const;

    // Where the first range that starts at or after offset begins, or UINT64_MAX when none does.
    std::uint64_t nextRangeStart(std::uint64_t offset) const;

private:
    void buildIndex() const;

    std::vector<Range> m_ranges;
    // Index: ranges sorted by start, and for each position the largest end up to it.
    mutable std::vector<Range> m_sorted;
    mutable std::vector<std::uint64_t> m_maxEndPrefix;
    mutable bool m_indexValid = false;
};

} // namespace vantrel
