#pragma once
// The rows of the displayed results: hit positions in display order, kept in chunks so that a row
// can be inserted into or removed from a sorted list of a million rows without moving the whole list.
// Each operation costs at most one chunk's worth of moves plus one pass over the chunk starts.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel {

class DisplayRows {
public:
    using Value = std::uint32_t;
    // A chunk is split in two when it grows past this.
    static constexpr std::size_t maxChunkSize = 2048;

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    Value at(std::size_t row) const;

    void assign(const std::vector<Value>& values);
    void clear();
    void insert(std::size_t row, Value value);
    void erase(std::size_t row);
    // The first row holding the value; a pass over every row.
    std::optional<std::size_t> find(Value value) const;
    // Every value greater than removed goes down by one (the hit at position removed left the hits).
    void closeGap(Value removed);
    std::vector<Value> toVector() const;
    // Calls visit(value) for every row, in order.
    template <typename Visit>
    void forEach(Visit&& visit) const {
        for (const auto& chunk : m_chunks)
            for (const Value value : chunk) visit(value);
    }

    // Calls visit(value) for the rows [first, last), in order.
    template <typename Visit>
    void forEachIn(std::size_t first, std::size_t last, Visit&& visit) const {
        last = std::min(last, m_size);
        if (first >= last) return;
        for (std::size_t chunk = chunkOf(first); chunk < m_chunks.size() && m_starts[chunk] < last; ++chunk) {
            const auto& values = m_chunks[chunk];
            const std::size_t from = std::max(first, m_starts[chunk]) - m_starts[chunk];
            const std::size_t to = std::min(last - m_starts[chunk], values.size());
            for (std::size_t i = from; i < to; ++i) visit(values[i]);
        }
    }

    // The first row whose value is not before the given one, for a strict weak order `before` under
    // which the rows are sorted.
    template <typename Before>
    std::size_t lowerBound(Value value, Before before) const {
        // The first chunk whose last value is not before the value holds the place.
        const auto chunk = std::partition_point(m_chunks.begin(), m_chunks.end(),
                                                [&](const std::vector<Value>& c) { return before(c.back(), value); });
        if (chunk == m_chunks.end()) return m_size;
        const auto index = static_cast<std::size_t>(chunk - m_chunks.begin());
        const auto inside = std::partition_point(chunk->begin(), chunk->end(), [&](Value v) { return before(v, value); });
        return m_starts[index] + static_cast<std::size_t>(inside - chunk->begin());
    }

private:
    std::size_t chunkOf(std::size_t row) const;
    void restart(std::size_t fromChunk);

    std::vector<std::vector<Value>> m_chunks;  // never empty chunks
    std::vector<std::size_t> m_starts;         // the first row of each chunk
    std::size_t m_size = 0;
};

} // namespace vantrel
