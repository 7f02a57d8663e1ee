// The preview of hits on the model's side, against the fake helper and the real verifying child:
// the probe cache against extraction, the upright copy, the newest request winning, helper errors,
// the device read, names from the disk, the preview folders' lifetime, the probe kept from a preview and
// stepping through the list.

#include "CapturedLog.h"
#include "PreviewFixtures.h"
#include "ScanFakes.h"
#include "WidgetTesting.h"

#include "Vantrel/scan/PreviewRenderer.h"

#include "recovery/carving/formats/JPEGMetadata.h"
#include "tests/fixtures/SampleContent.h"

#include <gtest/gtest.h>

#include <Qt>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>

namespace vantrel {
namespace {

using test::ScanHarness;
namespace fixtures = test::PreviewFixtures;

// The window as the controller sees it.
struct FakePanel final : PreviewPanel {
    void closePanel() override { visible = false; }
    bool visible = false;
    int shows = 0;
    bool isPanelVisible() const override { return visible; }
    void showPreview() override {
        visible = true;
        ++shows;
    }
};

struct PreviewHarness : ScanHarness {
    FakePanel panel;

    PreviewHarness() {
        // The PDFs made here draw text, which needs Qt's fonts.
        test::widgetApplication();
        model->previewController().setPanel(&panel);
        model->setPreviewRenderer(std::make_shared<PreviewRenderer>(VANTREL_VERIFY_PATH));
        model->plainState().activeRawDevicePath = "/dev/sdb";
        model->recordScannedSource("/dev/sdb");
    }
    ~PreviewHarness() {
        if (model) model->previewController().setPanel(nullptr);
    }

