#pragma once
// The collation keys of the hits' names, position for position, made only when an order by name needs
// them and kept from then on: a list that is never sorted by name never pays for them. The keys of the
// first positions are made (a prefix of the list), the rest wait for the next order that reads them.
// Many keys are made on a few threads, each with a copy of the collation; their bytes lie in large
// blocks, with no allocation of their own. Keys can also be made away from the list, on another thread,
// from names taken out of it (TakenNames), and added to it later (a Batch).

#include "Vantrel/model/ChunkedArray.h"
#include "Vantrel/model/NameCollator.h"
#include "Vantrel/model/ResultsQuery.h"

#include <cstddef>
#include <cstdint>
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
    // Changes with every change of the keys: an order made from them holds while it is the same.
    std::uint64_t version() const { return m_version; }

    // Makes the keys of positions [madeCount(), count). Threads share the work when there is much of it
    // (lanes: at most that many; 0 lets the count and the machine decide).
    void makeUpTo(std::size_t count, const NameAt& nameAt, const NameCollator& collator, unsigned lanes = 0);

    // Keys made apart from the list, index for index of the names they were made from.
    class Batch;
    // The keys of count names, made as makeUpTo makes them; any thread (the collator is used by this call
    // only, and nameAt is read from the threads it starts).
    static Batch make(std::size_t count, const NameAt& nameAt, const NameCollator& collator, unsigned lanes = 0);
    // Appends the batch's keys at the indices picked (every one without picked), in that order, as the keys
    // of positions madeCount() on.
    void append(Batch&& batch, const std::vector<std::uint32_t>* picked = nullptr);
    // The name at a position with a key changed.
    void rename(std::size_t position, std::string_view name, const NameCollator& collator);
    // The hit at position left the list: the keys after it move one place down.
    void erase(std::size_t position);
    // Keeps the keys of the positions not removed, in order (removed has one flag a position, or fewer).
    void removeWhere(const std::vector<char>& removed);
    void clear();

private:
    friend class Batch;
    // Storage for key bytes, in blocks of its own: one per thread while many keys are made.
    struct Arena {
        static constexpr std::size_t blockBytes = std::size_t{1} << 18;
        std::vector<std::unique_ptr<char[]>> blocks;
        std::size_t used = blockBytes;  // of the last block
        std::string_view keep(std::string_view bytes);
    };
    static ResultsOrder::NameKey keyOf(std::string_view key, Arena& arena);
    // Fills keys [first, count) from the names, keeping the bytes of what other threads made in laneArenas.
    static void fill(ChunkedArray<ResultsOrder::NameKey>& keys, std::size_t first, const NameAt& nameAt, const NameCollator& collator,
                     unsigned lanes, Arena& arena, NameCollator::Buffers& buffers, std::vector<Arena>& laneArenas);

    ChunkedArray<ResultsOrder::NameKey> m_keys;
    std::uint64_t m_version = 0;
    Arena m_arena;
    std::vector<Arena> m_laneArenas;  // what threads filled, kept as long as their keys
    NameCollator::Buffers m_buffers;
};

class NameKeys::Batch {
public:
    std::size_t size() const { return m_keys.size(); }
    const ResultsOrder::NameKey& operator[](std::size_t index) const { return m_keys[index]; }
    const ChunkedArray<ResultsOrder::NameKey>& keys() const { return m_keys; }

private:
    friend class NameKeys;
    ChunkedArray<ResultsOrder::NameKey> m_keys;
    std::vector<Arena> m_arenas;  // where the keys' bytes lie
};

// Names copied out of the list with the arrival numbers of their hits, for keys made on another thread
// while the list goes on changing.
class TakenNames {
public:
    void reserve(std::size_t count, std::size_t bytes);
    void add(std::string_view name, std::uint64_t sequence);
    std::size_t size() const { return m_sequences.size(); }
    std::string_view operator[](std::size_t index) const;
    std::uint64_t sequence(std::size_t index) const { return m_sequences[index]; }

private:
    std::vector<char> m_bytes;
    std::vector<std::size_t> m_ends;  // where each name ends in m_bytes
    std::vector<std::uint64_t> m_sequences;
};

} // namespace vantrel
