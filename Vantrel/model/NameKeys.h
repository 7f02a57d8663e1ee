#pragma once
// The collation keys of the hits' names, position for position, made only when an order by name needs
// them and kept from then on: a list that is never sorted by name never pays for them. The keys of the
// first positions are made (a prefix of the list), the rest wait for the next order that reads them.
// Many keys are made on a few threads, each with a copy of the collation; their bytes lie in large
// blocks, with no allocation of their own.

#include "Vantrel/model/ChunkedArray.h"
#include "Vantrel/model/NameCollator.h"
#include "Vantrel/model/ResultsQuery.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace vantrel {

class NameKeys {
public:
    // The name at a position; called from several threads at once while keys are made.
    using NameAt = std::function<std::string_view(std::size_t position)>;

    // Positions [0, madeCount()) have their keys.
    std::size_t madeCount() const { return m_keys.size(); }
    const ChunkedArray<ResultsOrder::NameKey>& keys() const { return m_keys; }
    const ResultsOrder::NameKey& operator[](std::size_t position) const { return m_keys[position]; }

    // Makes the keys of positions [madeCount(), count). Threads share the work when there is much of it
    // (lanes: at most that many; 0 lets the count and the machine decide).
    void makeUpTo(std::size_t count, const NameAt& nameAt, const NameCollator& collator, unsigned lanes = 0);
    // The name at a position with a key changed.
    void rename(std::size_t position, std::string_view name, const NameCollator& collator);
    // The hit at position left the list: the keys after it move one place down.
    void erase(std::size_t position);
    // Keeps the keys of the positions not removed, in order (removed has one flag a position, or fewer).
    void removeWhere(const std::vector<char>& removed);
    void clear();

private:
    // Storage for key bytes, in blocks of its own: one per thread while many keys are made.
    struct Arena {
        static constexpr std::size_t blockBytes = std::size_t{1} << 18;
        std::vector<std::unique_ptr<char[]>> blocks;
        std::size_t used = blockBytes;  // of the last block
        std::string_view keep(std::string_view bytes);
    };
    static ResultsOrder::NameKey keyOf(std::string_view key, Arena& arena);

    ChunkedArray<ResultsOrder::NameKey> m_keys;
    Arena m_arena;
    std::vector<Arena> m_laneArenas;  // what threads filled, kept as long as their keys
    NameCollator::Buffers m_buffers;
};

} // namespace vantrel
