// The main window on the offscreen platform over the model and a fake volume list: the toolbar's Scan
// and Cancel, the volume strip's selection through the model, the error alert and the unsaved-catalog
// question (every way of closing them), the folder picker of a recovery and the status bar's forms.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/sheets/HelpSheet.h"
#include "Vantrel/sheets/ScanSettingsSheet.h"
#include "Vantrel/sheets/SheetPresenter.h"
#include "Vantrel/views/ElidedLabel.h"
#include "Vantrel/views/MainWindow.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/StatusBarView.h"
#include "Vantrel/views/Symbols.h"
#include "Vantrel/views/VolumeStripView.h"

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace vantrel {
namespace {

using test::AppModelHarness;
using test::makeHit;

ExternalVolume volume(std::string name, std::string bsdName, std::optional<std::string> fileSystem = "FAT") {
    ExternalVolume v;
    v.name = std::move(name);
    v.bsdName = std::move(bsdName);
    v.sizeBytes = 31'914'983'424;
    v.isMounted = true;
    v.fileSystemName = std::move(fileSystem);
    return v;
}

struct WindowFixture {
    explicit WindowFixture(std::vector<ExternalVolume> volumes = {}) {
        test::widgetApplication();
        harness.volumes->current = std::move(volumes);
        window = std::make_unique<MainWindow>(model(), harness.volumes);
        window->resize(1100, 720);
        window->show();
        settle();
    }
    AppModel& model() { return *harness.model; }
    void settle() {
        harness.executor->runUntilIdle();
        QCoreApplication::processEvents();
    }
    void pressCtrlR() { QTest::keyClick(window.get(), Qt::Key_R, Qt::ControlModifier); }

    AppModelHarness harness;
    std::unique_ptr<MainWindow> window;
};

TEST(MainWindow, ScanNeedsASelectedVolumeAndCancelReplacesItWhileScanning) {
    WindowFixture f({volume("Card", "sdb")});
    EXPECT_EQ(f.window->minimumSize(), QSize(880, 480));
    EXPECT_TRUE(f.window->scanAction()->isVisible());
    EXPECT_FALSE(f.window->scanAction()->isEnabled());
    f.pressCtrlR();
    f.settle();
    EXPECT_FALSE(f.model().showScanModeSheet()) << "Ctrl+R does nothing without a volume";

    // A FAT card is offered the scan modes: the request reached the model.
    f.model().setSelectedVolume(volume("Card", "sdb"));
    f.settle();
    EXPECT_TRUE(f.window->scanAction()->isEnabled());
    f.pressCtrlR();
    f.settle();
    EXPECT_TRUE(f.model().showScanModeSheet());
    f.model().setShowScanModeSheet(false);

    f.model().setIsScanning(true);
    f.settle();
    EXPECT_FALSE(f.window->scanAction()->isVisible());
    EXPECT_TRUE(f.window->cancelAction()->isVisible());
    EXPECT_TRUE(f.window->cancelAction()->shortcut().isEmpty());
    f.pressCtrlR();
    f.settle();
    EXPECT_FALSE(f.model().showScanModeSheet()) << "Ctrl+R has no effect while a scan runs";
    f.window->cancelAction()->trigger();
    EXPECT_EQ(f.model().statusMessage(), "Cancelling…");
    const auto called = f.harness.helper->calledSelectors();
    EXPECT_NE(std::find(called.begin(), called.end(), "cancelScan"), called.end());
}

TEST(MainWindow, TilesSelectThroughTheModelAndTheStripFollowsIt) {
    WindowFixture f({volume("Card", "sdb"), volume("Card", "sdc", std::nullopt), volume("Mac", "sdd", "HFS+")});
    VolumeStripView& strip = *f.window->volumeStrip();
    auto tiles = strip.tiles();
    ASSERT_EQ(tiles.size(), 3u);
    EXPECT_EQ(tiles[2]->property(Symbols::propertyName).toString(), "internaldrive.fill");
    EXPECT_EQ(strip.card()->lines(), QStringList{"Select a disk"});
    QTest::mouseClick(tiles[1], Qt::LeftButton);
    f.settle();
    ASSERT_TRUE(f.model().selectedVolume());
    EXPECT_EQ(f.model().selectedVolume()->bsdName, "sdc");
    tiles = strip.tiles();
    EXPECT_FALSE(tiles[0]->isSelected()) << "same name, other disk";
    EXPECT_TRUE(tiles[1]->isSelected());
    EXPECT_EQ(strip.card()->lines(), (QStringList{"Card", "31.91 GB"}));

    // With unsaved hits the model asks first; Cancel (here: Escape) keeps the old volume.
    f.model().appendHit(makeHit("a.jpg", 1));
    f.model().setCatalogDirty(true);
    QTest::mouseClick(tiles[0], Qt::LeftButton);
    f.settle();
    QMessageBox* question = f.window->unsavedCatalogDialog();
    ASSERT_NE(question, nullptr);
    ASSERT_TRUE(question->isVisible());
    EXPECT_EQ(question->text(), "Save scan catalog?");
    QTest::keyClick(question, Qt::Key_Escape);
    f.settle();
    EXPECT_FALSE(f.model().showUnsavedCatalogPrompt());
    EXPECT_EQ(f.model().selectedVolume()->bsdName, "sdc");

    QTest::mouseClick(strip.tiles()[0], Qt::LeftButton);
    f.settle();
    ASSERT_TRUE(question->isVisible());
    question->findChild<QPushButton*>("discard")->click();
    f.settle();
    EXPECT_EQ(f.model().selectedVolume()->bsdName, "sdb");
    EXPECT_TRUE(f.model().hits().empty());
}

TEST(MainWindow, OnlyChangesOfTheVolumeListReconcileTheSelection) {
    WindowFixture f({volume("Card", "sdb")});
    ExternalVolume unmounted = volume("Card", "sdb");
    unmounted.isMounted = false;
    f.model().setSelectedVolume(unmounted);
    f.harness.volumes->publish({volume("Card", "sdb")});
    EXPECT_FALSE(f.model().selectedVolume()->isMounted) << "a repeated list is no change";
    f.harness.volumes->publish({volume("Card", "sdb"), volume("Stick", "sdc")});
    ASSERT_TRUE(f.model().selectedVolume());
    EXPECT_TRUE(f.model().selectedVolume()->isMounted) << "the changed list reached the model";
    EXPECT_EQ(f.window->volumeStrip()->card()->lines(), (QStringList{"Card", "31.91 GB", "FAT"})) << "the card follows";
    f.harness.volumes->publish({});
    EXPECT_EQ(f.window->volumeStrip()->emptyLabel()->text(), "Connect an SD card or external drive");
    f.harness.volumes->internalShown = true;
    f.harness.volumes->publish({});
    EXPECT_EQ(f.window->volumeStrip()->emptyLabel()->text(), "No disks found");
}

TEST(MainWindow, TilesThatDoNotFitAreReachable) {
    std::vector<ExternalVolume> many;
    for (int i = 0; i < 12; ++i) many.push_back(volume("Disk " + std::to_string(i), "sd" + std::string(1, char('b' + i))));
    WindowFixture f(many);
    QScrollBar* bar = f.window->volumeStrip()->scrollArea()->horizontalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), {}, QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(f.window->volumeStrip()->scrollArea()->viewport(), &wheel);
    EXPECT_GT(bar->value(), 0) << "the wheel scrolls the strip sideways";
}

TEST(MainWindow, TheErrorAlertShowsPlainTextAndAnyDismissalClearsIt) {
    WindowFixture f;
    f.model().setErrorMessage(QStringLiteral("<b>Disk</b> gone"));
    f.settle();
    QMessageBox* alert = f.window->errorAlert();
    ASSERT_NE(alert, nullptr);
    ASSERT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->windowTitle(), "Error");
    EXPECT_EQ(alert->textFormat(), Qt::PlainText);
    EXPECT_EQ(alert->text(), "<b>Disk</b> gone");
    QTest::keyClick(alert, Qt::Key_Escape);
    f.settle();
    EXPECT_EQ(f.model().errorMessage(), std::nullopt);

    f.model().setErrorMessage(QStringLiteral("again"));
    f.settle();
    ASSERT_TRUE(alert->isVisible()) << "a new message shows the alert again";
    alert->button(QMessageBox::Ok)->click();
    f.settle();
    EXPECT_EQ(f.model().errorMessage(), std::nullopt);
    f.model().setErrorMessage(QStringLiteral("closed"));
    f.settle();
    alert->close();
    f.settle();
    EXPECT_EQ(f.model().errorMessage(), std::nullopt);
}

