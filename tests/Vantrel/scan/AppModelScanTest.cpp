// A scan from the application against the fake helper in virtual time: the request, the start call,
// hit intake, the end of the scan, cancelling, early failures, and the quality pass that follows.

#include "ScanFakes.h"

#include "Vantrel/helper/CallError.h"

#include "platform/ipc/IpcError.h"
#include "support/VantrelError.h"
#include "tests/fixtures/SampleContent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <thread>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using test::hitRecord;
using test::makeHit;
using test::ScanHarness;
using Selector = std::string_view;

const RecoveredHit* hitNamed(AppModel& model, const std::string& name) {
    for (const auto& hit : model.hits())
        if (hit.suggestedName == name) return &hit;
    return nullptr;
}

TEST(AppModelScan, AWholeScanFromTheRequestToTheEndOfTheQualityPass) {
    ScanHarness h;
    const auto photo = test::SampleContent::jpeg(640, 480, 40'000, 7);
    const auto second = test::SampleContent::jpeg(640, 480, 30'000, 8);
    h.place(200'000, photo);
    h.place(100'000, second);

    // A FAT volume asks for the mode first; the mode chosen is remembered.
    h.model->requestScan();
    h.executor->runReady();
    ASSERT_TRUE(h.model->showScanModeSheet());
    h.model->startScan(ScanMode::quickUndelete);
    EXPECT_FALSE(h.model->showScanModeSheet());
    EXPECT_EQ(h.model->preferredScanMode(), ScanMode::quickUndelete);
    EXPECT_TRUE(h.model->isScanning());
    h.executor->runReady();

    auto call = h.helper->takeCall(HelperProtocolSelector::startScan);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments[0], "/dev/sdb") << "a partition's whole disk is scanned";
    EXPECT_EQ(call->arguments[1], 8192);
    EXPECT_EQ(call->arguments[5], "quickUndelete");
    EXPECT_TRUE(h.model->plainState().disksPendingRemount.contains("sdb"));
    EXPECT_EQ(h.model->progress().totalBytes, h.disk.size());
    EXPECT_EQ(h.model->statusMessage(), "Scanning via helper…");

    // From the connection's thread, as the real one delivers them.
    std::thread delivery([&] {
        h.helper->sendLog("reading");
        h.helper->sendHit(hitRecord(RecoveredFileKind::jpeg, 200'000, photo.size(), "FILE0001.JPG", HitSource::fatUndelete, 640, 480));
        h.helper->sendHit(hitRecord(RecoveredFileKind::jpeg, 200'000, photo.size(), "again.jpg"));   // a repeat
        h.helper->sendHit(hitRecord(RecoveredFileKind::png, 200'000, 5'000, "same offset.png"));     // another kind
        h.helper->sendHit(hitRecord(RecoveredFileKind::jpeg, 100'000, second.size(), "Holiday.jpg", HitSource::exfatUndelete, 640, 480));
        h.helper->sendHit(hitRecord(RecoveredFileKind::jpeg, 300'000, 12'287, "tiny.jpg", HitSource::signatureCarve, 320, 240));
        h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, 400'000, 50'000, "clip.mp4"));
        h.helper->sendHit(hitRecord(RecoveredFileKind::bmp, 500'000, 50'000, "nodims.bmp"));
        h.helper->sendProgress(500'000, static_cast<std::int64_t>(h.disk.size()), 6, 0);
    });
    delivery.join();
    h.executor->runReady();

    EXPECT_EQ(h.model->statusMessage(), "Helper: reading");
    ASSERT_EQ(h.model->hits().size(), 6u) << "the repeat is dropped; a JPEG small for its pixels is the helper's to judge";
    const auto* renamed = hitNamed(*h.model, "recovered_00001.jpg");
    ASSERT_TRUE(renamed) << "a generic undeleted name gets a numbered one";
    EXPECT_EQ(renamed->integrity, HitIntegrity::pending);
    ASSERT_TRUE(hitNamed(*h.model, "Holiday.jpg"));
    EXPECT_EQ(h.model->progress().bytesScanned, 500'000u);
    EXPECT_TRUE(h.model->catalogDirty());
    EXPECT_EQ(h.extractionCount(), 0u) << "no probe is fetched while the scan runs";

    call->errorReply(std::nullopt);
    h.executor->runReady();
    EXPECT_FALSE(h.model->isScanning());
    EXPECT_EQ(h.model->lastFinishedScanMode(), ScanMode::quickUndelete);
    EXPECT_EQ(h.model->fullDiskAccessState(), AppModel::RawDiskAccessState::granted);
    // The quality pass may already have judged (and dropped) the tiny JPEG on its workers: only the prune is
    // checked here.
    EXPECT_FALSE(hitNamed(*h.model, "nodims.bmp")) << "the BMP without dimensions is pruned at the end";
    EXPECT_TRUE(hitNamed(*h.model, "clip.mp4"));

    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_TRUE(h.model->qualityPassStarted());
    EXPECT_EQ(h.model->statusMessage(), "Quality check finished.");
    EXPECT_EQ(h.extractedOffsets(), (std::vector<std::uint64_t>{100'000, 200'000, 200'000, 300'000}))
        << "probes in ascending offset, none for the video";
    EXPECT_EQ(hitNamed(*h.model, "recovered_00001.jpg")->integrity, HitIntegrity::ok);
    EXPECT_EQ(hitNamed(*h.model, "Holiday.jpg")->integrity, HitIntegrity::ok);
    EXPECT_EQ(hitNamed(*h.model, "same offset.png")->integrity, HitIntegrity::ok);
    EXPECT_EQ(hitNamed(*h.model, "clip.mp4")->integrity, HitIntegrity::skipped);
    for (const auto& path : h.extractedPaths())
        EXPECT_FALSE(std::filesystem::exists(path)) << "the fetched probe file moved into the cache: " << path;
    EXPECT_TRUE(h.model->probeCache().fileSize(hitNamed(*h.model, "Holiday.jpg")->id));
}

TEST(AppModelScan, TheFinishingTextCountsTheHitsBeforePruning) {
    ScanHarness h;
    h.model->setIntegrityChecker(nullptr);  // the finishing text stays
    h.startScanning();
    for (std::uint64_t i = 0; i < 3; ++i) h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, i * 1000, 900, "v.mp4"));
    h.helper->sendHit(hitRecord(RecoveredFileKind::png, 9000, 900, "wide.png", HitSource::signatureCarve, 70'000, 10));
    h.helper->sendHit(hitRecord(RecoveredFileKind::bmp, 9500, 900, "dims.bmp", HitSource::signatureCarve, 65'536, 1));
    h.replyToScan();
    EXPECT_EQ(h.model->statusMessage(), "Scan finished — 5 file(s) found. Volume stays unmounted until you remount it.");
    EXPECT_EQ(h.model->hits().size(), 4u);
    EXPECT_FALSE(hitNamed(*h.model, "wide.png"));
    EXPECT_EQ(h.model->plainState().pendingIntegrityIDs.size(), 4u) << "without a checker the hits stay queued";
}

// The helper's status lines are shown while a scan runs; after it (a recovery sends two a file) they
// are dropped on the connection's thread and never wake the main thread.
TEST(AppModelScan, StatusLinesOutsideAScanNeverReachTheMainThread) {
    ScanHarness h;
    h.model->setIntegrityChecker(nullptr);
    h.startScanning();
    std::thread([&] { h.helper->sendLog("reading"); }).join();
    EXPECT_GT(h.executor->runReady(), 0u);
    EXPECT_EQ(h.model->statusMessage(), "Helper: reading");
    h.replyToScan();
    const auto ended = h.model->statusMessage();
    std::thread([&] {
        h.helper->sendLog("Extracting 1 bytes @0…");
        h.helper->sendLog("Extracted 1 bytes");
    }).join();
    EXPECT_EQ(h.executor->runReady(), 0u);
    EXPECT_EQ(h.model->statusMessage(), ended);
}

// Only a disk the scan unmounted is left to be mounted again: one that held no mount is not, and its
// finishing text says nothing of remounting.
TEST(AppModelScan, ADiskWithoutAMountIsNotLeftToBeMountedAgain) {
    for (const bool mounted : {true, false}) {
        ScanHarness h;
        h.model->setIntegrityChecker(nullptr);
        if (!mounted) h.mounter->neverMounted = {"sdb"};
        h.startScanning();
        h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, 1000, 900, "v.mp4"));
        h.replyToScan();
        EXPECT_EQ(h.model->plainState().disksPendingRemount.contains("sdb"), mounted);
        EXPECT_EQ(h.model->scannedDiskLeftUnmounted(), mounted);
        EXPECT_EQ(h.model->statusMessage(), mounted ? "Scan finished — 1 file(s) found. Volume stays unmounted until you remount it."
                                                    : "Scan finished — 1 file(s) found.");
    }
}

// The scan's end queues every pending hit that is not queued yet, after the queue as it stands, and
// never one twice, whether the queue follows the list's order or not; suspect hits stay as they were.
TEST(AppModelScan, AtTheEndEveryPendingHitIsQueuedOnceAfterThoseAlreadyWaiting) {
    for (const bool listOrder : {true, false}) {
        SCOPED_TRACE(listOrder ? "queue in the list's order" : "queue in another order");
        ScanHarness h;
        h.model->setIntegrityChecker(nullptr);  // the queue stays as the end leaves it
        h.startScanning();
        for (std::uint64_t i = 0; i < 6; ++i) h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, i * 1000, 900, "v.mp4"));
        h.executor->runReady();
        ASSERT_EQ(h.model->hits().size(), 6u);
        std::deque<Uuid> ids;
        for (const auto& hit : h.model->hits()) ids.push_back(hit.id);
        auto& queue = h.model->plainState().pendingIntegrityIDs;
        ASSERT_EQ(queue, ids) << "the intake queues each hit as it takes it in";

        // Two checks given back out of the queue, the rest left as a pass would leave them.
        queue = listOrder ? std::deque<Uuid>{ids[0], ids[2], ids[3], ids[5]} : std::deque<Uuid>{ids[5], ids[3], ids[0], ids[2]};
        auto expected = queue;
        // A suspect hit that is not queued stays out of the queue.
        auto suspect = h.model->hits()[4];
        suspect.integrity = HitIntegrity::suspect;
        ASSERT_TRUE(h.model->updateHit(suspect));
        expected.push_back(ids[1]);

        h.replyToScan();
        EXPECT_EQ(queue, expected);
    }
}

// Only hits no file can be are pruned at the end, also one that became so after it was taken in, with
// what points at them: the selection and the queue.
TEST(AppModelScan, TheEndPrunesAHitThatBecameImplausibleWithWhatPointsAtIt) {
    ScanHarness h;
    h.model->setIntegrityChecker(nullptr);
    h.startScanning();
    for (std::uint64_t i = 0; i < 4; ++i)
        h.helper->sendHit(hitRecord(RecoveredFileKind::png, i * 1000, 900, "p.png", HitSource::signatureCarve, 640, 480));
    h.executor->runReady();
    ASSERT_EQ(h.model->hits().size(), 4u);
    const auto kept = h.model->hits()[0].id;
    auto wide = h.model->hits()[2];
    wide.dimensions = ImageDimensions{70'000, 480};
    ASSERT_TRUE(h.model->updateHit(wide));
    h.model->setSelectedHitIDs({kept, wide.id});

    h.replyToScan();
    ASSERT_EQ(h.model->hits().size(), 3u);
    EXPECT_FALSE(h.model->hit(wide.id));
    EXPECT_EQ(h.model->selectedHitIDs(), (std::set<Uuid>{kept}));
    const auto& queue = h.model->plainState().pendingIntegrityIDs;
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(std::count(queue.begin(), queue.end(), wide.id), 0);
    EXPECT_TRUE(h.model->catalogDirty());

}

TEST(AppModelScan, HitsArrivingFasterThanTheWindowDrawsAreAllTakenInBeforeTheEnd) {
    ScanHarness h;
    h.startScanning();
    constexpr std::uint64_t count = 20'000;
    std::thread delivery([&] {
        for (std::uint64_t i = 0; i < count; ++i) {
            h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, i * 4096, 4096, "v.mp4"));
            h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, i * 4096, 4096, "repeat.mp4"));
        }
    });
    delivery.join();
    // The reply right behind the hits: every hit sent before it is counted.
    h.replyToScan();
    EXPECT_EQ(h.model->hits().size(), count);
    EXPECT_EQ(h.model->displayedCount(), count);
    EXPECT_EQ(h.model->statusMessage(), "Quality check finished.");
}

TEST(AppModelScan, ABacklogOfHitsAtTheReplyIsTakenInATurnAtATimeBeforeTheScanEnds) {
    ScanHarness h;
    h.model->setIntegrityChecker(nullptr);
    h.startScanning();
    constexpr std::uint64_t count = 5'000;
    for (std::uint64_t i = 0; i < count; ++i) h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, i * 4096, 4096, "v.mp4"));
    // The reply arrives while all of them still wait for the window.
    auto call = h.helper->takeCall(HelperProtocolSelector::startScan);
    ASSERT_TRUE(call);
    call->errorReply(std::nullopt);
    std::size_t taken = 0;
    while (h.executor->runOne()) {
        const std::size_t now = h.model->hits().size();
        EXPECT_LE(now - taken, 2'000u) << "one step of the event loop took in " << now - taken << " hits";
        if (h.model->isScanning()) EXPECT_LT(now, count);
        else EXPECT_EQ(now, count) << "the scan ended before the hits sent ahead of its reply were in";
        taken = now;
    }
    EXPECT_FALSE(h.model->isScanning());
    EXPECT_EQ(h.model->statusMessage(), "Scan finished — 5000 file(s) found. Volume stays unmounted until you remount it.");
}

// A packet's worth of hits as the connection hands them on together: kind mp4, offsets first, first+1, …
// (in units of 4096 bytes).
std::vector<HelperHitDTO> hitRun(std::uint64_t first, std::size_t count, const std::string& name = "v.mp4") {
    std::vector<HelperHitDTO> run;
    for (std::size_t i = 0; i < count; ++i) run.push_back(hitRecord(RecoveredFileKind::mp4, (first + i) * 4096, 4096, name));
    return run;
}

// Runs the event loop a job at a time until nothing is left, failing when one job takes in more than 2,000
// hits or when the scan ends before expected hits are in.
void runTurnsCheckingEachStep(ScanHarness& h, std::size_t expected) {
    std::size_t taken = h.model->hits().size();
    while (h.executor->runOne()) {
        const std::size_t now = h.model->hits().size();
        EXPECT_LE(now - taken, 2'000u) << "one step of the event loop took in " << now - taken << " hits";
        if (!h.model->isScanning()) {
            EXPECT_EQ(now, expected) << "the scan ended before the hits sent ahead of its reply were in";
        }
        taken = now;
    }
    EXPECT_FALSE(h.model->isScanning());
}

TEST(AppModelScan, HitsThatComeTogetherAreTakenInInTheirOrderWithTheOtherCallbacksAndAllCounted) {
    ScanHarness h;
    h.model->setIntegrityChecker(nullptr);
    h.startScanning();
    // How many hits were in when each of the progress reports sent between the runs was taken in.
    std::vector<std::pair<std::uint64_t, std::size_t>> hitsAtProgress;
    QObject::connect(h.model.get(), &AppModel::fieldChanged, [&](AppModel::Field field) {
        const auto scanned = h.model->progress().bytesScanned;
        if (field == AppModel::Field::progress && scanned >= 1'001 && scanned <= 1'003)
            hitsAtProgress.emplace_back(scanned, h.model->hits().size());
    });
    std::thread delivery([&] {
        h.helper->sendHits(hitRun(0, 256));
        h.helper->sendHits(hitRun(256, 256));
        h.helper->sendProgress(1'001, 8192, 512, 0);
        h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, 512 * 4096, 4096, "v.mp4"));
        h.helper->sendLog("reading");
        h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, 513 * 4096, 4096, "v.mp4"));
        for (std::uint64_t run = 0; run < 8; ++run) h.helper->sendHits(hitRun(514 + run * 256, 256));
        h.helper->sendProgress(1'002, 8192, 2'562, 0);
        h.helper->sendHits({});
        h.helper->sendHits(hitRun(2'562, 100));
        // Hits that come one at a time, as the connection hands on a packet it read the slow way.
        for (std::uint64_t i = 0; i < 300; ++i) h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, (2'662 + i) * 4096, 4096, "v.mp4"));
        h.helper->sendProgress(1'003, 8192, 2'962, 0);
    });
    delivery.join();
    auto call = h.helper->takeCall(HelperProtocolSelector::startScan);
    ASSERT_TRUE(call);
    call->errorReply(std::nullopt);
    runTurnsCheckingEachStep(h, 2'962);

    ASSERT_EQ(h.model->hits().size(), 2'962u);
    std::uint64_t expectedOffset = 0;
    for (const auto& hit : h.model->hits()) {
        ASSERT_EQ(hit.byteOffset, expectedOffset) << "hits are kept in the order they came";
        expectedOffset += 4096;
    }
    using Seen = std::vector<std::pair<std::uint64_t, std::size_t>>;
    EXPECT_EQ(hitsAtProgress, (Seen{{1'001, 512}, {1'002, 2'562}, {1'003, 2'962}})) << "progress is taken in between the hits around it";
    // The first keeps its name, the others are numbered in turn.
    EXPECT_EQ(h.model->hits().front().suggestedName, "v.mp4");
    EXPECT_EQ(h.model->hits().back().suggestedName, "recovered_02961.mp4");
    EXPECT_EQ(h.model->plainState().pendingIntegrityIDs.size(), 2'962u);
    EXPECT_EQ(h.model->statusMessage(), "Scan finished — 2962 file(s) found. Volume stays unmounted until you remount it.");
}

TEST(AppModelScan, ARepeatIsDroppedAcrossTheEdgesOfPacketsAndOfTurns) {
    ScanHarness h;
    h.model->setIntegrityChecker(nullptr);
    h.startScanning();
    // The first hit of a packet repeats the last of the packet before; the same offset with another kind
    // is no repeat.
    h.helper->sendHits(hitRun(0, 256));
    auto second = hitRun(255, 246);
    second.front().suggestedName = "again.mp4";
    second.insert(second.begin() + 1, hitRecord(RecoveredFileKind::pdf, 255 * 4096, 4096, "doc.pdf"));
    h.helper->sendHits(second);
    // A single hit repeating the end of a packet.
    h.helper->sendHit(hitRecord(RecoveredFileKind::mp4, 500 * 4096, 4096, "again.mp4"));
    // Turn one takes 256 + 247 + 1 callbacks, then 1,496 of this run: the run is cut there, and the first
    // hit after the cut repeats the last one before it.
    auto longRun = hitRun(1'000, 2'200);
    longRun.insert(longRun.begin() + 1'496, hitRecord(RecoveredFileKind::mp4, (1'000 + 1'495) * 4096, 4096, "again.mp4"));
    h.helper->sendHits(longRun);
    h.replyToScan();
    EXPECT_FALSE(h.model->isScanning());

    std::set<std::pair<std::uint64_t, RecoveredFileKind>> keys;
    for (const auto& hit : h.model->hits()) {
        EXPECT_TRUE(keys.emplace(hit.byteOffset, hit.kind).second) << "offset " << hit.byteOffset << " taken in twice";
        EXPECT_EQ(hit.suggestedName.find("again"), std::string::npos) << "the first of a repeat is the one kept";
    }
    EXPECT_EQ(h.model->hits().size(), 256u + 1u + 245u + 2'200u);
    EXPECT_TRUE(keys.contains({255 * 4096, RecoveredFileKind::pdf}));
    EXPECT_EQ(h.model->hits().size(), h.model->plainState().pendingIntegrityIDs.size());
}

TEST(AppModelScan, ACancelOrALostHelperWhileAPacketWaitsKeepsEveryHitThatCameBeforeTheEnd) {
    {
        ScanHarness h;
        h.model->setIntegrityChecker(nullptr);
        h.startScanning();
        for (std::uint64_t run = 0; run < 10; ++run) h.helper->sendHits(hitRun(run * 256, 256));
        ASSERT_TRUE(h.executor->runOne());
        EXPECT_EQ(h.model->hits().size(), 2'000u) << "a turn stops in the middle of a packet";
        h.model->cancelScan();
        // The helper stops at its next hit: the packet it was filling still comes before its answer.
        h.helper->sendHits(hitRun(2'560, 40));
        auto call = h.helper->takeCall(HelperProtocolSelector::startScan);
        ASSERT_TRUE(call);
        call->errorReply(ErrorObject{std::string(VantrelError::domain), VantrelError::scanCancelled, "Scan cancelled", std::nullopt});
        runTurnsCheckingEachStep(h, 2'600);
        EXPECT_EQ(h.model->statusMessage(), "Scan cancelled — 2600 files found so far.");
        EXPECT_EQ(h.model->hits().back().byteOffset, 2'599u * 4096);
    }
    {
        ScanHarness h;
        h.model->setIntegrityChecker(nullptr);
        h.startScanning();
        for (std::uint64_t run = 0; run < 9; ++run) h.helper->sendHits(hitRun(run * 256, 256));
        ASSERT_TRUE(h.executor->runOne());
        // The helper is gone: its connection fails the scan's call.
        auto call = h.helper->takeCall(HelperProtocolSelector::startScan);
        ASSERT_TRUE(call);
        call->errorReply(IpcError::make(IpcErrorCode::connectionInterrupted, "the helper went away"));
        runTurnsCheckingEachStep(h, 2'304);
        EXPECT_EQ(h.model->statusMessage(), "Scan stopped by an error — 2304 files found so far.");
        EXPECT_TRUE(h.model->errorMessage());
    }
}

TEST(AppModelScan, CancellingEndsTheScanAsCancelledOrWithTheErrorThatFollows) {
    ScanHarness h;
    h.startScanning();
    h.model->cancelScan();
    EXPECT_EQ(h.model->statusMessage(), "Cancelling…");
    const auto called = h.helper->calledSelectors();
    EXPECT_NE(std::find(called.begin(), called.end(), HelperProtocolSelector::cancelScan), called.end());
    EXPECT_TRUE(h.model->isScanning()) << "the scan runs until the helper replies";
    h.replyToScan();
    EXPECT_EQ(h.model->statusMessage(), "Scan cancelled — no files found so far.");
    EXPECT_FALSE(h.model->lastFinishedScanMode());

    h.startScanning();
    h.model->cancelScan();
    h.replyToScan(ErrorObject::posix(EIO, "/dev/sdb"));
    EXPECT_EQ(h.model->statusMessage(), "Scan stopped by an error — no files found so far.");
    ASSERT_TRUE(h.model->errorMessage());
    EXPECT_EQ(h.model->errorMessage()->toStdString(), ErrorObject::posix(EIO).message);

    // The helper's own answer that the scan was cancelled is shown as such, not as a failure.
    h.model->setErrorMessage(std::nullopt);
    h.startScanning();
    h.replyToScan(ErrorObject{std::string(VantrelError::domain), VantrelError::scanCancelled, "Scan cancelled", std::nullopt});
    EXPECT_EQ(h.model->statusMessage(), "Scan cancelled — no files found so far.");
    EXPECT_FALSE(h.model->errorMessage());
    EXPECT_FALSE(h.model->lastFinishedScanMode());
    EXPECT_FALSE(h.model->isScanning());
}

TEST(AppModelScan, ABlockedDiskReplyOpensTheHelperSheet) {
    ScanHarness h;
    h.startScanning();
    h.replyToScan(VantrelError::diskAccessDeniedError("/dev/sdb", std::nullopt));
    EXPECT_EQ(h.model->statusMessage(), "Disk access denied.");
    EXPECT_EQ(h.model->fullDiskAccessState(), AppModel::RawDiskAccessState::denied);
    EXPECT_TRUE(h.model->showHelperSheet());
    EXPECT_EQ(*h.model->errorMessage(),
              "Linux blocked raw disk access. Allow disk access for Vantrel in system settings, then try again.");
}

// The helper answers, the disk does not: the time limit of the probe blames the disk, not the helper.
TEST(AppModelScan, ADiskThatDoesNotAnswerTheProbeIsNamedAndTheHelperSheetStaysClosed) {
    ScanHarness h;
    h.helper->setResponder(HelperProtocolSelector::probeDevice, {});
    h.model->startScan(ScanMode::standard);
    h.executor->runReady();
    h.executor->advanceBy(60s);
    EXPECT_FALSE(h.model->isScanning());
    EXPECT_EQ(h.model->statusMessage(), "The disk did not answer.");
    EXPECT_FALSE(h.model->showHelperSheet());
    EXPECT_TRUE(h.model->errorMessage()->startsWith("The disk did not answer within 60 seconds."));
}

TEST(AppModelScan, AHelperThatDoesNotAnswerTwoPingsEndsTheScanBeforeItStarts) {
    ScanHarness h;
    h.helper->setResponder(HelperProtocolSelector::ping, {});
    h.model->startScan(ScanMode::standard);
    h.executor->runReady();
    h.executor->advanceBy(5s);
    EXPECT_TRUE(h.model->isScanning()) << "a second ping follows the first";
    h.executor->advanceBy(5400ms);
    EXPECT_FALSE(h.model->isScanning());
    EXPECT_EQ(h.model->statusMessage(), "Helper not reachable.");
    EXPECT_TRUE(h.model->showHelperSheet());
    EXPECT_EQ(*h.model->errorMessage(), "Helper did not respond. Remove and reinstall it, approve system services, then try again.");
    EXPECT_EQ(h.helper->pendingCount(HelperProtocolSelector::startScan), 0u);
}

TEST(AppModelScan, WithoutAVolumeOrAHelperNothingIsSent) {
    ScanHarness h;
    h.model->setSelectedVolume(std::nullopt);
    h.model->startScan(ScanMode::standard);
    EXPECT_EQ(*h.model->errorMessage(), "Select a volume first.");

    ScanHarness noHelper;
    noHelper.helperProgram.reset();
    noHelper.model = std::make_unique<AppModel>(noHelper.effects());
    noHelper.registrar->currentStatus = HelperInstallStatus::requiresApproval;
    noHelper.model->setSelectedVolume(ScanHarness::fatVolume());
    noHelper.model->startScan(ScanMode::quickUndelete);
    EXPECT_TRUE(noHelper.model->showHelperSheet());
    EXPECT_EQ(noHelper.model->statusMessage(), "Approve the helper in system settings, then scan again.");
    EXPECT_FALSE(noHelper.model->isScanning());
}

TEST(AppModelScan, QuickUndeleteOnAVolumeWithoutFatScansInStandardMode) {
    ScanHarness h;
    auto volume = ScanHarness::fatVolume();
    volume.fileSystemName = "ext4";
    h.model->setSelectedVolume(volume);
    h.model->requestScan();
    h.executor->runReady();
    EXPECT_FALSE(h.model->showScanModeSheet());
    auto call = h.helper->takeCall(HelperProtocolSelector::startScan);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments[5], "standard");
    h.settings->setString("preferredScanMode", "quick");
    EXPECT_EQ(h.model->preferredScanMode(), ScanMode::standard);
}

TEST(AppModelScan, ThroughputIsSampledEveryHalfSecondAtLeast) {
    ScanHarness h;
    h.model->handleHelperProgress({1'000'000, 0, 0, 0});
    h.clock->current += 300ms;
    h.model->handleHelperProgress({2'000'000, 0, 0, 0});
    EXPECT_FALSE(h.model->scanThroughputMBps());
    h.clock->current += 700ms;
    h.model->handleHelperProgress({3'097'152, 0, 0, 0});
    ASSERT_TRUE(h.model->scanThroughputMBps());
    EXPECT_DOUBLE_EQ(*h.model->scanThroughputMBps(), 2.0);
    h.model->handleHelperProgress({10, 0, 0, 0});
    EXPECT_FALSE(h.model->scanThroughputMBps());
}

TEST(AppModelScan, UndeletedNamesKeepTheirFolder) {
    ScanHarness h;
    RecoveredHit hit;
    hit.kind = RecoveredFileKind::jpeg;
    hit.reconstructedPath = "/DCIM/100CANON/A.JPG";
    hit.suggestedName = "FILE0001.JPG";
    h.model->nameUndeleted(hit);
    EXPECT_EQ(hit.suggestedName, "recovered_00001.jpg");
    EXPECT_EQ(hit.reconstructedPath, "/DCIM/100CANON/recovered_00001.jpg");
}

TEST(AppModelScan, EveryHitInTheListHasANameOfItsOwn) {
    ScanHarness h;
    // The helper numbers its carved files from 1 as the app numbers generic undeleted names.
    RecoveredHit undeleted = makeHit("FILE0001.JPG", 100'000);
    undeleted.source = HitSource::fatUndelete;
    undeleted.byteOffset = 4096;
    RecoveredHit carved = makeHit("recovered_00001.jpg", 100'000);
    carved.source = HitSource::signatureCarve;
    carved.byteOffset = 819'200;
    RecoveredHit kept = makeHit("Holiday.jpg", 100'000);
    kept.source = HitSource::signatureCarve;
    kept.byteOffset = 1'638'400;
    for (const RecoveredHit& hit : {undeleted, carved, kept}) h.model->handleHelperHit(hit);
    ASSERT_EQ(h.model->hits().size(), 3u);
    EXPECT_EQ(h.model->hits()[0].suggestedName, "recovered_00001.jpg");
    EXPECT_EQ(h.model->hits()[1].suggestedName, "recovered_00002.jpg") << "the carved file is numbered in the same series";
    EXPECT_EQ(h.model->hits()[2].suggestedName, "Holiday.jpg");
}

TEST(AppModelScan, ErrorClassifiers) {
    EXPECT_TRUE(AppModel::isPermissionError(ErrorObject::posix(EACCES)));
    EXPECT_FALSE(AppModel::isPermissionError(ErrorObject::posix(EIO)));
    EXPECT_TRUE(AppModel::isDeviceGoneError(ErrorObject::posix(ENXIO)));
    EXPECT_TRUE(AppModel::isDeviceGoneError({"other", 3, "No such device here", std::nullopt}));
    EXPECT_FALSE(AppModel::isDeviceGoneError(ErrorObject::posix(EACCES)));
    EXPECT_EQ(AppModel::userFacingErrorMessage({"x", 1, "Read error at 512", std::nullopt}), "Read error at 512");
}

// ---- The quality pass.

// A scan that ends with the given hits waiting for the pass.
void scanWith(ScanHarness& h, const std::vector<HelperHitDTO>& records) {
    h.startScanning();
    for (const auto& record : records) h.helper->sendHit(record);
}

// The helper or the disk goes away: the pass pauses with the hits back in the queue, says so, and
// goes on by itself once the disk answers again.
TEST(AppModelQualityPass, APassWithoutItsDiskPausesAndResumes) {
    ScanHarness h;
    const auto first = test::SampleContent::jpeg(640, 480, 30'000, 1);
    const auto second = test::SampleContent::jpeg(640, 480, 30'000, 2);
    h.place(0, first);
    h.place(40'000, second);
    h.extractionError = IpcError::make(IpcErrorCode::connectionInterrupted);
    scanWith(h, {hitRecord(RecoveredFileKind::jpeg, 0, first.size(), "a.jpg"),
                 hitRecord(RecoveredFileKind::jpeg, 40'000, second.size(), "b.jpg")});
    h.replyToScan();
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(hitNamed(*h.model, "a.jpg")->integrity, HitIntegrity::pending);
    EXPECT_EQ(hitNamed(*h.model, "b.jpg")->integrity, HitIntegrity::pending);
    EXPECT_EQ(h.extractionCount(), 1u) << "the pass stops at the first unreachable probe";
    EXPECT_EQ(h.model->statusMessage(), "Quality check paused — 2 files wait for the disk.");
    EXPECT_EQ(h.model->plainState().pendingIntegrityIDs.size(), 2u) << "both wait in the queue";

    // Still away at the next try: paused again.
    h.executor->advanceBy(std::chrono::seconds(static_cast<int>(AppModel::qualityPassRetrySeconds)) + 1s);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(h.extractionCount(), 2u);
    EXPECT_EQ(h.model->statusMessage(), "Quality check paused — 2 files wait for the disk.");

    // Back: the next try judges both.
    h.extractionError.reset();
    h.executor->advanceBy(std::chrono::seconds(static_cast<int>(AppModel::qualityPassRetrySeconds)) + 1s);
    ASSERT_TRUE(h.pumpUntil([&] { return hitNamed(*h.model, "b.jpg")->integrity != HitIntegrity::pending &&
                                         !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(hitNamed(*h.model, "a.jpg")->integrity, HitIntegrity::ok);
    EXPECT_EQ(hitNamed(*h.model, "b.jpg")->integrity, HitIntegrity::ok);
    EXPECT_EQ(h.model->statusMessage(), "Quality check finished.");
}

TEST(AppModelQualityPass, AReadErrorAtTheHitIsTheHitsOwnFault) {
    ScanHarness h;
    h.extractionError = ErrorObject::posix(EIO, "/dev/sdb");
    scanWith(h, {hitRecord(RecoveredFileKind::jpeg, 0, 30'000, "a.jpg"), hitRecord(RecoveredFileKind::jpeg, 40'000, 30'000, "b.jpg")});
    h.replyToScan();
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(hitNamed(*h.model, "a.jpg")->integrity, HitIntegrity::failed);
    EXPECT_EQ(hitNamed(*h.model, "b.jpg")->integrity, HitIntegrity::failed);
    EXPECT_EQ(h.model->statusMessage(), "Quality check finished.");
}

// No room for a probe in the temporary folder is no fault of the hit: it stays pending, never broken.
TEST(AppModelQualityPass, AFullTemporaryFolderLeavesTheHitsPending) {
    ScanHarness h;
    h.place(0, test::SampleContent::jpeg(640, 480, 30'000, 1));
    h.extractionError = ErrorObject::posix(ENOSPC, "/tmp/Vantrel-probe-tmp-1.jpg");
    scanWith(h, {hitRecord(RecoveredFileKind::jpeg, 0, 30'000, "a.jpg"), hitRecord(RecoveredFileKind::png, 40'000, 30'000, "b.png"),
                 hitRecord(RecoveredFileKind::jpeg, 80'000, 30'000, "c.jpg")});
    h.replyToScan();
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    for (const char* name : {"a.jpg", "b.png", "c.jpg"}) EXPECT_EQ(hitNamed(*h.model, name)->integrity, HitIntegrity::pending) << name;
    EXPECT_EQ(h.model->statusMessage(), "Quality check paused — 3 files wait for room in the temporary folder.");
    EXPECT_EQ(h.extractionCount(), 1u);
}

// A cache that holds only a few probes still sees every hit judged: the probes it drops before their
// check are fetched again, and what it keeps stays within its bound.
TEST(AppModelQualityPass, ASmallProbeCacheStillJudgesEveryHit) {
    ScanHarness h(4 << 20);
    std::vector<HelperHitDTO> records;
    for (int i = 0; i < 20; ++i) {
        const auto photo = test::SampleContent::jpeg(640, 480, 30'000, static_cast<std::uint64_t>(10 + i));
        h.place(static_cast<std::uint64_t>(i) * 65'536, photo);
        records.push_back(hitRecord(RecoveredFileKind::jpeg, static_cast<std::uint64_t>(i) * 65'536, photo.size(),
                                    "p" + std::to_string(i) + ".jpg"));
    }
    h.model->replaceProbeCache(std::make_unique<HitProbeCache>(h.dir.path(), ProbeCacheBounds{100'000, 0, 1}));
    scanWith(h, records);
    h.replyToScan();
    ASSERT_TRUE(h.pumpUntil([&] {
        return !h.model->isQualityPassRunning() && h.model->plainState().pendingIntegrityIDs.empty() &&
               h.model->statusMessage() == "Quality check finished.";
    }));
    for (const auto& hit : h.model->hits()) EXPECT_EQ(hit.integrity, HitIntegrity::ok) << hit.suggestedName;
    EXPECT_LE(h.model->probeCache().cachedBytes(), 100'000u);
    EXPECT_GE(h.extractionCount(), 20u);
}

TEST(AppModelQualityPass, EachProbeHasATimeLimit) {
    ScanHarness h;
    h.keepExtraction = [](std::uint64_t) { return true; };
    scanWith(h, {hitRecord(RecoveredFileKind::jpeg, 0, 30'000, "a.jpg")});
    h.replyToScan();
    EXPECT_TRUE(h.model->isQualityPassRunning());
    h.executor->advanceBy(std::chrono::seconds(static_cast<int>(AppModel::probeTimeLimitSeconds)) + 1s);
    EXPECT_FALSE(h.model->isQualityPassRunning());
    EXPECT_EQ(hitNamed(*h.model, "a.jpg")->integrity, HitIntegrity::pending);
    for (const auto& path : h.extractedPaths()) EXPECT_FALSE(std::filesystem::exists(path)) << "a probe that timed out is removed";
}

TEST(AppModelQualityPass, ABigHitIsJudgedOnAProbeCutAtTheCap) {
    ScanHarness h(24 << 20);
    auto photo = test::SampleContent::jpeg(4000, 3000, 20 << 20, 3);
    h.place(0, photo);
    scanWith(h, {hitRecord(RecoveredFileKind::jpeg, 0, photo.size(), "big.jpg", HitSource::signatureCarve, 4000, 3000)});
    h.replyToScan();
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    const auto calls = h.checker->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].wasCutAtCap);
    EXPECT_EQ(calls[0].size, AppModel::probeCapBytes);
    EXPECT_EQ(hitNamed(*h.model, "big.jpg")->integrity, HitIntegrity::ok);
}

TEST(AppModelQualityPass, VerdictsReachTheHitsAsTheirCluesAllow) {
    ScanHarness h;
    auto small = test::makeHit("small.jpg", 5'000);
    small.dimensions = ImageDimensions{100, 100};
    auto reused = test::makeHit("reused.jpg", 50'000);
    reused.clusterReallocated = true;
    h.model->setHits({small, reused});
    h.model->setSelectedHitIDs({h.model->hits()[0].id});
    const auto smallId = h.model->hits()[0].id;
    const auto reusedId = h.model->hits()[1].id;
    h.model->applyIntegrityResult(smallId, HitIntegrity::failed, std::nullopt);
    EXPECT_FALSE(h.model->hit(smallId)) << "a broken JPEG too small for its pixels is no hit";
    EXPECT_TRUE(h.model->selectedHitIDs().empty());
    const HitDate taken = std::chrono::system_clock::from_time_t(1'622'548'800);
    h.model->applyIntegrityResult(reusedId, HitIntegrity::ok, taken);
    EXPECT_EQ(h.model->hit(reusedId)->integrity, HitIntegrity::suspect) << "reused clusters make a good decode suspect";
    EXPECT_EQ(h.model->hit(reusedId)->captureDate, taken);

    // A carved hit of a guessed length is suspect at best, also when its type cannot be checked; a broken
    // one stays broken. An undeleted file in several runs is read by its chain and keeps its verdict.
    std::vector<RecoveredHit> hits;
    for (int i = 1; i <= 3; ++i) {
        hits.push_back(test::makeHit("recovered_0000" + std::to_string(i) + ".zip", 2 * 1024 * 1024, RecoveredFileKind::zip));
        hits.back().isFragmented = true;
    }
    hits.push_back(test::makeHit("song.mp3", 3'000'000, RecoveredFileKind::mp3));
    hits.back().source = HitSource::fatUndelete;
    hits.back().isFragmented = true;
    h.model->setHits(hits);
    const auto ids = [&](std::size_t i) { return h.model->hits()[i].id; };
    h.model->applyIntegrityResult(ids(0), HitIntegrity::ok, std::nullopt);
    h.model->applyIntegrityResult(ids(1), HitIntegrity::skipped, std::nullopt);
    h.model->applyIntegrityResult(ids(2), HitIntegrity::failed, std::nullopt);
    h.model->applyIntegrityResult(ids(3), HitIntegrity::ok, std::nullopt);
    EXPECT_EQ(h.model->hit(ids(0))->integrity, HitIntegrity::suspect);
    EXPECT_EQ(h.model->hit(ids(1))->integrity, HitIntegrity::suspect);
    EXPECT_EQ(h.model->hit(ids(2))->integrity, HitIntegrity::failed);
    EXPECT_EQ(h.model->hit(ids(3))->integrity, HitIntegrity::ok);
}

// The pass takes its hits in device order, each as it is when its turn comes: one judged elsewhere or
// gone from the list by then is passed over. A pause gives the rest back to the queue once each, in
// device order, and the next pass fetches each of them once.
TEST(AppModelQualityPass, HitsAreTakenAsTheyAreAtTheirTurnAndAPauseGivesTheRestBackInOrder) {
    ScanHarness h;
    const auto fourth = test::SampleContent::jpeg(640, 480, 30'000, 4);
    const auto fifth = test::SampleContent::jpeg(640, 480, 30'000, 5);
    h.place(120'000, fourth);
    h.place(160'000, fifth);
    h.keepExtraction = [](std::uint64_t) { return true; };
    scanWith(h, {hitRecord(RecoveredFileKind::jpeg, 80'000, 30'000, "c.jpg"), hitRecord(RecoveredFileKind::jpeg, 0, 30'000, "a.jpg"),
                 hitRecord(RecoveredFileKind::wav, 20'000, 30'000, "n.wav"), hitRecord(RecoveredFileKind::jpeg, 40'000, 30'000, "b.jpg"),
                 hitRecord(RecoveredFileKind::jpeg, 160'000, fifth.size(), "e.jpg"),
                 hitRecord(RecoveredFileKind::jpeg, 120'000, fourth.size(), "d.jpg")});
    h.replyToScan();
    ASSERT_TRUE(h.model->isQualityPassRunning());
    EXPECT_EQ(h.model->statusMessage(), "Phase 2 — caching probes… 0/5") << "the wav is not counted";
    EXPECT_NE(hitNamed(*h.model, "n.wav")->integrity, HitIntegrity::pending) << "a kind that cannot be checked is settled at once";
    const auto idOf = [&](const std::string& name) { return hitNamed(*h.model, name)->id; };
    const auto fourthId = idOf("d.jpg");
    const auto fifthId = idOf("e.jpg");

    // While a.jpg's probe is fetched, b.jpg is judged by other means and c.jpg leaves the list.
    auto first = h.helper->takeCall(HelperProtocolSelector::extractHit);
    ASSERT_TRUE(first);
    h.model->applyIntegrityResult(idOf("b.jpg"), HitIntegrity::ok, std::nullopt);
    ASSERT_TRUE(h.model->removeHit(idOf("c.jpg")));
    first->destination.reset();
    first->errorReply(std::nullopt);
    ASSERT_TRUE(h.pumpUntil([&] { return h.extractionCount() == 2; }));
    EXPECT_EQ(h.extractedOffsets(), (std::vector<std::uint64_t>{0, 120'000})) << "b.jpg and c.jpg are passed over";

    // The disk goes away at d.jpg: d.jpg and e.jpg wait, once each and in device order.
    auto second = h.helper->takeCall(HelperProtocolSelector::extractHit);
    ASSERT_TRUE(second);
    second->errorReply(IpcError::make(IpcErrorCode::connectionInterrupted));
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(h.model->statusMessage(), "Quality check paused — 2 files wait for the disk.");
    EXPECT_EQ(h.model->plainState().pendingIntegrityIDs, (std::deque<Uuid>{fourthId, fifthId}));

    // Back: the next pass fetches each of them once, in device order.
    h.keepExtraction = [](std::uint64_t) { return false; };
    h.executor->advanceBy(std::chrono::seconds(static_cast<int>(AppModel::qualityPassRetrySeconds)) + 1s);
    ASSERT_TRUE(h.pumpUntil([&] { return h.model->statusMessage() == "Quality check finished."; }));
    EXPECT_EQ(h.extractedOffsets(), (std::vector<std::uint64_t>{0, 120'000, 120'000, 160'000}));
    EXPECT_EQ(h.model->hit(fourthId)->integrity, HitIntegrity::ok);
    EXPECT_EQ(h.model->hit(fifthId)->integrity, HitIntegrity::ok);
    EXPECT_EQ(hitNamed(*h.model, "b.jpg")->integrity, HitIntegrity::ok);
    EXPECT_FALSE(hitNamed(*h.model, "c.jpg"));
    EXPECT_TRUE(h.model->plainState().pendingIntegrityIDs.empty());
}

TEST(AppModelQualityPass, ANewScanDuringProbingStopsThePassAndItsHitsWaitAgain) {
    ScanHarness h;
    const auto photo = test::SampleContent::jpeg(640, 480, 30'000, 2);
    h.place(40'000, photo);
    h.keepExtraction = [](std::uint64_t) { return true; };
    scanWith(h, {hitRecord(RecoveredFileKind::jpeg, 0, 30'000, "a.jpg"), hitRecord(RecoveredFileKind::jpeg, 40'000, photo.size(), "b.jpg")});
    h.replyToScan();
    ASSERT_TRUE(h.model->isQualityPassRunning());
    h.model->runQualityPass();
    EXPECT_EQ(h.extractionCount(), 1u) << "one pass at a time";

    // A recovery starts while the first probe is fetched: the pass stops before the next one.
    h.model->setSelectedHitIDs({h.model->hits()[1].id});
    h.keepExtraction = [](std::uint64_t offset) { return offset == 0; };
    h.model->recoverSelected(h.dir.path().string());
    auto probe = h.helper->takeCall(HelperProtocolSelector::extractHit);
    ASSERT_TRUE(probe);
    probe->destination.reset();
    probe->errorReply(std::nullopt);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering() && !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(hitNamed(*h.model, "b.jpg")->integrity, HitIntegrity::ok) << "judged by the recovery";
    // After the recovery the next pass takes a.jpg, whose probe is cached by now.
    EXPECT_EQ(hitNamed(*h.model, "a.jpg")->integrity, HitIntegrity::failed) << "judged on its (empty) cached probe";
}

} // namespace
} // namespace vantrel

namespace vantrel {
namespace {

TEST(AppModelScan, APassStoppedWhileItSortsOutALongQueueLeavesEveryPendingHitQueued) {
    // More hits than the pass sorts out in one turn of the event loop, of a type no check validates: a
    // recovery that starts between two turns stops the pass, and every hit still pending waits in the
    // queue, once; the next pass marks them all.
    test::ScanHarness h;
    h.startScanning();
    const std::size_t count = AppModel::queueSliceSize * 2 + 10;
    for (std::size_t i = 0; i < count; ++i) {
        RecoveredHit hit = test::makeHit("clip.mp4", 900, RecoveredFileKind::mp4);
        hit.byteOffset = i * 4096;
        h.model->handleHelperHit(std::move(hit));
    }
    auto call = h.helper->takeCall(HelperProtocolSelector::startScan);
    ASSERT_TRUE(call);
    call->errorReply(std::nullopt);
    const auto skipped = [&] {
        return static_cast<std::size_t>(std::count_if(h.model->hits().begin(), h.model->hits().end(),
                                                      [](const RecoveredHit& hit) { return hit.integrity == HitIntegrity::skipped; }));
    };
    while (skipped() == 0 && h.executor->runOne()) {
    }
    ASSERT_GT(skipped(), 0u);
    ASSERT_LT(skipped(), count) << "the queue is sorted out over several turns";
    h.model->setIsRecovering(true);
    h.executor->runReady();
    EXPECT_FALSE(h.model->isQualityPassRunning());
    const auto& queue = h.model->plainState().pendingIntegrityIDs;
    const std::set<Uuid> queued(queue.begin(), queue.end());
    std::set<Uuid> pending;
    for (const auto& hit : h.model->hits())
        if (hit.integrity == HitIntegrity::pending) pending.insert(hit.id);
    EXPECT_EQ(queue.size(), queued.size());
    EXPECT_EQ(queued, pending);
    EXPECT_EQ(pending.size() + skipped(), count);

    h.model->setIsRecovering(false);
    h.model->runQualityPass();
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(skipped(), count);
    EXPECT_EQ(h.model->statusMessage(), "Quality check finished.");
}

} // namespace
} // namespace vantrel
