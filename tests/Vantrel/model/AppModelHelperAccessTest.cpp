// Keeping the helper usable, in virtual time against a fake helper and a fake service registration:
// the recheck's pings, retries and access check, overlapping rechecks, repair, install and removal.

#include "AppModelHarness.h"

#include "support/VantrelHelperProtocol.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using test::AppModelHarness;
using State = AppModel::HelperRuntimeState;
using Access = AppModel::RawDiskAccessState;

ExternalVolume loopVolume() {
    ExternalVolume volume;
    volume.name = "card";
    volume.bsdName = "loop0";  // /dev/loop0 exists on every Linux machine
    return volume;
}

void answerAccess(test::FakeHelperClient& helper, bool granted, std::optional<ErrorObject> error = std::nullopt) {
    helper.setResponder(HelperProtocolSelector::checkRawDiskAccess, [granted, error](test::FakeHelperClient::Call& call) {
        call.accessReply(granted, error);
        return true;
    });
}

// A model whose helper service is installed, as the start of the program finds it.
void installService(AppModelHarness& h) {
    h.registrar->currentStatus = HelperInstallStatus::installed;
    h.model->refreshHelperStatus();
}

// Runs one recheck to its end.
void recheck(AppModelHarness& h, bool force = false, bool askForAccess = false) {
    h.model->tasks().spawn(h.model->recheckHelperAndDiskAccess(force, askForAccess));
    h.executor->runUntilIdle();
}

TEST(AppModelHelperAccess, ARecheckOfAnAnsweringHelperChecksTheSelectedDisksWholeDevice) {
    AppModelHarness h;
    installService(h);
    answerPings(*h.helper);
    std::vector<std::string> checked;
    h.helper->setResponder(HelperProtocolSelector::checkRawDiskAccess, [&](test::FakeHelperClient::Call& call) {
        checked.push_back(call.arguments[0].get<std::string>());
        call.accessReply(true, std::nullopt);
        return true;
    });
    h.model->setSelectedVolume(loopVolume());
    recheck(h);
    EXPECT_EQ(h.model->helperRuntimeState(), State::reachable);
    EXPECT_EQ(h.model->fullDiskAccessState(), Access::granted);
    EXPECT_EQ(checked, (std::vector<std::string>{"/dev/loop0"}));
    EXPECT_FALSE(h.model->plainState().fdaProbeInFlight);
}

TEST(AppModelHelperAccess, ASilentHelperGetsOnePingAndTwoAttemptsThenCountsAsUnreachable) {
    AppModelHarness h;
    installService(h);
    recheck(h);
    const auto selectors = h.helper->calledSelectors();
    EXPECT_EQ(std::count(selectors.begin(), selectors.end(), std::string(HelperProtocolSelector::ping)), 3);
    EXPECT_EQ(h.executor->elapsed(), 2s + 2s + 400ms + 2s);
    EXPECT_EQ(h.model->helperRuntimeState(), State::unreachable);
    EXPECT_EQ(h.model->fullDiskAccessState(), Access::unknown);
    EXPECT_EQ(h.model->statusMessage(), "Helper did not respond. Confirm the helper service is enabled, then try again.");
    EXPECT_FALSE(h.model->plainState().fdaProbeInFlight);
}

TEST(AppModelHelperAccess, TwoRechecksStartedTogetherRunOnceAndAForcedOneRunsAnyway) {
    AppModelHarness h;
    installService(h);
    h.model->tasks().spawn(h.model->recheckHelperAndDiskAccess(false, false));
    h.model->tasks().spawn(h.model->recheckHelperAndDiskAccess(false, false));
    h.executor->runReady();
    EXPECT_EQ(h.helper->pendingCount(HelperProtocolSelector::ping), 1u);
    h.model->tasks().spawn(h.model->recheckHelperAndDiskAccess(true, true));
    h.executor->runReady();
    EXPECT_EQ(h.helper->pendingCount(HelperProtocolSelector::ping), 2u);
}

TEST(AppModelHelperAccess, WithoutAServiceOrAHelperToSpawnNothingIsPinged) {
    AppModelHarness h;
    h.helperProgram.reset();
    h.model = std::make_unique<AppModel>(h.effects());
    h.model->refreshHelperStatus();
    recheck(h, true, true);
    EXPECT_TRUE(h.helper->calledSelectors().empty());
    EXPECT_EQ(h.model->helperRuntimeState(), State::unknown);
    EXPECT_EQ(h.model->diskAccessAttention(), AppModel::DiskAccessAttention::helper);
}

TEST(AppModelHelperAccess, ASpawnableHelperIsCheckedWithoutAnyService) {
    AppModelHarness h;  // the registrar says notInstalled, a helper lies beside the program
    h.model->refreshHelperStatus();
    answerPings(*h.helper);
    answerAccess(*h.helper, true);
    h.model->setSelectedVolume(loopVolume());
    recheck(h, true);
    EXPECT_EQ(h.model->helperRuntimeState(), State::reachable);
    EXPECT_EQ(h.model->fullDiskAccessState(), Access::granted);
    EXPECT_EQ(h.registrar->registrations, 0) << "no service to register on a machine without one";
}

