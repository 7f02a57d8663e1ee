#include "Vantrel/model/HitSelection.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vantrel {

namespace {

// The identity as two words that compare as its bytes do.
struct Words {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    friend auto operator<=>(const Words&, const Words&) = default;
};

Words wordsOf(const Uuid& id) {
    Words words;
    std::memcpy(&words.high, id.bytes.data(), sizeof words.high);
    std::memcpy(&words.low, id.bytes.data() + sizeof words.high, sizeof words.low);
    if constexpr (std::endian::native == std::endian::little) {
        words.high = __builtin_bswap64(words.high);
        words.low = __builtin_bswap64(words.low);
    }
    return words;
}

Uuid idOf(const Words& words) {
    Uuid id;
    std::uint64_t high = words.high;
    std::uint64_t low = words.low;
    if constexpr (std::endian::native == std::endian::little) {
        high = __builtin_bswap64(high);
        low = __builtin_bswap64(low);
    }
    std::memcpy(id.bytes.data(), &high, sizeof high);
    std::memcpy(id.bytes.data() + sizeof high, &low, sizeof low);
    return id;
}

} // namespace

HitSelection::HitSelection(std::initializer_list<Uuid> ids) : HitSelection(std::vector<Uuid>(ids)) {}

HitSelection::HitSelection(const std::set<Uuid>& ids) : m_ids(ids.begin(), ids.end()) {}

HitSelection::HitSelection(std::vector<Uuid> ids) : m_ids(std::move(ids)) {
    if (!std::is_sorted(m_ids.begin(), m_ids.end())) sortIdentities(m_ids);
    m_ids.erase(std::unique(m_ids.begin(), m_ids.end()), m_ids.end());
}

namespace {

// What is sorted: an identity as words, and the value that travels with it where there are values.
struct Plain {
    Words words;
};
struct Carrying {
    Words words;
    std::uint64_t value = 0;
};

// Sorts the identities in ascending order, each value of along (when Entry carries one) moved with its
// identity. Compared as words: a million identities sort several times faster than byte by byte.
template <typename Entry>
void sortEntries(std::vector<Uuid>& ids, std::vector<std::uint64_t>* along) {
    constexpr bool carries = std::is_same_v<Entry, Carrying>;
    const auto entryAt = [&](std::size_t i) {
        if constexpr (carries) return Entry{wordsOf(ids[i]), (*along)[i]};
        else return Entry{wordsOf(ids[i])};
    };
    const auto before = [](const Entry& a, const Entry& b) { return a.words < b.words; };
    std::vector<Entry> dealt(ids.size());
    if (ids.size() < HitSelection::bucketedFrom) {
        for (std::size_t i = 0; i < ids.size(); ++i) dealt[i] = entryAt(i);
        std::sort(dealt.begin(), dealt.end(), before);
    } else {
        // Many are first dealt into buckets by their first two bytes, in one counting pass and one moving
        // pass, and each bucket is sorted on its own. Random identities leave a bucket a few each; any
        // others sort as they would in one piece.
        constexpr std::size_t bucketCount = 65'536;
        const auto bucketOf = [](const Uuid& id) { return static_cast<std::size_t>(id.bytes[0]) << 8 | id.bytes[1]; };
        std::vector<std::size_t> starts(bucketCount + 1, 0);
        for (const Uuid& id : ids) ++starts[bucketOf(id) + 1];
        for (std::size_t bucket = 0; bucket < bucketCount; ++bucket) starts[bucket + 1] += starts[bucket];
        std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t i = 0; i < ids.size(); ++i) dealt[next[bucketOf(ids[i])]++] = entryAt(i);
        for (std::size_t bucket = 0; bucket < bucketCount; ++bucket)
            if (starts[bucket + 1] - starts[bucket] > 1)
                std::sort(dealt.begin() + static_cast<std::ptrdiff_t>(starts[bucket]), dealt.begin() + static_cast<std::ptrdiff_t>(starts[bucket + 1]),
                          before);
    }
    for (std::size_t i = 0; i < dealt.size(); ++i) {
        ids[i] = idOf(dealt[i].words);
        if constexpr (carries) (*along)[i] = dealt[i].value;
    }
}

} // namespace

void HitSelection::sortIdentities(std::vector<Uuid>& ids) { sortEntries<Plain>(ids, nullptr); }

void HitSelection::sortIdentities(std::vector<Uuid>& ids, std::vector<std::uint64_t>& along) {
    along.resize(ids.size());
    sortEntries<Carrying>(ids, &along);
}

bool HitSelection::contains(const Uuid& id) const {
    return std::binary_search(m_ids.begin(), m_ids.end(), id);
}

std::size_t HitSelection::indexOf(const Uuid& id) const {
    return static_cast<std::size_t>(std::lower_bound(m_ids.begin(), m_ids.end(), id) - m_ids.begin());
}

bool HitSelection::insert(const Uuid& id) {
    const auto at = std::lower_bound(m_ids.begin(), m_ids.end(), id);
    if (at != m_ids.end() && *at == id) return false;
    m_ids.insert(at, id);
    return true;
}

std::size_t HitSelection::erase(const Uuid& id) {
    const auto at = std::lower_bound(m_ids.begin(), m_ids.end(), id);
    if (at == m_ids.end() || *at != id) return 0;
    m_ids.erase(at);
    return 1;
}

} // namespace vantrel
