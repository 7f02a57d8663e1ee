#pragma once
// The query that turns the hits into the displayed list: status filter, capture-date range and order.
// Orders are total: what a sort's key does not tell apart stays in arrival order, so inserting a hit
// at its place gives the same list as a stable sort of all of them.

#include "Vantrel/model/CaptureDay.h"
#include "Vantrel/model/ChunkedArray.h"
#include "Vantrel/model/NameCollator.h"
#include "Vantrel/model/ResultsSort.h"

#include <array>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

struct ResultsQuery {
    ResultsIntegrityFilter integrityFilter = ResultsIntegrityFilter::all;
    std::optional<HitDate> captureDateFrom;
    std::optional<HitDate> captureDateTo;
    ResultsSort sort = ResultsSort::discovery;

    // All statuses, no date bounds, discovery order.
    bool isDefault() const;

    friend bool operator==(const ResultsQuery&, const ResultsQuery&) = default;
};

namespace ResultsOrder {

// What a comparison reads of one hit: the hit, its name's sort key (needed by the name orders only)
// and its arrival position.
struct Entry {
    const RecoveredHit* hit = nullptr;
    const std::string* nameKey = nullptr;
    std::size_t position = 0;
};

// The type orders compare list labels in the collation; there are few labels, so they are ranked once.
class TypeRanks {
public:
    explicit TypeRanks(const NameCollator& collator);
    int rank(RecoveredFileKind kind) const { return m_ranks[static_cast<std::size_t>(kind)]; }

private:
    std::array<int, recoveredFileKindCount> m_ranks{};
};

// width × height of a hit's picture; 0 without dimensions or with a side of 0 or less. A product
// beyond 64 bits counts as the largest count.
std::uint64_t pixelCount(const RecoveredHit& hit);

// <0, 0, >0 by the order's key and its own tie-break (size for the dimension orders, byte offset for
// the capture-date orders); 0 for discovery.
int compareKeys(ResultsSort sort, const Entry& a, const Entry& b, const TypeRanks& ranks);

// The total order: by key, then by arrival position.
inline bool before(ResultsSort sort, const Entry& a, const Entry& b, const TypeRanks& ranks) {
    const int byKey = compareKeys(sort, a, b, ranks);
    return byKey != 0 ? byKey < 0 : a.position < b.position;
}

// Whether the sort reads name keys.
bool usesNameKeys(ResultsSort sort);

// One hit's place in an order, packed for sorting a whole list: words that compare as the order's key
// and tie-break do, the name key for the name orders (its first 32 bytes are in the words: generated
// names share long prefixes), and the arrival position. Sorting these reads the entries only, not the
// hits they stand for.
struct PackedEntry {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::uint64_t third = 0;
    std::uint64_t fourth = 0;
    const std::string* nameKey = nullptr;
    std::uint32_t position = 0;
    bool nameInWords = false;  // the whole name key is in the words: equal words mean equal keys
};
PackedEntry pack(ResultsSort sort, const Entry& entry, const TypeRanks& ranks);

// What the orders and the status and date filters read of one hit, made once when the hit is stored
// or changed: a sort or filter change over a million hits reads these small records, one after the
// other, instead of the hits themselves.
struct HitKeys {
    std::uint64_t byteLength = 0;
    std::uint64_t pixels = 0;
    std::uint64_t byteOffset = 0;
    std::int64_t captureTicks = 0;              // the capture date's count, when there is one
    std::array<std::uint64_t, 4> nameWords{};   // the name key's first 32 bytes as big-endian words
    std::int32_t typeRank = 0;
    HitIntegrity integrity = HitIntegrity::pending;
    bool hasCaptureDate = false;
    bool nameInWords = false;                   // the whole name key is in nameWords

    std::optional<HitDate> captureDate() const;
};
HitKeys keysOf(const RecoveredHit& hit, const std::string& nameKey, const TypeRanks& ranks);
// The same entry as pack() of the hit the keys were made from.
PackedEntry pack(ResultsSort sort, const HitKeys& keys, const std::string* nameKey, std::uint32_t position);
// The same total order as before() on the entries the packed ones were made from.
bool packedBefore(ResultsSort sort, const PackedEntry& a, const PackedEntry& b);
// The bits of word where mask has a one, packed at the low end in the same order.
std::uint64_t gatherBits(std::uint64_t word, std::uint64_t mask);

// The memory a sort works in, kept from one sort to the next: a million hits need some fifty megabytes,
// which would otherwise go back to the system after each sort and be faulted in again by the next.
struct SortScratch {
    std::vector<std::uint64_t> words[4];
    std::vector<std::uint64_t> sortWords, spareWords;
    std::vector<std::uint32_t> positions, spare;
    // Threads that share each pass over many keys; 0 lets the count of keys and the machine decide.
    unsigned lanes = 0;

    // Gives the memory back (the hits are gone).
    void release() {
        const unsigned keptLanes = lanes;
        *this = SortScratch{};
        lanes = keptLanes;
    }
};

// The positions (indices into keys, the hits' arrival order) of every hit in the order's total order. The
// orders told by words are radix-sorted on them (two words that fit one together in one pass), the name
// orders on the first 32 bytes of the keys, compared whole only where those tie. nameKeys holds the name
// keys the keys were made from. The positions live in the scratch until its next sort.
const std::vector<std::uint32_t>& sortedPositions(ResultsSort sort, const ChunkedArray<HitKeys>& keys,
                                                  const std::deque<std::string>& nameKeys, SortScratch& scratch);

} // namespace ResultsOrder

namespace ResultsQueries {

// Status filter, then the capture-date range (Window::of computed here: call it once per query
// when testing many hits).
bool hitMatchesResultsFilter(const RecoveredHit& hit, ResultsIntegrityFilter filter, const std::optional<HitDate>& from,
                             const std::optional<HitDate>& to);
bool isDefaultQuery(ResultsIntegrityFilter filter, const std::optional<HitDate>& from, const std::optional<HitDate>& to,
                    ResultsSort sort);
// The hits that pass, in arrival order for discovery, else in the order's total order.
std::vector<RecoveredHit> filteredAndSortedHits(const std::vector<RecoveredHit>& hits, const ResultsQuery& query,
                                                const NameCollator& collator);

} // namespace ResultsQueries
} // namespace vantrel
