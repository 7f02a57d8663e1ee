// Minimal camera raw headers built from the published layouts: CR2, NEF, ARW and ORF are TIFF
// files (CR2 with "CR" and a raw directory offset after the header, ORF with its own magic); CR3 is an
// ISO media file with the "crx " brand; CRW is a CIFF heap, which is not TIFF.
#include "recovery/carving/KindDetectors.h"
#include "recovery/carving/formats/TIFFMetadata.h"

#include "tests/fixtures/TiffBuilder.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::TiffBuilder;

// IFD0 with the maker and a small preview strip; the full-size raw picture in a SubIFD, as NEF and
// ARW files arrange it; an EXIF-style thumbnail directory as the next one.
Bytes rawFile(TiffBuilder& tiff, const std::string& make) {
    const auto ifd0 = tiff.addDirectory();
    const auto raw = tiff.addDirectory();
    const auto thumbnail = tiff.addDirectory();
    tiff.addAscii(ifd0, 271, make);
    tiff.addSize(ifd0, 160, 120);
    tiff.addStrip(ifd0, 96);
    tiff.addSubIFDs(ifd0, {raw});
    tiff.setNext(ifd0, thumbnail);
    tiff.addLongs(raw, 256, {6048});
    tiff.addLongs(raw, 257, {4024});
    tiff.addStrip(raw, 4000);
    tiff.addSize(thumbnail, 640, 424);
    const auto jpeg = tiff.addBlob(Bytes(200, 0xEE));
    tiff.addEntry(thumbnail, 513, 4, {TiffBuilder::Value::blob(jpeg)});
    tiff.addLongs(thumbnail, 514, {200});
    return tiff.build();
}

TEST(CameraRawHeaders, NikonAndSonyAreTIFFWithAMaker) {
    TiffBuilder nef(TiffBuilder::Order::big);
    const Bytes nefBytes = rawFile(nef, "NIKON CORPORATION");
    EXPECT_EQ(TIFFKindDetector::refine(nefBytes), RecoveredFileKind::nef);
    EXPECT_EQ(TIFFMetadata::dimensions(nefBytes), (ImageDimensions{6048, 4024}));
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(nefBytes), nefBytes.size());

    TiffBuilder arw;
    const Bytes arwBytes = rawFile(arw, "SONY");
    EXPECT_EQ(TIFFKindDetector::refine(arwBytes), RecoveredFileKind::arw);
    EXPECT_EQ(TIFFMetadata::dimensions(arwBytes), (ImageDimensions{6048, 4024}));
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(arwBytes), arwBytes.size());
}

TEST(CameraRawHeaders, CanonCR2HasItsRawDirectoryOffsetAfterTheHeader) {
    TiffBuilder cr2;
    // Bytes 8-15: "CR", major version 2, minor version 0, offset of the raw directory (unused here).
    cr2.setHeaderExtra({'C', 'R', 2, 0, 0, 0, 0, 0});
    const Bytes bytes = rawFile(cr2, "Canon");
    ASSERT_EQ(FieldReader::u32le(bytes, 4), 16u);
    EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{6048, 4024}));
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), bytes.size());
    EXPECT_EQ(TIFFMetadata::makeString(bytes), "Canon");
    EXPECT_EQ(TIFFKindDetector::refine(bytes), RecoveredFileKind::tiff);
}

TEST(CameraRawHeaders, OlympusORFMagics) {
    for (const auto& [order, magic] : {std::pair{TiffBuilder::Order::little, std::uint16_t{0x4F52}},
                                       std::pair{TiffBuilder::Order::little, std::uint16_t{0x5352}},
                                       std::pair{TiffBuilder::Order::big, std::uint16_t{0x4F52}}}) {
        TiffBuilder orf(order, magic);
        const Bytes bytes = rawFile(orf, "OLYMPUS IMAGING CORP.  ");
        EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{6048, 4024})) << magic;
        EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), bytes.size()) << magic;
    }
}

TEST(CameraRawHeaders, CanonCR3IsAnISOMediaFile) {
    // ftyp box of 24 bytes: major "crx ", minor version 1, compatible "crx " and "isom".
    const Bytes cr3{0, 0, 0, 24, 'f', 't', 'y', 'p', 'c', 'r', 'x', ' ', 0, 0, 0, 1,
                    'c', 'r', 'x', ' ', 'i', 's', 'o', 'm', 0, 0, 0, 8, 'm', 'o', 'o', 'v'};
    EXPECT_EQ(FtypKindDetector::refine(cr3), RecoveredFileKind::cr3);
}

TEST(CameraRawHeaders, CanonCRWIsNotTIFF) {
    // CIFF: byte order, heap header length 26, "HEAPCCDR", version 1.2.
    Bytes crw{'I', 'I', 0x1A, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R', 0, 0, 1, 0};
    crw.resize(512, 0);
    EXPECT_FALSE(TIFFMetadata::dimensions(crw));
    EXPECT_FALSE(TIFFMetadata::estimatedFileLength(crw));
    EXPECT_FALSE(TIFFMetadata::makeString(crw));
}

} // namespace
} // namespace vantrel
