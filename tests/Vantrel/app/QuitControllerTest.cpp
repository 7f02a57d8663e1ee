// The Qt side of quitting: signals through the self-pipe, the window's close requests, the model's
// own requests and replies, and the exit status, on a real event loop with the model on fakes.

#include "AppModelHarness.h"

#include "Vantrel/app/QtDesktopShell.h"
#include "Vantrel/app/QuitController.h"

#include <QCloseEvent>
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>

namespace vantrel {
namespace {

using test::AppModelHarness;

class QuitControllerTest : public ::testing::Test {
protected:
    // Runs the event loop until the condition holds (or a bounded number of rounds passed).
    template <typename Condition>
    void pumpUntil(Condition done) {
        for (int round = 0; round < 1000 && !done(); ++round) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    // A model whose desktop is the controller's, as in the program.
    void useControllerShell() {
        h.model = std::make_unique<AppModel>(AppEffects{h.executor, h.clock, h.helper, h.registrar, h.settings,
                                                        std::make_shared<QtDesktopShell>(&quit), h.dialogs, h.mounter,
                                                        h.helperProgram});
        quit.setModel(h.model.get());
    }

    int argc = 1;
    char name[16] = "QuitController";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
    AppModelHarness h;
    QuitController quit;
    std::vector<int> exits;

    void SetUp() override {
        quit.setExit([this](int status) { exits.push_back(status); });
        quit.setModel(h.model.get());
    }
};

TEST_F(QuitControllerTest, ATerminationSignalAsksTheModelAndASecondOneEndsAtOnce) {
    h.model->plainState().disksPendingRemount = {"sdb"};  // the helper never answers: the quit stays open
    ASSERT_TRUE(quit.catchTerminationSignals());
    QuitController other;
    EXPECT_FALSE(other.catchTerminationSignals()) << "one owner of the signals at a time";

    ::raise(SIGTERM);
    pumpUntil([&] { return h.model->plainState().waitingToTerminate; });
    EXPECT_TRUE(h.model->plainState().waitingToTerminate);
    EXPECT_TRUE(exits.empty());

    ::raise(SIGINT);
    pumpUntil([&] { return !exits.empty(); });
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(QuitControllerTest, TheWindowStaysOpenUntilTheQuitFlowRepliesWithTheModelsExitStatus) {
    useControllerShell();
    h.model->setTerminationStatus(1);
    QObject window;
    quit.watchCloseRequests(&window);
    QCloseEvent close;
    QCoreApplication::sendEvent(&window, &close);
    EXPECT_FALSE(close.isAccepted());
    EXPECT_TRUE(h.model->plainState().waitingToTerminate);
    EXPECT_TRUE(exits.empty());
    h.executor->runUntilIdle();
    EXPECT_EQ(exits, std::vector<int>{1});
}

TEST_F(QuitControllerTest, ARefusedQuitKeepsTheApplicationRunning) {
    useControllerShell();
    h.model->appendHit(test::makeHit("IMG_0001.JPG", 4096));
    h.model->setCatalogDirty(true);
    quit.requestTerminate();
    h.executor->runUntilIdle();
    h.model->resolveUnsavedCatalogPrompt(false, false);
    h.executor->runUntilIdle();
    EXPECT_TRUE(exits.empty());
}

TEST_F(QuitControllerTest, TheModelsOwnRequestRunsAfterTheAskingStepAndWithoutAModelTheEndIsImmediate) {
    useControllerShell();
    h.model->effects().shell->requestQuit();
    EXPECT_FALSE(h.model->plainState().waitingToTerminate);
    pumpUntil([&] { return h.model->plainState().waitingToTerminate; });
    EXPECT_TRUE(h.model->plainState().waitingToTerminate);

    QuitController bare;
    std::vector<int> bareExits;
    bare.setExit([&](int status) { bareExits.push_back(status); });
    bare.requestTerminate();
    EXPECT_EQ(bareExits, std::vector<int>{0});
}

} // namespace
} // namespace vantrel
