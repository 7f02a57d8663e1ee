#include "Vantrel/model/ResultsQuery.h"

#include "base/Bounds.h"

#include <algorithm>
#include <array>
#include <bit>
#include <tuple>
#include <type_traits>
#include <utility>
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

namespace {

// pack(), inlined where the order is a constant, so that a pass over a million keys makes no calls.
[[gnu::always_inline]] inline PackedEntry packInline(ResultsSort sort, const HitKeys& keys, const std::string* nameKey,
                                                     std::uint32_t position) {
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

} // namespace

PackedEntry pack(ResultsSort sort, const HitKeys& keys, const std::string* nameKey, std::uint32_t position) {
    return packInline(sort, keys, nameKey, position);
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

// Radix digits: 2^11 counters of a digit stay in the first-level cache, and a 64-bit word takes six.
constexpr int digitBits = 11;
constexpr std::size_t digitValues = std::size_t{1} << digitBits;
constexpr int digitsPerWord = (64 + digitBits - 1) / digitBits;

// A stable sort of words[0, count) together with their payloads, digit by digit from the lowest; a digit
// that every word shares takes no pass. The spare arrays hold count entries and end as scratch.
void radixSort(std::uint64_t* words, std::uint32_t* payloads, std::uint64_t* spareWords, std::uint32_t* sparePayloads,
               std::size_t count) {
    std::vector<std::array<std::uint32_t, digitValues>> counts(digitsPerWord);
    for (std::size_t i = 0; i < count; ++i)
        for (int digit = 0; digit < digitsPerWord; ++digit) ++counts[digit][(words[i] >> (digit * digitBits)) & (digitValues - 1)];
    std::uint64_t* const resultWords = words;
    std::uint32_t* const resultPayloads = payloads;
    for (int digit = 0; digit < digitsPerWord; ++digit) {
        const int shift = digit * digitBits;
        auto& places = counts[digit];
        if (places[(words[0] >> shift) & (digitValues - 1)] == count) continue;
        std::uint32_t start = 0;
        for (auto& place : places) start += std::exchange(place, start);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t to = places[(words[i] >> shift) & (digitValues - 1)]++;
            spareWords[to] = words[i];
            sparePayloads[to] = payloads[i];
        }
        std::swap(words, spareWords);
        std::swap(payloads, sparePayloads);
    }
    if (words != resultWords) {
        std::copy(words, words + count, resultWords);
        std::copy(payloads, payloads + count, resultPayloads);
    }
}

// The first and second words of an order, in arrival order; one function per order, each with the order a
// constant.
template <ResultsSort sort>
void gatherWords(const ChunkedArray<HitKeys>& keys, std::vector<std::uint64_t>& first, std::vector<std::uint64_t>& second) {
    std::size_t i = 0;
    keys.forEachRun([&](const HitKeys* run, std::size_t count) {
        for (const HitKeys* key = run; key != run + count; ++key, ++i) {
            const PackedEntry entry = packInline(sort, *key, nullptr, 0);
            first[i] = entry.first;
            second[i] = entry.second;
        }
    });
}

template <std::size_t... sorts>
constexpr auto wordGatherers(std::index_sequence<sorts...>) {
    return std::array{&gatherWords<static_cast<ResultsSort>(sorts)>...};
}

// The orders told by one or two words and then by arrival.
class WordSorter {
public:
    WordSorter(ResultsSort sort, const ChunkedArray<HitKeys>& keys) : m_count(keys.size()) {
        // The words in arrival order, one pass over the keys; the positions start in arrival order.
        m_first.resize(m_count);
        m_second.resize(m_count);
        constexpr auto gatherers = wordGatherers(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(ResultsSortName::allCases())>>>());
        gatherers[static_cast<std::size_t>(sort)](keys, m_first, m_second);
        m_positions.resize(m_count);
        std::iota(m_positions.begin(), m_positions.end(), std::uint32_t{0});
    }

    std::vector<std::uint32_t> sorted() && {
        const auto [firstLow, firstHigh] = std::minmax_element(m_first.begin(), m_first.end());
        const auto [secondLow, secondHigh] = std::minmax_element(m_second.begin(), m_second.end());
        const auto firstBits = static_cast<int>(std::bit_width(*firstHigh - *firstLow));
        const auto secondBits = static_cast<int>(std::bit_width(*secondHigh - *secondLow));
        std::vector<std::uint64_t> spareWords(m_count);
        std::vector<std::uint32_t> spare(m_count);
        if (firstBits + secondBits <= 64) {
            // Both words fit one: (first - its least) above (second - its least) orders as the pair does.
            const std::uint64_t firstBase = *firstLow, secondBase = *secondLow;
            for (std::size_t i = 0; i < m_count; ++i)
                m_first[i] = secondBits == 64 ? m_second[i] - secondBase : ((m_first[i] - firstBase) << secondBits) | (m_second[i] - secondBase);
            radixSort(m_first.data(), m_positions.data(), spareWords.data(), spare.data(), m_count);
            return std::move(m_positions);
        }
        // By the first word, then each run that ties on it by the second (stably, so that what ties on both
        // stays in arrival order). Most first words of a card differ: the runs are few.
        radixSort(m_first.data(), m_positions.data(), spareWords.data(), spare.data(), m_count);
        std::vector<std::uint64_t> runWords(m_count);
        for (std::size_t first = 0; first < m_count;) {
            std::size_t last = first + 1;
            while (last < m_count && m_first[last] == m_first[first]) ++last;
            if (last - first > 1) sortRunBySecond(first, last, runWords, spareWords, spare);
            first = last;
        }
        return std::move(m_positions);
    }

private:
    // Runs shorter than this are sorted by comparison: clearing and reading the digit counts would cost more.
    static constexpr std::size_t minRadixRun = 256;

