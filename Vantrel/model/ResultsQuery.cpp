#include "Vantrel/model/ResultsQuery.h"

#include "base/Bounds.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

namespace vantrel {

bool ResultsQuery::isDefault() const {
    return ResultsQueries::isDefaultQuery(integrityFilter, captureDateFrom, captureDateTo, sort);
}

namespace ResultsOrder {

namespace {

template <typename T>
int threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compareDates(const RecoveredHit& a, const RecoveredHit& b, bool latestFirst) {
    // A missing date sorts after every real one in both directions.
    const HitDate missing = latestFirst ? HitDate::min() : HitDate::max();
    const HitDate da = a.captureDate.value_or(missing);
    const HitDate db = b.captureDate.value_or(missing);
    if (da != db) return latestFirst ? threeWay(db, da) : threeWay(da, db);
    return threeWay(a.byteOffset, b.byteOffset);
}

} // namespace

TypeRanks::TypeRanks(const NameCollator& collator) {
    const auto& kinds = FileKind::allKinds();
    std::vector<std::string> keys;
    for (const auto kind : kinds) keys.push_back(collator.sortKey(listLabel(kind)));
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        // The rank is the number of labels ordered strictly before this one, so equal labels share it.
        m_ranks[i] = static_cast<int>(std::count_if(keys.begin(), keys.end(), [&](const std::string& other) { return other < keys[i]; }));
    }
}

std::uint64_t pixelCount(const RecoveredHit& hit) {
    if (!hit.dimensions || hit.dimensions->width <= 0 || hit.dimensions->height <= 0) return 0;
    const auto product = checkedMultiply(static_cast<std::uint64_t>(hit.dimensions->width),
                                         static_cast<std::uint64_t>(hit.dimensions->height));
    return product.value_or(std::numeric_limits<std::uint64_t>::max());
}

int compareKeys(ResultsSort sort, const Entry& a, const Entry& b, const TypeRanks& ranks) {
    const RecoveredHit& x = *a.hit;
    const RecoveredHit& y = *b.hit;
    switch (sort) {
    case ResultsSort::discovery: return 0;
    case ResultsSort::sizeDescending: return threeWay(y.byteLength, x.byteLength);
    case ResultsSort::sizeAscending: return threeWay(x.byteLength, y.byteLength);
    case ResultsSort::name: return a.nameKey->compare(*b.nameKey);
    case ResultsSort::nameDescending: return b.nameKey->compare(*a.nameKey);
    case ResultsSort::type: return threeWay(ranks.rank(x.kind), ranks.rank(y.kind));
    case ResultsSort::typeDescending: return threeWay(ranks.rank(y.kind), ranks.rank(x.kind));
    case ResultsSort::integrity: return threeWay(integrityRank(x.integrity), integrityRank(y.integrity));
    case ResultsSort::dimensionsDescending: {
        const int byPixels = threeWay(pixelCount(y), pixelCount(x));
        return byPixels != 0 ? byPixels : threeWay(y.byteLength, x.byteLength);
    }
    case ResultsSort::dimensionsAscending: {
        const int byPixels = threeWay(pixelCount(x), pixelCount(y));
        return byPixels != 0 ? byPixels : threeWay(x.byteLength, y.byteLength);
    }
    case ResultsSort::captureDateDescending: return compareDates(x, y, true);
    case ResultsSort::captureDateAscending: return compareDates(x, y, false);
    }
    return 0;
}

bool usesNameKeys(ResultsSort sort) {
    return sort == ResultsSort::name || sort == ResultsSort::nameDescending;
}

namespace {

// Bytes offset to offset + 8 of the key as a big-endian word; collation keys hold no zero byte, so
// padding a short key with zeros keeps the byte order.
std::uint64_t keyWord(const std::string& key, std::size_t offset) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t at = offset + i;
        word = (word << 8) | (at < key.size() ? static_cast<unsigned char>(key[at]) : 0u);
    }
    return word;
}

} // namespace