    // Hits of the given bytes placed on the disk at 64 KiB steps.
    void placeHits(const std::vector<std::pair<std::string, Bytes>>& files, RecoveredFileKind kind = RecoveredFileKind::jpeg) {
        std::vector<RecoveredHit> hits;
        for (std::size_t i = 0; i < files.size(); ++i) {
            place(i * 65'536, files[i].second);
            auto hit = test::makeHit(files[i].first, files[i].second.size(), kind);
            hit.byteOffset = i * 65'536;
            hits.push_back(hit);
        }
        model->setHits(hits);
    }
    const RecoveredHit& hitAt(std::size_t index) const { return model->hits()[index]; }
    std::optional<std::filesystem::path> shown() const { return model->previewController().previewItem(0); }
    // Previews and waits until the status says how it ended.
    bool preview(const RecoveredHit& hit) {
        model->previewHit(RecoveredHit(hit));
        return pumpUntil([&] { return model->statusMessage() != "Preparing preview…"; });
    }
    // Asks for a preview and takes the helper's extraction call, left unanswered.
    std::optional<test::FakeHelperClient::Call> heldExtraction(const RecoveredHit& hit) {
        model->previewHit(RecoveredHit(hit));
        executor->runReady();
        return helper->takeCall(HelperProtocolSelector::extractHit);
    }
    // Answers an extraction call with the bytes, written into its destination.
    static void answer(test::FakeHelperClient::Call& call, const Bytes& bytes) {
        ASSERT_EQ(::write(call.destination.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        call.destination.reset();
        call.errorReply(std::nullopt);
    }
    // Pictures are put in the cache as the quality pass would.
    void cache(const RecoveredHit& hit, const Bytes& bytes) {
        const auto source = dir / ("probe-" + hit.id.toString());
        test::writeFile(source, bytes);
        model->probeCache().adopt(source, hit.id, hit.suggestedName);
    }
};

// A harness whose model's temporary folder is root, so that what is left in it can be told.
std::unique_ptr<PreviewHarness> harnessIn(const test::TempDir& root) {
    const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", root.path().c_str(), 1);
    auto harness = std::make_unique<PreviewHarness>();
    saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
    EXPECT_EQ(harness->model->probeCache().temporaryRoot(), root.path());
    return harness;
}

// How many entries of folder have names that start with prefix.
std::size_t entriesNamed(const std::filesystem::path& folder, std::string_view prefix) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().starts_with(prefix)) ++count;
    return count;
}

TEST(AppModelPreview, TakesTheProbeCacheOnlyWhenItHoldsEnoughElseExtractsThroughTheHelper) {
    PreviewHarness h;
    const auto photo = fixtures::picture(64, 48, "jpeg");
    h.placeHits({{"IMG", photo}, {"big.mov", photo}, {"whole.jpg", photo}});

    // The whole of a small hit in the cache: no helper; the cache path adds the kind's extension.
    h.cache(h.hitAt(0), photo);
    ASSERT_TRUE(h.preview(h.hitAt(0)));
    EXPECT_EQ(h.extractionCount(), 0u);
    EXPECT_EQ(h.model->statusMessage(), "Preview: IMG");
    ASSERT_TRUE(h.shown());
    EXPECT_EQ(h.shown()->filename(), "IMG.jpg");
    EXPECT_EQ(test::readFile(*h.shown()), photo);
    EXPECT_EQ(h.shown()->parent_path().filename().string().rfind("Vantrel-QuickLook-", 0), 0u);
    EXPECT_EQ(h.panel.shows, 1);
    EXPECT_EQ(h.model->previewController().shownHit()->id, h.hitAt(0).id);

    // A hit of 200 MiB with a 12 MiB probe: the probe is not enough, the helper extracts the first 80 MiB.
    RecoveredHit big = h.hitAt(1);
    big.byteLength = 200ULL << 20;
    big.kind = RecoveredFileKind::mov;
    h.model->updateHit(big);
    h.cache(big, Bytes(AppModel::probeCapBytes, 0x42));
    h.keepExtraction = [](std::uint64_t) { return true; };
    auto call = h.heldExtraction(big);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments[0], "/dev/sdb");
    EXPECT_EQ(call->arguments[1], 65'536);
    EXPECT_EQ(call->arguments[2], AppModel::previewCapBytes);
    h.answer(*call, photo);
    ASSERT_TRUE(h.pumpUntil([&] { return h.model->statusMessage() == "Preview: big.mov"; }));
    EXPECT_EQ(h.shown()->filename(), "big.mov");
    EXPECT_EQ(test::readFile(*h.shown()), photo);
    EXPECT_EQ(*h.model->probeCache().fileSize(big.id), AppModel::probeCapBytes) << "the cached probe stays as it was";

    // Nothing cached: extracted (no extension added on this path), and the first bytes kept as the probe.
    h.keepExtraction = [](std::uint64_t) { return false; };
    RecoveredHit whole = h.hitAt(2);
    whole.suggestedName = "whole";
    h.model->updateHit(whole);
    ASSERT_TRUE(h.preview(whole));
    EXPECT_EQ(h.shown()->filename(), "whole");
    ASSERT_TRUE(h.model->probeCache().cachedFile(whole.id));
    EXPECT_EQ(test::readFile(*h.model->probeCache().cachedFile(whole.id)), photo);
    // And a second preview of it comes from the cache.
    const auto extractions = h.extractionCount();
    ASSERT_TRUE(h.preview(whole));
    EXPECT_EQ(h.extractionCount(), extractions);
    EXPECT_EQ(h.shown()->filename(), "whole.jpg");
}

// What stands under the cached file's name is judged as opened, and the copy runs off the window's
// thread from that descriptor. A FIFO (which would hold the window until someone writes to it), a link
// (which would lead the copy elsewhere) or another user's file put there is refused, the reason is
// logged and the helper is asked. Once the file is opened, the cache may drop it or another file may take
// its name, and the preview is still whole; a file that no longer holds what it held is a failed
// preview, said as such, and nothing of it is shown or left behind.
TEST(AppModelPreview, ACachedFileIsReadOnlyAsTheUsersOwnRegularFileAndShownWholeOrNotAtAll) {
    using Path = std::filesystem::path;
    enum class Outcome { fromCache, fromHelper, failed };
    struct Row {
        const char* what;
        std::function<void(const Path& cached, const Path& elsewhere)> instead;  // put in the cached file's place
        std::function<void(HitProbeCache& cache, const Path& cached)> meanwhile;  // once the preview began
        Outcome outcome;
        const char* reason = nullptr;  // logged for what is refused
        bool needsRoot = false;
    };
    const Row rows[] = {
        {"the cache drops the file", {}, [](HitProbeCache& cache, const Path&) { cache.clear(); }, Outcome::fromCache},
        {"another file takes its name", {},
         [](HitProbeCache&, const Path& cached) {
             const Path other = cached.string() + ".other";
             test::writeFile(other, Bytes(10, 0x55));
             std::filesystem::rename(other, cached);
         },
         Outcome::fromCache},
        {"the file shrinks", {}, [](HitProbeCache&, const Path& cached) { std::filesystem::resize_file(cached, 100); },
         Outcome::failed},
        {"a FIFO", [](const Path& cached, const Path&) { ASSERT_EQ(::mkfifo(cached.c_str(), 0600), 0); }, {}, Outcome::fromHelper,
         "not a regular file"},
        {"a link to another file", [](const Path& cached, const Path& elsewhere) { std::filesystem::create_symlink(elsewhere, cached); },
         {}, Outcome::fromHelper, "a symbolic link"},
        {"another user's file",
         [](const Path& cached, const Path& elsewhere) {
             std::filesystem::copy_file(elsewhere, cached);
             ASSERT_EQ(::chown(cached.c_str(), 65534, 65534), 0);
         },
         {}, Outcome::fromHelper, "owned by another user", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.needsRoot && ::geteuid() != 0) continue;
        const test::CapturedLog log;
        test::TempDir root;
        const auto harness = harnessIn(root);
        auto& h = *harness;
        const auto photo = fixtures::picture(64, 48, "jpeg");
        h.placeHits({{"IMG.jpg", photo}});
        h.cache(h.hitAt(0), photo);
        const auto cached = *h.model->probeCache().cachedFile(h.hitAt(0).id);
        if (row.instead) {
            const Path elsewhere = h.dir / "elsewhere.jpg";
            test::writeFile(elsewhere, Bytes(photo.size(), 0x55));
            std::filesystem::remove(cached);
            row.instead(cached, elsewhere);
        }
        h.model->previewHit(h.hitAt(0));
        EXPECT_EQ(h.model->statusMessage(), "Preparing preview…");
        if (row.meanwhile) row.meanwhile(h.model->probeCache(), cached);
        ASSERT_TRUE(h.pumpUntil([&] { return h.model->statusMessage() != "Preparing preview…"; }));
        EXPECT_EQ(h.extractionCount(), row.outcome == Outcome::fromHelper ? 1u : 0u);
        if (row.reason) {
            EXPECT_TRUE(log.mentions("app", std::string("preview from cache refused IMG.jpg: ") + row.reason));
        }
        if (row.outcome == Outcome::failed) {
            EXPECT_EQ(h.model->statusMessage(), "Preview failed.");
            EXPECT_FALSE(h.shown());
            EXPECT_EQ(h.panel.shows, 0);
            EXPECT_EQ(entriesNamed(root.path(), AppModel::previewFolderPrefix), 0u);
            continue;
        }
        EXPECT_EQ(h.model->statusMessage(), "Preview: IMG.jpg");
        ASSERT_TRUE(h.shown());
        EXPECT_EQ(test::readFile(*h.shown()), photo) << "the disk's bytes, never a planted file's";
    }
}

// Writes into files stop at a limit while it lives: a write past it fails with EFBIG, as on a file
// system that refuses the bytes (the signal the kernel sends with it is ignored meanwhile).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &m_saved), 0);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_saved{};
    void (*m_handler)(int) = SIG_DFL;
};

// The first bytes the helper extracted for a preview become the hit's probe, copied and flushed off the
// window's thread. A copy that fails there is no probe: the preview is still shown, nothing of the copy
// stays in the temporary folder, the cache holds nothing for the hit, and the next preview asks the
// helper again, whose bytes are kept then.
TEST(AppModelPreview, APreviewPrefixThatCannotBeCopiedIsNotKept) {
    test::TempDir root;
    const auto harness = harnessIn(root);
    auto& h = *harness;
    const auto photo = fixtures::picture(64, 48, "jpeg");
    h.placeHits({{"IMG.jpg", photo}});
    h.keepExtraction = [](std::uint64_t) { return true; };
    auto call = h.heldExtraction(h.hitAt(0));
    ASSERT_TRUE(call);
    h.answer(*call, photo);
    {
        // The preview's file is whole already; the probe copy can take half of it.
        const FileSizeLimit limit(photo.size() / 2);
        ASSERT_TRUE(h.pumpUntil([&] { return h.model->statusMessage() != "Preparing preview…"; }));
    }
    EXPECT_EQ(h.model->statusMessage(), "Preview: IMG.jpg");
    ASSERT_TRUE(h.shown());
    EXPECT_EQ(test::readFile(*h.shown()), photo);
    EXPECT_FALSE(h.model->probeCache().cachedFile(h.hitAt(0).id));
    EXPECT_EQ(entriesNamed(root.path(), HitProbeCache::probePrefix), 0u) << "the half-written copy is gone";

    h.keepExtraction = [](std::uint64_t) { return false; };
    ASSERT_TRUE(h.preview(h.hitAt(0)));
    EXPECT_EQ(h.extractionCount(), 2u);
    const auto kept = h.model->probeCache().cachedFile(h.hitAt(0).id);
    ASSERT_TRUE(kept);
    EXPECT_EQ(test::readFile(*kept), photo);
    EXPECT_EQ(entriesNamed(root.path(), HitProbeCache::probePrefix), 0u);
}

TEST(AppModelPreview, APictureThatAsksForATurnIsShownAsItsUprightCopy) {
    PreviewHarness h;
    const auto plain = fixtures::picture(20, 10, "jpeg");
    const auto turned = fixtures::withExifOrientation(plain, 6);
    h.placeHits({{"IMG_1234.jpg", turned}, {"IMG_1235.jpg", fixtures::withExifOrientation(plain, 1)}});
    ASSERT_TRUE(h.preview(h.hitAt(0)));
    ASSERT_TRUE(h.shown());
    EXPECT_EQ(h.shown()->filename(), "IMG_1234_oriented.jpg");
    EXPECT_TRUE(std::filesystem::exists(h.shown()->parent_path() / "IMG_1234.jpg")) << "the file itself stays beside it";
    const auto copy = test::readFile(*h.shown());
    const auto size = JPEGMetadata::dimensions(copy);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 10);
    EXPECT_EQ(size->height, 20);

