#pragma once
// The byte ranges of a device that live files occupy. Carved hits that overlap a live range are dropped,
// and a deleted file whose clusters lie in one is marked as reallocated.
//
// Ranges that touch or overlap are merged, so the map holds one range per run of occupied bytes (a
// contiguous file is one range however many clusters it has) and its memory grows with the number of
// fragments on the device, not with its clusters. The walks add a file's clusters in chain order, so
// a range that continues the one added last is merged as it comes; the rest are merged, in place,
// when the map is next queried.

#include <cstdint>
#include <utility>
#include <vector>

namespace vantrel {

class AllocatedRegionMap {
public:
    // [start, end), absolute byte offsets in the source.
    using Range = std::pair<std::uint64_t, std::uint64_t>;

    AllocatedRegionMap() = default;
    // Takes the ranges in any order; empty ones are dropped.
    explicit AllocatedRegionMap(std::vector<Range> ranges);

    static const AllocatedRegionMap& empty();

    // Adds [start, start + length) when length > 0 and the end fits in 64 bits.
    void add(std::uint64_t start, std::uint64_t length);

    // The ranges sorted by start, none touching or overlapping another. The queries put the ranges in
    // this form on first use after a change, so a map is not to be queried from two threads at once.
    const std::vector<Range>& ranges() const;
    std::size_t count() const { return ranges().size(); }

    // False for length 0; true when offset + length overflows; otherwise whether some range meets
    // [offset, offset + length).
    bool overlaps(std::uint64_t offset, std::uint64_t length) const;

    // Where the first range that starts at or after offset begins, or UINT64_MAX when none does.
    std::uint64_t nextRangeStart(std::uint64_t offset) const;

private:
    // Sorts and merges m_ranges in place.
    void normalize() const;

    mutable std::vector<Range> m_ranges;
    // m_ranges is sorted and merged.
    mutable bool m_normal = true;
};

} // namespace vantrel
