#include "Vantrel/catalog/CatalogFlows.h"
#include "Vantrel/effects/ImageFileVolumes.h"
#include "recovery/filesystems/partitions/MediumIdentityReader.h"

#include "AppModelHarness.h"
#include "SampleHit.h"
#include "SampleVolume.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>
#include <fstream>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>

using namespace vantrel;
using namespace vantrel::test;

namespace {

RecoveredHit hitAt(std::uint64_t offset, HitIntegrity integrity = HitIntegrity::pending) {
    RecoveredHit hit = makeHit("IMG_" + std::to_string(offset) + ".JPG", 500'000);
    hit.byteOffset = offset;
    hit.integrity = integrity;
    return hit;
}

// A model on fakes whose disks have the identities the test gives them, by kernel name.
struct CatalogHarness : AppModelHarness {
    std::map<std::string, DiskIdentity> identities;
    TempDir folder;

    CatalogHarness() {
        AppEffects withIdentities = effects();
        withIdentities.diskIdentity = [this](const ExternalVolume& attached) {
            const auto found = identities.find(attached.bsdName);
            return found == identities.end() ? DiskIdentity{} : found->second;
        };
        model = std::make_unique<AppModel>(withIdentities);
        model->setVolumeMonitor(volumes);
    }

    // A catalog on disk with the given source and hits.
    std::string catalogFile(const ScanCatalog::Source& source, std::vector<RecoveredHit> hits,
                            const std::string& name = "card.vtcat") {
        ScanCatalog catalog;
        catalog.createdAt = clock->now();
        catalog.source = source;
        catalog.hits = std::move(hits);
        catalog.write(folder / name);
        return (folder / name).string();
    }
};

ScanCatalog::Source cardSource(const std::string& bsdName, const std::string& serial) {
    ScanCatalog::Source source;
    source.displayName = "EOS_DIGITAL";
    source.bsdName = bsdName;
    source.rawDevicePath = "/dev/" + bsdName;
    source.sizeBytes = 1ull << 30;
    source.identity.serialNumber = serial;
    return source;
}

} // namespace

TEST(CatalogFlows, SavesTheScannedDiskAndTheHitsThroughTheSaveDialog) {
    CatalogHarness harness;
    AppModel& model = *harness.model;
    const ExternalVolume scanned = sampleVolume("sdb", 1ull << 30, "EOS/DIGITAL");
    harness.identities["sdb"] = cardSource("sdb", "CARD-1").identity;
    model.setSelectedVolume(scanned);
    CatalogFlows::recordScannedDisk(model, scanned, "/dev/sdb");
    model.appendHit(hitAt(4096));
    model.appendHit(hitAt(8192, HitIntegrity::ok));
    model.setCatalogDirty(true);
    // Another volume picked after the scan does not change what the results came from.
    model.setSelectedVolume(sampleVolume("sdc", 5, "OTHER/CARD"));

    auto saved = spawnRecorded(model.tasks(), CatalogFlows::saveCatalogWithPanel(&model));
    harness.executor->runUntilIdle();
    ASSERT_EQ(harness.dialogs->requests.size(), 1u);
    const auto& options = harness.dialogs->requests.front().options;
    EXPECT_EQ(options.title, "Save Scan Catalog");
    EXPECT_EQ(options.prompt, "Save");
    EXPECT_EQ(options.defaultName, "OTHER_CARD.vtcat");
    EXPECT_EQ(options.fileExtensions, std::vector<std::string>{"vtcat"});
    EXPECT_TRUE(options.canCreateFolders);
    harness.dialogs->answer((harness.folder / "card").string());
    harness.executor->runUntilIdle();
    EXPECT_EQ(saved->value, true);

    const auto path = (harness.folder / "card.vtcat").string();
    const ScanCatalog written = ScanCatalog::load(path);
    EXPECT_EQ(written.source, CatalogVolumeMatching::sourceFor(scanned, "/dev/sdb", cardSource("sdb", "CARD-1").identity));
    EXPECT_EQ(written.hits, std::vector<RecoveredHit>(model.hits().begin(), model.hits().end()));
    EXPECT_EQ(written.createdAt, harness.clock->now());
    EXPECT_FALSE(model.catalogDirty());
    EXPECT_EQ(model.plainState().catalogURL, path);
    EXPECT_EQ(model.statusMessage(), "Catalog saved (2 hits).");

    // The next dialog starts in the folder of the last catalog; a cancelled one saves nothing.
    model.setCatalogDirty(true);
    auto cancelled = spawnRecorded(model.tasks(), CatalogFlows::saveCatalogWithPanel(&model));
    harness.executor->runUntilIdle();
    EXPECT_EQ(harness.dialogs->requests.front().options.directory, harness.folder.path().string());
    harness.dialogs->answer(std::nullopt);
    harness.executor->runUntilIdle();
    EXPECT_EQ(cancelled->value, false);
    EXPECT_TRUE(model.catalogDirty());
}

TEST(CatalogFlows, SavesAnUnknownSourceWithoutAVolumeAndReportsAFailedWrite) {
    CatalogHarness harness;
    AppModel& model = *harness.model;
    model.appendHit(hitAt(0));
    model.setCatalogDirty(true);
    ASSERT_TRUE(CatalogFlows::saveCatalog(model, (harness.folder / "scan.vtcat").string()));
    const auto source = ScanCatalog::load(harness.folder / "scan.vtcat").source;
    EXPECT_EQ(source.displayName, "unknown");
    EXPECT_FALSE(source.bsdName || source.rawDevicePath);
    EXPECT_EQ(source.sizeBytes, 0u);

    model.setCatalogDirty(true);
    model.setStatusMessage("before");
    EXPECT_FALSE(CatalogFlows::saveCatalog(model, (harness.folder / "missing" / "scan.vtcat").string()));
    ASSERT_TRUE(model.errorMessage());
    EXPECT_TRUE(model.errorMessage()->contains("“scan.vtcat” could not be saved")) << model.errorMessage()->toStdString();
    EXPECT_TRUE(model.catalogDirty());
    EXPECT_EQ(model.statusMessage(), "before");
    EXPECT_EQ(model.plainState().catalogURL, (harness.folder / "scan.vtcat").string());
}

TEST(CatalogFlows, OpensAfterTheUnsavedResultsQuestionAndNeverWhileAScanRuns) {
    CatalogHarness harness;
    AppModel& model = *harness.model;
    const auto path = harness.catalogFile(cardSource("sdx", "GONE"), {hitAt(0), hitAt(4096)});
    model.appendHit(hitAt(77));
    model.setCatalogDirty(true);

    model.setIsScanning(true);
    CatalogFlows::openCatalogWithPanel(model);
    harness.executor->runUntilIdle();
    EXPECT_TRUE(harness.dialogs->requests.empty());
    ASSERT_TRUE(model.errorMessage());
    model.setIsScanning(false);
    model.setErrorMessage(std::nullopt);

    for (const auto decision : {AppModel::CatalogDecision::cancel, AppModel::CatalogDecision::discard}) {
        CatalogFlows::openCatalogWithPanel(model);
        harness.executor->runUntilIdle();
        ASSERT_EQ(harness.dialogs->requests.size(), 1u);
        EXPECT_EQ(harness.dialogs->requests.front().options.title, "Open Scan Catalog");
        EXPECT_EQ(harness.dialogs->requests.front().options.prompt, "Open");
        harness.dialogs->answer(path);
        harness.executor->runUntilIdle();
        EXPECT_TRUE(model.showUnsavedCatalogPrompt());
        model.resolveCatalogDecision(decision);
        harness.executor->runUntilIdle();
    }
    // The file is read on a thread of its own; the flow applies it when that thread hands it back.
    for (int turn = 0; turn < 20'000 && model.hits().size() != 2; ++turn) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        harness.executor->runUntilIdle();
    }
    ASSERT_EQ(model.hits().size(), 2u);
    EXPECT_EQ(model.hits()[1].byteOffset, 4096u);
    EXPECT_FALSE(model.catalogDirty());
    EXPECT_EQ(model.plainState().catalogURL, path);
}

// A medium as the helper would describe it: its fingerprint stands for its sectors.
MediumIdentity medium(const std::string& sectors) {
    MediumIdentity identity;
    identity.deviceBytes = 256ull << 20;
    identity.fingerprint = MediumIdentityReader::sha256Hex(Bytes(sectors.begin(), sectors.end()));
    return identity;
}

// A catalog harness whose disks are told apart by their media: each node has a medium number (what the
// kernel says) and a medium (what the helper reads on it).
struct MediaHarness : CatalogHarness {
    std::map<std::string, MediumIdentity> media;

