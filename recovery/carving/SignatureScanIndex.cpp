#include "recovery/carving/SignatureScanIndex.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vantrel {

namespace {

// The prefilter tags every window position with up to this many buckets of two-byte prefixes.
constexpr std::size_t prefilterBuckets = 8;
constexpr std::uint8_t ftypType[4] = {'f', 't', 'y', 'p'};

bool sharesKind(const RecoveredFileKindSet& allowed, const RecoveredFileKindSet& group) {
    return std::any_of(group.begin(), group.end(), [&](RecoveredFileKind kind) { return allowed.contains(kind); });
}

// A tiff, mp4 or zip row stands for every kind its header may be refined to.
bool isUsed(const FileSignature& signature, const RecoveredFileKindSet& allowed) {
    if (allowed.contains(signature.kind)) return true;
    using K = RecoveredFileKind;
    switch (signature.kind) {
    case K::tiff: return sharesKind(allowed, FileKind::tiffRefinableKinds());
    case K::mp4: return sharesKind(allowed, FileKind::ftypRefinableKinds());
    case K::zip: return sharesKind(allowed, FileKind::zipRefinableKinds());
    // A row of any other kind yields its own kind only.
    case K::jpeg: case K::heic: case K::avif: case K::png: case K::gif: case K::webp: case K::bmp: case K::crw:
    case K::cr2: case K::cr3: case K::nef: case K::arw: case K::orf: case K::mov: case K::mp3: case K::m4a:
    case K::wav: case K::flac: case K::ogg: case K::pdf: case K::docx: case K::xlsx: case K::pptx: case K::doc:
    case K::rtf: case K::unknown:
        return false;
    }
    return false;
}

std::uint16_t pairKey(std::uint8_t first, std::uint8_t second) {
    return static_cast<std::uint16_t>((first << 8) | second);
}

} // namespace

std::optional<std::pair<Bytes, std::int64_t>> SignatureScanIndex::needle(const Bytes& header,
                                                                         const std::optional<Bytes>& mask) {
    if (!mask) {
        if (header.size() < 2) return std::nullopt;
        return std::pair{header, std::int64_t{0}};
    }
    // Only bytes that must match exactly can be searched for; a partial mask byte ends a run.
    const std::size_t counted = std::min(header.size(), mask->size());
    std::size_t bestStart = 0, bestLength = 0, runStart = 0;
    for (std::size_t i = 0; i <= counted; ++i) {
        if (i < counted && (*mask)[i] == 0xFF) continue;
        if (i - runStart > bestLength) {
            bestStart = runStart;
            bestLength = i - runStart;
        }
        runStart = i + 1;
    }
    if (bestLength < 2) return std::nullopt;
    const auto begin = header.begin() + static_cast<std::ptrdiff_t>(bestStart);
    return std::pair{Bytes(begin, begin + static_cast<std::ptrdiff_t>(bestLength)),
                     static_cast<std::int64_t>(bestStart)};
}

SignatureScanIndex::SignatureScanIndex(const std::vector<FileSignature>& signatures,
                                       const RecoveredFileKindSet& allowedKinds) {
    std::vector<Pattern> found;
    for (const FileSignature& signature : signatures) {
        if (!isUsed(signature, allowedKinds)) continue;
        if (signature.headerMask && !signature.headerMask->empty() && signature.headerMask->front() == 0x00) {
            m_ftypSignatures.push_back(signature);
            continue;
        }
        auto piece = needle(signature.header, signature.headerMask);
        if (!piece) continue;  // nothing to search for: the row can never be found
        found.push_back(Pattern{signature, std::move(piece->first), piece->second});
    }
    // Longest needle first; equal lengths keep table order.
    std::vector<std::uint32_t> byLength(found.size());
    std::iota(byLength.begin(), byLength.end(), 0u);
    std::stable_sort(byLength.begin(), byLength.end(), [&](std::uint32_t a, std::uint32_t b) {
        return found[a].needle.size() > found[b].needle.size();
    });
    m_patterns.reserve(found.size());
    for (std::uint32_t index : byLength) m_patterns.push_back(std::move(found[index]));

    std::vector<std::uint32_t> order(m_patterns.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return m_patterns[a].signature.header.size() > m_patterns[b].signature.header.size();
    });
    m_rank.resize(m_patterns.size());
    for (std::uint32_t position = 0; position < order.size(); ++position) m_rank[order[position]] = position;
    m_needsSort = std::any_of(m_patterns.begin(), m_patterns.end(),
                              [](const Pattern& pattern) { return pattern.needleOffset != 0; });
    for (const Pattern& pattern : m_patterns) m_needleOffsets.push_back(pattern.needleOffset);
    std::sort(m_needleOffsets.begin(), m_needleOffsets.end());
    m_needleOffsets.erase(std::unique(m_needleOffsets.begin(), m_needleOffsets.end()), m_needleOffsets.end());
    if (!m_needleOffsets.empty()) m_needleReach = static_cast<std::size_t>(m_needleOffsets.back());
    if (!m_ftypSignatures.empty()) m_needleReach = std::max<std::size_t>(m_needleReach, 4);
    buildPairTable();
}

