// Recovery of selected hits against the fake helper in virtual time: files made by the application
// and filled by the helper, names that collide, the cache, the time limit, failures that leave no
// file behind, several extractions asked for at once (answered in any order, failing, timing out or
// cut short), short files, a folder that cannot be written, and a recovery during a scan.

#include "ScanFakes.h"

#include "platform/ipc/IpcError.h"
#include "tests/fixtures/SampleContent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <tuple>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using test::hitRecord;
using test::ScanHarness;

// Hits at 64 KiB steps, each a JPEG of its own on the disk, all selected; the last scan used /dev/sdb.
std::vector<Bytes> placeHits(ScanHarness& h, const std::vector<std::string>& names) {
    std::vector<RecoveredHit> hits;
    std::vector<Bytes> contents;
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto bytes = test::SampleContent::jpeg(640, 480, 30'000, 100 + i);
        h.place(i * 65'536, bytes);
        auto hit = test::makeHit(names[i], bytes.size());
        hit.byteOffset = i * 65'536;
        hits.push_back(hit);
        contents.push_back(std::move(bytes));
    }
    h.model->setHits(hits);
    std::set<Uuid> all;
    for (const auto& hit : h.model->hits()) all.insert(hit.id);
    h.model->setSelectedHitIDs(all);
    h.model->plainState().activeRawDevicePath = "/dev/sdb";
    h.model->recordScannedSource("/dev/sdb");
    return contents;
}

bool recovered(ScanHarness& h) {
    return h.pumpUntil([&] { return !h.model->isRecovering() && !h.model->isQualityPassRunning(); });
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(AppModelRecovery, CollidingNamesGetNumberedFilesAndNothingIsReplaced) {
    ScanHarness h;
    const auto contents = placeHits(h, {"a.jpg", "a.jpg", "../../escape.jpg", "README"});
    const auto folder = h.dir / "out";
    std::filesystem::create_directory(folder);
    test::writeFile(folder / "a.jpg", {1, 2, 3});
    test::writeFile(folder / "a_1.jpg", {4, 5, 6});

    h.model->recoverSelected(folder.string());
    EXPECT_EQ(h.model->statusMessage(), "Recovering 4 file(s)…");
    ASSERT_TRUE(recovered(h));
    EXPECT_EQ(h.model->statusMessage(), "Recovered 4 file(s).");
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"README", "_._.._escape.jpg", "a.jpg", "a_1.jpg", "a_2.jpg", "a_3.jpg"}))
        << "names from the disk never leave the folder, nor become hidden files";
    EXPECT_EQ(test::readFile(folder / "a.jpg"), (Bytes{1, 2, 3}));
    EXPECT_EQ(test::readFile(folder / "a_2.jpg"), contents[0]);
    EXPECT_EQ(test::readFile(folder / "a_3.jpg"), contents[1]);
    EXPECT_EQ(test::readFile(folder / "README"), contents[3]);
    EXPECT_EQ(std::filesystem::status(folder / "a_2.jpg").permissions() & std::filesystem::perms::owner_read,
              std::filesystem::perms::owner_read);
    for (const auto& hit : h.model->hits()) EXPECT_EQ(hit.integrity, HitIntegrity::ok) << hit.suggestedName;

    // The same hits again: new numbers, the first files stay as they are.
    h.model->recoverSelected(folder.string());
    ASSERT_TRUE(recovered(h));
    EXPECT_EQ(namesIn(folder).size(), 10u);
    EXPECT_EQ(test::readFile(folder / "a_2.jpg"), contents[0]);
}