    MediaHarness() {
        helper->setResponder(HelperProtocolSelector::identifyDevice, [this](FakeHelperClient::Call& call) {
            const auto path = call.arguments[0].get<std::string>();
            ++asked[path];
            const auto found = media.find(path);
            if (found == media.end()) call.identityReply({}, ErrorObject::posix(EIO, path));
            else call.identityReply(found->second.toJson().dump(), std::nullopt);
            return true;
        });
    }
    void attach(const std::string& name, const std::string& label, std::uint64_t mediumNumber, const std::string& sectors) {
        disks->marks["/dev/" + name] = FakeDisks::card(mediumNumber);
        media["/dev/" + name] = medium(sectors);
        volumes->current.push_back(sampleVolume(name, 256ull << 20, label));
    }
    std::map<std::string, int> asked;
};

ScanCatalog::Source stickSource(std::optional<MediumIdentity> identity) {
    ScanCatalog::Source source;
    source.displayName = "MYSTICK";
    source.bsdName = "sdb";
    source.rawDevicePath = "/dev/sdb";
    source.sizeBytes = 256ull << 20;
    source.medium = std::move(identity);
    return source;
}

TEST(CatalogFlows, ACatalogReadsOnlyTheDiskWhoseMediumItRecordsUnderWhateverNameItHasNow) {
    MediaHarness harness;
    AppModel& model = *harness.model;
    // Another card of the same size took the catalog's kernel name.
    harness.attach("sdb", "USBSTICK", 7, "another card");
    const auto path = harness.catalogFile(stickSource(medium("my stick")), {hitAt(0), hitAt(4096, HitIntegrity::ok)});

    CatalogFlows::loadCatalog(model, path);
    EXPECT_EQ(model.statusMessage(), "Loaded catalog — 2 file(s). Looking for the disk they were found on…");
    harness.executor->runUntilIdle();
    const QString refusal = "The attached disk \"USBSTICK\" is not the one these files were found on (\"MYSTICK\").";
    EXPECT_EQ(model.statusMessage(), refusal);
    EXPECT_FALSE(CatalogFlows::resultsDiskAttached(model));
    EXPECT_FALSE(model.sourceDeviceToRead());
    ASSERT_TRUE(model.selectedVolume());
    EXPECT_EQ(model.selectedVolume()->bsdName, "") << "no tile of another disk is selected";
    EXPECT_TRUE(model.plainState().pendingIntegrityIDs.empty());
    model.setSelectedHitIDs({model.hits()[0].id});
    model.recoverSelected(harness.folder.path().string());
    EXPECT_EQ(model.errorMessage(), refusal);
    const auto called = harness.helper->calledSelectors();
    EXPECT_EQ(std::count(called.begin(), called.end(), std::string(HelperProtocolSelector::extractHit)), 0);

    // The list refreshes: the disk already asked is not asked again. The catalog's card then appears
    // under another name and is taken, read and checked.
    CatalogFlows::reconcileSelectedVolume(model, harness.volumes->current);
    harness.executor->runUntilIdle();
    EXPECT_EQ(harness.asked["/dev/sdb"], 1);
    harness.attach("sdc", "MYSTICK", 8, "my stick");
    CatalogFlows::reconcileSelectedVolume(model, harness.volumes->current);
    harness.executor->runUntilIdle();
    EXPECT_TRUE(CatalogFlows::resultsDiskAttached(model));
    EXPECT_EQ(model.selectedVolume()->bsdName, "sdc");
    EXPECT_EQ(model.sourceDeviceToRead(), "/dev/sdc");
    EXPECT_EQ(model.statusMessage(), "Loaded catalog — 2 file(s) from MYSTICK.");
    EXPECT_EQ(model.plainState().pendingIntegrityIDs, std::deque<Uuid>{model.hits()[0].id});

    // Taken out and another card put in under that name: not read, and asked about.
    harness.disks->marks["/dev/sdc"] = FakeDisks::card(9);
    harness.media["/dev/sdc"] = medium("third card");
    EXPECT_FALSE(model.sourceDeviceToRead());
    CatalogFlows::reconcileSelectedVolume(model, harness.volumes->current);
    harness.executor->runUntilIdle();
    EXPECT_FALSE(model.sourceDeviceToRead());
    EXPECT_EQ(harness.asked["/dev/sdc"], 2);
}

TEST(CatalogFlows, ACatalogWithoutIdentityAsksOnceAndRefusesADiskOfAnotherLabelOrSize) {
    MediaHarness harness;
    AppModel& model = *harness.model;
    const auto path = harness.catalogFile(stickSource(std::nullopt), {hitAt(0)});

    // Another label under the recorded name: refused without a question.
    harness.attach("sdb", "USBSTICK", 7, "another card");
    CatalogFlows::loadCatalog(model, path);
    harness.executor->runUntilIdle();
    EXPECT_FALSE(model.catalogDiskQuestion());
    EXPECT_EQ(model.statusMessage(), "The attached disk \"USBSTICK\" is not the one these files were found on (\"MYSTICK\").");

    // The recorded label and size: asked once, Cancel keeps it unread and is not asked again.
    harness.volumes->current.clear();
    harness.attach("sdb", "MYSTICK", 8, "my stick");
    CatalogFlows::loadCatalog(model, path);
    harness.executor->runUntilIdle();
    ASSERT_TRUE(model.catalogDiskQuestion());
    EXPECT_EQ(*model.catalogDiskQuestion(), "Use \"MYSTICK\" (268.4 MB) for this catalog?");
    EXPECT_TRUE(model.resolveCatalogDiskQuestion(false));
    harness.executor->runUntilIdle();
    EXPECT_FALSE(model.sourceDeviceToRead());
    CatalogFlows::reconcileSelectedVolume(model, harness.volumes->current);
    harness.executor->runUntilIdle();
    EXPECT_FALSE(model.catalogDiskQuestion());

    // Confirmed: read, and what its medium says is kept for a catalog saved from these results.
    CatalogFlows::loadCatalog(model, path);
    harness.executor->runUntilIdle();
    ASSERT_TRUE(model.resolveCatalogDiskQuestion(true));
    harness.executor->runUntilIdle();
    EXPECT_EQ(model.sourceDeviceToRead(), "/dev/sdb");
    EXPECT_EQ(model.statusMessage(), "Loaded catalog — 1 file(s) from MYSTICK.");
    EXPECT_EQ(model.plainState().pendingIntegrityIDs.size(), 1u);
    ASSERT_TRUE(CatalogFlows::saveCatalog(model, (harness.folder / "again.vtcat").string()));
    EXPECT_EQ(ScanCatalog::load(harness.folder / "again.vtcat").source.medium, medium("my stick"));
}

// A card just attached may be listed before its label was read (the label is probed with a time limit,
// which a busy machine may overrun): refused then, and asked about once a later list shows its label.
TEST(CatalogFlows, ACatalogsDiskListedBeforeItsLabelIsAskedAboutOnceTheLabelShows) {
    MediaHarness harness;
    AppModel& model = *harness.model;
    const auto path = harness.catalogFile(stickSource(std::nullopt), {hitAt(0)});
    CatalogFlows::loadCatalog(model, path);
    harness.executor->runUntilIdle();

    harness.attach("sdb", "", 8, "my stick");
    CatalogFlows::reconcileSelectedVolume(model, harness.volumes->current);
    harness.executor->runUntilIdle();
    EXPECT_FALSE(model.catalogDiskQuestion());
    EXPECT_FALSE(model.sourceDeviceToRead());
    // Listed again as it was: still no question.
    CatalogFlows::reconcileSelectedVolume(model, harness.volumes->current);
    harness.executor->runUntilIdle();
    EXPECT_FALSE(model.catalogDiskQuestion());

    harness.volumes->current.clear();
    harness.volumes->current.push_back(sampleVolume("sdb", 256ull << 20, "MYSTICK"));
    CatalogFlows::reconcileSelectedVolume(model, harness.volumes->current);
    harness.executor->runUntilIdle();
    ASSERT_TRUE(model.catalogDiskQuestion());
    EXPECT_EQ(*model.catalogDiskQuestion(), "Use \"MYSTICK\" (268.4 MB) for this catalog?");
    ASSERT_TRUE(model.resolveCatalogDiskQuestion(true));
    harness.executor->runUntilIdle();
    EXPECT_EQ(model.sourceDeviceToRead(), "/dev/sdb");
    EXPECT_EQ(model.statusMessage(), "Loaded catalog — 1 file(s) from MYSTICK.");
}

TEST(CatalogFlows, ACatalogWhoseDiskIsAttachedSelectsItAndQueuesItsPendingHits) {
    MediaHarness harness;
    AppModel& model = *harness.model;
    harness.attach("sdc", "OTHER", 3, "other card");
    harness.attach("sdd", "EOS_DIGITAL", 4, "camera card");
    const ExternalVolume card = harness.volumes->current.back();
    // Two JPEGs small for their pixel count are kept on loading: the scan kept them for their structure.
    std::vector<RecoveredHit> hits;
    for (std::uint64_t i = 0; i < 10; ++i) hits.push_back(hitAt(i * 4096));
    for (std::size_t i : {3u, 7u}) {
        hits[i].dimensions = ImageDimensions{4000, 3000};
        hits[i].byteLength = 1000;
    }
    auto source = stickSource(medium("camera card"));
    source.displayName = "EOS_DIGITAL";
    const auto path = harness.catalogFile(source, hits);

    CatalogFlows::loadCatalog(model, path);
    harness.executor->runUntilIdle();
    EXPECT_EQ(model.selectedVolume(), card);
    EXPECT_TRUE(CatalogFlows::resultsDiskAttached(model));
    EXPECT_EQ(model.plainState().activeRawDevicePath, "/dev/sdd");
    EXPECT_EQ(model.hits().size(), 10u);
    EXPECT_EQ(model.progress().hitsFound, 10);
    EXPECT_EQ(model.statusMessage(), "Loaded catalog — 10 file(s) from EOS_DIGITAL.");
    EXPECT_FALSE(model.qualityPassStarted());
    EXPECT_EQ(model.plainState().pendingIntegrityIDs.size(), 10u);
    EXPECT_FALSE(model.catalogDirty());
    EXPECT_GE(harness.volumes->refreshes, 1);

    // Re-listed with a changed mount state: the selection follows; unchanged: nothing is published.
    ExternalVolume unmounted = card;
    unmounted.isMounted = false;
    CatalogFlows::reconcileSelectedVolume(model, {unmounted});
    EXPECT_EQ(model.selectedVolume(), unmounted);
    int published = 0;
    QObject::connect(&model, &AppModel::fieldChanged, [&](AppModel::Field field) {
        if (field == AppModel::Field::selectedVolume) ++published;
    });
    CatalogFlows::reconcileSelectedVolume(model, {unmounted});
    EXPECT_EQ(published, 0);
}

TEST(CatalogFlows, AFailedLoadLeavesTheResultsAsTheyWere) {
    CatalogHarness harness;
    AppModel& model = *harness.model;
    model.appendHit(hitAt(77));
    model.setCatalogDirty(true);
    std::ofstream(harness.folder / "newer.vtcat")
        << R"({"version":2,"createdAt":"2025-03-01T09:30:00Z","hits":[],"source":{"kind":"volume","displayName":"x","sizeBytes":0}})";
    CatalogFlows::loadCatalog(model, (harness.folder / "newer.vtcat").string());
    EXPECT_EQ(model.errorMessage(), "Catalog version 2 is newer than this app.");
    EXPECT_EQ(model.hits().size(), 1u);
    EXPECT_TRUE(model.catalogDirty());
    EXPECT_FALSE(model.plainState().catalogURL);

    std::ofstream(harness.folder / "broken.vtcat") << "{\"version\":1,";
    CatalogFlows::loadCatalog(model, (harness.folder / "broken.vtcat").string());
    ASSERT_TRUE(model.errorMessage());
    EXPECT_TRUE(model.errorMessage()->contains("“broken.vtcat”"));
    EXPECT_EQ(model.hits().size(), 1u);
}

TEST(CatalogFlows, AnImageFileCatalogReopensOnlyWhileItsFileIsThereAsItWasScanned) {
    CatalogHarness harness;
    AppModel& model = *harness.model;
    const auto images = std::make_shared<ImageFileVolumes>(harness.volumes);
    model.setVolumeMonitor(images);
    const std::string image = (harness.folder / "card.img").string();
    writeFile(image, Bytes(1 << 20, 0));
    const auto scanned = ImageFileVolumes::volumeOf(image);
    ASSERT_TRUE(scanned);
    model.setSelectedVolume(*scanned);
    CatalogFlows::recordScannedDisk(model, *scanned, image);
    // What the scan records of the image, as the helper reads it.
    model.plainState().resultsSource->medium = CatalogFlows::localImageIdentity(image);
    model.appendHit(hitAt(4096));
    const std::string catalog = (harness.folder / "image.vtcat").string();
    ASSERT_TRUE(CatalogFlows::saveCatalog(model, catalog));
    EXPECT_EQ(ScanCatalog::load(catalog).source.kind, ScanCatalog::Source::Kind::diskImage);

    // Opened again in a fresh run: the image joins the list, is selected and read from.
    model.resetResults();
    model.setSelectedVolume(std::nullopt);
    CatalogFlows::loadCatalog(model, catalog);
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_EQ(model.hits().size(), 1u);
    EXPECT_EQ(model.selectedVolume(), scanned);
    EXPECT_EQ(model.plainState().activeRawDevicePath, image);
    EXPECT_TRUE(CatalogFlows::resultsDiskAttached(model));
    EXPECT_EQ(images->volumes(), std::vector<ExternalVolume>{*scanned});

    // Grown, or of the same size but written since: another file as far as the hits' offsets go.
    const QString changed = "This catalog was saved from the disk image file “" + QString::fromStdString(image) +
                            "”, which has changed since (it is not the same file, or not of the same size). The files "
                            "the catalog lists may no longer be where it says; scan the image again.";
    model.resetResults();
    writeFile(image, Bytes((1 << 20) + 1, 0));
    CatalogFlows::loadCatalog(model, catalog);
    EXPECT_EQ(model.errorMessage(), changed);
    EXPECT_TRUE(model.hits().empty()) << "nothing of a refused catalog is shown";
    model.setErrorMessage(std::nullopt);
    writeFile(image, Bytes(1 << 20, 0));
    const timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, image.c_str(), times, 0), 0);
    CatalogFlows::loadCatalog(model, catalog);
    EXPECT_EQ(model.errorMessage(), changed);

    // A catalog that records no medium, or another file's status and size copied into it, names a
    // file it may not read: refused before anything is read of it.
    model.setErrorMessage(std::nullopt);
    writeFile(image, Bytes(1 << 20, 0));
    auto hostile = ScanCatalog::load(catalog);
    hostile.source.medium.reset();
    hostile.write(harness.folder / "hostile.vtcat");
    CatalogFlows::loadCatalog(model, (harness.folder / "hostile.vtcat").string());
    EXPECT_EQ(model.errorMessage(), "This catalog does not say which image it was made from.");
    const std::string secret = (harness.folder / "secret").string();
    writeFile(secret, randomBytes(1 << 20, 3));
    struct stat info {};
    ASSERT_EQ(::stat(secret.c_str(), &info), 0);
    hostile = ScanCatalog::load(catalog);
    hostile.source.rawDevicePath = secret;
    hostile.source.identity = {};
    hostile.write(harness.folder / "hostile.vtcat");
    model.setErrorMessage(std::nullopt);
    CatalogFlows::loadCatalog(model, (harness.folder / "hostile.vtcat").string());
    ASSERT_TRUE(model.errorMessage());
    EXPECT_TRUE(model.errorMessage()->contains("which has changed since"));
    EXPECT_FALSE(CatalogFlows::resultsDiskAttached(model) && model.sourceDeviceToRead());

    model.setErrorMessage(std::nullopt);
    std::filesystem::remove(image);
    CatalogFlows::loadCatalog(model, catalog);
    EXPECT_EQ(model.errorMessage(), "This catalog was saved from the disk image file “" + QString::fromStdString(image) +
                                        "”, which is not there any more. Put the file back at that place to open the "
                                        "catalog.");
}
