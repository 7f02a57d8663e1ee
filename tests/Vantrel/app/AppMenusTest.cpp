// The menu bar on the offscreen platform over the model, a fake helper and a fake disk list: each
// command reaches the model, the volume list or the quit request; "Save Catalog…" follows the hits;
// "Open Image File…" is there only while the helper opens image files, and the file it adds stays
// selected in the volume list across the disk monitor's refreshes; what is no image is refused with
// its reason, and an image is named by the file systems in it.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/app/AppMenus.h"
#include "Vantrel/views/QtFileDialogs.h"

#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/TestSupport.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::AppModelHarness;

ExternalVolume disk(std::string bsdName) {
    ExternalVolume volume;
    volume.name = "CARD";
    volume.bsdName = std::move(bsdName);
    volume.sizeBytes = 8'000'000'000;
    volume.isMounted = true;
    return volume;
}

// A title as shown, without its mnemonic's marker.
QString shown(const QAction* action) { return QString(action->text()).remove(QLatin1Char('&')); }

QStringList titles(QMenu* menu) {
    QStringList list;
    for (QAction* action : menu->actions()) list << (action->isSeparator() ? QStringLiteral("-") : shown(action));
    return list;
}

// The letter after "&" in each title; a separator gives "-".
QString mnemonics(const QList<QAction*>& actions) {
    QString letters;
    for (const QAction* action : actions) {
        const QString text = action->text();
        const auto at = text.indexOf(QLatin1Char('&'));
        letters += action->isSeparator() ? QChar('-') : at >= 0 && at + 1 < text.size() ? text[at + 1].toLower() : QChar('?');
    }
    return letters;
}

using test::WithApplication;

struct MenusFixture : WithApplication {
    MenusFixture() {
        window.setMinimumSize(400, 300);
        menus = new AppMenus(model(), volumes, window.menuBar(), [this] { ++quitRequests; });
        window.show();
        window.activateWindow();
        settle();
    }
    AppModel& model() { return *h.model; }
    void settle() {
        h.executor->runUntilIdle();
        QCoreApplication::processEvents();
    }
    void press(int key, Qt::KeyboardModifiers modifiers) {
        QTest::keyClick(&window, static_cast<Qt::Key>(key), modifiers);
        settle();
    }

    AppModelHarness h;
    std::shared_ptr<ImageFileVolumes> volumes = std::make_shared<ImageFileVolumes>(h.volumes);
    QMainWindow window;
    AppMenus* menus = nullptr;
    int quitRequests = 0;
};

TEST(AppMenus, MenusHoldTheirCommandsInOrder) {
    MenusFixture f;
    QStringList top;
    for (QAction* action : f.window.menuBar()->actions()) top << shown(action);
    EXPECT_EQ(top, (QStringList{"File", "View", "Disk Access", "Help"}));
    EXPECT_EQ(titles(f.menus->viewMenu()), (QStringList{"Sort By"}));
    EXPECT_EQ(titles(f.menus->fileMenu()),
              (QStringList{"Open Catalog…", "Save Catalog…", "Open Image File…", "-", "Quit"}));
    EXPECT_EQ(titles(f.menus->diskAccessMenu()),
              (QStringList{"Install Helper…", "Remove Helper…", "-", "Show Internal Disks", "-", "Disk Access…"}));
    EXPECT_EQ(titles(f.menus->helpMenu()), (QStringList{"Vantrel Help"}));
    EXPECT_EQ(f.menus->openCatalogAction()->shortcut(), QKeySequence("Ctrl+O"));
    EXPECT_EQ(f.menus->saveCatalogAction()->shortcut(), QKeySequence("Ctrl+S"));
    EXPECT_EQ(f.menus->openImageFileAction()->shortcut(), QKeySequence("Ctrl+Shift+O"));
    EXPECT_EQ(f.menus->quitAction()->shortcut(), QKeySequence("Ctrl+Q"));
    EXPECT_TRUE(f.menus->helpAction()->shortcuts().contains(QKeySequence("Ctrl+?")));
    EXPECT_TRUE(f.menus->helpAction()->shortcuts().contains(QKeySequence(QKeySequence::HelpContents)));
    for (QAction* action : {f.menus->installHelperAction(), f.menus->removeHelperAction(),
                            f.menus->showInternalDisksAction(), f.menus->diskAccessAction()})
        EXPECT_TRUE(action->shortcut().isEmpty()) << action->text().toStdString();
}

