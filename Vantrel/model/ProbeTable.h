#pragma once
// What the open-addressed tables of the model share (linear probing, a power of two of slots, erased
// slots that keep a probe going until the next rehash): the rehash.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vantrel::ProbeTable {

// Moves the used slots of entries into a table at most half full after the rehash (so a run of inserts
// follows before the next); erased slots are dropped. isUsed tells a used slot, isEmpty an empty one,
// startOf(slot, mask) where a slot's probe starts.
template <typename Slot, typename IsUsed, typename IsEmpty, typename StartOf>
void rehash(std::vector<Slot>& entries, std::size_t used, IsUsed isUsed, IsEmpty isEmpty, StartOf startOf) {
    constexpr std::size_t smallest = 16;
    std::size_t size = std::max(smallest, entries.size());
    while ((used + 1) * 2 > size) size *= 2;
    std::vector<Slot> old(size);
    old.swap(entries);
    const std::size_t mask = size - 1;
    for (const Slot& slot : old) {
        if (!isUsed(slot)) continue;
        std::size_t at = startOf(slot, mask);
        while (!isEmpty(entries[at])) at = (at + 1) & mask;
        entries[at] = slot;
    }
}

} // namespace vantrel::ProbeTable
