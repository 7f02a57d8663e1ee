// The preview window offscreen, on the model with the fake helper and the real verifying child: each
// picture kind drawn and a PDF's first page with its page count (screenshots for review in
// screenshots/ of the build folder), the arrow keys and the main list's selection stepping the
// preview, kinds that cannot be drawn, and closing.

#include "PreviewFixtures.h"
#include "ScanFakes.h"
#include "WidgetTesting.h"

#include "Vantrel/preview/PreviewWindow.h"
#include "Vantrel/preview/PreviewWindowLogic.h"
#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/MainWindow.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/ResultsPaneLogic.h"

#include "tests/fixtures/SampleContent.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QAccessible>
#include <QTest>

#include <gtest/gtest.h>

#include <thread>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
namespace fixtures = test::PreviewFixtures;

struct WindowHarness : test::ScanHarness {
    QApplication& application = test::widgetApplication();
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<PreviewWindow> preview;

    WindowHarness() : test::ScanHarness(8 << 20) {
        model->setPreviewRenderer(std::make_shared<PreviewRenderer>(VANTREL_VERIFY_PATH));
        model->plainState().activeRawDevicePath = "/dev/sdb";
        model->recordScannedSource("/dev/sdb");
        window = std::make_unique<MainWindow>(*model, volumes);
        preview = std::make_unique<PreviewWindow>(*model, window.get());
        window->show();
    }
    ~WindowHarness() {
        preview.reset();
        window.reset();
    }

    // Hits of the files placed on the disk at 1 MiB steps.
    void placeHits(const std::vector<std::tuple<std::string, RecoveredFileKind, Bytes>>& files) {
        std::vector<RecoveredHit> hits;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto& [name, kind, bytes] = files[i];
            ASSERT_LE(bytes.size(), 1u << 20);
            place(i << 20, bytes);
            auto hit = test::makeHit(name, bytes.size(), kind);
            hit.byteOffset = i << 20;
            hits.push_back(hit);
        }
        model->setHits(hits);
    }
    // Runs the model's tasks and Qt's events until done holds; false after 20 s.
    bool pump(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            executor->runReady();
            QCoreApplication::processEvents();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
    }
    std::string shownName() const {
        const auto item = model->previewController().previewItem(0);
        return item ? item->filename().string() : std::string();
    }
    // Selects the hit in the list and, unless the open preview follows the selection by itself, presses
    // Space there; waits for the window to finish.
    bool previewWithSpace(std::size_t index) {
        const bool open = preview->isVisible();
        const Uuid id = model->hits()[index].id;
        model->setSelectedHitIDs({id});
        if (!open) QTest::keyClick(window->resultsPane()->list(), Qt::Key_Space);
        // The hit shown, not a name: two hits of a list may share the stem of their names.
        return pump([&] {
            const auto& shown = model->previewController().shownHit();
            return shown && shown->id == id && !preview->isDrawing();
        });
    }
    bool settled(const std::string& name) {
        return pump([&] { return shownName().rfind(std::filesystem::path(name).stem().string(), 0) == 0 && !preview->isDrawing(); });
    }
    void screenshot(const std::string& name) {
        const QString folder = QStringLiteral(VANTREL_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        EXPECT_TRUE(preview->grab().save(folder + "/" + QString::fromStdString(name) + ".png"));
    }
    // The preview at the two sizes the views are checked at, each written as name-WxH.
    void screenshotsAtBothSizes(const std::string& name, const std::function<void()>& check) {
        for (const QSize size : {QSize(980, 640), QSize(1440, 900)}) {
            preview->resize(size);
            QCoreApplication::processEvents();
            check();
            screenshot(name + "-" + std::to_string(size.width()) + "x" + std::to_string(size.height()));
        }
    }
};

std::optional<Bytes> heicOf(const test::TempDir& dir, const Bytes& png) {
    if (!test::haveProgram("heif-enc")) return std::nullopt;
    test::writeFile(dir / "source.png", png);
    const auto result = test::run({"heif-enc", "-q", "80", (dir / "source.png").string(), "-o", (dir / "made.heic").string()});
    if (result.exitCode != 0) return std::nullopt;
    return test::readFile(dir / "made.heic");
}

std::optional<Bytes> avifOf(const test::TempDir& dir, const Bytes& png) {
    if (!test::haveProgram("ffmpeg")) return std::nullopt;
    test::writeFile(dir / "avif-source.png", png);
    const auto result = test::run({"ffmpeg", "-loglevel", "error", "-y", "-i", (dir / "avif-source.png").string(), "-c:v",
                                   "libaom-av1", "-still-picture", "1", "-f", "avif", (dir / "made.avif").string()});
    if (result.exitCode != 0) return std::nullopt;
    return test::readFile(dir / "made.avif");
}

