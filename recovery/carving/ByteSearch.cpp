#include "recovery/carving/ByteSearch.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vantrel::ByteSearch {

namespace {

std::size_t position(ByteView hay, const void* found) {
    return found == nullptr ? hay.size() : static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - hay.data());
}

// Takes from <= hay.size() and 1 <= needle.size() <= hay.size() - from.
std::size_t plain(ByteView hay, ByteView needle, std::size_t from) {
    const std::uint8_t* start = hay.data() + from;
    const std::size_t left = hay.size() - from;
    if (needle.size() == 1) return position(hay, std::memchr(start, needle[0], left));
    return position(hay, memmem(start, left, needle.data(), needle.size()));
}

#if defined(__x86_64__)
bool haveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}

// Bit k set when the needle's first byte lies at start + k and its last byte at start + k + last.
__attribute__((target("avx2"), always_inline)) inline std::uint32_t ends256(const std::uint8_t* start, std::size_t last,
                                                                            __m256i first, __m256i final) {
    const __m256i heads = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(start));
    const __m256i tails = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(start + last));
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(heads, first), _mm256_cmpeq_epi8(tails, final))));
}

// Takes from <= hay.size() and 2 <= needle.size() <= hay.size() - from.
__attribute__((target("avx2"))) std::size_t avx2(ByteView hay, ByteView needle, std::size_t from) {
    const std::uint8_t* bytes = hay.data();
    const std::size_t size = hay.size();
    const std::size_t last = needle.size() - 1;
    const std::size_t middle = needle.size() - 2;  // the bytes between the first and the last
    const __m256i first = _mm256_set1_epi8(static_cast<char>(needle[0]));
    const __m256i final = _mm256_set1_epi8(static_cast<char>(needle[last]));
    // The starts at + k whose first and last bytes match, checked in order; the first whole match wins.
    auto check = [&](std::size_t at, std::uint32_t mask) -> std::size_t {
        for (; mask != 0; mask &= mask - 1) {
            const std::size_t start = at + static_cast<std::size_t>(__builtin_ctz(mask));
            if (middle == 0 || std::memcmp(bytes + start + 1, needle.data() + 1, middle) == 0) return start;
        }
        return size;
    };
    std::size_t i = from;
    // A block of 32 starts reads up to start + 31 + last, which must lie inside hay: i + last + 32 <= size.
    if (i + last + 32 > size) return plain(hay, needle, i);
    // The first block from wherever the search starts; then blocks whose first bytes lie on a 32-byte
    // boundary, so that no load of the first bytes straddles two cache lines (the starts the two share are
    // only checked twice).
    if (const std::size_t found = check(i, ends256(bytes + i, last, first, final)); found != size) return found;
    i += 32 - (reinterpret_cast<std::uintptr_t>(bytes + i) & 31);
    for (; i + last + 64 <= size; i += 64) {
        const std::uint32_t mask0 = ends256(bytes + i, last, first, final);
        const std::uint32_t mask1 = ends256(bytes + i + 32, last, first, final);
        if ((mask0 | mask1) == 0) continue;
        if (const std::size_t found = check(i, mask0); found != size) return found;
        if (const std::size_t found = check(i + 32, mask1); found != size) return found;
    }
    for (; i + last + 32 <= size; i += 32)
        if (const std::size_t found = check(i, ends256(bytes + i, last, first, final)); found != size) return found;
    // Fewer than 32 starts are left.
    return plain(hay, needle, i);
}
#endif

} // namespace

std::size_t findWithin(ByteView hay, ByteView needle, std::size_t from, int bits) {
    if (from > hay.size() || needle.size() > hay.size() - from) return hay.size();
    if (needle.empty()) return from;
#if defined(__x86_64__)
    if (bits >= 256 && needle.size() >= 2 && haveAvx2()) return avx2(hay, needle, from);
#else
    static_cast<void>(bits);
#endif
    return plain(hay, needle, from);
}

std::size_t find(ByteView hay, ByteView needle, std::size_t from) { return findWithin(hay, needle, from, 256); }

} // namespace vantrel::ByteSearch