void SignatureScanIndex::buildPairTable() {
    m_groups.assign(1, PairGroup{});
    m_pairGroup.assign(1u << 16, 0);
    std::vector<std::uint16_t> keys;  // per group, its two bytes
    keys.push_back(0);
    auto groupFor = [&](std::uint8_t first, std::uint8_t second) -> PairGroup& {
        std::uint16_t& slot = m_pairGroup[pairKey(first, second)];
        if (slot == 0) {
            slot = static_cast<std::uint16_t>(m_groups.size());
            m_groups.emplace_back();
            keys.push_back(pairKey(first, second));
        }
        return m_groups[slot];
    };
    std::vector<std::uint32_t> byRank(m_patterns.size());
    for (std::uint32_t i = 0; i < m_patterns.size(); ++i) byRank[m_rank[i]] = i;
    for (std::uint32_t i : byRank) groupFor(m_patterns[i].needle[0], m_patterns[i].needle[1]).patterns.push_back(i);
    if (!m_ftypSignatures.empty()) groupFor(ftypType[0], ftypType[1]).ftyp = true;

    // Prefilter buckets: prefixes that share a first byte share a bucket, so the nibble test stays close
    // to the exact two-byte test. Each distinct first byte takes the next bucket in turn.
    std::vector<int> bucketOfFirst(256, -1);
    std::size_t nextBucket = 0;
    for (std::size_t g = 1; g < m_groups.size(); ++g) {
        const auto first = static_cast<std::uint8_t>(keys[g] >> 8);
        const auto second = static_cast<std::uint8_t>(keys[g] & 0xFF);
        if (bucketOfFirst[first] < 0) bucketOfFirst[first] = static_cast<int>(nextBucket++ % prefilterBuckets);
        const auto bit = static_cast<std::uint8_t>(1u << bucketOfFirst[first]);
        m_lowNibble0[first & 0x0F] |= bit;
        m_highNibble0[first >> 4] |= bit;
        m_lowNibble1[second & 0x0F] |= bit;
        m_highNibble1[second >> 4] |= bit;
    }
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) m_vectorLevel = VectorLevel::avx512;
    else if (__builtin_cpu_supports("avx2")) m_vectorLevel = VectorLevel::avx2;
#endif
}

void SignatureScanIndex::verifyAt(ByteView window, std::size_t m, std::vector<ScanCandidate>& candidates,
                                  std::vector<std::int64_t>& ftypOffsets) const {
    const std::uint16_t slot = m_pairGroup[pairKey(window[m], window[m + 1])];
    if (slot == 0) return;
    const PairGroup& group = m_groups[slot];
    const std::size_t left = window.size() - m;
    for (std::uint32_t index : group.patterns) {
        const Pattern& pattern = m_patterns[index];
        const std::size_t length = pattern.needle.size();
        if (length > left || std::memcmp(window.data() + m + 2, pattern.needle.data() + 2, length - 2) != 0)
            continue;
        const std::int64_t start = static_cast<std::int64_t>(m) - pattern.needleOffset;
        if (start < 0 || !pattern.signature.matchesHeader(window, start)) continue;
        candidates.push_back(ScanCandidate{start, &pattern.signature, m_rank[index]});
    }
    if (group.ftyp && left >= 4 && std::memcmp(window.data() + m, ftypType, 4) == 0)
        ftypOffsets.push_back(static_cast<std::int64_t>(m));
}

void SignatureScanIndex::scanScalar(ByteView window, std::size_t from, std::size_t to,
                                    std::vector<ScanCandidate>& candidates, std::vector<std::int64_t>& ftypOffsets) const {
    for (std::size_t m = from; m < to && m + 1 < window.size(); ++m)
        if (m_pairGroup[pairKey(window[m], window[m + 1])] != 0) verifyAt(window, m, candidates, ftypOffsets);
}