TEST(PreviewWindow, DrawsEachPictureKindAndThePdfsFirstPageScaledToTheWindow) {
    WindowHarness h;
    const auto jpeg = fixtures::picture(640, 427, "jpeg", "JPEG 640×427");
    const auto png = fixtures::picture(480, 480, "png", "PNG 480×480");
    const auto heic = heicOf(h.dir, fixtures::picture(600, 400, "png", "HEIC 600×400"));
    ASSERT_TRUE(heic) << "heif-enc makes the HEIC picture";
    const auto avif = avifOf(h.dir, fixtures::picture(300, 200, "png", "AVIF"));
    ASSERT_TRUE(avif) << "ffmpeg makes the AVIF picture";
    const auto pdf = fixtures::pdf(3, "Quarterly report");
    h.placeHits({{"sticker.avif", RecoveredFileKind::avif, *avif},
                 {"holiday.jpg", RecoveredFileKind::jpeg, jpeg},
                 {"diagram.png", RecoveredFileKind::png, png},
                 {"IMG_0042.HEIC", RecoveredFileKind::heic, *heic},
                 {"report.pdf", RecoveredFileKind::pdf, pdf}});
    ASSERT_TRUE(h.previewWithSpace(0));
    EXPECT_EQ(h.preview->drawnPicture().size(), QSize(300, 200));

    ASSERT_TRUE(h.previewWithSpace(1));
    EXPECT_TRUE(h.preview->isVisible());
    EXPECT_EQ(h.preview->drawnPicture().size(), QSize(640, 427));
    EXPECT_FALSE(h.preview->noteView()->isVisible());
    EXPECT_FALSE(h.preview->hexView()->isVisible());
    EXPECT_TRUE(h.preview->factsView()->text().contains("Name: holiday.jpg"));
    EXPECT_EQ(h.preview->windowTitle(), QStringLiteral("Preview — holiday.jpg"));
    // Scaled to the window, keeping its proportions.
    const QSize shown = h.preview->pictureView()->pixmap().size();
    const QSize room = h.preview->pictureView()->size();
    EXPECT_TRUE(shown.width() == room.width() || shown.height() == room.height()) << shown.width() << "×" << shown.height();
    EXPECT_NEAR(double(shown.width()) / shown.height(), 640.0 / 427.0, 0.02);
    h.screenshot("preview-jpeg");

    ASSERT_TRUE(h.previewWithSpace(2));
    EXPECT_EQ(h.preview->drawnPicture().size(), QSize(480, 480));
    h.screenshot("preview-png");

    ASSERT_TRUE(h.previewWithSpace(3));
    EXPECT_EQ(h.preview->drawnPicture().size(), QSize(600, 400));
    h.screenshot("preview-heic");

    ASSERT_TRUE(h.previewWithSpace(4));
    EXPECT_FALSE(h.preview->drawnPicture().isNull());
    EXPECT_GT(h.preview->drawnPicture().height(), h.preview->drawnPicture().width()) << "an A5 page stands upright";
    EXPECT_TRUE(h.preview->factsView()->text().contains(PreviewWindowLogic::pagesText(3)));
    h.screenshot("preview-pdf");
}

TEST(PreviewWindow, ACutPhotoShowsWhatDecodesMarkedAsPartial) {
    // A photograph shipped in Debian's imagemagick-6-doc package (scripts/dependencies.txt).
    const std::filesystem::path photo = "/usr/share/doc/imagemagick-6-common/html/images/bluebells_lin.jpg";
    if (!std::filesystem::exists(photo)) GTEST_SKIP() << "the photographs of imagemagick-6-doc are not installed";
    WindowHarness h;
    const Bytes whole = test::readFile(photo);
    const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * 6 / 10));
    h.placeHits({{"DSC_0815.JPG", RecoveredFileKind::jpeg, cut}, {"DSC_0816.JPG", RecoveredFileKind::jpeg, whole}});
    ASSERT_TRUE(h.previewWithSpace(0));
    EXPECT_TRUE(h.preview->isPartial());
    EXPECT_EQ(h.preview->drawnPicture().size(), QSize(384, 288));
    EXPECT_EQ(h.preview->noteView()->text(), PreviewWindowLogic::partialNote());
    EXPECT_TRUE(h.preview->noteView()->isVisible());
    EXPECT_TRUE(h.preview->noteView()->font().bold());
    h.screenshotsAtBothSizes("preview-cut-jpeg", [&] {
        // The whole note and the picture above it.
        const QLabel* note = h.preview->noteView();
        EXPECT_GE(note->height(), note->heightForWidth(note->width()));
        EXPECT_GT(h.preview->pictureView()->pixmap().height(), 200);
    });

    EXPECT_FALSE(h.preview->mediaView()->isVisible());
    // The next, whole photo has no mark.
    QTest::keyClick(h.preview.get(), Qt::Key_Down);
    ASSERT_TRUE(h.settled("DSC_0816.JPG"));
    EXPECT_FALSE(h.preview->isPartial());
    EXPECT_FALSE(h.preview->noteView()->isVisible());
}