TEST(AppMenus, EveryMenuAndItemHasAMnemonicUniqueInItsMenu) {
    MenusFixture f;
    EXPECT_EQ(mnemonics(f.window.menuBar()->actions()), "fvdh");
    EXPECT_EQ(mnemonics(f.menus->sortByMenu()->actions()), "dnmtysiruaeo");
    EXPECT_EQ(mnemonics(f.menus->fileMenu()->actions()), "osi-q");
    EXPECT_EQ(mnemonics(f.menus->diskAccessMenu()->actions()), "ir-d-a");
    EXPECT_EQ(mnemonics(f.menus->helpMenu()->actions()), "h");
}

TEST(AppMenus, AltLettersAndF10OpenTheMenusAndTheKeysChooseTheirItems) {
    MenusFixture f;
    // Alt+D opens "Disk Access"; D again takes "Show Internal Disks", whose switch flips.
    f.press(Qt::Key_D, Qt::AltModifier);
    ASSERT_TRUE(f.menus->diskAccessMenu()->isVisible()) << "Alt+D opens the Disk Access menu";
    EXPECT_FALSE(f.volumes->showInternal());
    QTest::keyClick(f.menus->diskAccessMenu(), Qt::Key_D);
    f.settle();
    EXPECT_FALSE(f.menus->diskAccessMenu()->isVisible());
    EXPECT_TRUE(f.volumes->showInternal()) << "the item's mnemonic chose it";

    // Alt+D, A: "Disk Access…" asks for the sheet.
    f.press(Qt::Key_D, Qt::AltModifier);
    ASSERT_TRUE(f.menus->diskAccessMenu()->isVisible());
    QTest::keyClick(f.menus->diskAccessMenu(), Qt::Key_A);
    f.settle();
    EXPECT_TRUE(f.model().showHelperSheet());

    // F10 opens the first menu; Escape closes it; F10, Right, Right reaches Help, whose H asks for help.
    f.press(Qt::Key_F10, Qt::NoModifier);
    ASSERT_TRUE(f.menus->fileMenu()->isVisible()) << "F10 opens the menu bar at File";
    QTest::keyClick(f.menus->fileMenu(), Qt::Key_Escape);
    f.settle();
    EXPECT_FALSE(f.menus->fileMenu()->isVisible());
    f.press(Qt::Key_F10, Qt::NoModifier);
    ASSERT_TRUE(f.menus->fileMenu()->isVisible());
    // Right moves to the next menu; on View's only item it opens its "Sort By", and Right there goes on.
    const std::pair<QMenu*, QMenu*> rights[] = {{f.menus->fileMenu(), f.menus->viewMenu()},
                                                {f.menus->viewMenu(), f.menus->sortByMenu()},
                                                {f.menus->sortByMenu(), f.menus->diskAccessMenu()},
                                                {f.menus->diskAccessMenu(), f.menus->helpMenu()}};
    for (const auto& [from, to] : rights) {
        QTest::keyClick(from, Qt::Key_Right);
        f.settle();
        ASSERT_TRUE(to->isVisible()) << "Right from " << from->title().toStdString();
    }
    QTest::keyClick(f.menus->helpMenu(), Qt::Key_H);
    f.settle();
    EXPECT_TRUE(f.model().showHelpSheet());
}

