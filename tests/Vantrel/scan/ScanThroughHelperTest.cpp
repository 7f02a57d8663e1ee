// The application's main road against the real helper, spawned beside the program over a socket pair:
// a scan of an image built at test time, the quality pass over its hits, and a recovery into a folder
// where a name is taken, every recovered file compared byte for byte with what was put on the image.

#include "RealHelperHarness.h"

#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/SampleContent.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

struct RealHelperHarness : test::RealHelperHarness {
    RealHelperHarness() : test::RealHelperHarness(VANTREL_HELPER_PATH) {}
};

TEST(ScanThroughHelper, AnImageIsScannedCheckedAndRecoveredByteForByte) {
    test::TempDir dir;
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"photo.jpg", test::SampleContent::jpeg(800, 600, 90'000, 41)},
        {"beach.jpg", test::SampleContent::jpeg(1024, 768, 120'000, 42)},
        {"scan.pdf", test::SampleContent::pdf(40'000, 43)},
    };
    test::HfsPlusImageBuilder hfs;
    for (const auto& [name, bytes] : files) hfs.addFile(test::HfsPlusImageBuilder::rootFolderId, name, bytes);
    const auto image = dir / "card.img";
    test::writeFile(image, hfs.build());

    RealHelperHarness h;
    h.model->beginHelperScan(image.string(), ScanMode::quickUndelete);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isScanning(); }));
    ASSERT_FALSE(h.model->errorMessage()) << h.model->errorMessage()->toStdString();
    EXPECT_EQ(h.model->plainState().activeRawDevicePath, image.string()) << "an image file is scanned as it is";
    EXPECT_TRUE(h.model->plainState().disksPendingRemount.empty()) << "an image file is no disk to remount";
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(h.model->statusMessage(), "Quality check finished.");

    std::set<Uuid> chosen;
    for (const auto& [name, bytes] : files) {
        const auto found = std::find_if(h.model->hits().begin(), h.model->hits().end(), [&](const RecoveredHit& hit) {
            return hit.suggestedName == name && hit.source == HitSource::hfsPlusCatalog;
        });
        ASSERT_NE(found, h.model->hits().end()) << name;
        EXPECT_EQ(found->integrity, HitIntegrity::ok) << name << " judged on its probe";
        chosen.insert(found->id);
    }
    EXPECT_EQ(h.checker->calls().size(), files.size()) << "every hit was checked once";

    const auto folder = dir / "recovered";
    std::filesystem::create_directory(folder);
    test::writeFile(folder / "photo.jpg", {9, 9, 9});
    h.model->setSelectedHitIDs(chosen);
    // Take the files from the helper, not from the probes the quality pass cached.
    h.model->probeCache().clear();
    h.model->recoverSelected(folder.string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    ASSERT_FALSE(h.model->errorMessage()) << h.model->errorMessage()->toStdString();
    EXPECT_EQ(h.model->statusMessage(), "Recovered 3 file(s).");
    EXPECT_EQ(test::readFile(folder / "photo.jpg"), (Bytes{9, 9, 9})) << "an existing file is never replaced";
    EXPECT_EQ(test::readFile(folder / "photo_1.jpg"), files[0].second);
    EXPECT_EQ(test::readFile(folder / "beach.jpg"), files[1].second);
    EXPECT_EQ(test::readFile(folder / "scan.pdf"), files[2].second);
}

TEST(ScanThroughHelper, ARecoveryFromTheProbeCacheMatchesTheHelpersBytes) {
    test::TempDir dir;
    const auto photo = test::SampleContent::jpeg(800, 600, 90'000, 51);
    test::HfsPlusImageBuilder hfs;
    hfs.addFile(test::HfsPlusImageBuilder::rootFolderId, "cached.jpg", photo);
    const auto image = dir / "card.img";
    test::writeFile(image, hfs.build());

    RealHelperHarness h;
    h.model->beginHelperScan(image.string(), ScanMode::quickUndelete);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isScanning() && !h.model->isQualityPassRunning(); }));
    ASSERT_EQ(h.model->hits().size(), 1u);
    const auto hit = h.model->hits()[0];
    ASSERT_EQ(h.model->probeCache().fileSize(hit.id), photo.size()) << "a small hit is cached whole";
    h.model->setSelectedHitIDs({hit.id});
    h.model->recoverSelected(dir.path().string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    EXPECT_EQ(test::readFile(dir / "cached.jpg"), photo);
}

} // namespace
} // namespace vantrel
