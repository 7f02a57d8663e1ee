// Quitting, in virtual time against a fake helper, fake local mounts and a fake desktop: the
// helper's remount raced against 2 seconds, the local mounts after it, disks that stay unmounted, the
// question before quitting during a scan and the scan stopped once it is confirmed, the
// unsaved-results question and a second request to quit.

#include "AppModelHarness.h"
#include "CapturedLog.h"

#include "TestSupport.h"

#include "support/VantrelError.h"
#include "support/VantrelHelperProtocol.h"
#include "support/log/AppLog.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using test::AppModelHarness;
using test::CapturedLog;
using Reply = AppModel::TerminateReply;

std::vector<std::string> remountArguments(const test::FakeHelperClient::Call& call) {
    return call.arguments[0].get<std::vector<std::string>>();
}

void addUnsavedHit(AppModel& model) {
    model.appendHit(test::makeHit("IMG_0001.JPG", 4096));
    model.setCatalogDirty(true);
}

// Quits with the disks pending and takes the helper's remount call, which nobody answered yet.
std::optional<test::FakeHelperClient::Call> quitWithPending(AppModelHarness& h, std::set<std::string> disks) {
    h.model->plainState().disksPendingRemount = std::move(disks);
    h.model->handleShouldTerminate();
    h.executor->runReady();
    return h.helper->takeCall(HelperProtocolSelector::remountDisks);
}

TEST(AppModelQuit, TheLogNamesThePendingDisksAndAForcedReply) {
    CapturedLog log;
    AppModelHarness none;
    none.model->handleShouldTerminate();
    none.executor->runReady();
    EXPECT_TRUE(log.has("app", "Quit remount pending=[]"));

    AppModelHarness two;
    two.model->plainState().disksPendingRemount = {"disk6", "disk4"};
    two.model->handleShouldTerminate();
    two.executor->runReady();
    two.model->handleShouldTerminate();
    EXPECT_TRUE(log.has("app", "Quit remount pending=[\"disk4\", \"disk6\"]"));
    EXPECT_TRUE(log.has("app", "Quit while already waiting — forcing terminate reply"));
}

TEST(AppModelQuit, WithNothingToHandBackTheQuitIsGrantedWithoutAskingTheHelper) {
    AppModelHarness h;
    h.model->setStatusMessage("Scan finished.");
    h.model->setShowHelperSheet(true);
    h.model->setShowHelpSheet(true);
    h.model->setShowScanModeSheet(true);
    h.model->setShowScanSettingsSheet(true);
    EXPECT_EQ(h.model->handleShouldTerminate(), Reply::later);
    EXPECT_TRUE(h.model->plainState().waitingToTerminate);
    EXPECT_FALSE(h.model->showHelperSheet() || h.model->showHelpSheet() || h.model->showScanModeSheet() ||
                 h.model->showScanSettingsSheet());
    EXPECT_TRUE(h.shell->terminateReplies.empty()) << "the reply comes from the quit flow, not the request";
    h.executor->runReady();
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
    EXPECT_FALSE(h.model->plainState().waitingToTerminate);
    EXPECT_TRUE(h.helper->calledSelectors().empty());
    EXPECT_TRUE(h.mounter->mounted.empty());
    EXPECT_EQ(h.model->statusMessage(), "Scan finished.");
    EXPECT_EQ(h.executor->elapsed(), 0ns);
}

TEST(AppModelQuit, AHelperThatAnswersSoonIsFollowedByLocalMountsInNameOrderAndTheTimerChangesNothing) {
    AppModelHarness h;
    auto call = quitWithPending(h, {"disk6", "disk4"});
    EXPECT_EQ(h.model->statusMessage(), "Remounting volumes…");
    ASSERT_TRUE(call);
    EXPECT_EQ(remountArguments(*call), (std::vector<std::string>{"disk4", "disk6"}));

    h.executor->advanceBy(300ms);
    EXPECT_TRUE(h.mounter->mounted.empty()) << "no local mount before the helper answered or the time ran out";
    call->errorReply(std::nullopt);
    h.executor->runReady();
    EXPECT_EQ(h.mounter->mounted, (std::vector<std::string>{"disk4", "disk6"}));
    EXPECT_TRUE(h.model->plainState().disksPendingRemount.empty());
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});

    h.executor->advanceBy(1700ms);
    h.executor->runUntilIdle();
    EXPECT_EQ(h.mounter->mounted.size(), 2u);
    EXPECT_EQ(h.shell->terminateReplies.size(), 1u);
}