TEST(MainWindow, TheFolderPickerStartsARecoveryOrLogsTheCancel) {
    WindowFixture f;
    f.window->recoverSelected();
    ASSERT_EQ(f.harness.dialogs->requests.size(), 1u);
    EXPECT_EQ(f.harness.dialogs->requests.front().options.prompt, "Recover Here");
    EXPECT_TRUE(f.harness.dialogs->requests.front().options.canCreateFolders);
    f.harness.dialogs->answer(std::nullopt);
    EXPECT_EQ(f.model().errorMessage(), std::nullopt);
    f.window->recoverSelected();
    f.harness.dialogs->answer("/tmp/out");
    EXPECT_EQ(f.model().errorMessage(), "No volume selected.") << "the folder reached the model's recovery";
}

TEST(MainWindow, SheetsOpenWithTheirFlagAndAnyClosingClearsIt) {
    WindowFixture f;
    f.model().setShowScanSettingsSheet(true);
    f.settle();
    QDialog* sheet = f.window->sheets()->scanSettingsSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    QTest::keyClick(sheet, Qt::Key_Escape);
    f.settle();
    EXPECT_FALSE(f.model().showScanSettingsSheet()) << "Escape closes the sheet and clears its flag";
    EXPECT_EQ(f.window->sheets()->scanSettingsSheet(), nullptr);

    f.model().setShowHelpSheet(true);
    f.settle();
    ASSERT_NE(f.window->sheets()->helpSheet(), nullptr);
    f.model().setShowHelpSheet(false);
    f.settle();
    EXPECT_EQ(f.window->sheets()->helpSheet(), nullptr) << "the model closes it too";
}

