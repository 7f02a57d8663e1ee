#pragma once
// A growable array kept in large blocks: appending never moves what is stored (no step copies the whole
// array, as a vector's growth does), and a pass over it reads long runs of memory one after the other (a
// deque's small blocks lie scattered among the other allocations of the same time).

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace vantrel {

template <typename T, std::size_t blockBits = 14>
class ChunkedArray {
public:
    static constexpr std::size_t blockSize = std::size_t{1} << blockBits;

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    T& operator[](std::size_t index) { return m_blocks[index >> blockBits][index & (blockSize - 1)]; }
    const T& operator[](std::size_t index) const { return m_blocks[index >> blockBits][index & (blockSize - 1)]; }
    T& back() { return (*this)[m_size - 1]; }
    const T& back() const { return (*this)[m_size - 1]; }

    void push_back(T value) {
        if (m_size == m_blocks.size() * blockSize) m_blocks.push_back(std::make_unique<T[]>(blockSize));
        (*this)[m_size++] = std::move(value);
    }

    // Moves what follows index one place down.
    void erase(std::size_t index) {
        for (std::size_t i = index + 1; i < m_size; ++i) (*this)[i - 1] = std::move((*this)[i]);
        resize(m_size - 1);
    }

    // Shrinking frees the blocks no longer used; growing appends default values.
    void resize(std::size_t count) {
        while (m_size < count) push_back(T{});
        for (std::size_t i = count; i < m_size; ++i) (*this)[i] = T{};
        m_size = count;
        m_blocks.resize((count + blockSize - 1) / blockSize);
    }

    void clear() { resize(0); }

    // Calls visit(items, count) for each block's stored run, in order.
    template <typename Visit>
    void forEachRun(Visit&& visit) const {
        forEachRun(0, m_size, visit);
    }

    // The same for the items [begin, end) only.
    template <typename Visit>
    void forEachRun(std::size_t begin, std::size_t end, Visit&& visit) const {
        end = std::min(end, m_size);
        for (std::size_t at = begin; at < end;) {
            const std::size_t inBlock = at & (blockSize - 1);
            const std::size_t count = std::min(blockSize - inBlock, end - at);
            visit(static_cast<const T*>(m_blocks[at >> blockBits].get()) + inBlock, count);
            at += count;
        }
    }

private:
    std::vector<std::unique_ptr<T[]>> m_blocks;
    std::size_t m_size = 0;
};

} // namespace vantrel
