#include "recovery/carving/SignatureCatalog.h"

#include <gtest/gtest.h>

#include <string_view>

namespace vantrel {
namespace {

using K = RecoveredFileKind;

Bytes text(std::string_view ascii) { return Bytes(ascii.begin(), ascii.end()); }

Bytes join(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

const FileSignature& row(std::size_t index) { return SignatureCatalog::carveMVP().at(index); }

TEST(SignatureCatalog, HoldsTheTwentyTwoRowsInTableOrder) {
    const std::vector<K> kinds{K::jpeg, K::png, K::gif, K::gif, K::webp, K::bmp, K::crw, K::cr2,
                               K::orf,  K::orf, K::orf, K::tiff, K::tiff, K::mp4, K::pdf, K::rtf,
                               K::doc,  K::zip, K::mp3, K::wav, K::flac, K::ogg};
    const std::vector<std::uint64_t> mib{64, 64, 32, 32, 64, 64, 64, 128, 128, 128, 128,
                                         128, 128, 512, 128, 32, 64, 256, 32, 64, 64, 64};
    const auto& table = SignatureCatalog::carveMVP();
    ASSERT_EQ(table.size(), 22u);
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].kind, kinds[i]) << "row " << i;
        EXPECT_EQ(table[i].maxScanLength, mib[i] * 1024 * 1024) << "row " << i;
        EXPECT_EQ(table[i].alignment, 1u) << "row " << i;
        if (table[i].headerMask) {
            EXPECT_EQ(table[i].headerMask->size(), table[i].header.size()) << "row " << i;
        }
    }
    EXPECT_EQ(row(1).footer, (Bytes{0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
    EXPECT_EQ(row(14).footer, text("%%EOF"));
    EXPECT_EQ(row(15).header, text("{\\rtf"));
    EXPECT_EQ(row(7).header, join({text("II"), Bytes{0x2A, 0, 0x10, 0, 0, 0}, text("CR")}));
    EXPECT_FALSE(row(5).footer.has_value());
    EXPECT_EQ(SignatureCatalog::defaults(), SignatureCatalog::carveMVP());
    EXPECT_NE(&SignatureCatalog::defaults(), &SignatureCatalog::carveMVP());
}

TEST(FileSignature, MaskedRiffRowsTellWebpFromWave) {
    const Bytes webp = join({text("RIFF"), Bytes{0x9A, 0x02, 0x00, 0x00}, text("WEBP")});
    EXPECT_TRUE(row(4).matchesHeader(webp, 0));
    EXPECT_FALSE(row(19).matchesHeader(webp, 0));
}

TEST(FileSignature, FtypRowIgnoresTheBoxSizeButNotTheType) {
    EXPECT_TRUE(row(13).matchesHeader(join({Bytes{0, 0, 0, 0x20}, text("ftyp")}), 0));
    EXPECT_FALSE(row(13).matchesHeader(join({Bytes{0, 0, 0, 0x20}, text("ftyq")}), 0));
}

TEST(FileSignature, MatchesOnlyWhenTheWholeHeaderLiesInTheBuffer) {
    EXPECT_FALSE(row(0).matchesHeader(Bytes{0xFF, 0xD8}, 0));
    const Bytes tail{0x00, 0x11, 0xFF, 0xD8, 0xFF};
    EXPECT_TRUE(row(0).matchesHeader(tail, 2));
    EXPECT_FALSE(row(0).matchesHeader(tail, 3));
    EXPECT_FALSE(row(0).matchesHeader(tail, -1));
    EXPECT_FALSE(row(0).matchesHeader(tail, 1000));

    Bytes middle(200, 0x00);
    middle[100] = 0xFF;
    middle[101] = 0xD8;
    middle[102] = 0xFF;
    EXPECT_TRUE(row(0).matchesHeader(middle, 100));
    EXPECT_FALSE(row(0).matchesHeader(middle, 99));

    EXPECT_TRUE(FileSignature{}.matchesHeader(ByteView{}, 0));
}

TEST(FileSignature, BytesBeyondAShortMaskMustMatchExactly) {
    FileSignature signature{RecoveredFileKind::zip, text("ABCD"), Bytes{0x00, 0xFF}, std::nullopt, 100, 1};
    EXPECT_TRUE(signature.matchesHeader(text("xBCD"), 0));
    EXPECT_FALSE(signature.matchesHeader(text("xBCx"), 0));
    FileSignature partial{RecoveredFileKind::zip, Bytes{0xAB}, Bytes{0xF0}, std::nullopt, 100, 1};
    EXPECT_TRUE(partial.matchesHeader(Bytes{0xA5}, 0));
    EXPECT_FALSE(partial.matchesHeader(Bytes{0xB5}, 0));
}

} // namespace
} // namespace vantrel