TEST(StatusBarView, FormsOfTheBar) {
    WindowFixture f;
    StatusBarView& bar = *f.window->statusBarView();
    EXPECT_TRUE(bar.summaryLabel()->isVisible());
    EXPECT_TRUE(bar.settingsButton()->isVisible());
    EXPECT_FALSE(bar.hitsLabel()->isVisible());
    EXPECT_FALSE(bar.unsavedLabel()->isVisible());

    f.model().setIsScanning(true);
    f.settle();
    EXPECT_TRUE(bar.spinner()->isVisible()) << "the size is not known yet";
    EXPECT_FALSE(bar.percentLabel()->isVisible());
    EXPECT_FALSE(bar.settingsButton()->isVisible());
    // The helper counted a repeat that the list dropped: the bar counts what the list holds.
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) f.model().appendHit(makeHit(name, 1));
    f.model().setProgress({333, 1000, 4, 1});
    f.model().setStatusMessage("Scanning <i>card</i>");
    f.settle();
    EXPECT_TRUE(bar.progressBar()->isVisible());
    EXPECT_EQ(bar.percentLabel()->text(), "33%");
    EXPECT_FALSE(bar.throughputLabel()->isVisible()) << "no rate before the first estimate";
    EXPECT_EQ(bar.messageLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(bar.hitsLabel()->text(), "Hits: 3");
    EXPECT_EQ(f.window->resultsPane()->countLabel()->text(), "3 total") << "the list and the bar agree";
    EXPECT_EQ(bar.readErrorsLabel()->text(), "Read errors: 1");
    f.model().setScanThroughputMBps(12.5);
    f.settle();
    EXPECT_TRUE(bar.throughputLabel()->text().endsWith(" MB/s"));
    EXPECT_EQ(bar.throughputLabel()->toolTip(), "Recent scan throughput (binary MiB/s).");

    f.model().setIsScanning(false);
    f.model().resetResults();
    f.model().setProgress({});
    f.model().setLastFinishedScanMode(ScanMode::standard);
    f.model().setStatusMessage("Nothing found.");
    f.model().setCatalogDirty(true);
    f.settle();
    EXPECT_TRUE(bar.infoSymbol()->isVisible());
    EXPECT_EQ(bar.infoSymbol()->property(Symbols::propertyName).toString(), "info.circle.fill");
    EXPECT_FALSE(bar.summaryLabel()->isVisible());
    EXPECT_TRUE(bar.unsavedLabel()->isVisible());
    QTest::mouseClick(bar.settingsButton(), Qt::LeftButton);
    EXPECT_TRUE(f.model().showScanSettingsSheet());
}

// At the smallest window the status message is whole and the settings summary gives way; a message
// longer than the bar is cut, and whole in its tooltip.
TEST(StatusBarView, TheMessageWinsTheRoomOverTheSettingsSummary) {
    WindowFixture f;
    f.window->resize(980, 640);
    StatusBarView& bar = *f.window->statusBarView();
    const QString message = "Loaded catalog — 11 file(s). The source disk is not attached: reinsert it to recover.";
    f.model().setStatusMessage(message);
    f.settle();
    EXPECT_EQ(bar.messageLabel()->text(), message);
    const QString summary = bar.summaryLabel()->fullText();
    EXPECT_TRUE(!bar.summaryLabel()->isVisible() || bar.summaryLabel()->text() != summary) << "the summary gave way";
    if (!bar.summaryLabel()->isVisible()) {
        EXPECT_EQ(bar.settingsButton()->toolTip(), summary);
    }

    const QString endless = message.repeated(4);
    f.model().setStatusMessage(endless);
    f.settle();
    EXPECT_TRUE(bar.messageLabel()->text().endsWith(QChar(0x2026)));
    EXPECT_EQ(bar.messageLabel()->toolTip(), endless.toHtmlEscaped());
}

} // namespace
} // namespace vantrel