// Only a complete probe that is a regular file of this user is copied from the cache. A short one, and
// a FIFO, a link or another user's file put in a probe's place, is asked of the helper: never waited
// on, never followed.
TEST(AppModelRecovery, ACompleteCachedProbeIsCopiedAndAnythingElseIsAskedOfTheHelper) {
    ScanHarness h;
    const bool root = test::runningAsRoot();
    std::vector<std::string> names = {"cached.jpg", "partial.jpg", "fifo.jpg", "link.jpg"};
    if (root) names.push_back("theirs.jpg");
    const auto contents = placeHits(h, names);
    const auto& hits = h.model->hits();
    const auto elsewhere = h.dir / "elsewhere";
    test::writeFile(elsewhere, Bytes(contents[3].size(), 0x55));
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto stash = h.dir / ("stash-" + std::to_string(i));
        test::writeFile(stash, i == 1 ? Bytes(contents[1].begin(), contents[1].begin() + 1000) : contents[i]);
        const auto probe = h.model->probeCache().adopt(stash, hits[i].id, hits[i].suggestedName);
        if (i < 2) continue;
        std::filesystem::remove(probe);
        if (names[i] == "fifo.jpg") {
            ASSERT_EQ(::mkfifo(probe.c_str(), 0600), 0);
        } else if (names[i] == "link.jpg") {
            std::filesystem::create_symlink(elsewhere, probe);
        } else {
            test::writeFile(probe, contents[i]);
            ASSERT_EQ(::chown(probe.c_str(), 65534, 65534), 0);
        }
    }

    h.model->recoverSelected(h.dir.path().string());
    ASSERT_TRUE(recovered(h));
    std::vector<std::uint64_t> asked;
    for (std::size_t i = 1; i < names.size(); ++i) asked.push_back(i * 65'536);
    auto extracted = h.extractedOffsets();
    std::sort(extracted.begin(), extracted.end());
    EXPECT_EQ(extracted, asked) << "only the complete probe is copied";
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(test::readFile(h.dir / names[i]), contents[i]) << names[i];
    EXPECT_TRUE(h.model->probeCache().fileSize(hits[0].id)) << "the cached file stays in the cache";
}

// A file that does not fit is no recovery, whether copied from the cache (off the window's thread) or
// written by the helper: its file is removed, the run says why, and every file it counts is there
// whole. Only the hits whose whole bytes the cache holds are copied from it; the others are asked of
// the helper as ever.
TEST(AppModelRecovery, AFileThatDoesNotFitIsRemovedAndReportedWhetherCopiedOrExtracted) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "a full folder needs a small mount";
    struct Row {
        const char* what;
        std::vector<bool> cached;  // of each hit
    };
    const Row rows[] = {
        {"all from the cache", {true, true, true, true}},
        {"all through the helper", {false, false, false, false}},
        {"mostly from the cache", {true, true, false, true}},
        {"in turns", {false, true, false, true}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScanHarness h;
        const auto contents = placeHits(h, {"1.jpg", "2.jpg", "3.jpg", "4.jpg"});
        h.model->setIntegrityChecker(nullptr);
        const auto& hits = h.model->hits();
        for (std::size_t i = 0; i < row.cached.size(); ++i) {
            if (!row.cached[i]) continue;
            const auto stash = h.dir / ("stash" + std::to_string(i));
            test::writeFile(stash, contents[i]);
            h.model->probeCache().adopt(stash, hits[i].id, hits[i].suggestedName);
        }
        // Room for two of the four photos (about 30 KB each).
        const auto folder = h.dir / "small";
        std::filesystem::create_directory(folder);
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "no tmpfs mount";
        // Gone again however the row ends, so that the next row and the temporary folder's removal find no mount.
        const struct Unmount {
            std::filesystem::path at;
            ~Unmount() { ::umount(at.c_str()); }
        } unmount{folder};
        h.model->recoverSelected(folder.string());
        ASSERT_TRUE(recovered(h));
        const auto left = namesIn(folder);
        for (const auto& name : left)
            EXPECT_EQ(test::readFile(folder / name), contents[static_cast<std::size_t>(std::stoi(name)) - 1]) << name;
        EXPECT_LT(left.size(), 4u);
        EXPECT_EQ(h.model->statusMessage(), QStringLiteral("Recovered %1 file(s).").arg(left.size()));
        ASSERT_TRUE(h.model->errorMessage()) << "a file that did not fit is never reported as recovered";
        EXPECT_TRUE(h.model->errorMessage()->contains("space")) << h.model->errorMessage()->toStdString();
    }
}

std::vector<std::string> numberedNames(std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t i = 1; i <= count; ++i) names.push_back(std::to_string(i) + ".jpg");
    return names;
}

