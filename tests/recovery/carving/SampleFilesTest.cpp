// The format readers and kind detectors on real files made by the usual Debian tools at test time.
// A test whose tool is missing is skipped.
#include "recovery/carving/KindDetectors.h"
#include "recovery/carving/formats/BMPMetadata.h"
#include "recovery/carving/formats/GIFMetadata.h"
#include "recovery/carving/formats/JPEGMetadata.h"
#include "recovery/carving/formats/PNGMetadata.h"
#include "recovery/carving/formats/RIFFMetadata.h"
#include "recovery/carving/formats/TIFFMetadata.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace vantrel {
namespace {

using test::runOrFail;

#define REQUIRE_PROGRAMS(...)                                                   \
    for (const char* program : {__VA_ARGS__})                                   \
        if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed"

class SampleFiles : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return (m_dir / name).string(); }
    Bytes read(const std::string& name) const { return test::readFile(m_dir / name); }

    // An 8-bit RGB picture (libheif's AV1 encoder rejects 16-bit input).
    std::string picture(std::uint32_t width, std::uint32_t height, const std::string& format = "png") const {
        const std::string name = "pic-" + std::to_string(width) + "x" + std::to_string(height) + "." + format;
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        const std::string target = format == "png" ? "PNG24:" + path(name) : format + ":" + path(name);
        runOrFail({"convert", "-size", size, "gradient:red-blue", "-type", "TrueColor", "-depth", "8", target});
        return path(name);
    }

    std::string jpeg(std::uint32_t width, std::uint32_t height, bool progressive = false) const {
        const std::string name = "jpeg-" + std::to_string(width) + (progressive ? "p" : "b") + ".jpg";
        std::vector<std::string> command{"cjpeg", "-quality", "85"};
        if (progressive) command.push_back("-progressive");
        command.insert(command.end(), {"-outfile", path(name), picture(width, height, "ppm")});
        runOrFail(command);
        return name;
    }

    test::TempDir m_dir;
};

std::size_t firstEndMarker(const Bytes& bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) return i;
    return bytes.size();
}

TEST_F(SampleFiles, JPEGBaselineAndProgressive) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "jpegtran");
    for (const bool progressive : {false, true}) {
        const Bytes bytes = read(jpeg(333, 217, progressive));
        EXPECT_EQ(JPEGMetadata::dimensions(bytes), (ImageDimensions{333, 217})) << progressive;
        EXPECT_EQ(JPEGMetadata::topLevelEndOffset(bytes), bytes.size()) << progressive;
    }
    runOrFail({"jpegtran", "-progressive", "-outfile", path("t.jpg"), path(jpeg(120, 90))});
    const Bytes transcoded = read("t.jpg");
    EXPECT_EQ(JPEGMetadata::dimensions(transcoded), (ImageDimensions{120, 90}));
    EXPECT_EQ(JPEGMetadata::topLevelEndOffset(transcoded), transcoded.size());
}

TEST_F(SampleFiles, JPEGWithExifThumbnailAndOrientation) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    const std::string main = jpeg(640, 480);
    const std::string thumbnail = jpeg(160, 120);
    runOrFail({"exiftool", "-q", "-n", "-ThumbnailImage<=" + path(thumbnail), "-Orientation=6", "-o",
               path("exif.jpg"), path(main)});
    Bytes bytes = read("exif.jpg");
    // The thumbnail's own end marker comes first; the walk must pass over it.
    ASSERT_LT(firstEndMarker(bytes) + 2, bytes.size());
    EXPECT_EQ(JPEGMetadata::dimensions(bytes), (ImageDimensions{640, 480}));
    EXPECT_EQ(JPEGMetadata::topLevelEndOffset(bytes), bytes.size());
    const std::size_t size = bytes.size();
    bytes.insert(bytes.end(), {0x00, 0xFF, 0xD9, 0x12});
    EXPECT_EQ(JPEGMetadata::topLevelEndOffset(bytes), size);
}

