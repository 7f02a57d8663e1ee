// The program's own wiring, built by the same constructor the program uses, over the model's fakes:
// every road the window offers reaches the model (Scan, Cancel, a scan mode, the unsaved-catalog
// question's three answers at a volume change and at quit, the question before quitting during a scan, a changed volume list, a preview, a
// recovery's folder, the sheets), and the model has what the program supplies (checker, renderer).

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/app/AppMenus.h"
#include "Vantrel/app/AppWiring.h"
#include "Vantrel/app/QtDesktopShell.h"
#include "Vantrel/app/QuitController.h"
#include "Vantrel/catalog/ScanCatalog.h"
#include "Vantrel/sheets/ScanModeSheet.h"
#include "Vantrel/sheets/SheetPresenter.h"
#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/MainWindow.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/VolumeStripView.h"

#include "TestSupport.h"
#include "support/VantrelError.h"
#include "support/VantrelHelperProtocol.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace vantrel {
namespace {

using test::AppModelHarness;
using test::makeHit;

ExternalVolume volume(std::string name, std::string bsdName, bool mounted = true) {
    return test::fatVolume(std::move(name), std::move(bsdName), 1'073'741'824, mounted);
}

struct Program {
    Program() {
        test::widgetApplication();
        quit.setExit([this](int status) { exits.push_back(status); });
        // The desktop of the program: its quit replies go to the controller.
        harness.model = std::make_unique<AppModel>(AppEffects{harness.executor, harness.clock, harness.helper,
                                                              harness.registrar, harness.settings,
                                                              std::make_shared<QtDesktopShell>(&quit), harness.dialogs,
                                                              harness.mounter, harness.helperProgram});
        harness.volumes->current = {volume("Card", "sdb"), volume("Stick", "sdc")};
        volumes = std::make_shared<ImageFileVolumes>(harness.volumes);
        wiring = std::make_unique<AppWiring>(model(), volumes, quit, std::vector<std::string>{});
        window().resize(1100, 720);
        window().show();
        settle();
    }
    ~Program() { wiring.reset(); }

    AppModel& model() { return *harness.model; }
    MainWindow& window() { return wiring->window(); }
    void settle() {
        for (int round = 0; round < 4; ++round) {
            harness.executor->runUntilIdle();
            QCoreApplication::processEvents();
        }
    }
    void pick(int tile) {
        QTest::mouseClick(window().volumeStrip()->tiles()[static_cast<std::size_t>(tile)], Qt::LeftButton);
        settle();
    }
    void makeUnsavedHits() {
        model().appendHit(makeHit("a.jpg", 1));
        model().appendHit(makeHit("b.jpg", 2));
        model().setCatalogDirty(true);
    }
    QPushButton* questionButton(const char* name) {
        QMessageBox* question = window().unsavedCatalogDialog();
        if (!question || !question->isVisible()) return nullptr;
        return question->findChild<QPushButton*>(name);
    }

    AppModelHarness harness;
    QuitController quit;
    std::vector<int> exits;
    std::shared_ptr<ImageFileVolumes> volumes;
    std::unique_ptr<AppWiring> wiring;
};

TEST(AppWiring, TheModelHasWhatTheProgramSuppliesAndTheWindowHasItsMenus) {
    Program p;
    EXPECT_NE(p.model().previewRenderer(), nullptr);
    EXPECT_EQ(p.model().volumeMonitor(), p.volumes) << "the launch gave the model its disk monitor";
    QStringList menus;
    for (QAction* action : p.window().menuBar()->actions()) menus << action->text().remove('&');
    EXPECT_TRUE(menus.contains("File"));
}

TEST(AppWiring, ScanAScanModeAndCancelReachTheModel) {
    Program p;
    p.pick(0);
    ASSERT_TRUE(p.model().selectedVolume());
    p.window().scanAction()->trigger();
    p.settle();
    ASSERT_TRUE(p.model().showScanModeSheet());
    ASSERT_NE(p.window().sheets()->scanModeSheet(), nullptr) << "the scan-mode sheet is presented";

    p.window().resultsPane()->onStartScan(ScanMode::standard);
    p.settle();
    EXPECT_FALSE(p.model().showScanModeSheet());
    EXPECT_TRUE(p.model().isScanning() || p.model().errorMessage()) << "the scan's start reached the model";

    p.window().cancelAction()->trigger();
    const auto called = p.harness.helper->calledSelectors();
    EXPECT_NE(std::find(called.begin(), called.end(), "cancelScan"), called.end());
}

TEST(AppWiring, SaveCatalogInTheQuestionSavesBeforeTheVolumeChanges) {
    test::TempDir folder;
    Program p;
    p.pick(0);
    p.makeUnsavedHits();
    p.pick(1);
    QPushButton* save = p.questionButton("save");
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(save->text(), "Save Catalog…");
    save->click();
    p.settle();
    ASSERT_EQ(p.harness.dialogs->requests.size(), 1u) << "Save Catalog… asks where";
    EXPECT_EQ(p.harness.dialogs->requests.front().kind, test::FakeFileDialogs::Kind::save);
    const auto path = (folder.path() / "card.vtcat").string();
    p.harness.dialogs->answer(path);
    p.settle();
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(ScanCatalog::load(path).hits.size(), 2u);
    EXPECT_EQ(p.model().selectedVolume()->bsdName, "sdc") << "saved, so the change goes on";
    EXPECT_TRUE(p.model().hits().empty());
}

TEST(AppWiring, ACancelledSaveKeepsTheVolumeAndTheHits) {
    Program p;
    p.pick(0);
    p.makeUnsavedHits();
    p.pick(1);
    ASSERT_NE(p.questionButton("save"), nullptr);
    p.questionButton("save")->click();
    p.settle();
    p.harness.dialogs->answer(std::nullopt);
    p.settle();
    EXPECT_EQ(p.model().selectedVolume()->bsdName, "sdb");
    EXPECT_EQ(p.model().hits().size(), 2u);
    EXPECT_TRUE(p.model().catalogDirty());
}

TEST(AppWiring, SaveCatalogAtQuitSavesAndThenQuits) {
    test::TempDir folder;
    Program p;
    p.pick(0);
    p.makeUnsavedHits();
    QCloseEvent close;
    QCoreApplication::sendEvent(&p.window(), &close);
    p.settle();
    QPushButton* save = p.questionButton("save");
    ASSERT_NE(save, nullptr) << "the window's close asks about the unsaved hits";
    EXPECT_TRUE(p.exits.empty());
    save->click();
    p.settle();
    const auto path = (folder.path() / "quit.vtcat").string();
    ASSERT_TRUE(p.harness.dialogs->answer(path));
    p.settle();
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(p.exits, std::vector<int>{0});
}

TEST(AppWiring, QuittingDuringAScanAsksFirstByTheWindowsCloseAndByQuit) {
    Program p;
    // A helper that answers, so that the scan starts and runs until its start call is answered.
    p.harness.registrar->currentStatus = HelperInstallStatus::installed;
    p.harness.helper->setResponder(HelperProtocolSelector::ping, [](test::FakeHelperClient::Call& call) {
        call.stringReply("pong");
        return true;
    });
    p.harness.helper->setResponder(HelperProtocolSelector::probeDevice, [](test::FakeHelperClient::Call& call) {
        call.lengthReply(1 << 20, std::nullopt);
        return true;
    });
    p.pick(0);
    p.window().resultsPane()->onStartScan(ScanMode::standard);
    p.settle();
    ASSERT_TRUE(p.model().isScanning()) << p.model().statusMessage().toStdString() << " / "
                                        << p.model().errorMessage().value_or("").toStdString();
    ASSERT_EQ(p.harness.helper->pendingCount(HelperProtocolSelector::startScan), 1u);
    const auto cancels = [&p] {
        const auto called = p.harness.helper->calledSelectors();
        return std::count(called.begin(), called.end(), HelperProtocolSelector::cancelScan);
    };
    const auto question = [&p]() -> QMessageBox* {
        QMessageBox* box = p.window().quitDuringScanDialog();
        return box && box->isVisible() ? box : nullptr;
    };

    // The window's close: the question, with Cancel as its default; Cancel keeps the scan.
    QCloseEvent close;
    QCoreApplication::sendEvent(&p.window(), &close);
    p.settle();
    ASSERT_NE(question(), nullptr) << "the window's close asks first";
    EXPECT_EQ(question()->text(), "A scan is running.");
    auto* cancel = question()->findChild<QPushButton*>("cancel");
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(question()->defaultButton(), cancel);
    EXPECT_EQ(question()->escapeButton(), cancel);
    cancel->click();
    p.settle();
    EXPECT_EQ(question(), nullptr);
    EXPECT_TRUE(p.window().isVisible());
    EXPECT_TRUE(p.model().isScanning());
    EXPECT_EQ(cancels(), 0);
    EXPECT_TRUE(p.exits.empty());

    // Quit: the question again; confirmed, the scan is cancelled, and its end lets the program end.
    p.wiring->menus().quitAction()->trigger();
    p.settle();
    ASSERT_NE(question(), nullptr) << "Quit asks first";
    EXPECT_EQ(cancels(), 0);
    question()->findChild<QPushButton*>("quit")->click();
    // Without the clock moving on: the scan is given time to stop.
    for (int round = 0; round < 4; ++round) {
        p.harness.executor->runReady();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(question(), nullptr);
    EXPECT_EQ(cancels(), 1);
    EXPECT_TRUE(p.exits.empty()) << "not before the scan ended and the disk was handed back";
    auto scan = p.harness.helper->takeCall(HelperProtocolSelector::startScan);
    ASSERT_TRUE(scan);
    scan->errorReply(ErrorObject{std::string(VantrelError::domain), VantrelError::scanCancelled, "Scan cancelled", std::nullopt});
    p.settle();
    EXPECT_EQ(p.exits, std::vector<int>{0});
    EXPECT_FALSE(p.model().isScanning());
}

TEST(AppWiring, AChangedVolumeListReachesTheSelection) {
    Program p;
    p.harness.volumes->publish({volume("Card", "sdb", false), volume("Stick", "sdc")});
    p.settle();
    p.pick(0);
    ASSERT_FALSE(p.model().selectedVolume()->isMounted);
    p.harness.volumes->publish({volume("Card", "sdb", true), volume("Stick", "sdc")});
    p.settle();
    EXPECT_TRUE(p.model().selectedVolume()->isMounted) << "a disk mounted while selected shows mounted";
}

TEST(AppWiring, PreviewAndRecoveryReachTheModel) {
    Program p;
    p.model().appendHit(makeHit("a.jpg", 1));
    p.window().resultsPane()->list()->onPreview(p.model().hits().front());
    p.settle();
    EXPECT_EQ(p.model().errorMessage(), "No volume selected.") << "the preview request reached the model";
    p.model().setErrorMessage(std::nullopt);
    p.settle();

    p.window().recoverSelected();
    ASSERT_EQ(p.harness.dialogs->requests.size(), 1u);
    p.harness.dialogs->answer("/tmp");
    p.settle();
    EXPECT_EQ(p.model().errorMessage(), "No volume selected.") << "the folder reached the model's recovery";
}

} // namespace
} // namespace vantrel