    // Orientation 1, and a PDF, are shown as they are.
    ASSERT_TRUE(h.preview(h.hitAt(1)));
    EXPECT_EQ(h.shown()->filename(), "IMG_1235.jpg");
    const auto document = fixtures::pdf(2, "Report");
    h.placeHits({{"report.pdf", document}}, RecoveredFileKind::pdf);
    ASSERT_TRUE(h.preview(h.hitAt(0)));
    EXPECT_EQ(h.shown()->filename(), "report.pdf");
    EXPECT_EQ(test::readFile(*h.shown()), document);
}

TEST(AppModelPreview, OnlyTheNewestRequestChangesWhatIsShownAndStaleFoldersGo) {
    PreviewHarness h;
    const auto first = fixtures::picture(30, 20, "png");
    const auto second = fixtures::picture(40, 20, "png");
    h.placeHits({{"first.png", first}, {"second.png", second}, {"third.png", first}}, RecoveredFileKind::png);
    h.keepExtraction = [](std::uint64_t) { return true; };
    h.model->previewHit(h.hitAt(0));
    h.executor->runReady();
    h.model->previewHit(h.hitAt(1));
    h.executor->runReady();
    auto slow = h.helper->takeCall(HelperProtocolSelector::extractHit);
    auto fast = h.helper->takeCall(HelperProtocolSelector::extractHit);
    ASSERT_TRUE(slow && fast);
    const std::filesystem::path slowPath = slow->arguments[3].get<std::string>();
    h.answer(*fast, second);
    ASSERT_TRUE(h.pumpUntil([&] { return h.model->statusMessage() == "Preview: second.png"; }));
    h.answer(*slow, first);
    ASSERT_TRUE(h.pumpUntil([&] { return !std::filesystem::exists(slowPath.parent_path()); }))
        << "the slower first result is discarded with its folder";
    EXPECT_EQ(h.shown()->filename(), "second.png");
    EXPECT_EQ(h.model->statusMessage(), "Preview: second.png");

    // A stale failure changes nothing either.
    auto stale = h.heldExtraction(h.hitAt(2));
    ASSERT_TRUE(stale);
    h.keepExtraction = [](std::uint64_t) { return false; };
    h.cache(h.hitAt(1), second);
    ASSERT_TRUE(h.preview(h.hitAt(1)));
    stale->destination.reset();
    stale->errorReply(ErrorObject::posix(EIO, "/dev/sdb"));
    h.executor->runReady();
    EXPECT_FALSE(h.model->errorMessage());
    EXPECT_EQ(h.model->statusMessage(), "Preview: second.png");
}

TEST(AppModelPreview, HelperErrorsAreReportedAndLeaveNoFolder) {
    PreviewHarness h;
    h.placeHits({{"a.jpg", fixtures::picture(16, 16, "jpeg")}});
    h.extractionError = ErrorObject{"TestDomain", 5, "The disk could not be read.", std::nullopt};
    ASSERT_TRUE(h.preview(h.hitAt(0)));
    EXPECT_EQ(h.model->statusMessage(), "Preview failed.");
    EXPECT_EQ(*h.model->errorMessage(), "The disk could not be read.");
    EXPECT_FALSE(h.model->showHelperSheet());
    const std::filesystem::path target = h.extractedPaths().back();
    EXPECT_FALSE(std::filesystem::exists(target.parent_path()));
    EXPECT_FALSE(h.shown());

    h.model->setErrorMessage(std::nullopt);
    h.extractionError = ErrorObject::posix(EACCES, "/dev/sdb");
    ASSERT_TRUE(h.preview(h.hitAt(0)));
    EXPECT_EQ(h.model->statusMessage(), "Preview failed.");
    EXPECT_TRUE(h.model->showHelperSheet());
    EXPECT_EQ(h.model->fullDiskAccessState(), AppModel::RawDiskAccessState::denied);
    EXPECT_EQ(*h.model->errorMessage(), AppModel::userFacingErrorMessage(ErrorObject::posix(EACCES, "/dev/sdb")));
}

TEST(AppModelPreview, AFolderOfAPreviewStillBeingPreparedGoesWithTheModelOrWhenOvertaken) {
    PreviewHarness h;
    const auto photo = fixtures::picture(16, 16, "jpeg");
    h.placeHits({{"DSC.JPG", photo}, {"b.jpg", photo}});
    h.keepExtraction = [](std::uint64_t) { return true; };

    // Overtaken: the first request's helper answers after a second one was made.
    auto first = h.heldExtraction(h.hitAt(0));
    ASSERT_TRUE(first);
    const std::filesystem::path firstTarget = h.extractedPaths().back();
    ASSERT_TRUE(std::filesystem::exists(firstTarget.parent_path()));
    auto second = h.heldExtraction(h.hitAt(1));
    ASSERT_TRUE(second);
    first->destination.reset();
    first->errorReply(std::nullopt);
    ASSERT_TRUE(h.pumpUntil([&] { return !std::filesystem::exists(firstTarget.parent_path()); }));

    // Still waiting for the helper when the program quits: nothing of it stays in the temporary folder.
    const std::filesystem::path secondFolder = std::filesystem::path(h.extractedPaths().back()).parent_path();
    ASSERT_TRUE(std::filesystem::exists(secondFolder));
    h.model->previewController().setPanel(nullptr);
    h.model.reset();
    EXPECT_FALSE(std::filesystem::exists(secondFolder));
}

TEST(AppModelPreview, ReadsOnlyTheDeviceTheHitsCameFrom) {
    PreviewHarness h;
    const auto photo = fixtures::picture(16, 16, "jpeg");
    h.placeHits({{"DSC.JPG", photo}});
    RecoveredHit undeleted = h.hitAt(0);
    undeleted.source = HitSource::fatUndelete;
    undeleted.clusterHint = ClusterAllocationHint{7, 1'048'576, DetectedFileSystem::fat32};
    h.model->updateHit(undeleted);
    // The selected volume is the partition sdb1; its hits' offsets count from the start of sdb.
    h.keepExtraction = [](std::uint64_t) { return true; };
    auto call = h.heldExtraction(undeleted);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments[0], "/dev/sdb");
    EXPECT_EQ(call->arguments[4], "fatUndelete");
    EXPECT_EQ(call->arguments[5], 7);
    EXPECT_EQ(call->arguments[6], 1'048'576);
    EXPECT_EQ(call->arguments[7], "fat32");
    call->destination.reset();
    call->errorReply(std::nullopt);