TEST_F(SampleFiles, PNGAndAnimatedGIF) {
    REQUIRE_PROGRAMS("convert");
    EXPECT_EQ(PNGMetadata::dimensions(test::readFile(picture(321, 123))), (ImageDimensions{321, 123}));
    // ImageMagick's GIF quantizer takes seconds unless told the palette and not to dither.
    runOrFail({"convert", "-size", "30x20", "xc:red", "xc:blue", "xc:green", "+dither", "-colors", "4", "-loop", "0",
               path("anim.gif")});
    EXPECT_EQ(GIFMetadata::dimensions(read("anim.gif")), (ImageDimensions{30, 20}));
    runOrFail({"convert", "-size", "7x9", "xc:red", "+dither", "-colors", "2", "GIF87:" + path("old.gif")});
    EXPECT_EQ(GIFMetadata::dimensions(read("old.gif")), (ImageDimensions{7, 9}));
}

TEST_F(SampleFiles, BMPOfEveryHeaderSize) {
    REQUIRE_PROGRAMS("convert");
    const std::string source = picture(37, 21);
    const std::vector<std::pair<std::vector<std::string>, std::uint32_t>> variants{
        {{"BMP2:"}, 12}, {{"BMP3:"}, 40}, {{"BMP:"}, 124}};
    for (const auto& [options, dibSize] : variants) {
        const std::string name = "v" + std::to_string(dibSize) + ".bmp";
        std::vector<std::string> command{"convert", source};
        command.insert(command.end(), options.begin(), options.end() - 1);
        command.push_back(options.back() + path(name));
        runOrFail(command);
        Bytes bytes = read(name);
        ASSERT_EQ(FieldReader::u32le(bytes, 14), dibSize);
        EXPECT_EQ(BMPMetadata::dimensions(bytes), (ImageDimensions{37, 21})) << dibSize;
        EXPECT_EQ(BMPMetadata::fileLength(bytes), bytes.size()) << dibSize;
        EXPECT_TRUE(BMPMetadata::looksValid(bytes)) << dibSize;
        if (dibSize != 40) continue;
        // The same picture stored top-down (negative height), and under the V2, V3 and V4 header
        // sizes (ImageMagick writes none of them), which add fields after the 40 bytes read here.
        bytes[22] = static_cast<std::uint8_t>(-21);
        bytes[23] = bytes[24] = bytes[25] = 0xFF;
        EXPECT_EQ(BMPMetadata::dimensions(bytes), (ImageDimensions{37, 21}));
        for (const std::uint8_t size : {std::uint8_t{52}, std::uint8_t{56}, std::uint8_t{108}}) {
            bytes[14] = size;
            EXPECT_TRUE(BMPMetadata::looksValid(bytes)) << int{size};
        }
    }
}

TEST_F(SampleFiles, RIFFLengthOfWebPAndWave) {
    REQUIRE_PROGRAMS("convert", "ffmpeg");
    runOrFail({"convert", picture(50, 40), path("p.webp")});
    runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=0.2", "-y", path("s.wav")});
    for (const char* name : {"p.webp", "s.wav"}) {
        const Bytes bytes = read(name);
        EXPECT_EQ(RIFFMetadata::fileLength(bytes), bytes.size()) << name;
    }
}

TEST_F(SampleFiles, TIFFInBothByteOrders) {
    REQUIRE_PROGRAMS("convert");
    const std::string source = picture(300, 200);
    for (const std::string order : {"lsb", "msb"}) {
        const std::string name = order + ".tif";
        runOrFail({"convert", source, "-define", "tiff:endian=" + order, "-define", "tiff:rows-per-strip=16",
                   "-compress", "none", path(name)});
        const Bytes bytes = read(name);
        ASSERT_EQ(bytes[0], order == "lsb" ? 'I' : 'M');
        EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{300, 200})) << order;
        EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), bytes.size()) << order;
        EXPECT_EQ(TIFFKindDetector::refine(bytes), RecoveredFileKind::tiff) << order;
    }
    // A multi-page file: the largest page wins.
    runOrFail({"convert", picture(16, 16), source, picture(40, 30), "-compress", "lzw", path("pages.tif")});
    const Bytes pages = read("pages.tif");
    EXPECT_EQ(TIFFMetadata::dimensions(pages), (ImageDimensions{300, 200}));
    EXPECT_EQ(TIFFMetadata::estimatedFileLength(pages), pages.size());
}