// A helper on the socket that no installed service serves (VantrelHelper --listen): it is the helper in
// use, and whether it opens image files is asked of it, by the answer to the probe of a regular file.
TEST(AppModelHelperAccess, AHelperOnItsOwnSocketIsInUseAndSaysWhetherItTakesImageFiles) {
    for (const bool takes : {true, false}) {
        AppModelHarness h;  // no service installed
        h.helper->helperRoute = HelperRoute::serviceSocket;
        h.model->refreshHelperStatus();
        answerPings(*h.helper);
        std::vector<std::string> probed;
        h.helper->setResponder(HelperProtocolSelector::probeDevice, [&](test::FakeHelperClient::Call& call) {
            probed.push_back(call.arguments[0].get<std::string>());
            if (takes) call.lengthReply(4096, std::nullopt);
            else call.lengthReply(0, ErrorObject::posix(ENOTBLK, probed.back()));
            return true;
        });
        EXPECT_FALSE(h.model->helperAcceptsImageFiles());
        recheck(h);
        EXPECT_EQ(probed.size(), 1u);
        EXPECT_EQ(h.model->helperAcceptsImageFiles(), takes);
        EXPECT_EQ(h.model->diskAccessAttention(), AppModel::DiskAccessAttention::none);
    }
}

TEST(AppModelHelperAccess, AHelperStartedThroughPkexecWaitsForTheUserAndThenStopsAskingForAccess) {
    AppModelHarness h;  // no service; the helper beside the program would be started through pkexec
    h.helper->asksForPassword = true;
    h.model->refreshHelperStatus();
    // The checks of the start, the sheet appearing and the program becoming active ask no password.
    h.model->tasks().spawn(h.model->recheckHelperAndDiskAccess(false, false));
    h.model->handleDidBecomeActive();
    h.executor->runUntilIdle();
    EXPECT_TRUE(h.helper->calledSelectors().empty()) << "no call, so no helper and no password";
    EXPECT_EQ(h.model->helperRuntimeState(), State::unknown);

    // The sheet's button (a forced check) starts it; once it answers, nothing asks for access any more.
    answerPings(*h.helper);
    recheck(h, true, true);
    h.helper->asksForPassword = false;
    h.helper->helperRoute = HelperRoute::spawnedWithPkexec;
    EXPECT_EQ(h.model->helperRuntimeState(), State::reachable);
    EXPECT_EQ(h.model->diskAccessAttention(), AppModel::DiskAccessAttention::none);
    EXPECT_EQ(AppModel::diskAccessTitle(h.model->diskAccessAttention()), "Disk Access");
    EXPECT_EQ(h.registrar->registrations, 0) << "no service was registered behind the user's back";

    // A helper without root reads no disk: that is still asked for.
    h.helper->helperRoute = HelperRoute::spawnedAsUser;
    EXPECT_EQ(h.model->diskAccessAttention(), AppModel::DiskAccessAttention::diskAccess);
}

TEST(AppModelHelperAccess, AnAccessCheckThatFailsForPermissionDeniesAndOneForAVanishedDeviceKeepsTheState) {
    for (const auto& [error, expected] : {std::pair{ErrorObject::posix(EACCES, "/dev/loop0"), Access::denied},
                                          std::pair{ErrorObject::posix(ENODEV, "/dev/loop0"), Access::granted}}) {
        AppModelHarness h;
        installService(h);
        h.model->setFullDiskAccessState(Access::granted);
        answerPings(*h.helper);
        answerAccess(*h.helper, false, error);
        h.model->setSelectedVolume(loopVolume());
        recheck(h);
        EXPECT_EQ(h.model->fullDiskAccessState(), expected) << error.message;
    }
}

TEST(AppModelHelperAccess, RepairQuitsAReachableHelperThenRechecksForced) {
    AppModelHarness h;
    installService(h);
    h.model->setHelperRuntimeState(State::reachable);
    answerPings(*h.helper);
    answerAccess(*h.helper, true);
    h.helper->setResponder(HelperProtocolSelector::quitForRelaunch, [](test::FakeHelperClient::Call& call) {
        call.emptyReply();
        return true;
    });
    h.model->setSelectedVolume(loopVolume());
    h.model->tasks().spawn(h.model->repairHelper());
    h.executor->runUntilIdle();
    const auto selectors = h.helper->calledSelectors();
    ASSERT_FALSE(selectors.empty());
    EXPECT_EQ(selectors.front(), HelperProtocolSelector::quitForRelaunch);
    EXPECT_EQ(h.model->statusMessage(), "Disk access is ready.");
}

