// The sheets on the offscreen platform over a model on fakes: the texts, buttons and states each one
// shows, what its buttons do, how the presenter follows the model's flags, and a picture of each sheet
// in the build's screenshots folder for review.

#include "AppModelHarness.h"
#include "TestSupport.h"
#include "WidgetTesting.h"

#include "Vantrel/model/FilterSidebarLogic.h"
#include "Vantrel/sheets/DiskAccessToolbarButton.h"
#include "Vantrel/sheets/HelpSheet.h"
#include "Vantrel/sheets/HelperAccessSheet.h"
#include "Vantrel/sheets/ScanModeLogic.h"
#include "Vantrel/sheets/ScanModeSheet.h"
#include "Vantrel/sheets/ScanSettingsSheet.h"
#include "Vantrel/sheets/SheetPresenter.h"
#include "Vantrel/sheets/SheetStyle.h"

#include "support/VantrelHelperProtocol.h"
#include "support/log/AppLog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBrowser>
#include <QToolButton>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::AppModelHarness;
using Runtime = AppModel::HelperRuntimeState;
using Access = AppModel::RawDiskAccessState;

class Sheets : public ::testing::Test {
protected:
    void SetUp() override { test::widgetApplication(); }

    // Shows the widget, lets it lay out, and keeps a picture of it.
    static void showAndKeep(QWidget& widget, const QString& name, bool fit = true) {
        widget.show();
        QApplication::processEvents();
        if (fit) widget.adjustSize();
        QApplication::processEvents();
        const QString folder = QStringLiteral(VANTREL_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        EXPECT_TRUE(widget.grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
    }

    template <typename T>
    static T& child(const QWidget& parent, const char* name) {
        auto* found = parent.findChild<T*>(QString::fromLatin1(name));
        if (!found) throw std::runtime_error(std::string("no child ") + name);
        return *found;
    }

    // Puts the model in a helper state as the appearance refresh would leave it.
    void helperState(HelperInstallStatus status, Runtime runtime, Access access) {
        h.registrar->currentStatus = status;
        h.model->refreshHelperStatus();
        h.model->setHelperRuntimeState(runtime);
        h.model->setFullDiskAccessState(access);
    }

    AppModelHarness h;
};

ExternalVolume sheetVolumeWith(const char* fileSystem) {
    ExternalVolume volume;
    volume.name = "CARD";
    volume.bsdName = "sdb";
    volume.fileSystemName = fileSystem;
    return volume;
}

std::vector<QString> visibleButtons(const QWidget& sheet) {
    std::vector<QString> titles;
    for (auto* button : sheet.findChildren<QPushButton*>())
        if (button->isVisibleTo(&sheet)) titles.push_back(button->text());
    return titles;
}

bool offers(const QWidget& sheet, const QString& title) {
    const auto titles = visibleButtons(sheet);
    return std::find(titles.begin(), titles.end(), title) != titles.end();
}

// ---- Help.

TEST_F(Sheets, HelpShowsTheShippedGuideAndClosesWithEscape) {
    HelpSheet sheet;
    EXPECT_EQ(sheet.minimumSize(), QSize(560, 480));
    EXPECT_EQ(sheet.size(), QSize(640, 620));
    EXPECT_EQ(child<QLabel>(sheet, "title").text(), QStringLiteral("Vantrel Help"));
    EXPECT_EQ(child<QPushButton>(sheet, "close").text(), QStringLiteral("Close"));
    EXPECT_GT(sheet.blockCount(), 20u);
    const QString shown = sheet.browser().toPlainText();
    EXPECT_TRUE(shown.contains(QStringLiteral("What the statuses mean")));
    EXPECT_TRUE(shown.contains(QStringLiteral("systemctl enable --now io.tessik.vantrel.helper.socket")));
    EXPECT_FALSE(shown.contains(QStringLiteral("**")));  // strong text is drawn, not shown as marks
    showAndKeep(sheet, QStringLiteral("help"), false);
    ASSERT_TRUE(sheet.browser().find(QStringLiteral("What the statuses mean")));
    sheet.browser().ensureCursorVisible();
    QTextCursor cursor = sheet.browser().textCursor();
    cursor.clearSelection();
    sheet.browser().setTextCursor(cursor);
    auto* bar = sheet.browser().verticalScrollBar();
    bar->setValue(bar->value() + sheet.browser().viewport()->height() - 60);
    showAndKeep(sheet, QStringLiteral("help-statuses"), false);
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
}

// ---- Scan mode.

struct ScanCalls {
    ScanMode preferred = ScanMode::standard;
    std::vector<ScanMode> started;

    ScanModeActions actions() {
        return {[this] { return preferred; }, [this](ScanMode mode) { started.push_back(mode); }};
    }
};

TEST_F(Sheets, ScanModeOpensWithThePreferredQuickModeOnAFatVolume) {
    ScanCalls calls;
    calls.preferred = ScanMode::quickUndelete;
    h.model->setSelectedVolume(sheetVolumeWith("FAT32"));
    ScanModeSheet sheet(*h.model, calls.actions());
    showAndKeep(sheet, QStringLiteral("scan-mode"));
    EXPECT_EQ(sheet.width(), ScanModeSheet::fixedWidth);
    ASSERT_EQ(sheet.modeButtons().size(), 2u);
    EXPECT_EQ(sheet.selectedMode(), ScanMode::quickUndelete);
    EXPECT_TRUE(child<QRadioButton>(sheet, "mode.quickUndelete").isChecked());
    EXPECT_EQ(child<QRadioButton>(sheet, "mode.quickUndelete").text(), QStringLiteral("Quick (deleted files only)"));
    EXPECT_EQ(sheet.descriptionLabel().text(), ScanModeLogic::description(ScanMode::quickUndelete));

    child<QRadioButton>(sheet, "mode.standard").click();
    EXPECT_EQ(sheet.descriptionLabel().text(), ScanModeLogic::description(ScanMode::standard));
    child<QPushButton>(sheet, "start").click();
    EXPECT_EQ(calls.started, std::vector{ScanMode::standard});
    EXPECT_FALSE(sheet.isVisible());
}

TEST_F(Sheets, ScanModeOffersOnlyTheStandardScanElsewhere) {
    ScanCalls calls;
    calls.preferred = ScanMode::quickUndelete;
    for (const bool withVolume : {true, false}) {
        if (withVolume) h.model->setSelectedVolume(sheetVolumeWith("ext4"));
        else h.model->setSelectedVolume(std::nullopt);
        ScanModeSheet sheet(*h.model, calls.actions());
        sheet.show();
        ASSERT_EQ(sheet.modeButtons().size(), 1u);
        EXPECT_EQ(sheet.modeButtons()[0]->text(), QStringLiteral("Standard"));
        EXPECT_TRUE(sheet.modeButtons()[0]->isChecked());
        QTest::keyClick(&sheet, Qt::Key_Return);  // Start Scan is the default button
    }
    EXPECT_EQ(calls.started, (std::vector{ScanMode::standard, ScanMode::standard}));
}

TEST_F(Sheets, ScanModeCancelAndEscapeStartNothing) {
    ScanCalls calls;
    h.model->setSelectedVolume(sheetVolumeWith("exFAT"));
    ScanModeSheet sheet(*h.model, calls.actions());
    sheet.show();
    child<QPushButton>(sheet, "cancel").click();
    EXPECT_FALSE(sheet.isVisible());
    sheet.show();
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_TRUE(calls.started.empty());
}

// ---- Scan settings.

TEST_F(Sheets, ScanSettingsEditsTheFilterAsTheUserGoes) {
    ScanSettingsSheet sheet(*h.model);
    showAndKeep(sheet, QStringLiteral("scan-settings"));
    EXPECT_EQ(sheet.size(), QSize(ScanSettingsSheet::fixedWidth, ScanSettingsSheet::fixedHeight));
    EXPECT_EQ(sheet.expandedGroups(), std::set{FileTypeGroup::images});

    const auto before = h.model->filters();
    child<QCheckBox>(sheet, "group.images").click();
    EXPECT_EQ(FilterSidebarLogic::groupSelection(h.model->filters(), FileTypeGroup::images),
              FilterSidebarLogic::groupSelection(before, FileTypeGroup::images) == FilterSidebarLogic::GroupSelection::all
                  ? FilterSidebarLogic::GroupSelection::none
                  : FilterSidebarLogic::GroupSelection::all);

    auto& minimum = child<QLineEdit>(sheet, "minimumByteSize");
    minimum.setText(QStringLiteral("8192"));
    emit minimum.editingFinished();
    EXPECT_EQ(h.model->filters().minimumByteSize, 8192u);
    // A negative size and one beyond 64 bits are refused, never wrapped.
    for (const char* refused : {"-1", "-18446744073709551615", "18446744073709551616", "99999999999999999999999", "lots"}) {
        minimum.setText(QString::fromLatin1(refused));
        emit minimum.editingFinished();
        EXPECT_EQ(h.model->filters().minimumByteSize, 8192u) << refused;
        EXPECT_EQ(FilterSidebarLogic::parseMinimumByteSize(minimum.text()), 8192u) << refused;
    }

    QTest::keyClick(&sheet, Qt::Key_Return);  // Done
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(h.model->filters().minimumByteSize, 8192u);
}

// ---- Helper access.

TEST_F(Sheets, HelperAccessWithoutAServiceOffersInstallAndTheCommands) {
    helperState(HelperInstallStatus::notInstalled, Runtime::unknown, Access::unknown);
    HelperAccessSheet sheet(*h.model);
    showAndKeep(sheet, QStringLiteral("helper-not-installed"));
    EXPECT_EQ(sheet.width(), HelperAccessSheet::fixedWidth);
    EXPECT_EQ(child<QLabel>(sheet, "summary").text(), HelperAccessLogic::summaryText(HelperAccessLogic::State::of(*h.model)));
    EXPECT_TRUE(child<QLabel>(sheet, "guidance").isVisible());
    EXPECT_TRUE(offers(sheet, QStringLiteral("Install Helper…")));
    EXPECT_TRUE(offers(sheet, QStringLiteral("Show Commands")));
    EXPECT_FALSE(offers(sheet, QStringLiteral("Repair Helper")));
    EXPECT_FALSE(offers(sheet, QStringLiteral("Recheck")));
    EXPECT_TRUE(child<QPushButton>(sheet, "install").isDefault());
    EXPECT_FALSE(child<QPushButton>(sheet, "remove").isEnabled());
    EXPECT_FALSE(sheet.detailsShown());

    EXPECT_FALSE(sheet.commandsShown());
    child<QPushButton>(sheet, "helperCommands").click();
    EXPECT_TRUE(sheet.commandsShown());
    EXPECT_TRUE(sheet.isVisible());  // the commands are shown in the sheet, which stays up
    showAndKeep(sheet, QStringLiteral("helper-commands"));

    child<QPushButton>(sheet, "install").click();
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->registrations, 1);
}

TEST_F(Sheets, HelperAccessForAHelperThatDoesNotAnswerRepairsByRegisteringAgain) {
    helperState(HelperInstallStatus::installed, Runtime::unreachable, Access::unknown);
    HelperAccessSheet sheet(*h.model);
    showAndKeep(sheet, QStringLiteral("helper-not-responding"));
    EXPECT_TRUE(sheet.detailsShown());  // opened by itself: something is wrong at the system level
    EXPECT_TRUE(child<QPushButton>(sheet, "repair").isDefault());
    EXPECT_TRUE(offers(sheet, QStringLiteral("Repair Helper")));
    EXPECT_FALSE(offers(sheet, QStringLiteral("Install Helper…")));
    EXPECT_TRUE(child<QPushButton>(sheet, "remove").isEnabled());
    EXPECT_EQ(child<QLabel>(sheet, "summary").palette().color(QPalette::WindowText), SheetStyle::warningColour());

    h.executor->runUntilIdle();  // the appearance recheck: nobody answers
    const int before = h.registrar->registrations;
    child<QPushButton>(sheet, "repair").click();
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->registrations, before + 1);
    const auto called = h.helper->calledSelectors();
    EXPECT_EQ(std::count(called.begin(), called.end(), std::string(HelperProtocolSelector::quitForRelaunch)), 0);
}