std::optional<HitDate> HitKeys::captureDate() const {
    if (!hasCaptureDate) return std::nullopt;
    return HitDate(HitDate::duration(captureTicks));
}

HitKeys keysOf(const RecoveredHit& hit, const std::string& nameKey, const TypeRanks& ranks) {
    HitKeys keys;
    keys.byteLength = hit.byteLength;
    keys.pixels = pixelCount(hit);
    keys.byteOffset = hit.byteOffset;
    if (hit.captureDate) {
        keys.hasCaptureDate = true;
        keys.captureTicks = hit.captureDate->time_since_epoch().count();
    }
    for (std::size_t i = 0; i < keys.nameWords.size(); ++i) keys.nameWords[i] = keyWord(nameKey, 8 * i);
    keys.nameInWords = nameKey.size() <= 8 * keys.nameWords.size();
    keys.typeRank = ranks.rank(hit.kind);
    keys.integrity = hit.integrity;
    return keys;
}

PackedEntry pack(ResultsSort sort, const Entry& entry, const TypeRanks& ranks) {
    return pack(sort, keysOf(*entry.hit, *entry.nameKey, ranks), entry.nameKey, static_cast<std::uint32_t>(entry.position));
}

PackedEntry pack(ResultsSort sort, const HitKeys& keys, const std::string* nameKey, std::uint32_t position) {
    PackedEntry packed;
    packed.position = position;
    const std::uint64_t dateWord = keys.hasCaptureDate ? static_cast<std::uint64_t>(keys.captureTicks) ^ (std::uint64_t{1} << 63) : 0;
    switch (sort) {
    case ResultsSort::discovery: break;
    case ResultsSort::sizeDescending: packed.first = ~keys.byteLength; break;
    case ResultsSort::sizeAscending: packed.first = keys.byteLength; break;
    case ResultsSort::name:
    case ResultsSort::nameDescending: {
        const bool descending = sort == ResultsSort::nameDescending;
        packed.nameKey = nameKey;
        packed.nameInWords = keys.nameInWords;
        packed.first = descending ? ~keys.nameWords[0] : keys.nameWords[0];
        packed.second = descending ? ~keys.nameWords[1] : keys.nameWords[1];
        packed.third = descending ? ~keys.nameWords[2] : keys.nameWords[2];
        packed.fourth = descending ? ~keys.nameWords[3] : keys.nameWords[3];
        break;
    }
    case ResultsSort::type: packed.first = static_cast<std::uint64_t>(keys.typeRank); break;
    case ResultsSort::typeDescending: packed.first = ~static_cast<std::uint64_t>(keys.typeRank); break;
    case ResultsSort::integrity: packed.first = static_cast<std::uint64_t>(integrityRank(keys.integrity)); break;
    case ResultsSort::dimensionsDescending:
        packed.first = ~keys.pixels;
        packed.second = ~keys.byteLength;
        break;
    case ResultsSort::dimensionsAscending:
        packed.first = keys.pixels;
        packed.second = keys.byteLength;
        break;
    case ResultsSort::captureDateDescending:
        // A missing date sorts after every real one in both directions.
        packed.first = ~(keys.hasCaptureDate ? dateWord : 0);
        packed.second = keys.byteOffset;
        break;
    case ResultsSort::captureDateAscending:
        packed.first = keys.hasCaptureDate ? dateWord : std::numeric_limits<std::uint64_t>::max();
        packed.second = keys.byteOffset;
        break;
    }
    return packed;
}

bool packedBefore(ResultsSort sort, const PackedEntry& a, const PackedEntry& b) {
    if (a.first != b.first) return a.first < b.first;
    if (a.second != b.second) return a.second < b.second;
    if (a.third != b.third) return a.third < b.third;
    if (a.fourth != b.fourth) return a.fourth < b.fourth;
    if (a.nameKey && b.nameKey && !(a.nameInWords && b.nameInWords)) {
        const int byName = sort == ResultsSort::nameDescending ? b.nameKey->compare(*a.nameKey) : a.nameKey->compare(*b.nameKey);
        if (byName != 0) return byName < 0;
    }
    return a.position < b.position;
}