// Sorting without a mouse: Alt+V, B opens the orders, a letter chooses one, and the checked item
// follows the order however it was set.
TEST(AppMenus, ViewSortBySetsTheListsOrderFromTheKeyboard) {
    MenusFixture f;
    f.press(Qt::Key_V, Qt::AltModifier);
    ASSERT_TRUE(f.menus->viewMenu()->isVisible());
    QTest::keyClick(f.menus->viewMenu(), Qt::Key_B);
    f.settle();
    ASSERT_TRUE(f.menus->sortByMenu()->isVisible());
    QTest::keyClick(f.menus->sortByMenu(), Qt::Key_S);
    f.settle();
    EXPECT_EQ(f.model().resultsSort(), ResultsSort::sizeDescending);
    f.model().setResultsSort(ResultsSort::captureDateAscending);
    QStringList checked;
    for (QAction* action : f.menus->sortByMenu()->actions())
        if (action->isChecked()) checked << shown(action);
    EXPECT_EQ(checked, QStringList{"Date, Oldest First"});
}

TEST(AppMenus, SaveCatalogIsEnabledOnlyWhileThereAreHits) {
    MenusFixture f;
    EXPECT_FALSE(f.menus->saveCatalogAction()->isEnabled()) << "a fresh start has no hits";
    f.press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(f.h.dialogs->requests.empty()) << "Ctrl+S does nothing without hits";

    f.model().appendHit(test::makeHit("a.jpg", 1000));
    EXPECT_TRUE(f.menus->saveCatalogAction()->isEnabled()) << "enabled as soon as the first hit arrives";
    f.press(Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(f.h.dialogs->requests.size(), 1u);
    EXPECT_EQ(f.h.dialogs->requests.front().kind, test::FakeFileDialogs::Kind::save);
    f.h.dialogs->answer(std::nullopt);
    f.settle();

    f.model().setHits({});
    EXPECT_FALSE(f.menus->saveCatalogAction()->isEnabled()) << "cleared hits disable it again";
}

TEST(AppMenus, OpenCatalogQuitHelpAndDiskAccessReachTheirTargets) {
    MenusFixture f;
    f.press(Qt::Key_O, Qt::ControlModifier);
    ASSERT_EQ(f.h.dialogs->requests.size(), 1u);
    EXPECT_EQ(f.h.dialogs->requests.front().kind, test::FakeFileDialogs::Kind::open);
    EXPECT_EQ(f.h.dialogs->requests.front().options.fileExtensions, std::vector<std::string>{"vtcat"});
    f.h.dialogs->answer(std::nullopt);

    f.press(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(f.quitRequests, 1) << "Ctrl+Q takes the road of the close button";

    f.press(Qt::Key_F1, Qt::NoModifier);
    EXPECT_TRUE(f.model().showHelpSheet());
    f.model().setShowHelpSheet(false);
    f.menus->helpAction()->trigger();
    EXPECT_TRUE(f.model().showHelpSheet());

    f.menus->diskAccessAction()->trigger();
    EXPECT_TRUE(f.model().showHelperSheet());
}

TEST(AppMenus, InstallHelperAsksForTheSheetBeforeTheInstallationStarts) {
    MenusFixture f;
    f.h.registrar->answerAtOnce = false;
    std::vector<int> registrationsWhenSheetAsked;
    QObject::connect(&f.model(), &AppModel::fieldChanged, [&](AppModel::Field field) {
        if (field == AppModel::Field::showHelperSheet && f.model().showHelperSheet())
            registrationsWhenSheetAsked.push_back(f.h.registrar->registrations);
    });
    f.menus->installHelperAction()->trigger();
    f.settle();
    ASSERT_FALSE(registrationsWhenSheetAsked.empty());
    EXPECT_EQ(registrationsWhenSheetAsked.front(), 0);
    EXPECT_EQ(f.h.registrar->registrations, 1);
}

TEST(AppMenus, RemoveHelperIsEnabledOnlyWithAServiceAndUnregistersIt) {
    MenusFixture f;
    f.h.registrar->currentStatus = HelperInstallStatus::notInstalled;
    f.model().refreshHelperStatus();
    EXPECT_FALSE(f.menus->removeHelperAction()->isEnabled()) << "nothing installed, nothing to remove";
    f.h.registrar->currentStatus = HelperInstallStatus::installed;
    f.h.registrar->statusAfterRegister = HelperInstallStatus::notInstalled;
    f.model().refreshHelperStatus();
    ASSERT_TRUE(f.menus->removeHelperAction()->isEnabled());
    f.menus->removeHelperAction()->trigger();
    f.settle();
    EXPECT_EQ(f.h.registrar->removals, 1);
    EXPECT_EQ(f.model().statusMessage(), "Disk access helper removed.");
    EXPECT_FALSE(f.menus->removeHelperAction()->isEnabled());
}

TEST(AppMenus, ShowInternalDisksRefreshesOnEveryChangeButNotWhenShown) {
    MenusFixture f;
    QAction* item = f.menus->showInternalDisksAction();
    EXPECT_TRUE(item->isCheckable());
    EXPECT_FALSE(item->isChecked());
    f.h.volumes->internalShown = true;
    emit f.menus->diskAccessMenu()->aboutToShow();
    EXPECT_TRUE(item->isChecked()) << "the menu shows the list's value";
    EXPECT_EQ(f.h.volumes->refreshes, 0) << "showing the menu does not refresh";

    item->trigger();
    EXPECT_FALSE(f.h.volumes->internalShown);
    EXPECT_EQ(f.h.volumes->refreshes, 1) << "the change refreshes at once";
    item->trigger();
    EXPECT_TRUE(f.h.volumes->internalShown);
    EXPECT_EQ(f.h.volumes->refreshes, 2);
}

TEST(AppMenus, OpenImageFileIsOfferedOnlyWhileTheHelperOpensImageFiles) {
    MenusFixture f;
    QAction* item = f.menus->openImageFileAction();
    EXPECT_FALSE(item->isVisible()) << "a helper not reached yet, or the service's, opens no image files";
    f.press(Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(f.h.dialogs->requests.empty()) << "the hidden item's shortcut does nothing";

    // The helper is reached (a spawned one that opens image files): the next change the model makes shows it.
    f.h.helper->imageFiles = true;
    f.model().setStatusMessage("Helper connected.");
    EXPECT_TRUE(item->isVisible());
    f.h.helper->imageFiles = false;
    emit f.menus->fileMenu()->aboutToShow();
    EXPECT_FALSE(item->isVisible()) << "looked at again when the menu opens";
}

TEST(AppMenus, AnOpenedImageFileIsSelectedAndSurvivesTheDiskRefreshes) {
    test::TempDir dir;
    const auto image = dir / "card.img";
    test::writeFile(image, Bytes(64 * 1024, 0));
    MenusFixture f;
    std::vector<std::vector<ExternalVolume>> lists;
    f.volumes->setObserver([&](const std::vector<ExternalVolume>& list) { lists.push_back(list); });
    f.h.helper->imageFiles = true;
    f.menus->refreshImageFileItem();

    f.press(Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(f.h.dialogs->requests.size(), 1u);
    const auto& request = f.h.dialogs->requests.front();
    EXPECT_EQ(request.kind, test::FakeFileDialogs::Kind::open);
    EXPECT_EQ(request.options.fileExtensions, (std::vector<std::string>{"img", "dd", "raw"}));
    EXPECT_TRUE(request.options.offersAllFiles) << "an image may carry any name";
    EXPECT_EQ(QtFileDialogs::nameFilters(request.options), (QStringList{"Disk images (*.img *.dd *.raw)", "All files (*)"}));
    f.h.dialogs->answer(image.string());
    f.settle();

    ASSERT_TRUE(f.model().selectedVolume());
    const ExternalVolume selected = *f.model().selectedVolume();
    EXPECT_TRUE(selected.isImageFile());
    EXPECT_EQ(selected.rawDevicePath(), image.string()) << "scanned and recovered at its own path";
    EXPECT_EQ(selected.name, "card.img");
    EXPECT_EQ(selected.sizeBytes, 64u * 1024);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists.back(), std::vector<ExternalVolume>{selected});

    // The monitor's next lists keep the image after the disks, and the selection stays.
    f.h.volumes->publish({disk("sdb")});
    f.h.volumes->current = {disk("sdb")};
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists.back(), (std::vector<ExternalVolume>{disk("sdb"), selected}));
    EXPECT_EQ(f.volumes->volumes(), lists.back());
    EXPECT_EQ(f.model().selectedVolume(), selected);

    // Opened again, it is listed once; a file that is gone leaves with the next list.
    f.h.dialogs->requests.clear();
    f.menus->openImageFile();
    f.h.dialogs->answer(image.string());
    f.settle();
    EXPECT_EQ(lists.back(), (std::vector<ExternalVolume>{disk("sdb"), selected}));
    std::filesystem::remove(image);
    f.h.volumes->publish({disk("sdb")});
    EXPECT_EQ(lists.back(), std::vector<ExternalVolume>{disk("sdb")});
}

TEST(AppMenus, WhatIsNoImageIsRefusedWithItsReasonAndNeverReachesTheHelper) {
    test::TempDir dir;
    const auto empty = dir / "empty.img";
    test::writeFile(empty, {});
    const auto note = dir / "note.img";
    test::writeFile(note, Bytes(24, 'x'));
    MenusFixture f;
    f.h.helper->imageFiles = true;
    f.menus->refreshImageFileItem();
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir.path().string(), "“" + dir.path().string() + "” is not a disk image file: only a regular file can be opened as one."},
        {empty.string(), "“" + empty.string() + "” is empty (0 bytes): there is no disk image in it to scan."},
        {(dir / "gone.img").string(), "“" + (dir / "gone.img").string() + "” does not exist."},
        {note.string(), "“" + note.string() + "” holds only 24 bytes: too little for a disk image, which takes at least "
                        "one 512-byte sector."},
    };
    for (const auto& each : cases) {
        f.model().setErrorMessage(std::nullopt);
        f.menus->openImageFile();
        f.h.dialogs->answer(each.path);
        f.settle();
        EXPECT_FALSE(f.model().selectedVolume()) << each.path;
        ASSERT_TRUE(f.model().errorMessage()) << each.path;
        EXPECT_EQ(f.model().errorMessage()->toStdString(), each.message);
        EXPECT_FALSE(f.model().showHelperSheet()) << "a refused file is no matter of disk access";
    }
    EXPECT_TRUE(f.volumes->volumes().empty());
}