TEST_F(Sheets, HelperAccessWithDeniedAccessRechecksByRestartingTheHelper) {
    helperState(HelperInstallStatus::installed, Runtime::reachable, Access::denied);
    HelperAccessSheet sheet(*h.model);
    showAndKeep(sheet, QStringLiteral("helper-access-denied"));
    EXPECT_TRUE(sheet.detailsShown());
    EXPECT_FALSE(child<QLabel>(sheet, "guidance").isVisible());
    EXPECT_TRUE(child<QLabel>(sheet, "accessExplanation").isVisible());
    EXPECT_TRUE(offers(sheet, QStringLiteral("Recheck")));
    EXPECT_FALSE(offers(sheet, QStringLiteral("Install Helper…")));
    EXPECT_FALSE(offers(sheet, QStringLiteral("Repair Helper")));

    h.helper->setResponder(HelperProtocolSelector::ping, [](test::FakeHelperClient::Call& call) {
        call.stringReply("pong");
        return true;
    });
    h.helper->setResponder(HelperProtocolSelector::quitForRelaunch, [](test::FakeHelperClient::Call& call) {
        call.emptyReply();
        return true;
    });
    child<QPushButton>(sheet, "recheck").click();
    h.executor->runUntilIdle();
    const auto called = h.helper->calledSelectors();
    EXPECT_EQ(std::count(called.begin(), called.end(), std::string(HelperProtocolSelector::quitForRelaunch)), 1);
    EXPECT_EQ(h.registrar->registrations, 0);
}

