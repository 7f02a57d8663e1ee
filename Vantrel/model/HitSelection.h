#pragma once
// The identities of the selected hits: a set kept as one sorted array. A selection may hold every hit of
// a million, and is read whole at every filter change and list reset; an array is read in one pass from
// memory in order, where a tree of a million nodes costs a cache miss a node. A single identity added or
// removed moves the array's tail, which is rare next to those passes.

#include "recovery/model/Uuid.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <span>
#include <vector>

namespace vantrel {

class HitSelection {
public:
    using value_type = Uuid;
    using const_iterator = std::vector<Uuid>::const_iterator;
    using iterator = const_iterator;

    HitSelection() = default;
    HitSelection(std::initializer_list<Uuid> ids);
    // A set's identities, as they are.
    HitSelection(const std::set<Uuid>& ids);  // NOLINT(google-explicit-constructor): a set is a selection
    // Any identities in any order; repeated ones count once.
    explicit HitSelection(std::vector<Uuid> ids);

    std::size_t size() const { return m_ids.size(); }
    bool empty() const { return m_ids.empty(); }
    const_iterator begin() const { return m_ids.begin(); }
    const_iterator end() const { return m_ids.end(); }
    // The identities in ascending order, side by side.
    std::span<const Uuid> ids() const { return m_ids; }

    bool contains(const Uuid& id) const;
    // Where the identity is, or where it would go.
    std::size_t indexOf(const Uuid& id) const;
    std::size_t count(const Uuid& id) const { return contains(id) ? 1 : 0; }
    // Whether it was not there.
    bool insert(const Uuid& id);
    // How many were removed (0 or 1).
    std::size_t erase(const Uuid& id);
    // Removes the identity at each index the predicate picks (pick(index), called once an index, in
    // ascending order), keeping the order of the rest; how many went. The predicate may read ids()[index]:
    // identities are moved down only once they have been picked over.
    template <typename Pick>
    std::size_t eraseAt(Pick pick) {
        std::size_t kept = 0;
        for (std::size_t index = 0; index < m_ids.size(); ++index) {
            if (pick(index)) continue;
            if (kept != index) m_ids[kept] = m_ids[index];
            ++kept;
        }
        const std::size_t removed = m_ids.size() - kept;
        m_ids.resize(kept);
        return removed;
    }
    void clear() { m_ids.clear(); }

    friend bool operator==(const HitSelection&, const HitSelection&) = default;

    // Sorts identities in ascending order (repeats stay); the second form moves each value of along with
    // the identity at its index.
    static void sortIdentities(std::vector<Uuid>& ids);
    static void sortIdentities(std::vector<Uuid>& ids, std::vector<std::uint64_t>& along);
    // From this many identities on, sortIdentities deals them into buckets first.
    static constexpr std::size_t bucketedFrom = 4096;

private:
    std::vector<Uuid> m_ids;  // ascending, no repeats
};

} // namespace vantrel