TEST(AppModelQuit, ASilentHelperIsGivenTwoSecondsThenTheDisksAreMountedLocallyAndItsLateAnswerIsIgnored) {
    AppModelHarness h;
    auto call = quitWithPending(h, {"sdb"});
    ASSERT_TRUE(call);
    h.executor->advanceBy(1999ms);
    EXPECT_TRUE(h.mounter->mounted.empty());
    h.executor->advanceBy(1ms);
    EXPECT_EQ(h.mounter->mounted, std::vector<std::string>{"sdb"});
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});

    call->errorReply(ErrorObject{"Vantrel", 16, "Could not remount: sdb", std::nullopt});
    h.executor->runUntilIdle();
    EXPECT_EQ(h.mounter->mounted.size(), 1u);
    EXPECT_EQ(h.shell->terminateReplies.size(), 1u);
}

TEST(AppModelQuit, AHelperThatFailsOrIsGoneStillLeadsToTheLocalMounts) {
    AppModelHarness h;
    h.helper->setResponder(HelperProtocolSelector::remountDisks, [](test::FakeHelperClient::Call& call) {
        call.failed(ErrorObject{"VantrelIPC", 1, "connection lost", std::nullopt});
        return true;
    });
    h.model->plainState().disksPendingRemount = {"sdb"};
    h.model->handleShouldTerminate();
    h.executor->runReady();
    EXPECT_EQ(h.mounter->mounted, std::vector<std::string>{"sdb"});
    EXPECT_EQ(h.executor->elapsed(), 0ns);
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
}

// A helper started again since the scan, or one that mounted the disk back when the scan's connection
// closed, has nothing to mount: its answer says so, the local mount follows, and nothing is reported.
TEST(AppModelQuit, AHelperWithNothingToMountIsNoFailure) {
    CapturedLog log;
    AppModelHarness h;
    h.model->setStatusMessage("Scan finished.");
    auto call = quitWithPending(h, {"sdb"});
    ASSERT_TRUE(call);
    const std::string nothing = "Nothing to mount: this helper did not unmount sdb (it may have been started again since, "
                                "or the disk was mounted back already).";
    call->errorReply(ErrorObject{std::string(VantrelError::domain), VantrelError::nothingToRemount, nothing, std::nullopt});
    h.executor->runUntilIdle();
    EXPECT_EQ(h.mounter->mounted, std::vector<std::string>{"sdb"});
    EXPECT_TRUE(h.model->plainState().disksPendingRemount.empty());
    EXPECT_EQ(h.model->statusMessage(), "Remounting volumes…");
    EXPECT_TRUE(log.has("xpc", "XPC remountDisks: " + nothing));
    EXPECT_FALSE(std::any_of(log.lines.begin(), log.lines.end(),
                             [](const std::string& line) { return line.find("reply error") != std::string::npos; }));
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
}

TEST(AppModelQuit, ADiskThatCouldNotBeMountedIsKeptAndReported) {
    AppModelHarness h;
    h.mounter->failures["sdc"] = ErrorObject{"Vantrel", 16, "Could not mount /dev/sdc1 (exit status 32).", std::nullopt};
    h.model->plainState().disksPendingRemount = {"sdb", "sdc"};
    h.model->handleShouldTerminate();
    h.executor->runUntilIdle();
    EXPECT_EQ(h.mounter->mounted, (std::vector<std::string>{"sdb", "sdc"}));
    EXPECT_EQ(h.model->plainState().disksPendingRemount, std::set<std::string>{"sdc"});
    EXPECT_TRUE(h.model->statusMessage().contains("sdc"));
    EXPECT_FALSE(h.model->statusMessage().contains("sdb"));
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
}

// A quit while a scan runs, asked and confirmed: the request as the window's close or Quit makes it.
void quitConfirmedDuringScan(AppModelHarness& h) {
    h.model->setIsScanning(true);
    h.model->plainState().disksPendingRemount = {"sdb"};
    h.model->handleShouldTerminate();
    ASSERT_TRUE(h.model->showQuitDuringScanPrompt());
    ASSERT_TRUE(h.model->resolveQuitDuringScanPrompt(true));
}

