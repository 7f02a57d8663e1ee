#include "Vantrel/model/ResultsQuery.h"

#include "base/Bounds.h"

#include <algorithm>
#include <array>
#include <barrier>
#include <cassert>
#include <bit>
#include <functional>
#include <latch>
#include <limits>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
    case ResultsSort::name: return a.nameKey.compare(b.nameKey);
    case ResultsSort::nameDescending: return b.nameKey.compare(a.nameKey);
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

std::optional<HitDate> HitKeys::captureDate() const {
    if (!hasCaptureDate) return std::nullopt;
    return HitDate(HitDate::duration(captureTicks));
}

HitKeys keysOf(const RecoveredHit& hit, const TypeRanks& ranks) {
    HitKeys keys;
    keys.byteLength = hit.byteLength;
    keys.pixels = pixelCount(hit);
    keys.byteOffset = hit.byteOffset;
    if (hit.captureDate) {
        keys.hasCaptureDate = true;
        keys.captureTicks = hit.captureDate->time_since_epoch().count();
    }
    keys.typeRank = ranks.rank(hit.kind);
    keys.integrity = hit.integrity;
    return keys;
}

namespace {

// The two words that compare as an order's key and tie-break do (the orders told by words: every order
// but the name orders and discovery).
struct OrderWords {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
};

// Inlined where the order is a constant, so that a pass over a million keys makes no calls.
[[gnu::always_inline]] inline OrderWords wordsOf(ResultsSort sort, const HitKeys& keys) {
    OrderWords packed;
    const std::uint64_t dateWord = keys.hasCaptureDate ? static_cast<std::uint64_t>(keys.captureTicks) ^ (std::uint64_t{1} << 63) : 0;
    switch (sort) {
    case ResultsSort::discovery: break;
    case ResultsSort::sizeDescending: packed.first = ~keys.byteLength; break;
    case ResultsSort::sizeAscending: packed.first = keys.byteLength; break;
    // Sorted by their keys' words instead (sortByName).
    case ResultsSort::name:
    case ResultsSort::nameDescending: break;
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

int compareKept(ResultsSort sort, const HitKeys& a, const HitKeys& b) {
    const OrderWords x = wordsOf(sort, a);
    const OrderWords y = wordsOf(sort, b);
    if (x.first != y.first) return x.first < y.first ? -1 : 1;
    return threeWay(x.second, y.second);
}

namespace {

// Radix digits: 2^11 counters of a digit stay in the first-level cache, and a 64-bit word takes six.
constexpr int digitBits = 11;
constexpr std::size_t digitValues = std::size_t{1} << digitBits;
constexpr int digitsPerWord = (64 + digitBits - 1) / digitBits;

std::uint32_t digitOf(std::uint64_t word, int shift) {
    return static_cast<std::uint32_t>((word >> shift) & (digitValues - 1));
}

} // namespace

std::uint64_t gatherBits(std::uint64_t word, std::uint64_t mask) {
    std::uint64_t gathered = 0;
    int at = 0;
    // Run by run of the mask's set bits, from the lowest.
    while (mask != 0) {
        const int low = std::countr_zero(mask);
        const int length = std::countr_one(mask >> low);
        const std::uint64_t run = length == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
        gathered |= ((word >> low) & run) << at;
        at += length;
        mask &= ~(run << low);
    }
    return gathered;
}

namespace {

// How many threads share the passes over count keys: one below a few tens of thousands of keys (the
// threads would cost more than they save), at most four (the passes are bound by memory beyond that).
unsigned lanesFor(std::size_t count, unsigned asked) {
    if (asked != 0) return static_cast<unsigned>(std::clamp<std::size_t>(count, 1, asked));
    constexpr std::size_t keysPerLane = std::size_t{1} << 16;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::clamp<std::size_t>(count / keysPerLane, 1, std::min(cores, 4u)));
}

// Runs work(lane, running, meeting) on up to `lanes` threads, this one being lane 0, running of them in all
// (fewer when the system gives no more threads). The lanes meet at the barrier between the steps that read
// what other lanes wrote; the work allocates nothing, so no lane can leave the others waiting there.
template <typename Work>
void inLanes(unsigned lanes, Work&& work) {
    if (lanes <= 1) {
        std::barrier alone(1);
        work(0u, 1u, alone);
        return;
    }
    std::latch started(1);
    std::optional<std::barrier<>> meeting;
    unsigned running = 1;
    std::vector<std::jthread> threads;
    threads.reserve(lanes - 1);
    try {
        for (unsigned lane = 1; lane < lanes; ++lane) {
            threads.emplace_back([&, lane] {
                started.wait();
                if (lane < running) work(lane, running, *meeting);
            });
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked: the ones made take part.
    }
    running = static_cast<unsigned>(threads.size()) + 1;
    meeting.emplace(static_cast<std::ptrdiff_t>(running));
    started.count_down();
    work(0u, running, *meeting);
}

// [begin, end) of lane's share of count items.
std::pair<std::size_t, std::size_t> shareOf(std::size_t count, unsigned lane, unsigned lanes) {
    return {count * lane / lanes, count * (lane + 1) / lanes};
}

// A stable sort of words[0, count) together with their payloads, digit by digit from the lowest; a digit
// that every word shares takes no pass. The spare arrays hold count entries and end as scratch. With
// several lanes, each pass counts and moves each lane's share apart, its items placed after those of the
// lanes before it, so the passes stay stable.
void radixSort(std::uint64_t* words, std::uint32_t* payloads, std::uint64_t* spareWords, std::uint32_t* sparePayloads,
               std::size_t count, unsigned askedLanes = 0) {
    if (count < 2) return;
    const unsigned lanes = lanesFor(count, askedLanes);
    // The digits in which some word differs from the first.
    std::vector<std::uint64_t> differing(lanes, 0);
    std::vector<std::array<std::uint32_t, digitValues>> counts(lanes);
    std::array<int, digitsPerWord> shifts{};
    std::size_t shiftCount = 0;
    std::uint64_t* const resultWords = words;
    std::uint32_t* const resultPayloads = payloads;
    inLanes(lanes, [&](unsigned lane, unsigned running, std::barrier<>& meeting) {
        const auto [begin, end] = shareOf(count, lane, running);
        std::uint64_t differs = 0;
        for (std::size_t i = begin; i < end; ++i) differs |= words[i] ^ words[0];
        differing[lane] = differs;
        meeting.arrive_and_wait();
        if (lane == 0) {
            const std::uint64_t all = std::accumulate(differing.begin(), differing.end(), std::uint64_t{0}, std::bit_or<>());
            for (int digit = 0; digit < digitsPerWord; ++digit)
                if (digitOf(all, digit * digitBits) != 0) shifts[shiftCount++] = digit * digitBits;
        }
        meeting.arrive_and_wait();
        std::uint64_t* from = words;
        std::uint32_t* fromPayloads = payloads;
        std::uint64_t* to = spareWords;
        std::uint32_t* toPayloads = sparePayloads;
        for (std::size_t pass = 0; pass < shiftCount; ++pass) {
            const int shift = shifts[pass];
            auto& mine = counts[lane];
            mine.fill(0);
            for (std::size_t i = begin; i < end; ++i) ++mine[digitOf(from[i], shift)];
            meeting.arrive_and_wait();
            // A value's items go after every smaller value's, and after the same value's of earlier lanes.
            std::array<std::uint32_t, digitValues> places;
            std::uint32_t start = 0;
            for (std::size_t value = 0; value < digitValues; ++value)
                for (unsigned other = 0; other < running; ++other) {
                    if (other == lane) places[value] = start;
                    start += counts[other][value];
                }
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint32_t place = places[digitOf(from[i], shift)]++;
                to[place] = from[i];
                toPayloads[place] = fromPayloads[i];
            }
            meeting.arrive_and_wait();
            std::swap(from, to);
            std::swap(fromPayloads, toPayloads);
        }
        if (from != resultWords) {
            std::copy(from + begin, from + end, resultWords + begin);
            std::copy(fromPayloads + begin, fromPayloads + end, resultPayloads + begin);
        }
    });
}

template <typename T>
T* sized(std::vector<T>& scratch, std::size_t count) {
    if (scratch.size() < count) scratch.resize(count);
    return scratch.data();
}

// The first and second words of an order, in arrival order; one function per order, each with the order a
// constant.
template <ResultsSort sort>
void gatherWords(const ChunkedArray<HitKeys>& keys, std::uint64_t* first, std::uint64_t* second) {
    std::size_t i = 0;
    keys.forEachRun([&](const HitKeys* run, std::size_t count) {
        for (const HitKeys* key = run; key != run + count; ++key, ++i) {
            const OrderWords entry = wordsOf(sort, *key);
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
    WordSorter(ResultsSort sort, const ChunkedArray<HitKeys>& keys, SortScratch& scratch)
        : m_count(keys.size()), m_scratch(scratch), m_first(sized(scratch.words[0], m_count)),
          m_second(sized(scratch.words[1], m_count)), m_positions(sized(scratch.positions, m_count)) {
        // The words in arrival order, one pass over the keys; the positions start in arrival order.
        constexpr auto gatherers = wordGatherers(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(ResultsSortName::allCases())>>>());
        gatherers[static_cast<std::size_t>(sort)](keys, m_first, m_second);
        std::iota(m_positions, m_positions + m_count, std::uint32_t{0});
    }

    void sort() {
        const auto [firstLow, firstHigh] = std::minmax_element(m_first, m_first + m_count);
        const auto [secondLow, secondHigh] = std::minmax_element(m_second, m_second + m_count);
        const auto firstBits = static_cast<int>(std::bit_width(*firstHigh - *firstLow));
        const auto secondBits = static_cast<int>(std::bit_width(*secondHigh - *secondLow));
        std::uint64_t* const spareWords = sized(m_scratch.spareWords, m_count);
        std::uint32_t* const spare = sized(m_scratch.spare, m_count);
        if (firstBits + secondBits <= 64) {
            // Both words fit one: (first - its least) above (second - its least) orders as the pair does.
            const std::uint64_t firstBase = *firstLow, secondBase = *secondLow;
            for (std::size_t i = 0; i < m_count; ++i)
                m_first[i] = secondBits == 64 ? m_second[i] - secondBase : ((m_first[i] - firstBase) << secondBits) | (m_second[i] - secondBase);
            radixSort(m_first, m_positions, spareWords, spare, m_count, m_scratch.lanes);
            return;
        }
        // By the first word, then each run that ties on it by the second (stably, so that what ties on both
        // stays in arrival order). Most first words of a card differ: the runs are few.
        radixSort(m_first, m_positions, spareWords, spare, m_count, m_scratch.lanes);
        std::uint64_t* const runWords = sized(m_scratch.sortWords, m_count);
        for (std::size_t first = 0; first < m_count;) {
            std::size_t last = first + 1;
            while (last < m_count && m_first[last] == m_first[first]) ++last;
            if (last - first > 1) sortRunBySecond(first, last, runWords, spareWords, spare);
            first = last;
        }
    }

private:
    // Runs shorter than this are sorted by comparison: clearing and reading the digit counts would cost more.
    static constexpr std::size_t minRadixRun = 256;

    // Sorts the positions of [begin, end), whose first words tie, by their second words; words and spareWords
    // are scratch of m_count words, spare of m_count positions.
    void sortRunBySecond(std::size_t begin, std::size_t end, std::uint64_t* words, std::uint64_t* spareWords, std::uint32_t* spare) {
        const auto from = m_positions + begin;
        const auto to = m_positions + end;
        const auto bySecond = [this](std::uint32_t a, std::uint32_t b) { return m_second[a] != m_second[b] ? m_second[a] < m_second[b] : a < b; };
        // Hits arrive mostly in the order of their offsets, the usual second word: such a run is left as it is.
        if (std::is_sorted(from, to, bySecond)) return;
        if (end - begin < minRadixRun) {
            std::sort(from, to, bySecond);
            return;
        }
        for (std::size_t i = begin; i < end; ++i) words[i] = m_second[m_positions[i]];
        radixSort(words + begin, m_positions + begin, spareWords + begin, spare + begin, end - begin, m_scratch.lanes);
    }

    std::size_t m_count;
    SortScratch& m_scratch;
    std::uint64_t* m_first;
    std::uint64_t* m_second;
    std::uint32_t* m_positions;
};

// Runs work(begin, end) on each lane's share of [0, count).
template <typename Work>
void forShares(std::size_t count, unsigned lanes, Work&& work) {
    inLanes(lanes, [&](unsigned lane, unsigned running, std::barrier<>&) {
        const auto [begin, end] = shareOf(count, lane, running);
        work(begin, end);
    });
}

constexpr std::size_t nameWordCount = std::tuple_size_v<decltype(NameKey::words)>;
using NameWords = std::array<std::uint64_t, nameWordCount>;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VANTREL_HAVE_PEXT 1
__attribute__((target("bmi2"))) std::uint64_t gatherBitsByInstruction(std::uint64_t word, std::uint64_t mask) {
    return _pext_u64(word, mask);
}
#endif

// The bits in which some name key's words differ from the first key's, packed in their order of
// significance into as few words ("chunks") as they fill, the last chunk's at its low end. Comparing the
// chunks compares the words: every other bit is the same in every key. Names a card gives share most of
// their bits (a prefix, digits, an extension), so the chunks take far fewer radix passes than the words.
class NameBitPacking {
public:
    explicit NameBitPacking(const NameWords& differing) {
        std::size_t total = 0;
        for (const std::uint64_t mask : differing) total += static_cast<std::size_t>(std::popcount(mask));
        m_chunkCount = (total + 63) / 64;
        // Bit b (counted from the most significant differing bit) goes to chunk b / 64.
        std::size_t placed = 0;
        for (std::size_t word = 0; word < nameWordCount; ++word) {
            std::uint64_t mask = differing[word];
            while (mask != 0) {
                const std::size_t chunk = placed / 64;
                const std::size_t chunkBits = std::min<std::size_t>(64, total - chunk * 64);
                const std::size_t roomInChunk = chunkBits - placed % 64;
                // The most significant roomInChunk bits of what is left of the mask fill the chunk.
                std::uint64_t part = mask;
                for (std::size_t extra = static_cast<std::size_t>(std::popcount(mask)); extra > roomInChunk; --extra) part &= part - 1;
                const std::size_t bits = static_cast<std::size_t>(std::popcount(part));
                m_parts[m_partCount++] = {word, chunk, static_cast<int>(chunkBits - placed % 64 - bits), part};
                placed += bits;
                mask &= ~part;
            }
        }
    }

    std::size_t chunkCount() const { return m_chunkCount; }

    // Packs the words of keys [begin, end) into their chunks: chunk c of key i goes to chunks[c][i].
    void pack(const ChunkedArray<NameKey>& keys, bool descending, const std::array<std::uint64_t*, nameWordCount>& chunks,
              std::size_t begin, std::size_t end) const {
#ifdef VANTREL_HAVE_PEXT
        if (__builtin_cpu_supports("bmi2")) return packWith<gatherBitsByInstruction>(keys, descending, chunks, begin, end);
#endif
        packWith<gatherBits>(keys, descending, chunks, begin, end);
    }

private:
    struct Part {
        std::size_t word = 0, chunk = 0;
        int shift = 0;           // where its lowest bit lands in the chunk
        std::uint64_t mask = 0;  // its bits in the word
    };

    template <std::uint64_t (*gather)(std::uint64_t, std::uint64_t)>
    void packWith(const ChunkedArray<NameKey>& keys, bool descending, const std::array<std::uint64_t*, nameWordCount>& chunks,
                  std::size_t begin, std::size_t end) const {
        // Descending, the complement of every word: the same bits differ, and their order turns round.
        const std::uint64_t flip = descending ? ~std::uint64_t{0} : 0;
        std::size_t i = begin;
        keys.forEachRun(begin, end, [&](const NameKey* run, std::size_t runCount) {
            for (const NameKey* key = run; key != run + runCount; ++key, ++i) {
                NameWords packed{};
                for (std::size_t p = 0; p < m_partCount; ++p) {
                    const Part& part = m_parts[p];
                    packed[part.chunk] |= gather(key->words[part.word] ^ flip, part.mask) << part.shift;
                }
                for (std::size_t c = 0; c < m_chunkCount; ++c) chunks[c][i] = packed[c];
            }
        });
    }

    // Each word gives at most one part to each of the two chunks it can straddle.
    std::array<Part, 2 * nameWordCount> m_parts{};
    std::size_t m_partCount = 0;
    std::size_t m_chunkCount = 0;
};

// The name orders: the differing bits of the keys' first 32 bytes packed into chunks, the chunks sorted
// stably from the last to the first; then, only where a key runs past the 32 bytes, the keys whose bytes
// all tie by the whole key.
void sortByName(ResultsSort sort, const ChunkedArray<NameKey>& keys, SortScratch& scratch) {
    const bool descending = sort == ResultsSort::nameDescending;
    const std::size_t count = keys.size();
    static_assert(nameWordCount == std::size(SortScratch{}.words));
    const unsigned lanes = lanesFor(count, scratch.lanes);
    // Which bits differ, and whether any key runs past its words: one pass; then the packing, another.
    const NameWords firstWords = keys[0].words;
    std::vector<NameWords> differing(lanes, NameWords{});
    std::vector<char> pastWords(lanes, 0);
    inLanes(lanes, [&](unsigned lane, unsigned running, std::barrier<>&) {
        const auto [begin, end] = shareOf(count, lane, running);
        NameWords differs{};
        bool past = false;
        keys.forEachRun(begin, end, [&](const NameKey* run, std::size_t runCount) {
            for (const NameKey* key = run; key != run + runCount; ++key) {
                for (std::size_t w = 0; w < nameWordCount; ++w) differs[w] |= key->words[w] ^ firstWords[w];
                past = past || !key->inWords;
            }
        });
        differing[lane] = differs;
        pastWords[lane] = past;
    });
    NameWords differs{};
    for (const auto& laneDiffers : differing)
        for (std::size_t w = 0; w < nameWordCount; ++w) differs[w] |= laneDiffers[w];
    const bool anyPastWords = std::find(pastWords.begin(), pastWords.end(), 1) != pastWords.end();

    const NameBitPacking packing(differs);
    std::array<std::uint64_t*, nameWordCount> chunks{};
    for (std::size_t c = 0; c < packing.chunkCount(); ++c) chunks[c] = sized(scratch.words[c], count);
    forShares(count, lanes, [&](std::size_t begin, std::size_t end) { packing.pack(keys, descending, chunks, begin, end); });
    std::uint32_t* const positions = sized(scratch.positions, count);
    std::iota(positions, positions + count, std::uint32_t{0});
    std::uint64_t* const sortWords = sized(scratch.sortWords, count);
    std::uint64_t* const spareWords = sized(scratch.spareWords, count);
    std::uint32_t* const spare = sized(scratch.spare, count);
    for (std::size_t c = packing.chunkCount(); c-- > 0;) {
        const std::uint64_t* const chunk = chunks[c];
        const bool inArrivalOrder = c + 1 == packing.chunkCount();
        forShares(count, lanes, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) sortWords[i] = chunk[inArrivalOrder ? i : positions[i]];
        });
        radixSort(sortWords, positions, spareWords, spare, count, scratch.lanes);
    }
    if (!anyPastWords) return;  // equal words are equal keys, already in arrival order
    const auto sameWords = [&](std::uint32_t a, std::uint32_t b) {
        for (std::size_t c = 0; c < packing.chunkCount(); ++c)
            if (chunks[c][a] != chunks[c][b]) return false;
        return true;
    };
    const auto before = [&](std::uint32_t a, std::uint32_t b) {
        const int byKey = keys[a].text().compare(keys[b].text());
        if (byKey != 0) return descending ? byKey > 0 : byKey < 0;
        return a < b;
    };
    for (std::size_t first = 0; first < count;) {
        std::size_t last = first + 1;
        while (last < count && sameWords(positions[last], positions[first])) ++last;
        if (last - first > 1 && !std::is_sorted(positions + first, positions + last, before)) std::sort(positions + first, positions + last, before);
        first = last;
    }
}

} // namespace

const std::vector<std::uint32_t>& sortedPositions(ResultsSort sort, const ChunkedArray<HitKeys>& keys,
                                                  const ChunkedArray<NameKey>& nameKeys, SortScratch& scratch) {
    const std::size_t count = keys.size();
    if (sort == ResultsSort::discovery || count < 2) {
        scratch.positions.resize(count);
        std::iota(scratch.positions.begin(), scratch.positions.end(), std::uint32_t{0});
    } else if (usesNameKeys(sort)) {
        assert(nameKeys.size() == count);
        sortByName(sort, nameKeys, scratch);
    } else {
        WordSorter(sort, keys, scratch).sort();
    }
    // The positions of earlier, longer lists may lie past this one's.
    scratch.positions.resize(count);
    return scratch.positions;
}

const std::vector<std::uint32_t>& sortedNamePositions(ResultsSort sort, const ChunkedArray<NameKey>& nameKeys, SortScratch& scratch) {
    assert(usesNameKeys(sort));
    const std::size_t count = nameKeys.size();
    if (count < 2) {
        scratch.positions.resize(count);
        std::iota(scratch.positions.begin(), scratch.positions.end(), std::uint32_t{0});
    } else {
        sortByName(sort, nameKeys, scratch);
    }
    scratch.positions.resize(count);
    return scratch.positions;
}

void reverseNameOrder(const ChunkedArray<NameKey>& nameKeys, std::vector<std::uint32_t>& positions) {
    // Keys whose words differ differ; equal words are equal keys when both keys fit in them.
    const auto sameKey = [&nameKeys](std::uint32_t a, std::uint32_t b) {
        const NameKey& x = nameKeys[a];
        const NameKey& y = nameKeys[b];
        if (x.words != y.words) return false;
        return (x.inWords && y.inWords) || x.text() == y.text();
    };
    std::reverse(positions.begin(), positions.end());
    // Reversed, each run of equal keys is in descending arrival order: turned round again. The keys lie
    // in arrival order and are read in the sorted one, so each is fetched some rows ahead.
    constexpr std::size_t ahead = 16;
    for (std::size_t first = 0; first < positions.size();) {
        std::size_t last = first + 1;
        for (; last < positions.size(); ++last) {
            if (last + ahead < positions.size()) __builtin_prefetch(&nameKeys[positions[last + ahead]]);
            if (!sameKey(positions[last], positions[first])) break;
        }
        if (last - first > 1) std::reverse(positions.begin() + static_cast<std::ptrdiff_t>(first), positions.begin() + static_cast<std::ptrdiff_t>(last));
        first = last;
    }
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
    std::vector<std::string> nameKeys(hits.size());
    std::vector<ResultsOrder::Entry> kept;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const auto& hit = hits[i];
        if (!ResultsIntegrityFilterName::matches(query.integrityFilter, hit.integrity) || !window.admits(hit.captureDate))
            continue;
        if (keyed) nameKeys[i] = collator.sortKey(hit.suggestedName);
        kept.push_back({&hit, nameKeys[i], i});
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