TEST_F(Sheets, HelperAccessWhenAllIsReadyShowsNoFixes) {
    helperState(HelperInstallStatus::installed, Runtime::reachable, Access::granted);
    HelperAccessSheet sheet(*h.model);
    showAndKeep(sheet, QStringLiteral("helper-ready"));
    EXPECT_FALSE(sheet.detailsShown());
    EXPECT_FALSE(child<QLabel>(sheet, "guidance").isVisible());
    EXPECT_FALSE(child<QLabel>(sheet, "accessExplanation").isVisible());
    EXPECT_EQ(visibleButtons(sheet), std::vector<QString>{QStringLiteral("Close")});
    EXPECT_EQ(child<QLabel>(sheet, "summary").text(),
              QStringLiteral("Vantrel needs one-time access to attached disks so it can read deleted files."));

    // The sheet follows the model: a later denial shows the access row's fixes.
    h.model->setFullDiskAccessState(Access::denied);
    EXPECT_TRUE(child<QLabel>(sheet, "accessExplanation").isVisible());
    EXPECT_TRUE(offers(sheet, QStringLiteral("Recheck")));
    // A disclosure opened by hand stays open across changes.
    child<QToolButton>(sheet, "details").click();
    h.model->setFullDiskAccessState(Access::granted);
    EXPECT_TRUE(sheet.detailsShown());
    showAndKeep(sheet, QStringLiteral("helper-ready-details"));
}

