// The preview's side of the verifying child: its answers read strictly, and the child's drawing and
// turning on real pictures, damaged bytes and an output path that is already taken.

#include "PreviewFixtures.h"
#include "WidgetTesting.h"

#include "Vantrel/scan/PreviewRenderer.h"

#include "recovery/carving/formats/JPEGMetadata.h"
#include "tests/fixtures/TestSupport.h"

#include <QColor>
#include <QImage>

#include <gtest/gtest.h>

#include <cmath>

namespace vantrel {
namespace {

namespace fixtures = test::PreviewFixtures;

TEST(PreviewRenderer, ReadsOnlyTheChildsOwnAnswers) {
    const auto drawn = parseRenderOutput("rendered 640x427\n");
    ASSERT_TRUE(drawn);
    EXPECT_EQ(drawn->width, 640);
    EXPECT_EQ(drawn->height, 427);
    EXPECT_FALSE(drawn->pageCount);
    const auto page = parseRenderOutput("rendered 296x420\npages 3\n");
    ASSERT_TRUE(page && page->pageCount);
    EXPECT_EQ(*page->pageCount, 3);
    const auto cut = parseRenderOutput("rendered 640x427\npartial\n");
    ASSERT_TRUE(cut);
    EXPECT_TRUE(cut->partial);
    EXPECT_FALSE(drawn->partial);
    const auto cutPage = parseRenderOutput("rendered 296x420\npages 3\npartial\n");
    ASSERT_TRUE(cutPage && cutPage->pageCount);
    EXPECT_TRUE(cutPage->partial);
    for (const char* refused : {"unrendered\n", "", "rendered 0x5\n", "rendered 10x\n", "rendered 10x20\npages x\n",
                                "rendered 10x20\npages 2\nextra 1\n", "rendered -4x20\n", "verdict ok\n",
                                "rendered 10x20\npartial\npages 2\n", "rendered 10x20\npartial\npartial\n", "partial\n"})
        EXPECT_FALSE(parseRenderOutput(refused)) << refused;

    const auto turned = parseUprightOutput("orientation 6\nupright\n");
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->orientation, 6);
    EXPECT_TRUE(turned->written);
    const auto upright = parseUprightOutput("orientation 1\n");
    ASSERT_TRUE(upright);
    EXPECT_FALSE(upright->written);
    for (const char* refused : {"orientation 9\n", "orientation 0\n", "orientation 6\nwritten\n", "upright\n", ""})
        EXPECT_FALSE(parseUprightOutput(refused)) << refused;
}

TEST(PreviewRenderer, TurnsPicturesAsTheirTagsSayAndDrawsNothingFromDamagedBytes) {
    test::widgetApplication();
    const test::TempDir dir;
    const PreviewRenderer renderer(VANTREL_VERIFY_PATH);
    const auto plain = fixtures::picture(20, 10, "jpeg");
    struct Case {
        std::uint16_t orientation;
        std::int64_t width;
        std::int64_t height;
    };
    for (const Case& c : {Case{3, 20, 10}, Case{6, 10, 20}, Case{8, 10, 20}, Case{5, 10, 20}}) {
        const auto file = dir / ("turned-" + std::to_string(c.orientation) + ".jpg");
        test::writeFile(file, fixtures::withExifOrientation(plain, c.orientation));
        const auto shown = orientedCopyIfNeeded(file, RecoveredFileKind::jpeg, renderer);
        ASSERT_EQ(shown.filename(), "turned-" + std::to_string(c.orientation) + "_oriented.jpg");
        const auto size = JPEGMetadata::dimensions(test::readFile(shown));
        ASSERT_TRUE(size);
        EXPECT_EQ(size->width, c.width) << c.orientation;
        EXPECT_EQ(size->height, c.height) << c.orientation;
    }

    // Damaged bytes draw nothing and leave no file; an output that exists is never replaced.
    const auto damaged = dir / "damaged.jpg";
    test::writeFile(damaged, test::randomBytes(5000, 7));
    EXPECT_FALSE(renderer.render(RecoveredFileKind::jpeg, damaged, dir / "damaged.png", 256));
    EXPECT_FALSE(std::filesystem::exists(dir / "damaged.png"));
    EXPECT_EQ(orientedCopyIfNeeded(damaged, RecoveredFileKind::jpeg, renderer), damaged);
    const auto good = dir / "good.png";
    test::writeFile(good, fixtures::picture(300, 100, "png"));
    test::writeFile(dir / "taken.png", {1, 2, 3});
    EXPECT_FALSE(renderer.render(RecoveredFileKind::png, good, dir / "taken.png", 256));
    EXPECT_EQ(test::readFile(dir / "taken.png"), (Bytes{1, 2, 3}));
    const auto drawn = renderer.render(RecoveredFileKind::png, good, dir / "good-drawn.png", 150);
    ASSERT_TRUE(drawn);
    EXPECT_EQ(drawn->width, 150) << "fitted into the square";
    EXPECT_EQ(drawn->height, 50);
    // A kind that is not a picture is never turned.
    EXPECT_EQ(orientedCopyIfNeeded(good, RecoveredFileKind::zip, renderer), good);
}

// Photographs shipped in Debian's imagemagick-6-doc package (scripts/dependencies.txt).
const std::filesystem::path shippedPhotos = "/usr/share/doc/imagemagick-6-common/html/images";

Bytes prefix(const Bytes& bytes, double share) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(static_cast<double>(bytes.size()) * share));
}

