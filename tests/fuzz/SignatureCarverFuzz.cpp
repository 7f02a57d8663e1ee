// The carver over arbitrary device bytes: the one-pass needle search must find exactly what the plain
// per-pattern search finds, and a carve with every kind allowed must end without a crash.
#include "recovery/carving/SignatureCarver.h"
#include "recovery/carving/SignatureCatalog.h"
#include "recovery/carving/SignatureScanIndex.h"

#include "VolumeByteSource.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

using namespace vantrel;

// Offsets and rows of the plain search: each pattern's needle everywhere, then a stable sort by offset
// and longer header first.
std::vector<std::pair<std::int64_t, const FileSignature*>> plainSearch(const SignatureScanIndex& index,
                                                                        ByteView window) {
    std::vector<std::pair<std::int64_t, const FileSignature*>> found;
    for (const auto& pattern : index.patterns()) {
        const std::size_t length = pattern.needle.size();
        for (std::size_t s = 0; s + length <= window.size(); ++s) {
            if (std::memcmp(window.data() + s, pattern.needle.data(), length) != 0) continue;
            const std::int64_t start = static_cast<std::int64_t>(s) - pattern.needleOffset;
            if (start >= 0 && pattern.signature.matchesHeader(window, start)) found.emplace_back(start, &pattern.signature);
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second->header.size() > b.second->header.size();
    });
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const RecoveredFileKindSet every(FileKind::allKinds().begin(), FileKind::allKinds().end());
    const ByteView input(data, size);

    // One index per vector width, built once.
    static std::array<SignatureScanIndex*, 3> indexes = [&] {
        std::array<SignatureScanIndex*, 3> made{};
        const int widths[3] = {512, 256, 0};
        for (std::size_t i = 0; i < 3; ++i) {
            made[i] = new SignatureScanIndex(SignatureCatalog::carveMVP(), every);
            made[i]->limitVectorWidth(widths[i]);
        }
        return made;
    }();
    const auto expected = plainSearch(*indexes[0], input);
    for (const SignatureScanIndex* index : indexes) {
        std::vector<ScanCandidate> candidates;
        std::vector<std::int64_t> ftyp;
        index->scan(input, candidates, ftyp);
        if (candidates.size() != expected.size()) std::abort();
        for (std::size_t i = 0; i < candidates.size(); ++i)
            if (candidates[i].offset != expected[i].first || !(*candidates[i].signature == *expected[i].second))
                std::abort();
    }

    // The search of some ranges finds what the plain search finds whose needle begins inside them (in a
    // strided range, of a header that begins on its stride). The ranges come from the input: every 97th byte
    // ends the current range or starts the next.
    std::vector<SignatureScanIndex::PositionRange> ranges;
    for (std::size_t at = 0, from = SIZE_MAX; at <= size; at += 97) {
        const bool edge = at == size || data[at] % 2 == 0;
        if (!edge) continue;
        if (from == SIZE_MAX) {
            from = at + (at < size ? data[at] % 64 : 0);
        } else {
            // Some ranges take only the headers that begin on a stride.
            const std::size_t stride = at < size && data[at] % 3 == 0 ? 1 + data[at] % 13 : 1;
            ranges.push_back({from, std::min(size, at + (at < size ? data[at] % 64 : 0)), stride});
            from = SIZE_MAX;
        }
    }
    std::erase_if(ranges, [](const auto& range) { return range.from >= range.to; });
    for (std::size_t i = 1; i < ranges.size(); ++i) ranges[i].from = std::max(ranges[i].from, ranges[i - 1].to);
    auto inRanges = [&](std::int64_t start, std::int64_t position) {
        return std::any_of(ranges.begin(), ranges.end(), [&](const auto& range) {
            const auto from = static_cast<std::int64_t>(range.from), stride = static_cast<std::int64_t>(range.headerStride);
            return position >= from && position < static_cast<std::int64_t>(range.to) &&
                   (stride == 1 || (start >= from && (start - from) % stride == 0));
        });
    };
    for (const SignatureScanIndex* index : indexes) {
        std::vector<std::pair<std::int64_t, const FileSignature*>> wanted;
        for (const auto& plain : expected) {
            const std::int64_t start = plain.first;
            const FileSignature* signature = plain.second;  // a plain variable: lambdas cannot take bindings
            const auto pattern = std::find_if(index->patterns().begin(), index->patterns().end(),
                                              [&](const auto& p) { return p.signature == *signature; });
            if (inRanges(start, start + pattern->needleOffset)) wanted.emplace_back(start, signature);
        }
        std::vector<ScanCandidate> candidates;
        std::vector<std::int64_t> ftyp;
        index->scan(input, ranges, candidates, ftyp);
        if (candidates.size() != wanted.size()) std::abort();
        for (std::size_t i = 0; i < candidates.size(); ++i)
            if (candidates[i].offset != wanted[i].first || !(*candidates[i].signature == *wanted[i].second)) std::abort();
        std::size_t next = 0;
        for (std::size_t m = 0; m + 4 <= size; ++m) {
            const auto type = static_cast<std::int64_t>(m);
            if (std::memcmp(data + m, "ftyp", 4) != 0 || !inRanges(type - 4, type)) continue;
            if (next >= ftyp.size() || ftyp[next++] != static_cast<std::int64_t>(m)) std::abort();
        }
        if (next != ftyp.size()) std::abort();
    }

    RecoveryFilters filters;
    filters.allowedKinds = every;
    fuzz::VolumeByteSource source(input.data(), input.size());
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, 4096);
    carver.carve(source, filters, AllocatedRegionMap::empty(), [] { return false; }, [](const ScanProgress&) {},
                 [](const RecoveredHit&) {});
    // The same bytes with the ranges as live files: no hit may begin in one.
    AllocatedRegionMap live;
    for (const auto& range : ranges) live.add(range.from, range.to - range.from);
    carver.carve(source, filters, live, [] { return false; }, [](const ScanProgress&) {}, [&](const RecoveredHit& hit) {
        if (live.overlaps(hit.byteOffset, 1)) std::abort();
    });
    return 0;
}
