#pragma once
// The query that turns the hits into the displayed list: status filter, capture-date range and order.
// Orders are total: what a sort's key does not tell apart stays in arrival order, so inserting a hit
// at its place gives the same list as a stable sort of all of them.

#include "Vantrel/model/CaptureDay.h"
#include "Vantrel/model/ChunkedArray.h"
#include "Vantrel/model/NameCollator.h"
#include "Vantrel/model/ResultsSort.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
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

// A name's collation key as the name orders read it: its first 32 bytes as four big-endian words
// (generated names share long prefixes: most comparisons end in them) and the whole key.
struct NameKey {
    std::array<std::uint64_t, 4> words{};
    const char* bytes = nullptr;
    std::uint32_t length = 0;
    bool inWords = false;  // the whole key is in the words: equal words mean equal keys

    std::string_view text() const { return {bytes, length}; }
};

// What a comparison reads of one hit: the hit, its name's sort key (needed by the name orders only)
// and its arrival position.
struct Entry {
    const RecoveredHit* hit = nullptr;
    std::string_view nameKey;
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

// What the orders and the status and date filters read of one hit, made once when the hit is stored
// or changed: a sort or filter change over a million hits reads these small records, one after the
// other, instead of the hits themselves.
struct HitKeys {
    std::uint64_t byteLength = 0;
    std::uint64_t pixels = 0;
    std::uint64_t byteOffset = 0;
    std::int64_t captureTicks = 0;              // the capture date's count, when there is one
    std::int32_t typeRank = 0;
    HitIntegrity integrity = HitIntegrity::pending;
    bool hasCaptureDate = false;

    std::optional<HitDate> captureDate() const;
};
HitKeys keysOf(const RecoveredHit& hit, const TypeRanks& ranks);
// <0, 0, >0 as compareKeys() of the hits the keys were made from, for every order but the name orders
// (0 for those and for discovery: the caller compares the names' keys).
int compareKept(ResultsSort sort, const HitKeys& a, const HitKeys& b);
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

    // Sizes the arrays of a sort of count keys told by wordCount words or chunks, so that their memory is
    // touched (faulted in) by the caller, which may be another thread than the sort's.
    void reserveFor(std::size_t count, std::size_t wordCount) {
        for (std::size_t w = 0; w < std::min(wordCount, std::size(words)); ++w) words[w].resize(std::max(words[w].size(), count));
        for (auto* array : {&sortWords, &spareWords}) array->resize(std::max(array->size(), count));
        for (auto* array : {&positions, &spare}) array->resize(std::max(array->size(), count));
    }
    // How many keys it holds memory for without growing.
    std::size_t capacity() const { return positions.capacity(); }
    // Gives the memory back (the hits are gone).
    void release() {
        const unsigned keptLanes = lanes;
        *this = SortScratch{};
        lanes = keptLanes;
    }
};

// The positions (indices into keys, the hits' arrival order) of every hit in the order's total order. The
// orders told by words are radix-sorted on them (two words that fit one together in one pass), the name
// orders on the first 32 bytes of the name keys, compared whole only where those tie. nameKeys holds the
// names' keys position for position; only the name orders read it, and they need one for every position.
// The positions live in the scratch until its next sort.
const std::vector<std::uint32_t>& sortedPositions(ResultsSort sort, const ChunkedArray<HitKeys>& keys,
                                                  const ChunkedArray<NameKey>& nameKeys, SortScratch& scratch);
// The same for a name order from the names' keys alone (any thread: it reads nothing else).
const std::vector<std::uint32_t>& sortedNamePositions(ResultsSort sort, const ChunkedArray<NameKey>& nameKeys, SortScratch& scratch);
// Turns positions sorted by one name order into the other's: the runs of equal keys in reverse, each
// still in arrival order, as both orders break ties.
void reverseNameOrder(const ChunkedArray<NameKey>& nameKeys, std::vector<std::uint32_t>& positions);

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
