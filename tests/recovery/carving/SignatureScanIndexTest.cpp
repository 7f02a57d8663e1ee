#include "recovery/carving/SignatureScanIndex.h"

#include "recovery/carving/SignatureCatalog.h"
#include "tests/fixtures/ReferenceSignatureSearch.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

namespace vantrel {
namespace {

using K = RecoveredFileKind;

Bytes asciiBytes(std::string_view ascii) { return Bytes(ascii.begin(), ascii.end()); }

using test::expectSameAsReference;

// Random bytes sprinkled with every header of the table and pieces of them, overlapping at times, so that
// many offsets hold several candidates and the window's edges cut headers.
Bytes denseWindow(std::size_t size, std::uint64_t seed) {
    Bytes window = test::randomBytes(size, seed);
    std::mt19937_64 random(seed);
    const auto& table = SignatureCatalog::carveMVP();
    std::vector<Bytes> pieces;
    for (const auto& row : table) pieces.push_back(row.header);
    for (const char* extra : {"IIRO", "II*\x00\x10\x00\x00\x00" "CR", "ftyp", "RIFF", "MM\x00*", "GIF8", "PK\x03"})
        pieces.push_back(asciiBytes(std::string_view(extra, std::strlen(extra) + (extra[2] == '*' ? 1 : 0))));
    for (std::size_t n = 0; n < size / 40; ++n) {
        const Bytes& piece = pieces[random() % pieces.size()];
        const std::size_t at = random() % size;
        for (std::size_t i = 0; i < piece.size() && at + i < size; ++i) window[at + i] = piece[i];
    }
    return window;
}

TEST(SignatureScanIndex, OnePassFindsWhatThePerPatternSearchFinds) {
    SignatureScanIndex index(SignatureCatalog::carveMVP(), FileKind::defaultAllowedKinds());
    SignatureScanIndex all(SignatureCatalog::carveMVP(), RecoveredFileKindSet(FileKind::allKinds().begin(),
                                                                               FileKind::allKinds().end()));
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        const Bytes window = denseWindow(5000 + seed * 997, seed);
        expectSameAsReference(index, window, "dense " + std::to_string(seed));
        expectSameAsReference(all, window, "dense all " + std::to_string(seed));
        // The window's start and end cut headers in every way.
        for (std::size_t cut = 0; cut < 40; ++cut)
            expectSameAsReference(all, ByteView(window).subspan(cut, 100 - cut), "cut " + std::to_string(cut));
    }
    const Bytes random = test::randomBytes(1 << 20, 99);
    expectSameAsReference(all, random, "random");
    expectSameAsReference(all, Bytes(70000, 0x00), "zeros");
    expectSameAsReference(all, Bytes(70000, 'I'), "all I");
}

TEST(SignatureScanIndex, OnePassKeepsOrderForNeedlesInsideTheHeaderAndManyPrefixes) {
    // A needle that starts inside its header moves candidates back; many first bytes share prefilter buckets.
    std::vector<FileSignature> rows;
    rows.push_back({K::wav, asciiBytes("zzABCD"), Bytes{0x0F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, {}, 100, 1});
    rows.push_back({K::zip, asciiBytes("zABC"), Bytes{0xF0, 0xFF, 0xFF, 0xFF}, {}, 100, 1});
    rows.push_back({K::doc, asciiBytes("AB"), {}, {}, 100, 1});
    for (char c = 'a'; c <= 'z'; ++c) rows.push_back({K::rtf, asciiBytes(std::string{c, static_cast<char>(c + 1)}), {}, {}, 1, 1});
    SignatureScanIndex index(rows, {K::wav, K::zip, K::doc, K::rtf});
    ASSERT_EQ(index.patterns().size(), 29u);
    Bytes window = test::randomBytes(20000, 5);
    std::mt19937_64 random(5);
    for (int n = 0; n < 900; ++n) {
        const std::size_t at = random() % (window.size() - 8);
        std::memcpy(window.data() + at, n % 3 == 0 ? "zzABCD" : n % 3 == 1 ? "ABCDef" : "qrstuvw", 6);
    }
    expectSameAsReference(index, window, "inner needles");
}

TEST(SignatureScanIndex, DerivesNeedlesFromTheLongestExactRun) {
    EXPECT_EQ(SignatureScanIndex::needle(asciiBytes("A"), std::nullopt), std::nullopt);
    EXPECT_EQ(SignatureScanIndex::needle(asciiBytes("AB"), std::nullopt), (std::pair{asciiBytes("AB"), std::int64_t{0}}));
    const Bytes riffMask{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(SignatureScanIndex::needle(asciiBytes("RIFF....WEBP"), riffMask), (std::pair{asciiBytes("RIFF"), std::int64_t{0}}));
    // A partial mask byte ends a run; bytes beyond the mask never join one.
    EXPECT_EQ(SignatureScanIndex::needle(asciiBytes("ABCDEF"), Bytes{0xFF, 0xF0, 0xFF, 0xFF, 0xFF}),
              (std::pair{asciiBytes("CDE"), std::int64_t{2}}));
    EXPECT_EQ(SignatureScanIndex::needle(asciiBytes("ABCD"), Bytes{0xFF, 0x00, 0xFF, 0x0F}), std::nullopt);
}

TEST(SignatureScanIndex, UsesTheRowsThatCanYieldAnAllowedKind) {
    const auto& table = SignatureCatalog::carveMVP();
    auto kindsOf = [](const SignatureScanIndex& index) {
        std::vector<K> kinds;
        for (const auto& pattern : index.patterns()) kinds.push_back(pattern.signature.kind);
        return kinds;
    };
    EXPECT_EQ(kindsOf(SignatureScanIndex(table, {K::nef})), (std::vector<K>{K::tiff, K::tiff}));
    EXPECT_EQ(kindsOf(SignatureScanIndex(table, {K::docx})), std::vector<K>{K::zip});
    const SignatureScanIndex heic(table, {K::heic});
    EXPECT_TRUE(heic.patterns().empty());
    ASSERT_EQ(heic.ftypSignatures().size(), 1u);
    EXPECT_EQ(heic.ftypSignatures()[0], table[13]);
    const SignatureScanIndex none(table, {});
    EXPECT_TRUE(none.patterns().empty());
    EXPECT_TRUE(none.ftypSignatures().empty());
    std::vector<ScanCandidate> candidates;
    std::vector<std::int64_t> ftyp;
    none.scan(asciiBytes("\xFF\xD8\xFF ftyp"), candidates, ftyp);
    EXPECT_TRUE(candidates.empty());
    EXPECT_TRUE(ftyp.empty());

    // Longest needle first, equal lengths in table order: crw and cr2 (10) lead, bmp (2) ends the list.
    const SignatureScanIndex every(table, RecoveredFileKindSet(FileKind::allKinds().begin(), FileKind::allKinds().end()));
    ASSERT_EQ(every.patterns().size(), 21u);
    EXPECT_EQ(every.patterns().front().signature.kind, K::crw);
    EXPECT_EQ(every.patterns()[1].signature.kind, K::cr2);
    EXPECT_EQ(every.patterns().back().signature.kind, K::bmp);
}

TEST(SignatureScanIndex, OrdersTheCandidatesOfOneOffsetByHeaderLength) {
    const SignatureScanIndex index(SignatureCatalog::carveMVP(), FileKind::defaultAllowedKinds());
    const Bytes window{'I', 'I', 0x2A, 0x00, 0x10, 0x00, 0x00, 0x00, 'C', 'R', 0x02, 0x00};
    std::vector<ScanCandidate> candidates;
    std::vector<std::int64_t> ftyp;
    index.scan(window, candidates, ftyp);
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].signature->kind, K::cr2);
    EXPECT_EQ(candidates[1].signature->kind, K::tiff);
    EXPECT_EQ(candidates[1].offset, 0);
}

// ---- The search of some ranges of the window ----

using Range = SignatureScanIndex::PositionRange;

// Candidates as (offset, pattern number), comparable between indexes of one table; and "ftyp" offsets.
struct Found {
    std::vector<std::pair<std::int64_t, std::size_t>> candidates;
    std::vector<std::int64_t> ftyp;
    friend bool operator==(const Found&, const Found&) = default;
};

std::size_t patternOf(const SignatureScanIndex& index, const FileSignature* signature) {
    const auto& patterns = index.patterns();
    return static_cast<std::size_t>(std::find_if(patterns.begin(), patterns.end(), [&](const auto& p) { return &p.signature == signature; }) -
                                    patterns.begin());
}

// Whether a range takes a header that begins at start with its needle (or "ftyp" type) at position: every
// position of a range of stride 1; of a strided range, the headers that begin on its stride.
bool inside(const std::vector<Range>& ranges, std::int64_t start, std::int64_t position) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const Range& range) {
        const auto from = static_cast<std::int64_t>(range.from), to = static_cast<std::int64_t>(range.to);
        if (position < from || position >= to) return false;
        const auto stride = static_cast<std::int64_t>(range.headerStride);
        return stride == 1 || (start >= from && (start - from) % stride == 0);
    });
}