    // A catalog whose disk is not attached: a volume of that name is selected, but nothing is read.
    h.model->plainState().activeRawDevicePath.reset();
    const auto calls = h.helper->calledSelectors().size();
    h.model->setStatusMessage("Loaded catalog — 1 file(s). Reinsert the card.");
    h.model->previewHit(undeleted);
    h.executor->runReady();
    EXPECT_EQ(h.helper->calledSelectors().size(), calls);
    EXPECT_EQ(*h.model->errorMessage(), "The disk these files were found on is not attached.");
    h.model->setSelectedVolume(std::nullopt);
    h.model->previewHit(undeleted);
    EXPECT_EQ(*h.model->errorMessage(), "No volume selected.");
    EXPECT_EQ(h.model->statusMessage(), "Loaded catalog — 1 file(s). Reinsert the card.") << "a refusal keeps the advice";
}

TEST(AppModelPreview, NamesFromTheDiskStayInsideTheFolderAndFoldersGoWithThePreview) {
    PreviewHarness h;
    const auto photo = fixtures::picture(16, 16, "jpeg");
    h.placeHits({{"../../escape.jpg", photo}, {"/etc/passwd", photo}});
    ASSERT_TRUE(h.preview(h.hitAt(0)));
    const auto firstFolder = h.shown()->parent_path();
    EXPECT_EQ(h.shown()->filename(), "_._.._escape.jpg") << "never a hidden file";
    h.cache(h.hitAt(1), photo);
    ASSERT_TRUE(h.preview(h.hitAt(1)));
    EXPECT_EQ(h.shown()->parent_path().parent_path(), h.model->probeCache().temporaryRoot());
    EXPECT_EQ(h.shown()->filename().string().find('/'), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(firstFolder)) << "a newer preview replaces the folder";

    const auto folder = *h.model->previewController().previewDirectory();
    EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    h.model->previewController().endPanelControl();
    EXPECT_FALSE(std::filesystem::exists(folder)) << "closing the window removes it";
    EXPECT_FALSE(h.model->previewController().hasOnNavigate());

    ASSERT_TRUE(h.preview(h.hitAt(1)));
    const auto last = *h.model->previewController().previewDirectory();
    h.model->previewController().setPanel(nullptr);
    h.model.reset();
    EXPECT_FALSE(std::filesystem::exists(last)) << "quitting removes it";
}

