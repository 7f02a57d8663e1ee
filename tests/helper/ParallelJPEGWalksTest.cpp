#include "VantrelHelper/ParallelJPEGWalks.h"

#include "tests/fixtures/CarvedHits.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel {
namespace {

const std::filesystem::path shippedPhotos = "/usr/share/doc/imagemagick-6-common/html/images";

TEST(ParallelJPEGWalks, AScanIsGivenOneThreadFewerThanTheProcessorsUpToItsMost) {
    const struct {
        unsigned processors, threads;
    } cases[] = {{0, 0}, {1, 0}, {2, 1}, {4, 3}, {8, ParallelJPEGWalks::maxThreads}, {64, ParallelJPEGWalks::maxThreads}};
    for (const auto& c : cases) EXPECT_EQ(ParallelJPEGWalks::threadsFor(c.processors), c.threads) << c.processors;
}

// A card packed with small photos, every sixth of them cut in half, on sector starts: the carve with walks made
// on other threads finds what it finds alone, however many threads there are and however they are scheduled.
TEST(ParallelJPEGWalks, TheCarveFindsWhatItFindsAloneWithAnyNumberOfThreads) {
    if (!std::filesystem::exists(shippedPhotos) || !test::haveProgram("convert"))
        GTEST_SKIP() << "imagemagick-6-doc and ImageMagick are needed";
    test::TempDir dir;
    std::vector<Bytes> photos;
    for (const char* size : {"160x120!", "120x160!", "96x72!"}) {
        const auto out = dir / "out.jpg";
        test::runOrFail({"convert", (shippedPhotos / "examples.jpg").string(), "-resize", size, "-quality", "60", out.string()});
        photos.push_back(test::readFile(out));
    }
    Bytes device;
    for (std::size_t i = 0; i < 120; ++i) {
        const Bytes& photo = photos[i % photos.size()];
        const std::size_t length = i % 6 == 5 ? photo.size() / 2 : photo.size();
        device.insert(device.end(), photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(length));
        device.resize((device.size() + 4095) / 4096 * 4096 + (i % 4 == 0 ? 512 : 0));
    }
    RecoveryFilters filters;
    filters.allowedKinds = {RecoveredFileKind::jpeg};
    const auto carve = [&](JPEGWalkAhead::Provider* provider) { return test::carvedHits(device, filters, 256 * 1024, provider); };
    const auto alone = carve(nullptr);
    ASSERT_GE(alone.size(), 100u);
    // The most threads three times over, for their schedules to differ.
    for (const unsigned threads : {0u, 1u, 3u, 6u, 6u, 6u}) {
        ParallelJPEGWalks walks(threads);
        EXPECT_EQ(carve(&walks), alone) << threads << " threads";
    }
}

} // namespace
} // namespace vantrel