TEST_F(Sheets, HelperAccessRemovesTheHelperOnlyAfterConfirmation) {
    helperState(HelperInstallStatus::requiresApproval, Runtime::unknown, Access::unknown);
    HelperAccessSheet sheet(*h.model);
    sheet.show();
    EXPECT_EQ(visibleButtons(sheet).front(), QStringLiteral("Show Commands"));
    EXPECT_TRUE(child<QPushButton>(sheet, "helperCommands").isDefault());
    child<QToolButton>(sheet, "details").click();
    child<QPushButton>(sheet, "remove").click();
    ASSERT_NE(sheet.removeConfirmation(), nullptr);
    EXPECT_EQ(sheet.removeConfirmation()->text(), QStringLiteral("Remove the privileged disk-access helper?"));
    EXPECT_EQ(sheet.removeConfirmation()->informativeText(),
              QStringLiteral("This unregisters io.tessik.vantrel.helper. You can install it again later."));
    showAndKeep(*sheet.removeConfirmation(), QStringLiteral("helper-remove-confirmation"));
    QTest::keyClick(sheet.removeConfirmation(), Qt::Key_Escape);
    QApplication::processEvents();
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->removals, 0);

    child<QPushButton>(sheet, "remove").click();
    ASSERT_NE(sheet.removeConfirmation(), nullptr);
    child<QPushButton>(*sheet.removeConfirmation(), "confirmRemove").click();
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->removals, 1);
}