// What the whole-window reference search finds whose needle (or "ftyp" type) begins inside one of the ranges.
Found expectedInRanges(const SignatureScanIndex& index, ByteView window, const std::vector<Range>& ranges) {
    Found found;
    for (const ScanCandidate& candidate : test::referenceCandidates(index, window)) {
        const std::size_t pattern = patternOf(index, candidate.signature);
        if (inside(ranges, candidate.offset, candidate.offset + index.patterns()[pattern].needleOffset))
            found.candidates.emplace_back(candidate.offset, pattern);
    }
    if (!index.ftypSignatures().empty())
        for (const std::int64_t at : test::referenceFtypOffsets(window))
            if (inside(ranges, at - 4, at)) found.ftyp.push_back(at);
    return found;
}

// One index per vector width (the width can only be lowered).
struct IndexesOfEveryWidth {
    std::vector<std::unique_ptr<SignatureScanIndex>> indexes;
    IndexesOfEveryWidth(const std::vector<FileSignature>& rows, const RecoveredFileKindSet& kinds) {
        for (const int width : {512, 256, 0}) {
            indexes.push_back(std::make_unique<SignatureScanIndex>(rows, kinds));
            indexes.back()->limitVectorWidth(width);
        }
    }
    void expectRangesFound(ByteView window, const std::vector<Range>& ranges, const std::string& label) const {
        const Found expected = expectedInRanges(*indexes.front(), window, ranges);
        for (std::size_t i = 0; i < indexes.size(); ++i) {
            Found got;
            std::vector<ScanCandidate> candidates;
            indexes[i]->scan(window, ranges, candidates, got.ftyp);
            for (const ScanCandidate& candidate : candidates)
                got.candidates.emplace_back(candidate.offset, patternOf(*indexes[i], candidate.signature));
            EXPECT_EQ(got, expected) << label << ", index " << i;
        }
    }
};

