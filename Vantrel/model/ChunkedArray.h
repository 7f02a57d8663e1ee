#pragma once
// A growable array kept in large blocks: appending never moves what is stored (no step copies the whole
// array, as a vector's growth does), and a pass over it reads long runs of memory one after the other (a
// deque's small blocks lie scattered among the other allocations of the same time, and hold one or two
// large values each). A block is raw memory: values are made only as they are appended.

#include <algorithm>
#include <compare>
#include <cstddef>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantrel {

template <typename T, std::size_t blockBits = 14>
class ChunkedArray {
    template <bool isConst>
    class Iterator;

public:
    static constexpr std::size_t blockSize = std::size_t{1} << blockBits;
    using value_type = T;
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;
    using reverse_iterator = std::reverse_iterator<iterator>;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;

    ChunkedArray() = default;
    ChunkedArray(const ChunkedArray&) = delete;
    ChunkedArray& operator=(const ChunkedArray&) = delete;
    ChunkedArray(ChunkedArray&& other) noexcept : m_blocks(std::move(other.m_blocks)), m_size(std::exchange(other.m_size, 0)) {}
    ChunkedArray& operator=(ChunkedArray&& other) noexcept {
        if (this != &other) {
            clear();
            m_blocks = std::move(other.m_blocks);
            m_size = std::exchange(other.m_size, 0);
        }
        return *this;
    }
    ~ChunkedArray() { clear(); }

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    T& operator[](std::size_t index) { return m_blocks[index >> blockBits].get()[index & (blockSize - 1)]; }
    const T& operator[](std::size_t index) const { return m_blocks[index >> blockBits].get()[index & (blockSize - 1)]; }
    T& front() { return (*this)[0]; }
    const T& front() const { return (*this)[0]; }
    T& back() { return (*this)[m_size - 1]; }
    const T& back() const { return (*this)[m_size - 1]; }

    iterator begin() { return {this, 0}; }
    iterator end() { return {this, m_size}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, m_size}; }
    reverse_iterator rbegin() { return reverse_iterator(end()); }
    reverse_iterator rend() { return reverse_iterator(begin()); }
    const_reverse_iterator rbegin() const { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const { return const_reverse_iterator(begin()); }

    void push_back(T value) {
        if (m_size == m_blocks.size() * blockSize) m_blocks.emplace_back(std::allocator<T>{}.allocate(blockSize));
        std::construct_at(&(*this)[m_size], std::move(value));
        ++m_size;
    }

    // Moves what follows index one place down.
    void erase(std::size_t index) {
        for (std::size_t i = index + 1; i < m_size; ++i) (*this)[i - 1] = std::move((*this)[i]);
        resize(m_size - 1);
    }

    // Shrinking frees the blocks no longer used; growing appends default values.
    void resize(std::size_t count) {
        while (m_size < count) push_back(T{});
        while (m_size > count) std::destroy_at(&(*this)[--m_size]);
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
    // Frees a block's memory; its values were destroyed before.
    struct Release {
        void operator()(T* block) const { std::allocator<T>{}.deallocate(block, blockSize); }
    };

    template <bool isConst>
    class Iterator {
        using Array = std::conditional_t<isConst, const ChunkedArray, ChunkedArray>;

    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = std::conditional_t<isConst, const T*, T*>;
        using reference = std::conditional_t<isConst, const T&, T&>;

        Iterator() = default;
        Iterator(Array* array, std::size_t index) : m_array(array), m_index(index) {}
        // A mutable iterator converts to a constant one.
        template <bool wasConst, typename = std::enable_if_t<isConst && !wasConst>>
        Iterator(const Iterator<wasConst>& other) : m_array(other.m_array), m_index(other.m_index) {}

        reference operator*() const { return (*m_array)[m_index]; }
        pointer operator->() const { return &(*m_array)[m_index]; }
        reference operator[](difference_type offset) const { return (*m_array)[m_index + static_cast<std::size_t>(offset)]; }
        Iterator& operator++() { ++m_index; return *this; }
        Iterator operator++(int) { Iterator was = *this; ++m_index; return was; }
        Iterator& operator--() { --m_index; return *this; }
        Iterator operator--(int) { Iterator was = *this; --m_index; return was; }
        Iterator& operator+=(difference_type offset) { m_index += static_cast<std::size_t>(offset); return *this; }
        Iterator& operator-=(difference_type offset) { m_index -= static_cast<std::size_t>(offset); return *this; }
        friend Iterator operator+(Iterator at, difference_type offset) { return at += offset; }
        friend Iterator operator+(difference_type offset, Iterator at) { return at += offset; }
        friend Iterator operator-(Iterator at, difference_type offset) { return at -= offset; }
        friend difference_type operator-(const Iterator& a, const Iterator& b) {
            return static_cast<difference_type>(a.m_index) - static_cast<difference_type>(b.m_index);
        }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.m_index == b.m_index; }
        friend std::strong_ordering operator<=>(const Iterator& a, const Iterator& b) { return a.m_index <=> b.m_index; }

    private:
        template <bool>
        friend class Iterator;
        Array* m_array = nullptr;
        std::size_t m_index = 0;
    };

    std::vector<std::unique_ptr<T, Release>> m_blocks;
    std::size_t m_size = 0;
};

} // namespace vantrel
