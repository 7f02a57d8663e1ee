#pragma once
// Little- and big-endian unsigned fields of an on-disk structure held in memory. A field that does not
// lie wholly inside the buffer reads as 0, so a truncated structure fails its parser's own range tests
// instead of reading past the buffer.

#include "recovery/bytesource/PageAlignedAllocator.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vantrel {

// Every buffer that reads and copies fill: one of a page or more starts on a page boundary.
using Bytes = std::vector<std::uint8_t, PageAlignedAllocator<std::uint8_t>>;
using ByteView = std::span<const std::uint8_t>;

namespace FieldReader {

namespace detail {
template <typename T, bool littleEndian>
constexpr T read(ByteView buffer, std::int64_t offset) {
    constexpr std::size_t width = sizeof(T);
    if (offset < 0) return 0;
    const auto start = static_cast<std::uint64_t>(offset);
    if (start > buffer.size() || width > buffer.size() - start) return 0;
    T value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t index = littleEndian ? width - 1 - i : i;
        value = static_cast<T>((value << 8) | buffer[start + index]);
    }
    return value;
}
} // namespace detail

constexpr std::uint8_t u8(ByteView b, std::int64_t at) { return detail::read<std::uint8_t, true>(b, at); }
constexpr std::uint16_t u16le(ByteView b, std::int64_t at) { return detail::read<std::uint16_t, true>(b, at); }
constexpr std::uint32_t u32le(ByteView b, std::int64_t at) { return detail::read<std::uint32_t, true>(b, at); }
constexpr std::uint64_t u64le(ByteView b, std::int64_t at) { return detail::read<std::uint64_t, true>(b, at); }
constexpr std::uint16_t u16be(ByteView b, std::int64_t at) { return detail::read<std::uint16_t, false>(b, at); }
constexpr std::uint32_t u32be(ByteView b, std::int64_t at) { return detail::read<std::uint32_t, false>(b, at); }
constexpr std::uint64_t u64be(ByteView b, std::int64_t at) { return detail::read<std::uint64_t, false>(b, at); }

// True when the bytes at the offset equal the text; false when they run past the buffer.
constexpr bool matches(ByteView b, std::int64_t at, std::string_view text) {
    if (at < 0) return false;
    const auto start = static_cast<std::uint64_t>(at);
    if (start > b.size() || text.size() > b.size() - start) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (b[start + i] != static_cast<std::uint8_t>(text[i])) return false;
    return true;
}

} // namespace FieldReader
} // namespace vantrel