TEST(AppModelPreview, ArrowKeysStepThroughTheDisplayedListAndTheOpenPreviewFollows) {
    PreviewHarness h;
    const auto photo = fixtures::picture(16, 16, "jpeg");
    h.placeHits({{"a.jpg", photo}, {"b.jpg", photo}, {"c.jpg", photo}});
    auto& controller = h.model->previewController();
    // Keys reach nothing before a preview, but the four arrows are still handled.
    EXPECT_TRUE(controller.handleKey(Qt::Key_Right));
    EXPECT_FALSE(controller.handleKey(Qt::Key_Space));
    h.executor->runReady();
    EXPECT_TRUE(h.model->selectedHitIDs().empty());

    h.model->setSelectedHitIDs({h.hitAt(0).id});
    ASSERT_TRUE(h.preview(*h.model->selectedHit()));
    auto selectedName = [&] { return h.model->selectedHit()->suggestedName; };
    auto press = [&](int key) {
        EXPECT_TRUE(controller.handleKey(key));
        h.executor->runReady();
        // The list's selection change calls this.
        h.model->refreshQuickLookPanelIfVisible();
        return h.pumpUntil([&] { return h.model->statusMessage() != "Preparing preview…"; });
    };
    ASSERT_TRUE(press(Qt::Key_Right));
    EXPECT_EQ(selectedName(), "b.jpg");
    EXPECT_EQ(h.shown()->filename(), "b.jpg") << "the open preview follows the selection";
    ASSERT_TRUE(press(Qt::Key_Down));
    EXPECT_EQ(selectedName(), "c.jpg");
    ASSERT_TRUE(press(Qt::Key_Right));
    EXPECT_EQ(selectedName(), "c.jpg") << "the last stays the last";
    ASSERT_TRUE(press(Qt::Key_Left));
    EXPECT_EQ(selectedName(), "b.jpg");
    ASSERT_TRUE(press(Qt::Key_Up));
    EXPECT_EQ(selectedName(), "a.jpg");
    EXPECT_EQ(h.shown()->filename(), "a.jpg");
    const auto shows = h.panel.shows;
    ASSERT_TRUE(press(Qt::Key_Up));
    EXPECT_EQ(selectedName(), "a.jpg") << "the first stays the first";

    // With several selected, the anchor is the one found last in discovery order.
    h.model->setSelectedHitIDs({h.hitAt(2).id, h.hitAt(0).id});
    h.model->moveSelection(-1);
    EXPECT_EQ(selectedName(), "b.jpg");

    EXPECT_EQ(h.panel.shows, shows + 1);

    // A hidden window follows nothing.
    h.panel.visible = false;
    h.model->refreshQuickLookPanelIfVisible();
    EXPECT_EQ(h.model->statusMessage(), "Preview: a.jpg");
    EXPECT_EQ(h.panel.shows, shows + 1);
}

} // namespace
} // namespace vantrel
