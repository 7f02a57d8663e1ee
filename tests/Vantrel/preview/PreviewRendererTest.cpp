// The preview's side of the verifying child: its answers read strictly, and the child's drawing and
// turning on real pictures, damaged bytes and an output path that is already taken.

#include "PreviewFixtures.h"
#include "WidgetTesting.h"

#include "Vantrel/scan/PreviewRenderer.h"

#include "recovery/carving/formats/JPEGMetadata.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

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
    for (const char* refused : {"unrendered\n", "", "rendered 0x5\n", "rendered 10x\n", "rendered 10x20\npages x\n",
                                "rendered 10x20\npages 2\nextra 1\n", "rendered -4x20\n", "verdict ok\n"})
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