void SignatureScanIndex::scanStarts(ByteView window, const PositionRange& range, std::vector<ScanCandidate>& candidates,
                                    std::vector<std::int64_t>& ftypOffsets) const {
    const std::size_t to = std::min(range.to, window.size());
    for (std::size_t start = range.from; start < to; start += range.headerStride) {
        const std::size_t firstHere = candidates.size();
        for (const std::int64_t offset : m_needleOffsets) {
            const std::size_t m = start + static_cast<std::size_t>(offset);
            if (m >= to || m + 1 >= window.size()) break;
            const std::uint16_t slot = m_pairGroup[pairKey(window[m], window[m + 1])];
            if (slot == 0) continue;
            for (std::uint32_t index : m_groups[slot].patterns) {
                const Pattern& pattern = m_patterns[index];
                const std::size_t length = pattern.needle.size();
                if (pattern.needleOffset != offset || length > window.size() - m ||
                    std::memcmp(window.data() + m + 2, pattern.needle.data() + 2, length - 2) != 0)
                    continue;
                if (pattern.signature.matchesHeader(window, static_cast<std::int64_t>(start)))
                    candidates.push_back(ScanCandidate{static_cast<std::int64_t>(start), &pattern.signature, m_rank[index]});
            }
        }
        // Needles at several offsets of one start: the candidates of that start in rank order.
        if (m_needleOffsets.size() > 1)
            std::sort(candidates.begin() + static_cast<std::ptrdiff_t>(firstHere), candidates.end(),
                      [](const ScanCandidate& a, const ScanCandidate& b) { return a.rank < b.rank; });
        const std::size_t type = start + 4;
        if (!m_ftypSignatures.empty() && type < to && type + 4 <= window.size() &&
            std::memcmp(window.data() + type, ftypType, 4) == 0)
            ftypOffsets.push_back(static_cast<std::int64_t>(type));
    }
}

#if defined(__x86_64__)
// Bit k set when some bucket admits the byte at + k as a prefix's first byte and at + k + 1 as its second
// (tables: low and high nibble of the first byte, then of the second; 33 bytes are read).
static __attribute__((target("avx2"), always_inline)) inline std::uint32_t tagMask256(
    const std::uint8_t* at, const __m256i (&tables)[4], const __m256i& nibbleMask) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
    const __m256i tag0 =
        _mm256_and_si256(_mm256_shuffle_epi8(tables[0], _mm256_and_si256(first, nibbleMask)),
                         _mm256_shuffle_epi8(tables[1], _mm256_and_si256(_mm256_srli_epi16(first, 4), nibbleMask)));
    const __m256i tag1 =
        _mm256_and_si256(_mm256_shuffle_epi8(tables[2], _mm256_and_si256(second, nibbleMask)),
                         _mm256_shuffle_epi8(tables[3], _mm256_and_si256(_mm256_srli_epi16(second, 4), nibbleMask)));
    return ~static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(tag0, tag1), _mm256_setzero_si256())));
}

// Tags 32 positions at a time with the buckets whose nibble tables admit the byte at the position and the
// byte after it (four table look-ups, in the manner of the "Teddy" literal matcher), and checks the rare
// tagged positions exactly. Returns where the scalar scan has to go on.
__attribute__((target("avx2"))) std::size_t SignatureScanIndex::scanAvx2(
    ByteView window, std::size_t from, std::size_t to, std::vector<ScanCandidate>& candidates,
    std::vector<std::int64_t>& ftypOffsets) const {
    // Each nibble table, repeated in both 128-bit lanes as the byte shuffle works per lane.
    std::uint8_t lanes[4][32];
    const std::uint8_t* nibbleTables[4] = {m_lowNibble0, m_highNibble0, m_lowNibble1, m_highNibble1};
    for (int t = 0; t < 4; ++t) {
        std::memcpy(lanes[t], nibbleTables[t], 16);
        std::memcpy(lanes[t] + 16, nibbleTables[t], 16);
    }
    const __m256i tables[4] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[0])),
                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[1])),
                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[2])),
                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[3]))};
    const __m256i nibbleMask = _mm256_set1_epi8(0x0F);
    const std::uint8_t* bytes = window.data();
    const std::size_t size = window.size();
    std::size_t i = from;
    // Two blocks per step, each reading 33 bytes: 32 positions and the byte after the last.
    for (; i + 64 <= to && i + 65 <= size; i += 64) {
        std::uint32_t hits0 = tagMask256(bytes + i, tables, nibbleMask);
        std::uint32_t hits1 = tagMask256(bytes + i + 32, tables, nibbleMask);
        if ((hits0 | hits1) == 0) continue;
        for (; hits0 != 0; hits0 &= hits0 - 1)
            verifyAt(window, i + static_cast<std::size_t>(__builtin_ctz(hits0)), candidates, ftypOffsets);
        for (; hits1 != 0; hits1 &= hits1 - 1)
            verifyAt(window, i + 32 + static_cast<std::size_t>(__builtin_ctz(hits1)), candidates, ftypOffsets);
    }
    return i;
}