TEST(SignatureScanIndex, SearchesRangesFindingEveryHeaderAtTheirEdgesOnce) {
    // Every header of the table and an ISO media box type, at every position around the ends of ranges that
    // start and end off the 32- and 64-byte blocks of the vector search, in random bytes and in a real photo;
    // and ranges that take only the headers beginning on a stride.
    const auto& table = SignatureCatalog::carveMVP();
    const IndexesOfEveryWidth search(table, RecoveredFileKindSet(FileKind::allKinds().begin(), FileKind::allKinds().end()));
    std::vector<Bytes> headers;
    for (const auto& row : table)
        if (std::find(headers.begin(), headers.end(), row.header) == headers.end()) headers.push_back(row.header);
    headers.push_back(asciiBytes("ftyp"));
    const std::filesystem::path photo = "/usr/share/doc/imagemagick-6-common/html/images/wizard.jpg";
    constexpr std::size_t size = 700;
    std::vector<std::pair<std::string, Bytes>> backgrounds{{"random", test::randomBytes(size, 17)}};
    if (std::filesystem::exists(photo)) {
        Bytes bytes = test::readFile(photo);
        bytes.erase(bytes.begin(), bytes.begin() + std::min<std::ptrdiff_t>(2000, static_cast<std::ptrdiff_t>(bytes.size())));
        bytes.resize(size);  // from the scan data on
        backgrounds.emplace_back("photo", std::move(bytes));
    }
    const std::vector<std::vector<Range>> rangeSets{
        {{131, 300}, {300, 437}, {500, 501}, {577, 690}},  // adjacent ranges, one of a single position
        {{7, 64}, {65, 129}, {200, size}},
        {{10, 137}, {200, 264}, {300, 365}, {400, 527}, {560, 689}},  // 127, 64, 65, 127 and 129 positions
        // Only the headers that begin on a stride, beside ranges of every position.
        {{3, 150, 16}, {150, 300}, {301, 302, 16}, {302, 500, 32}, {500, 640, 1}, {640, size, 5}},
    };
    for (const auto& [name, background] : backgrounds) {
        for (std::size_t set = 0; set < rangeSets.size(); ++set) {
            const auto& ranges = rangeSets[set];
            for (const Bytes& header : headers) {
                // The header at the same distance from every end of every range at once (as far as the first
                // block boundary of the vector search after a range's start); close ends overwrite each other.
                for (int distance = -13; distance <= 68; ++distance) {
                    Bytes window = background;
                    for (const Range& range : ranges) {
                        for (const std::size_t edge : {range.from, range.to}) {
                            const auto at = static_cast<std::ptrdiff_t>(edge) + distance;
                            if (at < 0 || static_cast<std::size_t>(at) + header.size() > size) continue;
                            std::copy(header.begin(), header.end(), window.begin() + at);
                        }
                    }
                    search.expectRangesFound(window, ranges, name + " ranges " + std::to_string(set) + ", header " +
                                                                 std::to_string(&header - headers.data()) + " at distance " +
                                                                 std::to_string(distance));
                }
            }
        }
    }
}

