#include "Vantrel/model/DisplayRows.h"

#include <cassert>

namespace vantrel {

DisplayRows::Value DisplayRows::at(std::size_t row) const {
    assert(row < m_size);
    const std::size_t chunk = chunkOf(row);
    return m_chunks[chunk][row - m_starts[chunk]];
}

void DisplayRows::assign(const std::vector<Value>& values) {
    clear();
    // Half-full chunks leave room for insertions before the first split.
    constexpr std::size_t fill = maxChunkSize / 2;
    for (std::size_t first = 0; first < values.size(); first += fill) {
        const std::size_t last = std::min(values.size(), first + fill);
        m_chunks.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(first), values.begin() + static_cast<std::ptrdiff_t>(last));
    }
    m_size = values.size();
    restart(0);
}

void DisplayRows::clear() {
    m_chunks.clear();
    m_starts.clear();
    m_size = 0;
}

void DisplayRows::insert(std::size_t row, Value value) {
    assert(row <= m_size);
    if (m_chunks.empty()) {
        m_chunks.push_back({value});
        m_size = 1;
        restart(0);
        return;
    }
    // A row at the very end goes into the last chunk.
    std::size_t chunk = row == m_size ? m_chunks.size() - 1 : chunkOf(row);
    auto& target = m_chunks[chunk];
    target.insert(target.begin() + static_cast<std::ptrdiff_t>(row - m_starts[chunk]), value);
    ++m_size;
    if (target.size() > maxChunkSize) {
        std::vector<Value> upper(target.begin() + static_cast<std::ptrdiff_t>(target.size() / 2), target.end());
        target.resize(target.size() / 2);
        m_chunks.insert(m_chunks.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, std::move(upper));
        m_starts.insert(m_starts.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, 0);
    }
    restart(chunk);
}

void DisplayRows::erase(std::size_t row) {
    assert(row < m_size);
    const std::size_t chunk = chunkOf(row);
    auto& target = m_chunks[chunk];
    target.erase(target.begin() + static_cast<std::ptrdiff_t>(row - m_starts[chunk]));
    --m_size;
    if (target.empty()) {
        m_chunks.erase(m_chunks.begin() + static_cast<std::ptrdiff_t>(chunk));
        m_starts.erase(m_starts.begin() + static_cast<std::ptrdiff_t>(chunk));
    }
    restart(chunk);
}

std::optional<std::size_t> DisplayRows::find(Value value) const {
    for (std::size_t chunk = 0; chunk < m_chunks.size(); ++chunk) {
        const auto& values = m_chunks[chunk];
        const auto found = std::find(values.begin(), values.end(), value);
        if (found != values.end()) return m_starts[chunk] + static_cast<std::size_t>(found - values.begin());
    }
    return std::nullopt;
}

void DisplayRows::closeGap(Value removed) {
    for (auto& values : m_chunks)
        for (auto& value : values)
            if (value > removed) --value;
}

std::vector<DisplayRows::Value> DisplayRows::toVector() const {
    std::vector<Value> values;
    values.reserve(m_size);
    for (const auto& chunk : m_chunks) values.insert(values.end(), chunk.begin(), chunk.end());
    return values;
}

std::size_t DisplayRows::chunkOf(std::size_t row) const {
    // The last chunk whose first row is at or before the row.
    const auto after = std::upper_bound(m_starts.begin(), m_starts.end(), row);
    return static_cast<std::size_t>(after - m_starts.begin()) - 1;
}

void DisplayRows::restart(std::size_t fromChunk) {
    m_starts.resize(m_chunks.size());
    std::size_t row = fromChunk == 0 || fromChunk > m_chunks.size() ? 0 : m_starts[fromChunk - 1] + m_chunks[fromChunk - 1].size();
    if (fromChunk > m_chunks.size()) fromChunk = 0;
    for (std::size_t chunk = fromChunk; chunk < m_chunks.size(); ++chunk) {
        m_starts[chunk] = row;
        row += m_chunks[chunk].size();
    }
}

} // namespace vantrel
