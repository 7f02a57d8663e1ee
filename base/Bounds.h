#pragma once
// Overflow-safe range arithmetic for offsets and lengths read from a disk.

#include <cstdint>
#include <optional>

namespace vantrel {

// True when [offset, offset + length) lies inside [0, size).
constexpr bool fitsWithin(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

// a + b, or nothing when the sum does not fit in 64 bits.
constexpr std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b) {
    if (b > UINT64_MAX - a) return std::nullopt;
    return a + b;
}

// a × b, or nothing when the product does not fit in 64 bits.
constexpr std::optional<std::uint64_t> checkedMultiply(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
    return a * b;
}

} // namespace vantrel