TEST(SignatureScanIndex, SearchesRangesKeepingTheOrderOfNeedlesInsideTheirHeaders) {
    // Needles that start inside their header: a range that ends just after a header's start, or begins
    // between the header's start and its needle.
    std::vector<FileSignature> rows;
    rows.push_back({K::wav, asciiBytes("zzABCD"), Bytes{0x0F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, {}, 100, 1});
    rows.push_back({K::zip, asciiBytes("zABC"), Bytes{0xF0, 0xFF, 0xFF, 0xFF}, {}, 100, 1});
    rows.push_back({K::doc, asciiBytes("AB"), {}, {}, 100, 1});
    const IndexesOfEveryWidth search(rows, {K::wav, K::zip, K::doc});
    Bytes window = test::randomBytes(4000, 8);
    std::mt19937_64 random(8);
    for (int n = 0; n < 300; ++n) {
        const std::size_t at = random() % (window.size() - 8);
        std::memcpy(window.data() + at, n % 2 == 0 ? "zzABCD" : "ABCDzz", 6);
    }
    for (std::size_t cut = 60; cut < 200; ++cut)
        search.expectRangesFound(window, {{3, cut}, {cut + 1, 2 * cut}, {3000, 4000}}, "cut " + std::to_string(cut));
    // Only the headers that begin on a stride: a needle past the range's end leaves its header out.
    for (std::size_t cut = 60; cut < 200; ++cut)
        for (const std::size_t stride : {2, 3, 7})
            search.expectRangesFound(window, {{1, cut, stride}, {cut, cut + 500}, {cut + 500, 4000, stride}},
                                     "stride " + std::to_string(stride) + " cut " + std::to_string(cut));
}

} // namespace
} // namespace vantrel
