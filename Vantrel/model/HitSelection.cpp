#include "Vantrel/model/HitSelection.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

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

} // namespace

HitSelection::HitSelection(std::initializer_list<Uuid> ids) : HitSelection(std::vector<Uuid>(ids)) {}

HitSelection::HitSelection(const std::set<Uuid>& ids) : m_ids(ids.begin(), ids.end()) {}

HitSelection::HitSelection(std::vector<Uuid> ids) : m_ids(std::move(ids)) {
    // Compared as words: a million identities sort several times faster than byte by byte.
    if (!std::is_sorted(m_ids.begin(), m_ids.end()))
        std::sort(m_ids.begin(), m_ids.end(), [](const Uuid& a, const Uuid& b) { return wordsOf(a) < wordsOf(b); });
    m_ids.erase(std::unique(m_ids.begin(), m_ids.end()), m_ids.end());
}

bool HitSelection::contains(const Uuid& id) const {
    return std::binary_search(m_ids.begin(), m_ids.end(), id);
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
