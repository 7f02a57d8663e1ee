// The disk the results came from, against the fake helper: a folder on the disk being read takes no
// file (neither from the helper nor from the probe cache), and preview, quality pass and recovery read
// nothing from a disk that is not the scanned one: a catalog's absent disk, another card under the
// scanned card's name.

#include "ScanFakes.h"

#include "Vantrel/catalog/CatalogFlows.h"
#include "tests/fixtures/SampleContent.h"

#include <gtest/gtest.h>

#include <thread>

namespace vantrel {
namespace {

using test::FakeDisks;
using test::hitRecord;
using test::ScanHarness;

constexpr const char* notAttached = "The disk these files were found on is not attached.";

struct SourceHarness : ScanHarness {
    std::vector<Bytes> contents;

    // A scan of sdb (card CARD-1, medium 7) that finds three JPEGs; the disk is swapped for after
    // (when given) before the scan ends, so the quality pass after it meets that disk.
    void scanThreePhotos(std::optional<SourceGuard::DiskMark> after = std::nullopt) {
        disks->marks["/dev/sdb"] = FakeDisks::card(7, "CARD-1");
        startScanning();
        std::thread delivery([&] {
            for (std::uint64_t i = 0; i < 3; ++i) {
                contents.push_back(test::SampleContent::jpeg(640, 480, 30'000, 40 + i));
                place(i * 65'536, contents.back());
                helper->sendHit(hitRecord(RecoveredFileKind::jpeg, i * 65'536, contents.back().size(),
                                          "IMG_" + std::to_string(i) + ".JPG", HitSource::signatureCarve, 640, 480));
            }
        });
        delivery.join();
        if (after) disks->marks["/dev/sdb"] = *after;
        replyToScan();
        EXPECT_TRUE(pumpUntil([&] { return !model->isQualityPassRunning(); }));
        std::set<Uuid> all;
        for (const auto& hit : model->hits()) all.insert(hit.id);
        model->setSelectedHitIDs(all);
    }

    // Tries every road that reads the disk; true when none reached the helper.
    bool nothingRead(const std::filesystem::path& folder) {
        const auto before = extractionCount();
        model->setErrorMessage(std::nullopt);
        model->previewHit(RecoveredHit(model->hits()[0]));
        executor->runReady();
        EXPECT_EQ(model->errorMessage(), QString(notAttached));
        model->setErrorMessage(std::nullopt);
        model->recoverSelected(folder.string());
        EXPECT_TRUE(pumpUntil([&] { return !model->isRecovering(); }));
        EXPECT_EQ(model->errorMessage(), QString(notAttached));
        model->enqueueIntegrityChecks();
        EXPECT_TRUE(pumpUntil([&] { return !model->isQualityPassRunning(); }));
        return extractionCount() == before && std::filesystem::is_empty(folder);
    }
};

TEST(AppModelSource, AFolderOnTheDiskBeingReadTakesNoFileFromTheHelperNorFromTheCache) {
    SourceHarness h;
    h.scanThreePhotos();
    ASSERT_EQ(h.model->hits().size(), 3u);
    for (const auto& hit : h.model->hits()) {
        EXPECT_EQ(hit.integrity, HitIntegrity::ok);
        ASSERT_TRUE(h.model->probeCache().cachedFile(hit.id)) << "the quality pass fetched each whole photo";
    }
    h.model->probeCache().clear();
    const auto card = h.dir / "card";
    const auto inside = card / "DCIM" / "Recovered";
    std::filesystem::create_directories(inside);
    h.disks->onSource = {card};
    const auto extractions = h.extractionCount();

    for (const auto& folder : {card, inside}) {
        h.model->setErrorMessage(std::nullopt);
        h.model->recoverSelected(folder.string());
        EXPECT_FALSE(h.model->isRecovering());
        ASSERT_TRUE(h.model->errorMessage());
        EXPECT_EQ(*h.model->errorMessage(), "The destination lies on the disk being read: " + QString::fromStdString(folder.string()) +
                                                ". Choose a folder on another disk.");
        EXPECT_EQ(h.model->statusMessage(), "Nothing was recovered.");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(card), std::filesystem::directory_iterator()), 1);
    EXPECT_TRUE(std::filesystem::is_empty(inside));
    EXPECT_EQ(h.extractionCount(), extractions);

    // A folder whose disk cannot be told is refused as well.
    h.model->recoverSelected((h.dir / "gone").string());
    EXPECT_TRUE(h.model->errorMessage()->startsWith("Cannot tell which disk holds the destination"));
    EXPECT_FALSE(std::filesystem::exists(h.dir / "gone"));

    // The cache's copy is checked on its own file too: one that lies on the source is removed again.
    const auto out = h.dir / "out";
    std::filesystem::create_directory(out);
    const auto photo = h.dir / "cached.jpg";
    test::writeFile(photo, h.contents[0]);
    h.model->probeCache().adopt(photo, h.model->hits()[0].id, "IMG_0.JPG");
    h.disks->onSource = {out / "IMG_0.JPG"};
    h.model->recoverSelected(out.string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    EXPECT_TRUE(h.model->errorMessage()->startsWith("The destination lies on the disk being read: " + QString::fromStdString(out.string())));
    EXPECT_TRUE(std::filesystem::is_empty(out));
    EXPECT_EQ(h.extractionCount(), extractions);

    // Elsewhere every hit comes back, from the cache or through the helper.
    h.disks->onSource = {card};
    h.model->setErrorMessage(std::nullopt);
    h.model->recoverSelected(out.string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    EXPECT_FALSE(h.model->errorMessage());
    EXPECT_EQ(h.model->statusMessage(), "Recovered 3 file(s).");
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(test::readFile(out / ("IMG_" + std::to_string(i) + ".JPG")), h.contents[i]);
    EXPECT_EQ(h.extractionCount(), extractions + 2) << "the cached hit was copied, the other two extracted";
}

TEST(AppModelSource, ACatalogIsNotSavedOntoTheDiskBeingRead) {
    SourceHarness h;
    h.scanThreePhotos();
    const auto card = h.dir / "card";
    std::filesystem::create_directories(card);
    h.disks->onSource = {card};
    EXPECT_FALSE(CatalogFlows::saveCatalog(*h.model, (card / "scan.vtcat").string()));
    ASSERT_TRUE(h.model->errorMessage());
    EXPECT_EQ(*h.model->errorMessage(), "The destination lies on the disk being read: " + QString::fromStdString(card.string()) +
                                            ". Choose a folder on another disk.");
    EXPECT_TRUE(std::filesystem::is_empty(card));
    EXPECT_TRUE(h.model->catalogDirty()) << "the results are still unsaved";

    const auto elsewhere = h.dir / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    h.model->setErrorMessage(std::nullopt);
    EXPECT_TRUE(CatalogFlows::saveCatalog(*h.model, (elsewhere / "scan.vtcat").string()));
    EXPECT_FALSE(h.model->errorMessage());
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "scan.vtcat"));
}

TEST(AppModelSource, AnotherCardUnderTheScannedCardsNameIsNeverRead) {
    SourceHarness h;
    // Swapped before the scan ended: the quality pass reads nothing and says why.
    h.scanThreePhotos(FakeDisks::card(8, "CARD-2"));
    ASSERT_EQ(h.model->hits().size(), 3u);
    EXPECT_EQ(h.extractionCount(), 0u);
    EXPECT_TRUE(h.model->statusMessage().startsWith("Quality check paused")) << h.model->statusMessage().toStdString();
    for (const auto& hit : h.model->hits()) EXPECT_EQ(hit.integrity, HitIntegrity::pending);
    const auto folder = h.dir / "out";
    std::filesystem::create_directory(folder);
    EXPECT_TRUE(h.nothingRead(folder));

    // A card without ids in its place: no medium number or id says it is the scanned one.
    h.disks->marks["/dev/sdb"] = FakeDisks::card(9);
    EXPECT_TRUE(h.nothingRead(folder));

    // The scanned card put back: read again, at its offsets.
    h.disks->marks["/dev/sdb"] = FakeDisks::card(10, "CARD-1");
    h.model->setErrorMessage(std::nullopt);
    h.model->recoverSelected(folder.string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    EXPECT_FALSE(h.model->errorMessage());
    EXPECT_EQ(test::readFile(folder / "IMG_1.JPG"), h.contents[1]);
}

TEST(AppModelSource, ACatalogWhoseDiskIsAbsentIsNeverRead) {
    SourceHarness h;
    test::TempDir files;
    ScanCatalog catalog;
    catalog.createdAt = h.clock->now();
    catalog.source.displayName = "CARD";
    catalog.source.bsdName = "sdb";
    catalog.source.rawDevicePath = "/dev/sdb";
    catalog.source.identity.serialNumber = "CARD-1";
    for (std::uint64_t i = 0; i < 2; ++i) {
        auto hit = test::makeHit("IMG_" + std::to_string(i) + ".JPG", 30'000);
        hit.byteOffset = i * 65'536;
        catalog.hits.push_back(hit);
    }
    catalog.write(files / "card.vtcat");
    CatalogFlows::loadCatalog(*h.model, (files / "card.vtcat").string());
    ASSERT_EQ(h.model->hits().size(), 2u);
    h.model->setSelectedHitIDs({h.model->hits()[0].id, h.model->hits()[1].id});
    const auto folder = h.dir / "out";
    std::filesystem::create_directory(folder);
    EXPECT_TRUE(h.nothingRead(folder));

    // Even with the catalog's node set by hand (a hostile catalog, a stale name), another card there is not read.
    h.disks->marks["/dev/sdb"] = FakeDisks::card(3, "OTHER");
    h.model->plainState().activeRawDevicePath = "/dev/sdb";
    h.model->plainState().resultsDiskAttached = true;
    EXPECT_TRUE(h.nothingRead(folder));
    for (const auto& hit : h.model->hits()) EXPECT_EQ(hit.integrity, HitIntegrity::pending);

    // Nor is a card whose serial number alone agrees: a card reader gives every card in it the same.
    h.disks->marks["/dev/sdb"] = FakeDisks::card(4, "CARD-1");
    EXPECT_TRUE(h.nothingRead(folder));

    // The catalog's own card, once it has shown to be that card, is read.
    h.model->bindResultsDisk(h.disks->marks["/dev/sdb"]);
    h.place(0, test::SampleContent::jpeg(640, 480, 30'000, 5));
    h.model->setErrorMessage(std::nullopt);
    h.model->recoverSelected(folder.string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    EXPECT_FALSE(h.model->errorMessage());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 2);
}

} // namespace
} // namespace vantrel