TEST(AppMenus, AnImageFileIsNamedByTheFileSystemsTheProbeFindsInIt) {
    test::TempDir dir;
    if (!test::FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    test::FatImageBuilder fat(dir / "fat.img", 8u << 20, 0, 8u << 20);
    fat.format(12);
    test::FatImageBuilder partitioned(dir / "mbr.img", 10u << 20, 1u << 20, 8u << 20);
    partitioned.partition("dos");
    partitioned.format(32, {"-s", "1"});
    const auto blank = dir / "blank.raw";
    test::writeFile(blank, Bytes(64 * 1024, 0));

    const auto fatVolume = ImageFileVolumes::volumeOf(fat.image().string());
    ASSERT_TRUE(fatVolume);
    EXPECT_EQ(fatVolume->fileSystemName, "FAT");
    EXPECT_TRUE(fatVolume->supportsQuickUndeleteScan()) << "a FAT image gets the scan-mode choice, as a FAT card does";
    EXPECT_EQ(ImageFileVolumes::volumeOf(partitioned.image().string())->fileSystemName, "FAT") << "inside its MBR";
    const auto blankVolume = ImageFileVolumes::volumeOf(blank.string());
    ASSERT_TRUE(blankVolume) << "an image without a file system is still scanned by carving";
    EXPECT_FALSE(blankVolume->fileSystemName);
    EXPECT_FALSE(blankVolume->supportsQuickUndeleteScan());

    if (test::haveProgram("mkfs.exfat")) {
        const auto exfat = dir / "exfat.img";
        test::writeFile(exfat, {});
        std::filesystem::resize_file(exfat, 8u << 20);
        test::runOrFail({"mkfs.exfat", exfat.string()});
        const auto exfatVolume = ImageFileVolumes::volumeOf(exfat.string());
        ASSERT_TRUE(exfatVolume);
        EXPECT_EQ(exfatVolume->fileSystemName, "exFAT");
        EXPECT_TRUE(exfatVolume->supportsQuickUndeleteScan());
    }
}

} // namespace
} // namespace vantrel