TEST_F(Sheets, HelperAccessSwitchesVerboseLoggingAndSaysSo) {
    test::TempDir folder;
    DefaultsStore defaults(folder / "defaults.json");
    std::vector<std::string> lines;
    AppLog::Destinations destinations;
    destinations.flagFile = folder / "flag";
    destinations.defaults = &defaults;
    destinations.systemLog = [&lines](AppLog::Level, std::string_view category, std::string_view text) {
        lines.push_back(std::string(category) + "|" + std::string(text));
    };
    destinations.standardError = [](std::string_view) {};
    AppLog::ScopedDestinations scope(destinations);

    helperState(HelperInstallStatus::installed, Runtime::reachable, Access::granted);
    HelperAccessSheet sheet(*h.model);
    sheet.show();
    auto& logging = child<QCheckBox>(sheet, "logging");
    EXPECT_FALSE(logging.isChecked());
    EXPECT_TRUE(lines.empty());  // the initial value is not a change
    logging.click();
    EXPECT_TRUE(AppLog::isEnabled());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with("app|")) << lines.back();
    EXPECT_TRUE(lines.back().ends_with("Logging enabled by user")) << lines.back();
    const auto logged = lines.size();
    logging.click();
    EXPECT_FALSE(AppLog::isEnabled());
    EXPECT_EQ(lines.size(), logged);  // the switch is off once the line would be written
}

TEST_F(Sheets, HelperAccessShowsTheHelperFileInTheFileManager) {
    helperState(HelperInstallStatus::installed, Runtime::reachable, Access::granted);
    HelperAccessSheet sheet(*h.model);
    sheet.show();
    EXPECT_EQ(child<QLabel>(sheet, "helperPath").text(), QStringLiteral("/usr/libexec/vantrel/VantrelHelper"));
    child<QPushButton>(sheet, "reveal").click();
    // The shipped helper is missing on this machine: its folder is shown instead.
    ASSERT_EQ(h.shell->revealed.size(), 1u);
    EXPECT_EQ(h.shell->revealed[0], QCoreApplication::applicationDirPath().toStdString());
    EXPECT_FALSE(h.model->errorMessage());
    // Without a file manager, the window says so and where the helper is.
    h.shell->openSucceeds = false;
    h.model->revealHelperInFinder();
    ASSERT_TRUE(h.model->errorMessage());
    EXPECT_TRUE(h.model->errorMessage()->contains(QCoreApplication::applicationDirPath()));
}

// ---- Toolbar button.