namespace {

// A stable sort of the entries by one word, sixteen bits at a time from the lowest; a digit that every
// entry shares takes no pass.
void radixSortByWord(std::vector<PackedEntry>& entries, std::vector<PackedEntry>& spare, std::uint64_t PackedEntry::*word) {
    constexpr int digitBits = 16;
    constexpr std::size_t buckets = std::size_t{1} << digitBits;
    std::vector<std::size_t> counts(buckets);
    for (int shift = 0; shift < 64; shift += digitBits) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const auto& entry : entries) ++counts[(entry.*word >> shift) & (buckets - 1)];
        if (counts[(entries.front().*word >> shift) & (buckets - 1)] == entries.size()) continue;
        std::size_t start = 0;
        for (auto& count : counts) start += std::exchange(count, start);
        spare.resize(entries.size());
        for (const auto& entry : entries) spare[counts[(entry.*word >> shift) & (buckets - 1)]++] = entry;
        entries.swap(spare);
    }
}

} // namespace

void sortPacked(ResultsSort sort, std::vector<PackedEntry>& entries) {
    if (entries.size() < 2) return;
    if (usesNameKeys(sort)) {
        std::sort(entries.begin(), entries.end(), [sort](const PackedEntry& a, const PackedEntry& b) { return packedBefore(sort, a, b); });
        return;
    }
    // Every other order is told by the first two words and then by arrival: entries that come in arrival
    // order, sorted stably by the second word and then by the first, end in the total order.
    std::vector<PackedEntry> spare;
    radixSortByWord(entries, spare, &PackedEntry::second);
    radixSortByWord(entries, spare, &PackedEntry::first);
}

} // namespace ResultsOrder

namespace ResultsQueries {

bool hitMatchesResultsFilter(const RecoveredHit& hit, ResultsIntegrityFilter filter, const std::optional<HitDate>& from,
                             const std::optional<HitDate>& to) {
    if (!ResultsIntegrityFilterName::matches(filter, hit.integrity)) return false;
    return CaptureDay::captureDateInRange(hit.captureDate, from, to);
}

bool isDefaultQuery(ResultsIntegrityFilter filter, const std::optional<HitDate>& from, const std::optional<HitDate>& to,
                    ResultsSort sort) {
    return filter == ResultsIntegrityFilter::all && !from && !to && sort == ResultsSort::discovery;
}

std::vector<RecoveredHit> filteredAndSortedHits(const std::vector<RecoveredHit>& hits, const ResultsQuery& query,
                                                const NameCollator& collator) {
    const auto window = CaptureDay::Window::of(query.captureDateFrom, query.captureDateTo);
    const bool keyed = ResultsOrder::usesNameKeys(query.sort);
    std::vector<std::string> nameKeys(keyed ? hits.size() : 0);
    std::vector<ResultsOrder::Entry> kept;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const auto& hit = hits[i];
        if (!ResultsIntegrityFilterName::matches(query.integrityFilter, hit.integrity) || !window.admits(hit.captureDate))
            continue;
        if (keyed) nameKeys[i] = collator.sortKey(hit.suggestedName);
        kept.push_back({&hit, keyed ? &nameKeys[i] : nullptr, i});
    }
    if (query.sort != ResultsSort::discovery) {
        const ResultsOrder::TypeRanks ranks(collator);
        std::sort(kept.begin(), kept.end(), [&](const ResultsOrder::Entry& a, const ResultsOrder::Entry& b) {
            return ResultsOrder::before(query.sort, a, b, ranks);
        });
    }
    std::vector<RecoveredHit> result;
    result.reserve(kept.size());
    for (const auto& entry : kept) result.push_back(*entry.hit);
    return result;
}

} // namespace ResultsQueries
} // namespace vantrel
