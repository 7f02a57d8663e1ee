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

    RecoveryFilters filters;
    filters.allowedKinds = every;
    fuzz::VolumeByteSource source(input.data(), input.size());
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, 4096);
    carver.carve(source, filters, AllocatedRegionMap::empty(), [] { return false; }, [](const ScanProgress&) {},
                 [](const RecoveredHit&) {});
    return 0;
}