// The mean difference of the grey values of two pictures' rows [first, last), scaled to the same size.
double rowDifference(const QImage& a, const QImage& b, double first, double last) {
    const QImage left = a.convertToFormat(QImage::Format_Grayscale8);
    const QImage right = b.scaled(a.size()).convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    int count = 0;
    for (int y = static_cast<int>(first * a.height()); y < static_cast<int>(last * a.height()); ++y)
        for (int x = 0; x < a.width(); ++x, ++count) sum += std::abs(left.pixelColor(x, y).red() - right.pixelColor(x, y).red());
    return count > 0 ? sum / count : 0;
}

// True when the rows [first, last) are the decoders' flat grey: nothing was read there.
bool greyRows(const QImage& image, double first, double last) {
    for (int y = static_cast<int>(first * image.height()); y < static_cast<int>(last * image.height()); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            for (int channel : {colour.red(), colour.green(), colour.blue()})
                if (std::abs(channel - 128) > 4) return false;
        }
    return true;
}

TEST(PreviewRenderer, DrawsWhatDecodesOfACutOrDamagedPhotoAndSaysItIsPartial) {
    const auto jpegPhoto = shippedPhotos / "bluebells_lin.jpg";
    const auto pngPhoto = shippedPhotos / "rose.png";
    if (!std::filesystem::exists(jpegPhoto) || !std::filesystem::exists(pngPhoto))
        GTEST_SKIP() << "the photographs of imagemagick-6-doc are not installed";
    test::widgetApplication();
    const test::TempDir dir;
    const PreviewRenderer renderer(VANTREL_VERIFY_PATH);
    auto draw = [&](RecoveredFileKind kind, const Bytes& bytes, const std::string& name) {
        test::writeFile(dir / name, bytes);
        const auto drawing = renderer.render(kind, dir / name, dir / (name + ".png"), 256);
        return std::pair(drawing, drawing ? QImage(QString::fromStdString((dir / (name + ".png")).string())) : QImage());
    };
    const Bytes photo = test::readFile(jpegPhoto);

    const auto [whole, wholePicture] = draw(RecoveredFileKind::jpeg, photo, "whole.jpg");
    ASSERT_TRUE(whole);
    EXPECT_FALSE(whole->partial);
    EXPECT_EQ(whole->width, 256);
    EXPECT_EQ(whole->height, 192);
    EXPECT_FALSE(greyRows(wholePicture, 0.9, 1.0));

    // Cut at 60 %: the top is the photo, the bottom the grey of rows never read.
    const auto [cut, cutPicture] = draw(RecoveredFileKind::jpeg, prefix(photo, 0.6), "cut.jpg");
    ASSERT_TRUE(cut);
    EXPECT_TRUE(cut->partial);
    EXPECT_EQ(cut->width, 256);
    EXPECT_LT(rowDifference(cutPicture, wholePicture, 0.0, 0.3), 2.0);
    EXPECT_TRUE(greyRows(cutPicture, 0.9, 1.0));
    // Only the end marker missing: every row is there.
    const auto [unended, unendedPicture] = draw(RecoveredFileKind::jpeg, Bytes(photo.begin(), photo.end() - 2), "unended.jpg");
    ASSERT_TRUE(unended);
    EXPECT_FALSE(unended->partial);

    // Random bytes over the scan data, with the markers they make (Qt's reader gives nothing of it):
    // what comes before is drawn.
    Bytes damaged = photo;
    const Bytes noise = test::randomBytes(400, 11);
    std::copy(noise.begin(), noise.end(), damaged.begin() + static_cast<std::ptrdiff_t>(damaged.size() / 2));
    const auto [spoilt, spoiltPicture] = draw(RecoveredFileKind::jpeg, damaged, "damaged.jpg");
    ASSERT_TRUE(spoilt);
    EXPECT_TRUE(spoilt->partial);
    EXPECT_LT(rowDifference(spoiltPicture, wholePicture, 0.0, 0.3), 2.0);

    // Cut inside its header or before a first row: nothing to draw.
    EXPECT_FALSE(draw(RecoveredFileKind::jpeg, prefix(photo, 0.008), "header.jpg").first);
    EXPECT_FALSE(draw(RecoveredFileKind::jpeg, prefix(photo, 0.02), "no-row.jpg").first);

    // Progressive (coarse scans first) and CMYK (through Qt's reader), whole and cut.
    if (test::haveProgram("convert")) {
        const auto made = [&](const std::string& option, const std::string& value, const std::string& name) {
            test::runOrFail({"convert", jpegPhoto.string(), option, value, (dir / name).string()});
            return test::readFile(dir / name);
        };
        for (const auto& photoBytes : {made("-interlace", "Plane", "progressive.jpg"), made("-colorspace", "CMYK", "cmyk.jpg")}) {
            const auto [fine, finePicture] = draw(RecoveredFileKind::jpeg, photoBytes, "made-whole.jpg");
            ASSERT_TRUE(fine);
            EXPECT_FALSE(fine->partial);
            const auto [coarse, coarsePicture] = draw(RecoveredFileKind::jpeg, prefix(photoBytes, 0.6), "made-cut.jpg");
            ASSERT_TRUE(coarse);
            EXPECT_TRUE(coarse->partial);
            EXPECT_EQ(coarse->width, fine->width);
            std::filesystem::remove(dir / "made-whole.jpg.png");
            std::filesystem::remove(dir / "made-cut.jpg.png");
        }
    }

    // A PNG cut at 60 %: the rows before the cut; the whole file is not partial.
    const Bytes rose = test::readFile(pngPhoto);
    const auto [pngWhole, pngWholePicture] = draw(RecoveredFileKind::png, rose, "rose.png");
    ASSERT_TRUE(pngWhole);
    EXPECT_FALSE(pngWhole->partial);
    const auto [pngCut, pngCutPicture] = draw(RecoveredFileKind::png, prefix(rose, 0.6), "rose-cut.png");
    ASSERT_TRUE(pngCut);
    EXPECT_TRUE(pngCut->partial);
    EXPECT_EQ(pngCut->width, pngWhole->width);
    EXPECT_LT(rowDifference(pngCutPicture, pngWholePicture, 0.0, 0.3), 1.0);
    EXPECT_TRUE(greyRows(pngCutPicture, 0.95, 1.0));
    EXPECT_FALSE(draw(RecoveredFileKind::png, prefix(rose, 0.01), "rose-header.png").first);
}

TEST(PreviewRenderer, DrawsACameraRawWithoutAnEmbeddedPreviewByDevelopingIt) {
    if (!test::haveProgram("convert") || !test::haveProgram("exiftool")) GTEST_SKIP() << "needs ImageMagick and exiftool";
    const test::TempDir dir;
    // Uncompressed 16-bit samples with a camera maker's name: libraw takes it for that camera's raw file.
    const auto raw = dir / "DSC_0001.NEF";
    test::runOrFail({"convert", "-size", "640x480", "xc:gray", "+noise", "Random", "-colorspace", "gray", "-depth", "16",
                     "-compress", "none", "tiff:" + raw.string()});
    test::runOrFail({"exiftool", "-q", "-overwrite_original", "-Make=NIKON CORPORATION", "-Model=NIKON D70", raw.string()});
    const PreviewRenderer renderer(VANTREL_VERIFY_PATH);
    const auto drawn = renderer.render(RecoveredFileKind::nef, raw, dir / "raw.png", 1024);
    ASSERT_TRUE(drawn);
    EXPECT_GT(drawn->width, drawn->height);
    EXPECT_LE(drawn->width, 640);
}

} // namespace
} // namespace vantrel