// Bit k set when some bucket admits the byte at + k as a prefix's first byte and at + k + 1 as its second
// (tables: low and high nibble of the first byte, then of the second; 65 bytes are read).
static __attribute__((target("avx512f,avx512bw"), always_inline)) inline std::uint64_t tagMask512(
    const std::uint8_t* at, const __m512i (&tables)[4], const __m512i& nibbleMask) {
    const __m512i first = _mm512_loadu_si512(at);
    const __m512i second = _mm512_loadu_si512(at + 1);
    const __m512i tag0 =
        _mm512_and_si512(_mm512_shuffle_epi8(tables[0], _mm512_and_si512(first, nibbleMask)),
                         _mm512_shuffle_epi8(tables[1], _mm512_and_si512(_mm512_srli_epi16(first, 4), nibbleMask)));
    const __m512i tag1 =
        _mm512_and_si512(_mm512_shuffle_epi8(tables[2], _mm512_and_si512(second, nibbleMask)),
                         _mm512_shuffle_epi8(tables[3], _mm512_and_si512(_mm512_srli_epi16(second, 4), nibbleMask)));
    return _mm512_test_epi8_mask(tag0, tag1);
}

// The same over 64 positions at a time where the processor has the 512-bit byte instructions.
__attribute__((target("avx512f,avx512bw"))) std::size_t SignatureScanIndex::scanAvx512(
    ByteView window, std::size_t from, std::size_t to, std::vector<ScanCandidate>& candidates,
    std::vector<std::int64_t>& ftypOffsets) const {
    std::uint8_t lanes[4][64];
    const std::uint8_t* nibbleTables[4] = {m_lowNibble0, m_highNibble0, m_lowNibble1, m_highNibble1};
    for (int t = 0; t < 4; ++t)
        for (int lane = 0; lane < 4; ++lane) std::memcpy(lanes[t] + 16 * lane, nibbleTables[t], 16);
    const __m512i tables[4] = {_mm512_loadu_si512(lanes[0]), _mm512_loadu_si512(lanes[1]),
                               _mm512_loadu_si512(lanes[2]), _mm512_loadu_si512(lanes[3])};
    const __m512i nibbleMask = _mm512_set1_epi8(0x0F);
    const std::uint8_t* bytes = window.data();
    const std::size_t size = window.size();
    std::size_t i = from;
    // Two blocks per step: tagged positions are rare, so both masks are mostly zero together.
    for (; i + 128 <= to && i + 129 <= size; i += 128) {
        std::uint64_t hits0 = tagMask512(bytes + i, tables, nibbleMask);
        std::uint64_t hits1 = tagMask512(bytes + i + 64, tables, nibbleMask);
        if ((hits0 | hits1) == 0) continue;
        for (; hits0 != 0; hits0 &= hits0 - 1)
            verifyAt(window, i + static_cast<std::size_t>(__builtin_ctzll(hits0)), candidates, ftypOffsets);
        for (; hits1 != 0; hits1 &= hits1 - 1)
            verifyAt(window, i + 64 + static_cast<std::size_t>(__builtin_ctzll(hits1)), candidates, ftypOffsets);
    }
    return i;
}
#endif

void SignatureScanIndex::limitVectorWidth(int bits) {
    if (bits < 512 && m_vectorLevel == VectorLevel::avx512) m_vectorLevel = VectorLevel::avx2;
    if (bits < 256) m_vectorLevel = VectorLevel::none;
}

void SignatureScanIndex::scan(ByteView window, std::vector<ScanCandidate>& candidates,
                              std::vector<std::int64_t>& ftypOffsets) const {
    const PositionRange whole{0, window.size()};
    scan(window, std::span(&whole, 1), candidates, ftypOffsets);
}

void SignatureScanIndex::scan(ByteView window, std::span<const PositionRange> ranges,
                              std::vector<ScanCandidate>& candidates, std::vector<std::int64_t>& ftypOffsets) const {
    if (m_groups.size() <= 1 || window.size() < 2) return;
    const std::size_t firstNew = candidates.size();
    for (const PositionRange& range : ranges) {
        if (range.headerStride > 1) {
            scanStarts(window, range, candidates, ftypOffsets);
            continue;
        }
        const std::size_t to = std::min(range.to, window.size());
        std::size_t from = range.from;
        if (from >= to) continue;
#if defined(__x86_64__)
        if (m_vectorLevel == VectorLevel::avx512) from = scanAvx512(window, from, to, candidates, ftypOffsets);
        else if (m_vectorLevel == VectorLevel::avx2) from = scanAvx2(window, from, to, candidates, ftypOffsets);
#endif
        scanScalar(window, from, to, candidates, ftypOffsets);
    }
    // Positions are visited in order; only a needle that starts inside its header moves a candidate back.
    if (m_needsSort)
        std::sort(candidates.begin() + static_cast<std::ptrdiff_t>(firstNew), candidates.end(),
                  [](const ScanCandidate& a, const ScanCandidate& b) {
                      return a.offset != b.offset ? a.offset < b.offset : a.rank < b.rank;
                  });
}

} // namespace vantrel
