#include "Vantrel/model/NameKeys.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

namespace vantrel {

namespace {

// Keys made per thread at least: below this a thread costs more than it saves.
constexpr std::size_t minKeysPerLane = 4096;
// The machine's memory and ICU's tables bound what more threads would give.
constexpr unsigned maxLanes = 4;

// Bytes offset to offset + 8 of the key as a big-endian word; collation keys hold no zero byte, so
// padding a short key with zeros keeps the byte order.
std::uint64_t keyWord(std::string_view key, std::size_t offset) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t at = offset + i;
        word = (word << 8) | (at < key.size() ? static_cast<unsigned char>(key[at]) : 0u);
    }
    return word;
}

} // namespace

std::string_view NameKeys::Arena::keep(std::string_view bytes) {
    if (bytes.empty()) return {};
    // A key longer than a block gets one of its own, placed before the block being filled.
    if (bytes.size() > blockBytes) {
        auto own = std::make_unique<char[]>(bytes.size());
        std::memcpy(own.get(), bytes.data(), bytes.size());
        const std::string_view kept(own.get(), bytes.size());
        blocks.insert(blocks.empty() ? blocks.end() : blocks.end() - 1, std::move(own));
        return kept;
    }
    if (blockBytes - used < bytes.size()) {
        blocks.push_back(std::make_unique<char[]>(blockBytes));
        used = 0;
    }
    char* at = blocks.back().get() + used;
    std::memcpy(at, bytes.data(), bytes.size());
    used += bytes.size();
    return {at, bytes.size()};
}

ResultsOrder::NameKey NameKeys::keyOf(std::string_view key, Arena& arena) {
    ResultsOrder::NameKey made;
    for (std::size_t i = 0; i < made.words.size(); ++i) made.words[i] = keyWord(key, 8 * i);
    made.inWords = key.size() <= 8 * made.words.size();
    const std::string_view kept = arena.keep(key);
    made.bytes = kept.data();
    made.length = static_cast<std::uint32_t>(kept.size());
    return made;
}

void NameKeys::makeUpTo(std::size_t count, const NameAt& nameAt, const NameCollator& collator, unsigned lanes) {
    const std::size_t first = m_keys.size();
    if (count <= first) return;
    ++m_version;
    m_keys.resize(count);
    fill(m_keys, first, nameAt, collator, lanes, m_arena, m_buffers, m_laneArenas);
}

NameKeys::Batch NameKeys::make(std::size_t count, const NameAt& nameAt, const NameCollator& collator, unsigned lanes) {
    Batch batch;
    batch.m_keys.resize(count);
    Arena arena;
    NameCollator::Buffers buffers;
    fill(batch.m_keys, 0, nameAt, collator, lanes, arena, buffers, batch.m_arenas);
    batch.m_arenas.push_back(std::move(arena));
    return batch;
}

void NameKeys::append(Batch&& batch, const std::vector<std::uint32_t>* picked) {
    ++m_version;
    if (!picked && m_keys.size() == 0) {
        // Every key onto an empty list (its first order by name): the batch's array is taken whole.
        m_keys = std::move(batch.m_keys);
    } else if (!picked) {
        batch.m_keys.forEachRun([this](const ResultsOrder::NameKey* run, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) m_keys.push_back(run[i]);
        });
    } else {
        for (const std::uint32_t index : *picked) m_keys.push_back(batch.m_keys[index]);
    }
    for (auto& arena : batch.m_arenas) m_laneArenas.push_back(std::move(arena));
}

void NameKeys::fill(ChunkedArray<ResultsOrder::NameKey>& keys, std::size_t first, const NameAt& nameAt, const NameCollator& collator,
                    unsigned lanes, Arena& arena, NameCollator::Buffers& buffers, std::vector<Arena>& laneArenas) {
    const std::size_t count = keys.size();
    const std::size_t missing = count - first;
    // One key (a hit arriving under a name order) is made here and now: asking how many processors there
    // are reads a file.
    if (missing < 2 * minKeysPerLane) lanes = 1;
    else if (lanes == 0) lanes = std::min(maxLanes, std::max(1u, std::thread::hardware_concurrency()));
    lanes = static_cast<unsigned>(std::clamp<std::size_t>(missing / minKeysPerLane, 1, lanes));
    if (lanes == 1) {
        for (std::size_t position = first; position < count; ++position) keys[position] = keyOf(collator.sortKey(nameAt(position), buffers), arena);
        return;
    }
    // Each lane keys its share with a collation of its own, into an arena of its own; this thread is the
    // first lane. A thread the system does not give leaves its share to this thread.
    struct Lane {
        std::size_t begin = 0, end = 0;
        std::unique_ptr<NameCollator> collator;
        Arena arena;
        bool done = false;
    };
    std::vector<Lane> shares(lanes);
    for (unsigned lane = 0; lane < lanes; ++lane) {
        shares[lane].begin = first + missing * lane / lanes;
        shares[lane].end = first + missing * (lane + 1) / lanes;
        if (lane > 0) shares[lane].collator = collator.clone();
    }
    const auto work = [&](Lane& share, const NameCollator& with) {
        NameCollator::Buffers own;
        for (std::size_t position = share.begin; position < share.end; ++position)
            keys[position] = keyOf(with.sortKey(nameAt(position), own), share.arena);
        share.done = true;
    };
    {
        std::vector<std::jthread> threads;
        threads.reserve(lanes - 1);
        try {
            for (unsigned lane = 1; lane < lanes; ++lane)
                threads.emplace_back([&work, &share = shares[lane]] { work(share, *share.collator); });
        } catch (const std::system_error&) {
            // Fewer threads than asked: the shares without one are keyed below.
        }
        work(shares[0], collator);
    }
    for (auto& share : shares) {
        if (!share.done) work(share, collator);
        laneArenas.push_back(std::move(share.arena));
    }
}

void NameKeys::rename(std::size_t position, std::string_view name, const NameCollator& collator) {
    if (position >= m_keys.size()) return;
    ++m_version;
    // The old key's bytes stay in their block until the keys are cleared; renames are few.
    m_keys[position] = keyOf(collator.sortKey(name, m_buffers), m_arena);
}

void NameKeys::erase(std::size_t position) {
    if (position >= m_keys.size()) return;
    ++m_version;
    m_keys.erase(position);
}

void NameKeys::removeWhere(const std::vector<char>& removed) {
    ++m_version;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_keys.size(); ++i) {
        if (i < removed.size() && removed[i]) continue;
        if (kept != i) m_keys[kept] = m_keys[i];
        ++kept;
    }
    m_keys.resize(kept);
}

void NameKeys::clear() {
    ++m_version;
    m_keys.clear();
    m_arena = Arena{};
    m_laneArenas.clear();
}

} // namespace vantrel

namespace vantrel {

void TakenNames::reserve(std::size_t count, std::size_t bytes) {
    m_bytes.reserve(bytes);
    m_ends.reserve(count);
    m_sequences.reserve(count);
}

void TakenNames::add(std::string_view name, std::uint64_t sequence) {
    m_bytes.insert(m_bytes.end(), name.begin(), name.end());
    m_ends.push_back(m_bytes.size());
    m_sequences.push_back(sequence);
}

std::string_view TakenNames::operator[](std::size_t index) const {
    const std::size_t begin = index == 0 ? 0 : m_ends[index - 1];
    return {m_bytes.data() + begin, m_ends[index] - begin};
}

} // namespace vantrel