TEST(AppModelHelperAccess, AFailedInstallSaysWhyInOneSentenceAndWhatItLeftAndASuccessfulOneConnects) {
    const ErrorObject refusal{"VantrelService", 1, "Failed to enable unit: Unit file x.socket does not exist.", std::nullopt};
    AppModelHarness failing;
    failing.registrar->registerError = refusal;
    failing.model->installHelper();
    failing.executor->runUntilIdle();
    ASSERT_TRUE(failing.model->errorMessage());
    EXPECT_EQ(*failing.model->errorMessage(), "Could not install the helper (Failed to enable unit: Unit file x.socket does not exist).");
    EXPECT_NE(failing.model->statusMessage(), "Helper registration requested.");
    EXPECT_EQ(failing.model->helperStatus(), HelperInstallStatus::notInstalled);

    // Enabled, then its start failed: the service is there now, and the message says so.
    AppModelHarness halfDone;
    halfDone.registrar->registerError = ErrorObject{"VantrelService", 1, "Job for x.socket failed.", std::nullopt};
    halfDone.registrar->statusAfterFailure = HelperInstallStatus::installed;
    halfDone.model->installHelper();
    halfDone.executor->runUntilIdle();
    ASSERT_TRUE(halfDone.model->errorMessage());
    EXPECT_EQ(*halfDone.model->errorMessage(),
              "Could not install the helper (Job for x.socket failed). The helper service was left enabled; Remove Helper… "
              "disables it.");
    EXPECT_EQ(halfDone.model->helperStatus(), HelperInstallStatus::installed);

    // Installed before, and a new attempt refused: nothing was left by it.
    AppModelHarness already;
    already.registrar->currentStatus = HelperInstallStatus::installed;
    already.registrar->registerError = ErrorObject{"VantrelService", 126, "pkexec exited with status 126 without saying why.", std::nullopt};
    already.model->installHelper();
    already.executor->runUntilIdle();
    ASSERT_TRUE(already.model->errorMessage());
    EXPECT_EQ(*already.model->errorMessage(), "Could not install the helper (pkexec exited with status 126 without saying why).");

    AppModelHarness working;
    answerPings(*working.helper);
    working.model->installHelper();
    working.executor->runUntilIdle();
    EXPECT_EQ(working.model->helperStatus(), HelperInstallStatus::installed);
    EXPECT_EQ(working.model->helperRuntimeState(), State::reachable);
}

TEST(AppModelHelperAccess, AnInstallThatHadToMakeTheGroupSaysSo) {
    // Nobody is in a group just made: the socket refuses this user, and the window says why.
    AppModelHarness newGroup;
    newGroup.registrar->registrationMakesGroup = true;
    newGroup.registrar->statusAfterRegister = HelperInstallStatus::requiresApproval;
    newGroup.model->installHelper();
    newGroup.executor->runUntilIdle();
    EXPECT_FALSE(newGroup.model->errorMessage());
    EXPECT_EQ(newGroup.model->statusMessage(),
              "Created the group vantrel. Add yourself to it as the helper-access sheet explains and log in again.");
    EXPECT_TRUE(newGroup.model->showHelperSheet());

    // Root is let in at once: the connection's message, after the group's.
    AppModelHarness asRoot;
    answerPings(*asRoot.helper);
    asRoot.registrar->registrationMakesGroup = true;
    asRoot.model->installHelper();
    asRoot.executor->runUntilIdle();
    EXPECT_TRUE(asRoot.model->statusMessage().startsWith("Created the group vantrel. ")) << asRoot.model->statusMessage().toStdString();
}

TEST(AppModelHelperAccess, UninstallSaysWhetherTheServiceWasRemoved) {
    AppModelHarness h;
    h.registrar->currentStatus = HelperInstallStatus::installed;
    auto removed = test::spawnRecorded(h.model->tasks(), h.model->uninstallHelper());
    h.executor->runUntilIdle();
    ASSERT_TRUE(removed->value);
    EXPECT_TRUE(*removed->value);
    EXPECT_EQ(h.model->statusMessage(), "Disk access helper removed.");

    AppModelHarness refused;
    refused.registrar->currentStatus = HelperInstallStatus::installed;
    refused.registrar->unregisterError = ErrorObject{"VantrelService", 1, "refused", std::nullopt};
    auto kept = test::spawnRecorded(refused.model->tasks(), refused.model->uninstallHelper());
    refused.executor->runUntilIdle();
    ASSERT_TRUE(kept->value);
    EXPECT_FALSE(*kept->value);
    ASSERT_TRUE(refused.model->errorMessage());
    EXPECT_EQ(*refused.model->errorMessage(), "Could not remove the helper (refused). You can also disable it with: systemctl "
                                              "disable --now io.tessik.vantrel.helper.socket");
    EXPECT_EQ(refused.model->helperStatus(), HelperInstallStatus::installed);
}

} // namespace
} // namespace vantrel
