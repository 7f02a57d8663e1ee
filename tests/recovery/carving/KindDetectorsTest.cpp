#include "recovery/carving/KindDetectors.h"

#include "tests/fixtures/TiffBuilder.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

using test::TiffBuilder;

Bytes asBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A TIFF whose first directory carries the Make text, padded with the filler bytes.
Bytes tiffWithMake(const std::string& make, std::string_view filler = {}) {
    TiffBuilder tiff;
    const auto ifd = tiff.addDirectory();
    tiff.addSize(ifd, 100, 100);
    if (!make.empty()) tiff.addAscii(ifd, 271, make);
    tiff.addBlob(asBytes(filler));
    return tiff.build();
}

TEST(TIFFKindDetector, MakeDecidesCaseInsensitively) {
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("Nikon")), RecoveredFileKind::nef);
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("SONY")), RecoveredFileKind::arw);
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("Sony Group")), RecoveredFileKind::arw);
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("Canon")), RecoveredFileKind::tiff);
    // The Make decides before the byte search.
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("SONY", "NIKON")), RecoveredFileKind::arw);
}

TEST(TIFFKindDetector, FallsBackToACaseSensitiveByteSearch) {
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("", "maker NIKON note")), RecoveredFileKind::nef);
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("", "Nikon")), RecoveredFileKind::tiff);
    EXPECT_EQ(TIFFKindDetector::refine(tiffWithMake("Pentax", "xSONYx")), RecoveredFileKind::arw);
    // Only the first 8 KiB are searched.
    Bytes late = tiffWithMake("");
    late.resize(8192, 0);
    const Bytes name = asBytes("NIKON");
    late.insert(late.end() - 2, name.begin(), name.end());
    EXPECT_EQ(TIFFKindDetector::refine(late), RecoveredFileKind::tiff);
    EXPECT_EQ(TIFFKindDetector::refine(Bytes{}), RecoveredFileKind::tiff);
}

// ZIP local file headers naming the given parts, each followed by some stored bytes.
Bytes zipNaming(std::initializer_list<std::string_view> names, std::size_t gapBytes = 32) {
    Bytes zip;
    for (std::string_view name : names) {
        const Bytes header{'P', 'K', 3, 4, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(name.size()), 0, 0, 0};
        zip.insert(zip.end(), header.begin(), header.end());
        zip.insert(zip.end(), name.begin(), name.end());
        zip.resize(zip.size() + gapBytes, 0x20);
    }
    return zip;
}

TEST(OfficeKindDetector, PartNamesDecideInPrecedenceOrder) {
    EXPECT_EQ(OfficeKindDetector::refineZipKind(zipNaming({"[Content_Types].xml", "word/document.xml"})),
              RecoveredFileKind::docx);
    EXPECT_EQ(OfficeKindDetector::refineZipKind(zipNaming({"xl/workbook.xml", "word/x.xml"})), RecoveredFileKind::docx);
    EXPECT_EQ(OfficeKindDetector::refineZipKind(zipNaming({"ppt/slides/a.xml", "xl/b.xml"})), RecoveredFileKind::xlsx);
    EXPECT_EQ(OfficeKindDetector::refineZipKind(zipNaming({"ppt/presentation.xml"})), RecoveredFileKind::pptx);
    EXPECT_EQ(OfficeKindDetector::refineZipKind(zipNaming({"readme.txt", "Word/x"})), RecoveredFileKind::zip);
    EXPECT_EQ(OfficeKindDetector::refineZipKind(zipNaming({"a.bin", "word/document.xml"}, 16'384)),
              RecoveredFileKind::zip);
}

// An ftyp box of the given size field with the major brand and compatible brands.
Bytes ftyp(std::string_view major, std::initializer_list<std::string_view> compatible,
           std::optional<std::uint32_t> sizeField = {}) {
    Bytes box{0, 0, 0, 0, 'f', 't', 'y', 'p'};
    box.insert(box.end(), major.begin(), major.end());
    box.insert(box.end(), {0, 0, 0, 0});
    for (std::string_view brand : compatible) box.insert(box.end(), brand.begin(), brand.end());
    const std::uint32_t size = sizeField.value_or(static_cast<std::uint32_t>(box.size()));
    for (int i = 0; i < 4; ++i) box[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    return box;
}

TEST(FtypKindDetector, BrandTableDecides) {
    EXPECT_EQ(FtypKindDetector::refine(ftyp("isom", {"iso2", "avc1", "mp41"})), RecoveredFileKind::mp4);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("qt  ", {})), RecoveredFileKind::mov);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("M4A ", {"mp42", "isom"})), RecoveredFileKind::m4a);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("crx ", {"isom"})), RecoveredFileKind::cr3);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("isom", {"CRX "})), RecoveredFileKind::cr3);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("heic", {"mif1", "heic"})), RecoveredFileKind::heic);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("mif1", {"heic"})), RecoveredFileKind::heic);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("msf1", {"hevc"})), RecoveredFileKind::heic);
    // Table order, not brand order, decides among compatible brands.
    EXPECT_EQ(FtypKindDetector::refine(ftyp("isom", {"qt  ", "M4A "})), RecoveredFileKind::m4a);
    EXPECT_EQ(FtypKindDetector::refine(Bytes(11, 'a')), RecoveredFileKind::mp4);
    Bytes notAscii = ftyp("qt  ", {});
    notAscii[8] = 0xF1;
    EXPECT_EQ(FtypKindDetector::refine(notAscii), RecoveredFileKind::mp4);
}

TEST(FtypKindDetector, AVIFIsNotTakenForHEICByItsGenericBrands) {
    EXPECT_EQ(FtypKindDetector::refine(ftyp("avif", {"mif1", "miaf"})), RecoveredFileKind::avif);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("avif", {"avis"})), RecoveredFileKind::avif);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("avis", {"msf1", "miaf", "MA1B"})), RecoveredFileKind::avif);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("mif1", {"avif", "miaf"})), RecoveredFileKind::avif);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("isom", {"mif1", "avif"})), RecoveredFileKind::avif);
    EXPECT_EQ(FtypKindDetector::refine(ftyp("mif1", {"miaf"})), RecoveredFileKind::heic);
    // A specific HEVC brand still wins over an AVIF one.
    EXPECT_EQ(FtypKindDetector::refine(ftyp("isom", {"avif", "heic"})), RecoveredFileKind::heic);
    // The major brand decides when it names a kind.
    EXPECT_EQ(FtypKindDetector::refine(ftyp("heic", {"avif"})), RecoveredFileKind::heic);
}

TEST(FtypKindDetector, BrandsEndWithTheBox) {
    // A 20-byte box with one compatible brand, followed by a box whose type reads like a brand.
    Bytes file = ftyp("isom", {"mp41"});
    const Bytes next{0, 0, 0, 8, 'q', 't', ' ', ' '};
    file.insert(file.end(), next.begin(), next.end());
    EXPECT_EQ(FtypKindDetector::refine(file), RecoveredFileKind::mp4);
    // Brands past 64 bytes are not read even inside the box.
    Bytes longBox = ftyp("isom", {"mp41", "mp42", "iso2", "iso3", "iso4", "iso5", "iso6", "iso7", "iso8", "iso9",
                                  "isoa", "isob", "M4A "});
    EXPECT_EQ(FtypKindDetector::refine(longBox), RecoveredFileKind::mp4);
    longBox[60] = 'q', longBox[61] = 't', longBox[62] = ' ', longBox[63] = ' ';
    EXPECT_EQ(FtypKindDetector::refine(longBox), RecoveredFileKind::mov);
}

} // namespace
} // namespace vantrel