TEST(AppModelQuit, QuittingDuringAScanAsksFirstAndCancelLeavesEverythingAsItWas) {
    AppModelHarness h;
    h.model->setIsScanning(true);
    h.model->setStatusMessage("Scanning via helper…");
    h.model->setShowHelpSheet(true);
    addUnsavedHit(*h.model);
    h.model->plainState().disksPendingRemount = {"sdb"};
    const auto flag = h.model->cancelFlag();
    EXPECT_EQ(h.model->handleShouldTerminate(), Reply::later);
    EXPECT_TRUE(h.model->showQuitDuringScanPrompt());
    // However long the question stays open, nothing is stopped, handed back or answered.
    h.executor->advanceBy(30s);
    EXPECT_FALSE(flag->isSet());
    EXPECT_TRUE(h.helper->calledSelectors().empty()) << "neither cancelScan nor remountDisks before the answer";
    EXPECT_TRUE(h.mounter->mounted.empty());
    EXPECT_TRUE(h.shell->terminateReplies.empty());
    EXPECT_FALSE(h.model->plainState().waitingToTerminate);
    EXPECT_FALSE(h.model->showUnsavedCatalogPrompt());
    // Another request meanwhile is the same question, still open.
    EXPECT_EQ(h.model->handleShouldTerminate(), Reply::later);
    EXPECT_TRUE(h.model->showQuitDuringScanPrompt());
    EXPECT_TRUE(h.shell->terminateReplies.empty());

    EXPECT_TRUE(h.model->resolveQuitDuringScanPrompt(false));
    h.executor->runUntilIdle();
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{false}) << "the quit is refused";
    EXPECT_FALSE(h.model->showQuitDuringScanPrompt());
    EXPECT_TRUE(h.model->isScanning());
    EXPECT_FALSE(flag->isSet());
    EXPECT_TRUE(h.helper->calledSelectors().empty());
    EXPECT_TRUE(h.mounter->mounted.empty());
    EXPECT_EQ(h.model->plainState().disksPendingRemount, std::set<std::string>{"sdb"});
    EXPECT_TRUE(h.model->showHelpSheet()) << "the sheets stay";
    EXPECT_EQ(h.model->statusMessage(), "Scanning via helper…");
    EXPECT_EQ(h.model->hits().size(), 1u);
    EXPECT_FALSE(h.model->resolveQuitDuringScanPrompt(true)) << "no question is open any more";
    EXPECT_EQ(h.shell->terminateReplies.size(), 1u);
}

TEST(AppModelQuit, ConfirmedDuringAScanTheScanIsCancelledAndAwaitedBeforeAnythingIsRemounted) {
    AppModelHarness h;
    const auto flag = h.model->cancelFlag();
    quitConfirmedDuringScan(h);
    h.executor->runReady();
    EXPECT_FALSE(h.model->showQuitDuringScanPrompt());
    EXPECT_TRUE(flag->isSet());
    const auto selectors = h.helper->calledSelectors();
    ASSERT_EQ(selectors.size(), 1u);
    EXPECT_EQ(selectors.front(), HelperProtocolSelector::cancelScan);

    h.executor->advanceBy(700ms);
    EXPECT_EQ(h.helper->pendingCount(HelperProtocolSelector::remountDisks), 0u);
    h.model->setIsScanning(false);  // the scan's reply arrived
    h.executor->advanceBy(100ms);
    EXPECT_EQ(h.helper->pendingCount(HelperProtocolSelector::remountDisks), 1u);
}

TEST(AppModelQuit, ConfirmedDuringAScanTheCancelledListIsMarkedAndTheSaveQuestionFollowsTheHandBack) {
    AppModelHarness h;
    addUnsavedHit(*h.model);
    quitConfirmedDuringScan(h);
    h.executor->runReady();
    // The helper's answer to the cancel ends the scan.
    h.model->finishScan(ErrorObject{std::string(VantrelError::domain), VantrelError::scanCancelled, "Scan cancelled", std::nullopt},
                        ScanMode::standard);
    ASSERT_TRUE(h.model->plainState().resultsScanEnd);
    EXPECT_EQ(h.model->plainState().resultsScanEnd->text(), "Scan cancelled — 1 file found so far.");
    h.executor->advanceBy(3s);
    EXPECT_EQ(h.mounter->mounted, std::vector<std::string>{"sdb"});
    EXPECT_TRUE(h.model->showUnsavedCatalogPrompt()) << "then the unsaved results are asked about";
    EXPECT_TRUE(h.shell->terminateReplies.empty());
    h.model->resolveUnsavedCatalogPrompt(false, true);
    h.executor->runUntilIdle();
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
}