TEST_F(Sheets, TheDiskAccessButtonSumsUpTheStateAndOpensTheSheet) {
    DiskAccessToolbarButton button(*h.model);
    helperState(HelperInstallStatus::notInstalled, Runtime::unknown, Access::unknown);
    EXPECT_EQ(button.text(), QStringLiteral("Disk Access Required"));
    EXPECT_EQ(button.toolTip(), QStringLiteral("Disk Access Required"));
    EXPECT_EQ(button.property(SheetStyle::symbolProperty).toString(), QStringLiteral("exclamationmark.triangle.fill"));
    showAndKeep(button, QStringLiteral("toolbar-attention"));

    helperState(HelperInstallStatus::installed, Runtime::reachable, Access::granted);
    EXPECT_EQ(button.text(), QStringLiteral("Disk Access"));
    EXPECT_EQ(button.property(SheetStyle::symbolProperty).toString(), QStringLiteral("checkmark.circle"));
    showAndKeep(button, QStringLiteral("toolbar-ready"));

    button.click();
    EXPECT_TRUE(h.model->showHelperSheet());
}

// ---- Presenting.

TEST_F(Sheets, EachSheetFollowsItsFlagAndWritesItBackWhenClosed) {
    QMainWindow window;
    window.show();
    ScanCalls calls;
    SheetPresenter presenter(*h.model, window, calls.actions());

    h.model->setShowHelpSheet(true);
    ASSERT_NE(presenter.helpSheet(), nullptr);
    EXPECT_TRUE(presenter.helpSheet()->isVisible());
    EXPECT_TRUE(presenter.helpSheet()->isModal());
    QTest::keyClick(presenter.helpSheet(), Qt::Key_Escape);
    EXPECT_FALSE(h.model->showHelpSheet());
    EXPECT_EQ(presenter.helpSheet(), nullptr);

    // The model closes a sheet by clearing its flag.
    h.model->setShowScanModeSheet(true);
    ASSERT_NE(presenter.scanModeSheet(), nullptr);
    QPointer<QDialog> modeSheet = presenter.scanModeSheet();
    h.model->setShowScanModeSheet(false);
    EXPECT_EQ(presenter.scanModeSheet(), nullptr);
    EXPECT_TRUE(!modeSheet || !modeSheet->isVisible());

    h.model->setShowHelperSheet(true);
    ASSERT_NE(presenter.helperSheet(), nullptr);
    presenter.helperSheet()->close();  // the window's own close button
    EXPECT_FALSE(h.model->showHelperSheet());
}

TEST_F(Sheets, TheScanSettingsSheetOpensWithOnlyTheImagesGroupEachTime) {
    QMainWindow window;
    window.show();
    ScanCalls calls;
    SheetPresenter presenter(*h.model, window, calls.actions());
    h.model->setShowScanSettingsSheet(true);
    ASSERT_NE(presenter.scanSettingsSheet(), nullptr);
    // Open the documents group by its disclosure, then close the sheet with Done.
    for (auto* disclosure : presenter.scanSettingsSheet()->findChildren<QToolButton*>())
        if (disclosure->text() == FileTypeGroups::title(FileTypeGroup::documents)) disclosure->click();
    EXPECT_EQ(presenter.scanSettingsSheet()->expandedGroups(), (std::set{FileTypeGroup::images, FileTypeGroup::documents}));
    child<QPushButton>(*presenter.scanSettingsSheet(), "done").click();
    EXPECT_FALSE(h.model->showScanSettingsSheet());
    QApplication::processEvents();

    h.model->setShowScanSettingsSheet(true);
    ASSERT_NE(presenter.scanSettingsSheet(), nullptr);
    EXPECT_EQ(presenter.scanSettingsSheet()->expandedGroups(), std::set{FileTypeGroup::images});
}

TEST_F(Sheets, StartScanReachesTheModelAndTheSheetCloses) {
    QMainWindow window;
    window.show();
    ScanCalls calls;
    SheetPresenter presenter(*h.model, window, calls.actions());
    h.model->setShowScanModeSheet(true);
    ASSERT_NE(presenter.scanModeSheet(), nullptr);
    child<QPushButton>(*presenter.scanModeSheet(), "start").click();
    EXPECT_EQ(calls.started, std::vector{ScanMode::standard});
    EXPECT_FALSE(h.model->showScanModeSheet());
    EXPECT_EQ(presenter.scanModeSheet(), nullptr);
}

} // namespace
} // namespace vantrel
