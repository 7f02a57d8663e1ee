#include "recovery/carving/SignatureScanIndex.h"

#include "recovery/carving/SignatureCatalog.h"
#include "tests/fixtures/ReferenceSignatureSearch.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace vantrel {
namespace {

using K = RecoveredFileKind;

Bytes text(std::string_view ascii) { return Bytes(ascii.begin(), ascii.end()); }

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
        pieces.push_back(text(std::string_view(extra, std::strlen(extra) + (extra[2] == '*' ? 1 : 0))));
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
    rows.push_back({K::wav, text("zzABCD"), Bytes{0x0F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, {}, 100, 1});
    rows.push_back({K::zip, text("zABC"), Bytes{0xF0, 0xFF, 0xFF, 0xFF}, {}, 100, 1});
    rows.push_back({K::doc, text("AB"), {}, {}, 100, 1});
    for (char c = 'a'; c <= 'z'; ++c) rows.push_back({K::rtf, text(std::string{c, static_cast<char>(c + 1)}), {}, {}, 1, 1});
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
    EXPECT_EQ(SignatureScanIndex::needle(text("A"), std::nullopt), std::nullopt);
    EXPECT_EQ(SignatureScanIndex::needle(text("AB"), std::nullopt), (std::pair{text("AB"), std::int64_t{0}}));
    const Bytes riffMask{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(SignatureScanIndex::needle(text("RIFF....WEBP"), riffMask), (std::pair{text("RIFF"), std::int64_t{0}}));
    // A partial mask byte ends a run; bytes beyond the mask never join one.
    EXPECT_EQ(SignatureScanIndex::needle(text("ABCDEF"), Bytes{0xFF, 0xF0, 0xFF, 0xFF, 0xFF}),
              (std::pair{text("CDE"), std::int64_t{2}}));
    EXPECT_EQ(SignatureScanIndex::needle(text("ABCD"), Bytes{0xFF, 0x00, 0xFF, 0x0F}), std::nullopt);
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
    none.scan(text("\xFF\xD8\xFF ftyp"), candidates, ftyp);
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

} // namespace
} // namespace vantrel