TEST(AppModelQuit, AScanThatEndsByItselfWhileTheQuestionIsOpenLetsTheQuitGoOn) {
    for (const bool early : {false, true}) {
        AppModelHarness h;
        h.model->setIsScanning(true);
        h.model->plainState().disksPendingRemount = {"sdb"};
        h.model->handleShouldTerminate();
        ASSERT_TRUE(h.model->showQuitDuringScanPrompt());
        if (early) h.model->handleScanError(ErrorObject::posix(ENODEV, "/dev/sdb"));
        else h.model->finishScan(std::nullopt, ScanMode::standard);
        EXPECT_FALSE(h.model->showQuitDuringScanPrompt()) << "nothing is left to ask about";
        h.executor->runReady();
        const auto called = h.helper->calledSelectors();
        EXPECT_EQ(std::count(called.begin(), called.end(), HelperProtocolSelector::cancelScan), 0) << "nothing to cancel";
        h.executor->advanceBy(2s);
        h.executor->runUntilIdle();
        EXPECT_EQ(h.mounter->mounted, std::vector<std::string>{"sdb"});
        EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
    }
}

TEST(AppModelQuit, ASignalDuringAScanQuitsWithoutAskingAndAnswersAnOpenQuestion) {
    AppModelHarness signalled;
    signalled.model->setIsScanning(true);
    EXPECT_EQ(signalled.model->handleShouldTerminate(AppModel::QuitCause::signal), Reply::later);
    EXPECT_FALSE(signalled.model->showQuitDuringScanPrompt()) << "nobody may be at the window to answer";
    signalled.executor->runReady();
    EXPECT_TRUE(signalled.model->cancelFlag()->isSet());

    AppModelHarness asked;
    asked.model->setIsScanning(true);
    asked.model->handleShouldTerminate();
    ASSERT_TRUE(asked.model->showQuitDuringScanPrompt());
    EXPECT_EQ(asked.model->handleShouldTerminate(AppModel::QuitCause::signal), Reply::later);
    EXPECT_FALSE(asked.model->showQuitDuringScanPrompt());
    asked.executor->runReady();
    EXPECT_TRUE(asked.model->cancelFlag()->isSet());
    EXPECT_TRUE(asked.model->plainState().waitingToTerminate);
}

TEST(AppModelQuit, AScanThatDoesNotStopIsWaitedForOnlyTenSeconds) {
    AppModelHarness h;
    quitConfirmedDuringScan(h);
    h.executor->runReady();
    h.executor->advanceBy(9900ms);
    EXPECT_EQ(h.helper->pendingCount(HelperProtocolSelector::remountDisks), 0u);
    h.executor->advanceBy(100ms);
    EXPECT_EQ(h.helper->pendingCount(HelperProtocolSelector::remountDisks), 1u);
    h.executor->runUntilIdle();
    EXPECT_EQ(h.mounter->mounted, std::vector<std::string>{"sdb"});
}