    // Sorts the positions of [begin, end), whose first words tie, by their second words; words and spareWords
    // are scratch of m_count words, spare of m_count positions.
    void sortRunBySecond(std::size_t begin, std::size_t end, std::vector<std::uint64_t>& words, std::vector<std::uint64_t>& spareWords,
                         std::vector<std::uint32_t>& spare) {
        const auto from = m_positions.begin() + static_cast<std::ptrdiff_t>(begin);
        const auto to = m_positions.begin() + static_cast<std::ptrdiff_t>(end);
        if (end - begin < minRadixRun) {
            std::sort(from, to, [this](std::uint32_t a, std::uint32_t b) {
                return m_second[a] != m_second[b] ? m_second[a] < m_second[b] : a < b;
            });
            return;
        }
        for (std::size_t i = begin; i < end; ++i) words[i] = m_second[m_positions[i]];
        radixSort(words.data() + begin, m_positions.data() + begin, spareWords.data() + begin, spare.data() + begin, end - begin);
    }

    std::size_t m_count;
    std::vector<std::uint64_t> m_first, m_second;
    std::vector<std::uint32_t> m_positions;
};

// The name orders: the key's four words sorted stably from the last to the first (a word every key shares
// takes no pass); then, only where a key runs past the words, the keys whose words all tie by the whole key.
std::vector<std::uint32_t> sortedByName(ResultsSort sort, const ChunkedArray<HitKeys>& keys, const std::deque<std::string>& nameKeys) {
    const bool descending = sort == ResultsSort::nameDescending;
    const std::size_t count = keys.size();
    constexpr std::size_t wordCount = std::tuple_size_v<decltype(HitKeys::nameWords)>;
    std::array<std::vector<std::uint64_t>, wordCount> words;
    for (auto& word : words) word.resize(count);
    std::array<std::uint64_t, wordCount> least, most;
    least.fill(UINT64_MAX);
    most.fill(0);
    bool anyPastWords = false;
    std::size_t i = 0;
    keys.forEachRun([&](const HitKeys* run, std::size_t runCount) {
        for (const HitKeys* key = run; key != run + runCount; ++key, ++i) {
            for (std::size_t w = 0; w < wordCount; ++w) {
                const std::uint64_t word = descending ? ~key->nameWords[w] : key->nameWords[w];
                words[w][i] = word;
                least[w] = std::min(least[w], word);
                most[w] = std::max(most[w], word);
            }
            anyPastWords = anyPastWords || !key->nameInWords;
        }
    });
    std::vector<std::uint32_t> positions(count);
    std::iota(positions.begin(), positions.end(), std::uint32_t{0});
    std::vector<std::uint64_t> sortWords(count), spareWords(count);
    std::vector<std::uint32_t> spare(count);
    bool inArrivalOrder = true;
    for (std::size_t w = wordCount; w-- > 0;) {
        if (least[w] == most[w]) continue;
        for (i = 0; i < count; ++i) sortWords[i] = words[w][inArrivalOrder ? i : positions[i]] - least[w];
        radixSort(sortWords.data(), positions.data(), spareWords.data(), spare.data(), count);
        inArrivalOrder = false;
    }
    if (!anyPastWords) return positions;  // equal words are equal keys, already in arrival order
    const auto sameWords = [&](std::uint32_t a, std::uint32_t b) {
        return std::all_of(words.begin(), words.end(), [&](const std::vector<std::uint64_t>& word) { return word[a] == word[b]; });
    };
    const auto before = [&](std::uint32_t a, std::uint32_t b) {
        const int byKey = nameKeys[a].compare(nameKeys[b]);
        if (byKey != 0) return descending ? byKey > 0 : byKey < 0;
        return a < b;
    };
    for (std::size_t first = 0; first < count;) {
        std::size_t last = first + 1;
        while (last < count && sameWords(positions[last], positions[first])) ++last;
        const auto from = positions.begin() + static_cast<std::ptrdiff_t>(first);
        const auto to = positions.begin() + static_cast<std::ptrdiff_t>(last);
        if (last - first > 1 && !std::is_sorted(from, to, before)) std::sort(from, to, before);
        first = last;
    }
    return positions;
}

} // namespace

std::vector<std::uint32_t> sortedPositions(ResultsSort sort, const ChunkedArray<HitKeys>& keys, const std::deque<std::string>& nameKeys) {
    if (sort == ResultsSort::discovery || keys.size() < 2) {
        std::vector<std::uint32_t> positions(keys.size());
        std::iota(positions.begin(), positions.end(), std::uint32_t{0});
        return positions;
    }
    if (usesNameKeys(sort)) return sortedByName(sort, keys, nameKeys);
    return WordSorter(sort, keys).sorted();
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