TEST_F(SampleFiles, TIFFMakerFromExiftool) {
    REQUIRE_PROGRAMS("convert", "exiftool");
    const std::string source = path("plain.tif");
    runOrFail({"convert", picture(60, 40), "-compress", "none", source});
    const std::vector<std::pair<std::string, RecoveredFileKind>> makers{
        {"NIKON CORPORATION", RecoveredFileKind::nef}, {"Sony", RecoveredFileKind::arw}, {"FUJIFILM", RecoveredFileKind::tiff}};
    for (const auto& [make, kind] : makers) {
        const std::string name = "made-" + std::to_string(static_cast<int>(kind)) + ".tif";
        runOrFail({"exiftool", "-q", "-Make=" + make, "-o", path(name), source});
        const Bytes bytes = read(name);
        EXPECT_EQ(TIFFMetadata::makeString(bytes), make);
        EXPECT_EQ(TIFFKindDetector::refine(bytes), kind) << make;
        EXPECT_EQ(TIFFMetadata::dimensions(bytes), (ImageDimensions{60, 40}));
        EXPECT_EQ(TIFFMetadata::estimatedFileLength(bytes), bytes.size()) << make;
    }
}

TEST_F(SampleFiles, HEIFImages) {
    REQUIRE_PROGRAMS("convert", "heif-enc");
    const std::string source = picture(64, 48);
    runOrFail({"heif-enc", "-q", "50", source, "-o", path("p.heic")});
    EXPECT_EQ(FtypKindDetector::refine(read("p.heic")), RecoveredFileKind::heic);
    runOrFail({"heif-enc", "-A", "-q", "50", source, "-o", path("p.avif")});
    EXPECT_EQ(FtypKindDetector::refine(read("p.avif")), RecoveredFileKind::avif);
}

TEST_F(SampleFiles, ISOMediaFromFFmpeg) {
    REQUIRE_PROGRAMS("ffmpeg");
    const std::vector<std::pair<std::string, RecoveredFileKind>> files{
        {"v.mp4", RecoveredFileKind::mp4}, {"v.mov", RecoveredFileKind::mov}, {"a.m4a", RecoveredFileKind::m4a}};
    for (const auto& [name, kind] : files) {
        const bool audio = name.ends_with(".m4a");
        runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                   audio ? "sine=duration=0.1" : "testsrc=size=64x48:duration=0.1", "-y", path(name)});
        EXPECT_EQ(FtypKindDetector::refine(read(name)), kind) << name;
    }
}

TEST_F(SampleFiles, OfficePackagesFromZip) {
    REQUIRE_PROGRAMS("zip", "env");
    const std::vector<std::pair<std::string, RecoveredFileKind>> packages{
        {"word/document.xml", RecoveredFileKind::docx},
        {"xl/workbook.xml", RecoveredFileKind::xlsx},
        {"ppt/presentation.xml", RecoveredFileKind::pptx},
        {"notes/readme.txt", RecoveredFileKind::zip}};
    for (const auto& [part, kind] : packages) {
        const test::TempDir parts;
        std::filesystem::create_directories(parts.path() / "_rels");
        std::filesystem::create_directories((parts.path() / part).parent_path());
        const std::string xml = "<?xml version=\"1.0\"?><Types/>";
        test::writeFile(parts / "[Content_Types].xml", Bytes(xml.begin(), xml.end()));
        test::writeFile(parts / "_rels/.rels", Bytes(xml.begin(), xml.end()));
        test::writeFile(parts / part, Bytes(xml.begin(), xml.end()));
        const std::string name = std::string(FileKind::rawValue(kind)) + ".pkg";
        // zip stores names as given, so it runs inside the folder of parts.
        runOrFail({"env", "-C", parts.path().string(), "zip", "-q", "-X", path(name), "[Content_Types].xml",
                   "_rels/.rels", part});
        EXPECT_EQ(OfficeKindDetector::refineZipKind(read(name)), kind) << part;
    }
}

} // namespace
} // namespace vantrel