TEST(AppModelQuit, UnsavedResultsAreAskedAboutAfterTheHandBackAndTheAnswerDecides) {
    struct Case {
        const char* name;
        bool save;
        bool discard;
        std::optional<bool> saverResult;  // none: the program's own saver, whose save dialog is cancelled
        bool expectedReply;
    };
    for (const Case& c : {Case{"don't save", false, true, std::nullopt, true}, Case{"cancel", false, false, std::nullopt, false},
                          Case{"save", true, false, true, true}, Case{"save panel cancelled", true, false, false, false},
                          Case{"save dialog cancelled", true, false, std::nullopt, false}}) {
        AppModelHarness h;
        addUnsavedHit(*h.model);
        int saves = 0;
        if (c.saverResult) {
            const bool result = *c.saverResult;
            h.model->setCatalogSaver([&saves, result](AppModel*) -> Task<bool> {
                ++saves;
                return [](bool value) -> Task<bool> { co_return value; }(result);
            });
        }
        h.model->plainState().disksPendingRemount = {"sdb"};
        h.model->handleShouldTerminate();
        h.executor->advanceBy(2s);
        EXPECT_EQ(h.mounter->mounted, std::vector<std::string>{"sdb"}) << c.name;
        EXPECT_TRUE(h.model->showUnsavedCatalogPrompt()) << c.name;
        EXPECT_TRUE(h.shell->terminateReplies.empty()) << c.name;

        h.model->resolveUnsavedCatalogPrompt(c.save, c.discard);
        h.executor->runUntilIdle();
        if (c.save && !c.saverResult) {
            ASSERT_EQ(h.dialogs->requests.size(), 1u) << "Save Catalog… asks where";
            EXPECT_EQ(h.dialogs->requests.front().options.title, "Save Scan Catalog");
            h.dialogs->answer(std::nullopt);
            h.executor->runUntilIdle();
        }
        EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{c.expectedReply}) << c.name;
        EXPECT_FALSE(h.model->plainState().waitingToTerminate) << c.name;
        EXPECT_FALSE(h.model->showUnsavedCatalogPrompt()) << c.name;
        EXPECT_EQ(saves, c.saverResult ? 1 : 0) << c.name;
        EXPECT_TRUE(h.model->plainState().disksPendingRemount.empty()) << c.name;
    }
}

TEST(AppModelQuit, AQuestionAnsweredBeforeTheHandBackEndsDoesNotAnswerTheQuit) {
    AppModelHarness h;
    addUnsavedHit(*h.model);
    // A scan start asked first; the prompt is up when the user quits.
    auto proceed = test::spawnRecorded(h.model->tasks(), h.model->confirmDiscardHitsIfNeeded());
    h.executor->runReady();
    h.model->plainState().disksPendingRemount = {"sdb"};
    h.model->handleShouldTerminate();
    h.executor->runReady();
    h.model->resolveUnsavedCatalogPrompt(false, true);
    h.executor->runReady();
    ASSERT_TRUE(proceed->value);
    EXPECT_TRUE(*proceed->value);
    EXPECT_TRUE(h.shell->terminateReplies.empty()) << "no reply while the disks are still being handed back";
    h.model->resetResults();  // what the scan start does after the answer
    h.executor->runUntilIdle();
    EXPECT_FALSE(h.model->showUnsavedCatalogPrompt());
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
}

TEST(AppModelQuit, ASecondRequestWhileTheFirstIsOpenIsGrantedAtOnceAndTheFlowDoesNotReplyAgain) {
    AppModelHarness h;
    h.model->plainState().disksPendingRemount = {"sdb"};
    h.model->setShowHelperSheet(true);
    EXPECT_EQ(h.model->handleShouldTerminate(), Reply::later);
    EXPECT_FALSE(h.model->showHelperSheet());
    h.executor->runReady();
    EXPECT_EQ(h.model->handleShouldTerminate(), Reply::now);
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{true});
    EXPECT_FALSE(h.model->plainState().waitingToTerminate);
    h.executor->runUntilIdle();
    EXPECT_EQ(h.shell->terminateReplies.size(), 1u);
}

TEST(AppModelQuit, ACancelledQuitLeavesTheApplicationReadyToQuitAgain) {
    AppModelHarness h;
    addUnsavedHit(*h.model);
    h.model->handleShouldTerminate();
    h.executor->runReady();
    h.model->resolveUnsavedCatalogPrompt(false, false);
    h.executor->runUntilIdle();
    EXPECT_EQ(h.shell->terminateReplies, std::vector<bool>{false});
    EXPECT_EQ(h.model->handleShouldTerminate(), Reply::later) << "a new request, not a second one";
    h.executor->runReady();
    h.model->resolveUnsavedCatalogPrompt(false, true);
    h.executor->runUntilIdle();
    EXPECT_EQ(h.shell->terminateReplies, (std::vector<bool>{false, true}));
}

TEST(AppModelQuit, AModelDestroyedDuringTheHandBackLeavesNothingBehind) {
    AppModelHarness h;
    auto call = quitWithPending(h, {"sdb"});
    ASSERT_TRUE(call);
    h.model.reset();
    call->errorReply(std::nullopt);
    h.executor->runUntilIdle();
    EXPECT_TRUE(h.mounter->mounted.empty());
    EXPECT_TRUE(h.shell->terminateReplies.empty());
}

} // namespace
} // namespace vantrel