// The names of the files the helper was asked to fill, in the order asked.
std::vector<std::string> askedNames(const ScanHarness& h) {
    std::vector<std::string> names;
    for (const auto& path : h.extractedPaths()) names.push_back(std::filesystem::path(path).filename().string());
    return names;
}

// The run waits for the extraction of this file (1-based) among count.
bool waitsFor(ScanHarness& h, std::size_t number, std::size_t count) {
    const auto status = QStringLiteral("Recovering %1/%2: %1.jpg…").arg(number).arg(count);
    return h.pumpUntil([&] { return h.model->statusMessage() == status; });
}

// Several files are asked for at once. Each one's time limit counts from when it is the oldest the run
// waits for, so a file asked behind a slow one has the whole limit still. The one that runs out is
// removed and reported, the ones answered meanwhile are kept, the ones still unanswered behind it are
// left with their files removed, and nothing is asked for after it.
TEST(AppModelRecovery, TheTimeLimitEndsTheRunAndLeavesNoFileOfTheHitsThatTimedOutOrWaitedBehindIt) {
    struct Row {
        const char* what;
        std::set<std::size_t> kept;              // hits (1-based) the helper does not answer at once
        std::optional<std::size_t> answeredLate;  // one of them, answered 170 s in
        std::size_t timesOut;
    };
    const Row rows[] = {
        {"one held up, another waiting behind it", {3, 5}, std::nullopt, 3},
        {"a slow one before it", {2, 3}, 2, 3},
    };
    // More than the run asks for at once, so that some are still to be asked when one times out.
    constexpr std::size_t count = AppModel::recoveryRequestsAhead + 8;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScanHarness h(count * 65'536);
        placeHits(h, numberedNames(count));
        h.model->setIntegrityChecker(nullptr);  // no quality pass afterwards
        h.keepExtraction = [&](std::uint64_t offset) { return row.kept.count(offset / 65'536 + 1) != 0; };
        h.model->recoverSelected(h.dir.path().string());
        if (row.answeredLate) {
            ASSERT_TRUE(waitsFor(h, *row.answeredLate, count)) << h.model->statusMessage().toStdString();
            h.executor->advanceBy(170s);
            auto call = h.helper->takeCall(HelperProtocolSelector::extractHit);
            ASSERT_TRUE(call);
            h.answerKept(*call);
        }
        ASSERT_TRUE(waitsFor(h, row.timesOut, count)) << h.model->statusMessage().toStdString();
        const auto late = std::to_string(row.timesOut) + ".jpg";
        EXPECT_TRUE(std::filesystem::exists(h.dir / late)) << "made by the application before the helper fills it";
        h.executor->advanceBy(179s);
        h.executor->runReady();
        EXPECT_TRUE(h.model->isRecovering());
        h.executor->advanceBy(1s);
        ASSERT_TRUE(recovered(h));

        const auto asked = askedNames(h);
        EXPECT_LT(asked.size(), count) << "nothing is asked for after the one that timed out";
        std::vector<std::string> left;
        for (const auto& name : asked)
            if (name != late && !(row.kept.count(std::stoul(name)) && std::stoul(name) != row.answeredLate)) left.push_back(name);
        std::sort(left.begin(), left.end());
        EXPECT_EQ(namesIn(h.dir.path()), left);
        EXPECT_EQ(h.model->statusMessage(), QStringLiteral("Recovered %1 file(s).").arg(left.size()));
        ASSERT_TRUE(h.model->errorMessage());
        EXPECT_EQ(*h.model->errorMessage(),
                  "Recovery timed out after 180s — the disk may be busy. Try again after the scan finishes.");
    }
}

// The disk is looked at once for the files asked for together, not once a file; a look stands for a
// short time only, so that a disk swapped meanwhile is found before the files asked for later.
TEST(AppModelRecovery, ALookThatFoundTheScannedDiskStandsForAShortTimeOnly) {
    constexpr std::size_t count = AppModel::recoveryRequestsAhead + 40;
    ScanHarness h(count * 65'536);
    placeHits(h, numberedNames(count));
    h.model->setIntegrityChecker(nullptr);
    h.keepExtraction = [](std::uint64_t offset) { return offset / 65'536 + 1 == 3; };
    const int before = h.disks->looks.load();
    h.model->recoverSelected(h.dir.path().string());
    ASSERT_TRUE(waitsFor(h, 3, count));
    // The first two were answered at once, and two more asked for in their place.
    const auto asked = h.extractionCount();
    EXPECT_EQ(asked, AppModel::recoveryRequestsAhead + 2);
    EXPECT_LE(h.disks->looks.load() - before, 3) << "the start's own look and the run's first";
    h.disks->marks["/dev/sdb"] = test::FakeDisks::card(2);
    h.executor->advanceBy(1s);
    auto held = h.helper->takeCall(HelperProtocolSelector::extractHit);
    ASSERT_TRUE(held);
    h.answerKept(*held);
    ASSERT_TRUE(recovered(h));
    EXPECT_EQ(h.extractionCount(), asked) << "nothing asked of the disk swapped in";
    EXPECT_EQ(h.model->statusMessage(), QStringLiteral("Recovered %1 file(s).").arg(asked));
    ASSERT_TRUE(h.model->errorMessage());
    EXPECT_EQ(*h.model->errorMessage(), "The disk these files were found on is not attached.");
}

// The first failure in the order of the hits is the one reported, whichever the helper answered
// first; the files asked for with it are kept when they were written.
TEST(AppModelRecovery, AFailureAmongSeveralInFlightIsReportedAndTheOthersAreKept) {
    struct Row {
        std::set<std::size_t> failing;  // hits (1-based)
        std::set<std::size_t> late;     // answered after all the others, in reverse order
        std::size_t reported;
        // More than the run asks for at once: files made and never asked for are removed.
        std::size_t count = AppModel::recoveryRequestsAhead + 8;
    };
    const Row rows[] = {
        {{3}, {}, 3},
        {{2, 4}, {}, 2},
        {{2, 4}, {2}, 2},
        {{3}, {}, 3, AppModel::recoveryRequestsAhead + AppModel::recoveryFilesMadeAhead + 10},
    };
    for (const auto& row : rows) {
        const std::size_t count = row.count;
        ScanHarness h(count * 65'536);
        placeHits(h, numberedNames(count));
        h.model->setIntegrityChecker(nullptr);
        const auto refusal = [](std::size_t number) {
            auto error = ErrorObject::posix(EIO, "/dev/sdb");
            error.message = "Read failed in hit " + std::to_string(number);
            return error;
        };
        for (const auto number : row.failing) h.extractionErrorsAt[(number - 1) * 65'536] = refusal(number);
        h.keepExtraction = [&](std::uint64_t offset) { return row.late.count(offset / 65'536 + 1) != 0; };
        h.model->recoverSelected(h.dir.path().string());
        if (!row.late.empty()) {
            ASSERT_TRUE(h.pumpUntil([&] { return h.helper->pendingCount(HelperProtocolSelector::extractHit) == row.late.size(); }));
            h.executor->runReady();
            for (auto number = row.late.rbegin(); number != row.late.rend(); ++number) {
                auto call = h.helper->takeCall(HelperProtocolSelector::extractHit);
                ASSERT_TRUE(call);
                h.answerKept(*call, row.failing.count(*number) ? std::optional(refusal(*number)) : std::nullopt);
            }
        }
        ASSERT_TRUE(recovered(h));
        const auto asked = askedNames(h);
        EXPECT_LT(asked.size(), count) << "nothing is asked for after the failure";
        std::vector<std::string> left;
        for (const auto& name : asked)
            if (!row.failing.count(std::stoul(name))) left.push_back(name);
        std::sort(left.begin(), left.end());
        EXPECT_EQ(namesIn(h.dir.path()), left);
        EXPECT_EQ(h.model->statusMessage(), QStringLiteral("Recovered %1 file(s).").arg(left.size()));
        ASSERT_TRUE(h.model->errorMessage());
        EXPECT_EQ(*h.model->errorMessage(), QString::fromStdString(refusal(row.reported).message));
    }
}

// Answers that come in another order than asked still go to their own files, and the progress names
// the files in the order of the hits.
TEST(AppModelRecovery, AnswersInAnyOrderGoToTheFilesTheyWereAskedFor) {
    ScanHarness h;
    const auto contents = placeHits(h, numberedNames(5));
    h.model->setIntegrityChecker(nullptr);
    h.keepExtraction = [](std::uint64_t) { return true; };
    std::vector<QString> progress;
    QObject::connect(h.model.get(), &AppModel::fieldChanged, [&](AppModel::Field field) {
        if (field == AppModel::Field::statusMessage && h.model->statusMessage().startsWith("Recovering "))
            progress.push_back(h.model->statusMessage());
    });
    h.model->recoverSelected(h.dir.path().string());
    ASSERT_TRUE(h.pumpUntil([&] { return h.helper->pendingCount(HelperProtocolSelector::extractHit) == 5; }));
    std::vector<test::FakeHelperClient::Call> calls;
    while (auto call = h.helper->takeCall(HelperProtocolSelector::extractHit)) calls.push_back(std::move(*call));
    auto failed = ErrorObject::posix(EIO, "/dev/sdb");
    failed.message = "The card stopped answering in 3.jpg";
    for (std::size_t i = calls.size(); i-- > 0;) {
        h.answerKept(calls[i], i == 2 ? std::optional(failed) : std::nullopt);
        h.executor->runReady();
    }
    ASSERT_TRUE(recovered(h));
    EXPECT_EQ(namesIn(h.dir.path()), (std::vector<std::string>{"1.jpg", "2.jpg", "4.jpg", "5.jpg"}));
    for (const std::size_t i : {0, 1, 3, 4})
        EXPECT_EQ(test::readFile(h.dir / (std::to_string(i + 1) + ".jpg")), contents[i]) << i + 1;
    EXPECT_EQ(h.model->statusMessage(), "Recovered 4 file(s).");
    EXPECT_EQ(*h.model->errorMessage(), QString::fromStdString(failed.message));
    std::vector<QString> expected = {"Recovering 5 file(s)…"};
    for (int i = 1; i <= 5; ++i) expected.push_back(QStringLiteral("Recovering %1/5: %1.jpg…").arg(i));
    EXPECT_EQ(progress, expected);
}

// Requests still outstanding when the run is cut short: the connection to the helper is lost (each
// of them fails), or the model goes away (their answers find nobody). No file of theirs is left.
TEST(AppModelRecovery, FilesAskedForAreNotLeftBehindWhenTheRunIsCutShort) {
    enum class End { connectionLost, modelGone };
    // Of count hits, the first is answered and as many after it as the run asks for at once are still
    // being filled; with more, the files made ahead of those asked for must go as well.
    constexpr auto ahead = static_cast<int>(AppModel::recoveryRequestsAhead);
    constexpr auto many = ahead + static_cast<int>(AppModel::recoveryFilesMadeAhead) + 10;
    for (const auto& [end, count] : {std::pair{End::connectionLost, 5}, {End::modelGone, 5}, {End::modelGone, many}}) {
        ScanHarness h(count * 65'536);
        placeHits(h, numberedNames(count));
        h.model->setIntegrityChecker(nullptr);
        h.keepExtraction = [](std::uint64_t offset) { return offset != 0; };
        h.model->recoverSelected(h.dir.path().string());
        ASSERT_TRUE(waitsFor(h, 2, count));
        std::vector<test::FakeHelperClient::Call> calls;
        while (auto call = h.helper->takeCall(HelperProtocolSelector::extractHit)) calls.push_back(std::move(*call));
        ASSERT_EQ(calls.size(), static_cast<std::size_t>(std::min(count - 1, ahead)));
        if (end == End::modelGone) {
            h.model.reset();
            for (auto& call : calls) h.answerKept(call);
            h.executor->runReady();
            EXPECT_EQ(namesIn(h.dir.path()), (std::vector<std::string>{"1.jpg"})) << "the files the helper was still filling are gone";
            continue;
        }
        for (auto& call : calls) {
            call.destination.reset();
            call.failed(IpcError::make(IpcErrorCode::connectionInterrupted));
        }
        ASSERT_TRUE(recovered(h));
        EXPECT_EQ(namesIn(h.dir.path()), (std::vector<std::string>{"1.jpg"}));
        EXPECT_EQ(h.model->statusMessage(), "Recovered 1 file(s).");
        EXPECT_TRUE(h.model->errorMessage());
        EXPECT_EQ(h.extractionCount(), static_cast<std::size_t>(count));
    }
}

TEST(AppModelRecovery, AFailedExtractionRemovesItsFileAndSaysWhy) {
    ScanHarness h;
    placeHits(h, {"1.jpg"});
    h.model->setIntegrityChecker(nullptr);  // no quality pass afterwards
    auto refused = ErrorObject::posix(EXDEV, "/work/out/1.jpg");
    refused.message = "The destination lies on the disk being read: /work/out/1.jpg";
    h.extractionError = refused;
    h.model->recoverSelected(h.dir.path().string());
    ASSERT_TRUE(recovered(h));
    EXPECT_TRUE(namesIn(h.dir.path()).empty());
    EXPECT_EQ(h.model->statusMessage(), "Recovered 0 file(s).");
    EXPECT_EQ(*h.model->errorMessage(), QString::fromStdString(refused.message));
    EXPECT_EQ(h.model->fullDiskAccessState(), AppModel::RawDiskAccessState::unknown);

    h.extractionError = ErrorObject::posix(EACCES, "/dev/sdb");
    h.model->setErrorMessage(std::nullopt);
    h.model->recoverSelected(h.dir.path().string());
    ASSERT_TRUE(recovered(h));
    EXPECT_EQ(h.model->fullDiskAccessState(), AppModel::RawDiskAccessState::denied) << "the helper may not read the disk";
    EXPECT_TRUE(h.model->showHelperSheet());
}

// A file counts as recovered only once it is on the disk: the files the helper filled are flushed together,
// through their file system's flush, and each once on its own when that fails; one whose flush fails is
// removed and reported, never counted.
TEST(AppModelRecovery, AFileWhoseFlushFailsIsRemovedAndNotCountedAsRecovered) {
    struct Row {
        std::set<std::string> failing;
        const char* status;
        std::vector<std::string> left;
    };
    const Row rows[] = {
        {{}, "Recovered 3 file(s).", {"a.jpg", "b.jpg", "c.jpg"}},
        {{"b.jpg"}, "Recovered 2 file(s).", {"a.jpg", "c.jpg"}},
        {{"a.jpg", "b.jpg", "c.jpg"}, "Recovered 0 file(s).", {}},
    };
    for (const auto& row : rows) {
        ScanHarness h;
        placeHits(h, {"a.jpg", "b.jpg", "c.jpg"});
        h.model->setIntegrityChecker(nullptr);
        h.disks->flushFails = row.failing;
        const auto folder = h.dir / "out";
        std::filesystem::create_directory(folder);
        h.model->recoverSelected(folder.string());
        ASSERT_TRUE(recovered(h));
        EXPECT_EQ(h.model->statusMessage(), row.status);
        EXPECT_EQ(namesIn(folder), row.left);
        EXPECT_EQ(h.disks->fileSystemFlushes(), (std::vector<std::string>{"a.jpg"}));
        const std::vector<std::string> each = row.failing.empty() ? std::vector<std::string>{}
                                                                   : std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"};
        EXPECT_EQ(h.disks->flushed(), each);
        const auto error = h.model->errorMessage();
        EXPECT_EQ(error.has_value(), !row.failing.empty()) << row.status;
        if (error) {
            EXPECT_TRUE(error->contains((folder / *row.failing.begin()).c_str())) << error->toStdString();
            EXPECT_TRUE(error->contains("could not be written to the disk")) << error->toStdString();
        }
    }
}

// A batch is flushed while the next one is asked for: a file of it whose flush fails is still removed
// and reported, and every file counted is one that is there.
TEST(AppModelRecovery, AFlushThatFailsWhileTheRunGoesOnIsReported) {
    constexpr std::size_t count = 200;
    ScanHarness h(count * 65'536);
    placeHits(h, numberedNames(count));
    h.model->setIntegrityChecker(nullptr);
    h.disks->flushFails = {"7.jpg"};
    h.model->recoverSelected(h.dir.path().string());
    ASSERT_TRUE(recovered(h));
    const auto left = namesIn(h.dir.path());
    EXPECT_EQ(std::count(left.begin(), left.end(), "7.jpg"), 0);
    EXPECT_GE(left.size(), 127u) << "the rest of the first batch is kept";
    EXPECT_EQ(h.model->statusMessage(), QStringLiteral("Recovered %1 file(s).").arg(left.size()));
    ASSERT_TRUE(h.model->errorMessage());
    EXPECT_TRUE(h.model->errorMessage()->contains("7.jpg could not be written to the disk")) << h.model->errorMessage()->toStdString();
}

// While the disk writes one batch, the files after it are still made and asked for: the run waits
// for a flush only once the next batch is full too.
TEST(AppModelRecovery, FilesAreMadeAndAskedForWhileABatchIsFlushed) {
    constexpr std::size_t count = 600;
    ScanHarness h(count * 65'536);
    placeHits(h, numberedNames(count));
    h.model->setIntegrityChecker(nullptr);
    std::promise<void> release;
    const auto released = release.get_future().share();
    std::atomic<int> flushes{0};
    h.disks->whileFlushingFileSystem = [&] {
        if (flushes++ == 0) released.wait();
    };
    struct Release {
        std::promise<void>& promise;
        ~Release() {
            try {
                promise.set_value();
            } catch (const std::future_error&) {
            }
        }
    } releaseAtTheEnd{release};
    h.model->recoverSelected(h.dir.path().string());
    // With the first batch (128 files) held, the run goes on filling the next (up to 384 files waiting
    // in the two) and asks beyond them; a flush that held back the making of files stopped it at most
    // 320 files in (the first batch, those asked beyond it and those made ahead of them).
    static_assert(AppModel::recoveryRequestsAhead == 128 && AppModel::recoveryFilesMadeAhead == 64);
    EXPECT_TRUE(h.pumpUntil([&] { return h.extractionCount() >= 360; })) << h.extractionCount() << " asked";
    EXPECT_EQ(flushes.load(), 1) << "the first batch is still being flushed";
    release.set_value();
    ASSERT_TRUE(recovered(h));
    EXPECT_EQ(h.model->statusMessage(), QStringLiteral("Recovered %1 file(s).").arg(count));
    EXPECT_EQ(namesIn(h.dir.path()).size(), count);
}

// What a recovered file could not show is said in the status, naming the files: one shorter than found
// is suspect, never ok, even when judged ok before; one the checker cannot read back is not judged at
// all and keeps its state (judged when written: no quality pass follows, which would set its own status).
TEST(AppModelRecovery, WhatARecoveredFileCouldNotShowIsSaidAndNeverJudgedOk) {
    const std::tuple<const char*, std::function<void(ScanHarness&)>, const char*, std::pair<HitIntegrity, HitIntegrity>> rows[] = {
        {"cut.jpg",
         [](ScanHarness& h) {
             h.model->applyIntegrityResult(h.model->hits()[0].id, HitIntegrity::ok, std::nullopt);
             h.shortenExtractionsTo = 29'000;
         },
         "Recovered 2 file(s). 2 of them shorter than found on the disk: cut.jpg, whole.jpg.", {HitIntegrity::suspect, HitIntegrity::suspect}},
        {"gone.jpg",
         [](ScanHarness& h) {
             for (const auto& hit : h.model->hits()) h.model->applyIntegrityResult(hit.id, HitIntegrity::skipped, std::nullopt);
             h.checker->cannotRead = [](const std::string& path) { return path.ends_with("gone.jpg"); };
         },
         "Recovered 2 file(s). 1 of them not checked, as they could not be read back: gone.jpg.", {HitIntegrity::skipped, HitIntegrity::ok}},
    };
    for (const auto& [first, arrange, status, integrities] : rows) {
        SCOPED_TRACE(first);
        ScanHarness h;
        placeHits(h, {first, "whole.jpg"});
        arrange(h);
        h.model->recoverSelected(h.dir.path().string());
        ASSERT_TRUE(recovered(h));
        EXPECT_EQ(h.model->statusMessage(), status);
        EXPECT_EQ(h.model->hits()[0].integrity, integrities.first);
        EXPECT_EQ(h.model->hits()[1].integrity, integrities.second);
    }
}

TEST(AppModelRecovery, AFolderThatCannotBeWrittenIsReportedAsSuchNotAsBlockedDiskAccess) {
    ScanHarness h;
    placeHits(h, {"1.jpg"});
    h.model->setIntegrityChecker(nullptr);  // no quality pass afterwards
    const auto folder = h.dir / "readonly";
    std::filesystem::create_directory(folder);
    bool mounted = false;
    if (test::runningAsRoot()) {
        // Root writes into any folder whatever its mode; a read-only file system stops it.
        mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0;
        if (!mounted) GTEST_SKIP() << "as root a read-only folder needs a read-only mount";
    } else {
        std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    }
    h.model->recoverSelected(folder.string());
    ASSERT_TRUE(recovered(h));
    if (mounted) ::umount(folder.c_str());
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    ASSERT_TRUE(h.model->errorMessage());
    EXPECT_TRUE(h.model->errorMessage()->startsWith("Could not create a file in the folder " + QString::fromStdString(folder.string())))
        << h.model->errorMessage()->toStdString();
    EXPECT_EQ(h.model->fullDiskAccessState(), AppModel::RawDiskAccessState::unknown);
    EXPECT_FALSE(h.model->showHelperSheet());
    EXPECT_EQ(h.extractionCount(), 0u);
    EXPECT_EQ(h.model->statusMessage(), "Recovered 0 file(s).");
}

TEST(AppModelRecovery, ExtractionDuringAScanAndTheRulesOfStarting) {
    ScanHarness h;
    const auto photo = test::SampleContent::jpeg(640, 480, 30'000, 9);
    h.place(0, photo);
    h.startScanning();
    h.helper->sendHit(hitRecord(RecoveredFileKind::jpeg, 0, photo.size(), "live.jpg"));
    h.executor->runReady();
    ASSERT_EQ(h.model->hits().size(), 1u);

    h.model->recoverSelected(h.dir.path().string());
    EXPECT_FALSE(h.model->isRecovering()) << "nothing selected, nothing happens";
    EXPECT_TRUE(h.model->statusMessage().startsWith("Scanning"));

    h.model->setSelectedHitIDs({h.model->hits()[0].id});
    h.keepExtraction = [](std::uint64_t) { return true; };
    h.model->recoverSelected(h.dir.path().string());
    EXPECT_EQ(h.model->statusMessage(), "Recovering 1 file(s) while scan pauses briefly…");
    h.model->recoverSelected(h.dir.path().string());
    EXPECT_EQ(h.model->statusMessage(), "Recovery already in progress…");
    ASSERT_TRUE(h.pumpUntil([&] { return h.helper->pendingCount(HelperProtocolSelector::extractHit) == 1; }));
    auto call = h.helper->takeCall(HelperProtocolSelector::extractHit);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments[0], "/dev/sdb");
    EXPECT_EQ(call->arguments[4], "signatureCarve");
    ASSERT_EQ(::write(call->destination.get(), photo.data(), photo.size()), static_cast<ssize_t>(photo.size()));
    call->destination.reset();
    call->errorReply(std::nullopt);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    EXPECT_TRUE(h.model->isScanning());
    EXPECT_EQ(h.model->hits()[0].integrity, HitIntegrity::ok);
    EXPECT_EQ(test::readFile(h.dir / "live.jpg"), photo);

    h.model->setSelectedVolume(std::nullopt);
    h.model->plainState().activeRawDevicePath.reset();
    h.model->recoverSelected(h.dir.path().string());
    EXPECT_EQ(*h.model->errorMessage(), "No volume selected.");
}

TEST(AppModelRecovery, UniqueNamesNumberTheBaseName) {
    test::TempDir dir;
    test::writeFile(dir / "a.jpg", {});
    test::writeFile(dir / "a_1.jpg", {});
    test::writeFile(dir / "README", {});
    EXPECT_EQ(AppModel::uniqueURL(dir.path(), "a.jpg"), dir / "a_2.jpg");
    EXPECT_EQ(AppModel::uniqueURL(dir.path(), "README"), dir / "README_1");
    EXPECT_EQ(AppModel::uniqueURL(dir.path(), "b.jpg"), dir / "b.jpg");
}

} // namespace
} // namespace vantrel