TEST(PreviewWindow, SoundAndVideoShowTheDurationAndPictureSizeTheirContainersState) {
    EXPECT_EQ(PreviewWindowLogic::durationText(999), "0:00");
    EXPECT_EQ(PreviewWindowLogic::durationText(65'000), "1:05");
    EXPECT_EQ(PreviewWindowLogic::durationText(3'723'500), "1:02:03");
    const std::filesystem::path debianSound = "/usr/share/sounds/freedesktop/stereo/complete.oga";
    if (!test::haveProgram("ffmpeg") || !std::filesystem::exists(debianSound))
        GTEST_SKIP() << "needs ffmpeg and sound-theme-freedesktop";
    WindowHarness h;
    // A video as a camera makes one, with sound; the sound of Debian's theme; an MP3 without a frame count.
    test::runOrFail({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=5", "-f",
                     "lavfi", "-i", "sine=duration=5", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
                     (h.dir / "clip.mp4").string()});
    test::runOrFail({"ffmpeg", "-v", "error", "-y", "-i", debianSound.string(), "-c:a", "libmp3lame", "-b:a", "64k",
                     "-write_xing", "0", (h.dir / "complete.mp3").string()});
    h.placeHits({{"MVI_0042.MP4", RecoveredFileKind::mp4, test::readFile(h.dir / "clip.mp4")},
                 {"complete.oga", RecoveredFileKind::ogg, test::readFile(debianSound)},
                 {"complete.mp3", RecoveredFileKind::mp3, test::readFile(h.dir / "complete.mp3")},
                 {"noise.wav", RecoveredFileKind::wav, test::randomBytes(4096, 9)}});

    ASSERT_TRUE(h.previewWithSpace(0));
    EXPECT_EQ(h.preview->mediaView()->text(), QStringLiteral("Duration: 0:05\nPicture size: 320 × 240"));
    EXPECT_TRUE(h.preview->mediaView()->isVisible());
    EXPECT_EQ(h.preview->noteView()->text(), PreviewWindowLogic::mediaNote());
    h.screenshotsAtBothSizes("preview-video", [&] {
        for (const QLabel* label : {h.preview->factsView(), h.preview->mediaView()})
            EXPECT_GE(label->height(), label->sizeHint().height()) << "every line of " << label->text().toStdString();
        const QLabel* note = h.preview->noteView();
        EXPECT_GE(note->height(), note->heightForWidth(note->width()));
    });

    ASSERT_TRUE(h.previewWithSpace(1));
    EXPECT_EQ(h.preview->mediaView()->text(), QStringLiteral("Duration: 0:01"));
    ASSERT_TRUE(h.previewWithSpace(2));
    EXPECT_EQ(h.preview->mediaView()->text(), QStringLiteral("Duration: about 0:01"));
    // A container that says nothing readable: nothing is said of it.
    ASSERT_TRUE(h.previewWithSpace(3));
    EXPECT_TRUE(h.preview->mediaView()->text().isEmpty());
    EXPECT_EQ(h.preview->noteView()->text(), PreviewWindowLogic::mediaNote());
}

TEST(PreviewWindow, ArrowKeysAndTheListsSelectionStepThePreview) {
    WindowHarness h;
    h.placeHits({{"a.jpg", RecoveredFileKind::jpeg, fixtures::picture(64, 48, "jpeg", "A")},
                 {"b.jpg", RecoveredFileKind::jpeg, fixtures::picture(64, 48, "jpeg", "B")},
                 {"c.jpg", RecoveredFileKind::jpeg, fixtures::picture(64, 48, "jpeg", "C")}});
    ASSERT_TRUE(h.previewWithSpace(0));
    const std::vector<std::pair<Qt::Key, std::string>> steps = {
        {Qt::Key_Right, "b.jpg"}, {Qt::Key_Down, "c.jpg"}, {Qt::Key_Down, "c.jpg"},
        {Qt::Key_Left, "b.jpg"},  {Qt::Key_Up, "a.jpg"},   {Qt::Key_Left, "a.jpg"}};
    for (const auto& [key, name] : steps) {
        QTest::keyClick(h.preview.get(), key);
        ASSERT_TRUE(h.settled(name)) << name;
        EXPECT_EQ(h.model->selectedHit()->suggestedName, name);
        EXPECT_FALSE(h.preview->drawnPicture().isNull()) << name;
    }
    // A selection made in the main list is followed too.
    h.model->setSelectedHitIDs({h.model->hits()[2].id});
    ASSERT_TRUE(h.settled("c.jpg"));
}

TEST(PreviewWindow, KindsThatCannotBeDrawnSayWhyAndOfferTheDefaultApplication) {
    WindowHarness h;
    const auto zip = test::SampleContent::zip({{"notes.txt", Bytes(100, 'x')}}, "");
    h.placeHits({{"archive.zip", RecoveredFileKind::zip, zip},
                 {"song.mp3", RecoveredFileKind::mp3, test::randomBytes(4096, 3)},
                 {"broken.jpg", RecoveredFileKind::jpeg, test::randomBytes(4096, 4)}});
    std::vector<QUrl> opened;
    bool opens = true;
    h.preview->openExternally = [&](const QUrl& url) {
        opened.push_back(url);
        return opens;
    };

    ASSERT_TRUE(h.previewWithSpace(0));
    EXPECT_TRUE(h.preview->hexView()->isVisible());
    EXPECT_TRUE(h.preview->hexView()->text().startsWith("00000000  50 4b 03 04 ")) << h.preview->hexView()->text().toStdString();
    EXPECT_EQ(h.preview->hexView()->text().count('\n') + 1, (int(std::min<std::size_t>(zip.size(), PreviewWindowLogic::hexViewBytes)) + 15) / 16);
    EXPECT_EQ(h.preview->noteView()->text(), PreviewWindowLogic::factsNote());
    EXPECT_FALSE(h.preview->pictureView()->isVisible());
    EXPECT_TRUE(h.preview->factsView()->text().contains("Kind: " + ResultsPaneLogic::typeText(RecoveredFileKind::zip)));
    h.screenshot("preview-zip");
    QTest::mouseClick(h.preview->openButton(), Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toLocalFile().toStdString(), h.model->previewController().previewItem(0)->string());
    // Without an application for it, the window says so.
    opens = false;
    QTest::mouseClick(h.preview->openButton(), Qt::LeftButton);
    EXPECT_EQ(h.preview->noteView()->text(), PreviewWindowLogic::notOpenedNote());
    EXPECT_TRUE(h.preview->noteView()->isVisible());

    ASSERT_TRUE(h.previewWithSpace(1));
    EXPECT_EQ(h.preview->noteView()->text(), PreviewWindowLogic::mediaNote());
    EXPECT_FALSE(h.preview->hexView()->isVisible());

    ASSERT_TRUE(h.previewWithSpace(2));
    EXPECT_EQ(h.preview->noteView()->text(), PreviewWindowLogic::undrawnNote());
    EXPECT_TRUE(h.preview->drawnPicture().isNull());
}

TEST(PreviewWindow, IsADialogOfTheMainWindowOverItWithoutMinimise) {
    WindowHarness h;
    h.window->move(200, 150);
    h.placeHits({{"a.png", RecoveredFileKind::png, fixtures::picture(32, 32, "png")}});
    ASSERT_TRUE(h.previewWithSpace(0));
    EXPECT_EQ(h.preview->windowType(), Qt::Dialog) << "transient for the main window";
    EXPECT_EQ(h.preview->parentWidget(), h.window.get());
    EXPECT_FALSE(h.preview->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(h.preview->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(h.preview->isModal()) << "the list stays usable beside it";
    EXPECT_TRUE(h.window->frameGeometry().contains(h.preview->frameGeometry().center()))
        << "placed over the main window, not at the screen's corner";

    // To a screen reader: a window named by its title (not an unnamed filler), its picture named and
    // described by the file's facts.
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(h.preview.get());
    ASSERT_TRUE(window);
    EXPECT_EQ(window->role(), QAccessible::Window);
    EXPECT_EQ(window->text(QAccessible::Name), h.preview->windowTitle());
    QLabel* picture = nullptr;
    for (QLabel* label : h.preview->findChildren<QLabel*>())
        if (label->accessibleName() == "Picture") picture = label;
    ASSERT_TRUE(picture);
    QAccessibleInterface* shown = QAccessible::queryAccessibleInterface(picture);
    EXPECT_TRUE(shown->text(QAccessible::Description).contains("a.png")) << shown->text(QAccessible::Description).toStdString();
}

TEST(PreviewWindow, EscapeCtrlWSpaceAndCloseCloseItAndSpaceInTheListTogglesIt) {
    WindowHarness h;
    h.placeHits({{"a.png", RecoveredFileKind::png, fixtures::picture(32, 32, "png")},
                 {"b.png", RecoveredFileKind::png, fixtures::picture(32, 32, "png")}});
    HitsColumnList* list = h.window->resultsPane()->list();
    const std::vector<std::function<void()>> closers = {
        [&] { QTest::keyClick(h.preview.get(), Qt::Key_Escape); },
        [&] { QTest::keyClick(h.preview.get(), Qt::Key_W, Qt::ControlModifier); },
        [&] { QTest::keyClick(h.preview.get(), Qt::Key_Space); },
        [&] { QTest::mouseClick(h.preview->closeButton(), Qt::LeftButton); },
        [&] {
            // A mnemonic answers in the window that has the keyboard.
            EXPECT_TRUE(QTest::qWaitForWindowActive(h.preview.get()));
            QTest::keyClick(h.preview.get(), Qt::Key_C, Qt::AltModifier);
        },
        [&] { QTest::keyClick(list, Qt::Key_Space); },
    };
    for (std::size_t i = 0; i < closers.size(); ++i) {
        ASSERT_FALSE(h.preview->isVisible());
        ASSERT_TRUE(h.previewWithSpace(0)) << i;
        ASSERT_TRUE(h.preview->isVisible()) << i;
        const auto folder = *h.model->previewController().previewDirectory();
        closers[i]();
        // A mnemonic presses its button after the press is seen (an animated click).
        h.pump([&] { return !h.preview->isVisible(); });
        EXPECT_FALSE(h.preview->isVisible()) << "closer " << i;
        EXPECT_FALSE(std::filesystem::exists(folder)) << "closer " << i;
    }
    EXPECT_EQ(h.preview->closeButton()->text().remove('&'), "Close");
}

TEST(PreviewWindow, HomeAndEndGoToTheFirstAndTheLastRow) {
    WindowHarness h;
    h.placeHits({{"a.jpg", RecoveredFileKind::jpeg, fixtures::picture(64, 48, "jpeg", "A")},
                 {"b.jpg", RecoveredFileKind::jpeg, fixtures::picture(64, 48, "jpeg", "B")},
                 {"c.jpg", RecoveredFileKind::jpeg, fixtures::picture(64, 48, "jpeg", "C")},
                 {"d.jpg", RecoveredFileKind::jpeg, fixtures::picture(64, 48, "jpeg", "D")}});
    ASSERT_TRUE(h.previewWithSpace(1));
    for (const auto& [key, name] : std::vector<std::pair<Qt::Key, std::string>>{
             {Qt::Key_End, "d.jpg"}, {Qt::Key_End, "d.jpg"}, {Qt::Key_Home, "a.jpg"}, {Qt::Key_Home, "a.jpg"}, {Qt::Key_End, "d.jpg"}}) {
        QTest::keyClick(h.preview.get(), key);
        ASSERT_TRUE(h.settled(name)) << name;
        EXPECT_EQ(h.model->selectedHit()->suggestedName, name);
    }
}

TEST(PreviewWindow, ClosingRemovesTheFolderAndItsStatusLineAndStopsFollowingTheSelection) {
    WindowHarness h;
    h.placeHits({{"a.png", RecoveredFileKind::png, fixtures::picture(32, 32, "png")},
                 {"b.png", RecoveredFileKind::png, fixtures::picture(32, 32, "png")}});
    ASSERT_TRUE(h.previewWithSpace(0));
    const auto folder = *h.model->previewController().previewDirectory();
    ASSERT_TRUE(std::filesystem::exists(folder));
    EXPECT_EQ(h.model->statusMessage(), "Preview: a.png");
    h.preview->close();
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_EQ(h.model->statusMessage(), "") << "the preview's line goes with its window";
    const auto extractions = h.extractionCount();
    h.model->setSelectedHitIDs({h.model->hits()[1].id});
    h.pump([] { return true; });
    EXPECT_EQ(h.extractionCount(), extractions);
    EXPECT_FALSE(h.preview->isVisible());
}

} // namespace
} // namespace vantrel
