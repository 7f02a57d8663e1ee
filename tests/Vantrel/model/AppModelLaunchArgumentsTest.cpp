// The launch arguments that maintain the helper and quit, the variables that stand for the quit
// arguments, and the first-run prompt, in virtual time against a fake helper and registration.

#include "AppModelHarness.h"

#include "support/VantrelHelperProtocol.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using test::AppModelHarness;

const std::string program = "/usr/bin/Vantrel";

// Sets an environment variable for one test and removes it afterwards.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : m_name(name) { ::setenv(name, value, 1); }
    ~ScopedVariable() { ::unsetenv(m_name); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* m_name;
};

AppModelHarness installedHarness() {
    AppModelHarness h;
    h.registrar->currentStatus = HelperInstallStatus::installed;
    h.model->refreshHelperStatus();
    return h;
}

TEST(AppModelLaunchArguments, RebindWithQuitReRegistersReachesTheHelperAndQuits) {
    auto h = installedHarness();
    answerPings(*h.helper);
    h.model->handleLaunchArguments({program, "--quit-after-rebind", "--rebind-helper"});
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->removals, 1);
    EXPECT_EQ(h.registrar->registrations, 1);
    EXPECT_EQ(h.executor->elapsed(), 800ms) << "the pause between removal and registration";
    EXPECT_EQ(h.shell->quitRequests, 1);
    EXPECT_EQ(h.model->terminationStatus(), 0);
    EXPECT_FALSE(h.settings->contains("didPromptDiskAccessSetup")) << "no first-run prompt with a maintenance request";
}

TEST(AppModelLaunchArguments, RebindAndUninstallTogetherOnlyRebind) {
    auto h = installedHarness();
    answerPings(*h.helper);
    h.model->handleLaunchArguments({program, "--uninstall-helper", "--rebind-helper", "--quit-after-uninstall"});
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->registrations, 1);
    EXPECT_EQ(h.registrar->currentStatus, HelperInstallStatus::installed);
    EXPECT_EQ(h.shell->quitRequests, 0) << "the uninstall's quit argument does not apply to a rebind";
}

TEST(AppModelLaunchArguments, RebindWithQuitOfAHelperThatDoesNotAnswerQuitsWithAFailureStatus) {
    auto h = installedHarness();
    h.model->handleLaunchArguments({program, "--rebind-helper", "--quit-after-rebind"});
    h.executor->runUntilIdle();
    const auto selectors = h.helper->calledSelectors();
    EXPECT_EQ(std::count(selectors.begin(), selectors.end(), std::string(HelperProtocolSelector::ping)), 4);
    EXPECT_EQ(h.executor->elapsed(), 800ms + 4 * 4s + 3 * 400ms);
    EXPECT_EQ(h.shell->quitRequests, 1);
    EXPECT_NE(h.model->terminationStatus(), 0);
}

TEST(AppModelLaunchArguments, RebindWithQuitWhileTheServiceNeedsApprovalStaysOpenWithTheSheet) {
    auto h = installedHarness();
    h.registrar->statusAfterRegister = HelperInstallStatus::requiresApproval;
    h.model->handleLaunchArguments({program, "--rebind-helper", "--quit-after-rebind"});
    h.executor->runUntilIdle();
    EXPECT_EQ(h.shell->quitRequests, 0);
    EXPECT_TRUE(h.model->showHelperSheet());
    EXPECT_TRUE(h.helper->calledSelectors().empty());
}

TEST(AppModelLaunchArguments, UninstallWithQuitExitsWithAFailureStatusOnlyWhenTheRemovalFailed) {
    auto removed = installedHarness();
    removed.model->handleLaunchArguments({program, "--uninstall-helper", "--quit-after-uninstall"});
    removed.executor->runUntilIdle();
    EXPECT_EQ(removed.shell->quitRequests, 1);
    EXPECT_EQ(removed.model->terminationStatus(), 0);

    auto refused = installedHarness();
    refused.registrar->unregisterError = ErrorObject{"VantrelService", 126, "dismissed", std::nullopt};
    refused.model->handleLaunchArguments({program, "--uninstall-helper", "--quit-after-uninstall"});
    refused.executor->runUntilIdle();
    EXPECT_EQ(refused.shell->quitRequests, 1) << "a failed removal still quits";
    EXPECT_NE(refused.model->terminationStatus(), 0);
    EXPECT_TRUE(refused.model->errorMessage());
}

TEST(AppModelLaunchArguments, OnlyTheValueOneOfAQuitVariableCounts) {
    for (const char* value : {"true", "yes", "01", ""}) {
        ScopedVariable variable("VANTREL_QUIT_AFTER_UNINSTALL", value);
        auto h = installedHarness();
        h.model->handleLaunchArguments({program, "--uninstall-helper"});
        h.executor->runUntilIdle();
        EXPECT_EQ(h.registrar->removals, 1) << value;
        EXPECT_EQ(h.shell->quitRequests, 0) << value;
    }
    {
        ScopedVariable variable("VANTREL_QUIT_AFTER_UNINSTALL", "1");
        auto h = installedHarness();
        h.model->handleLaunchArguments({program, "--uninstall-helper"});
        h.executor->runUntilIdle();
        EXPECT_EQ(h.shell->quitRequests, 1);
    }
    {
        ScopedVariable variable("VANTREL_QUIT_AFTER_REBIND", "1");
        auto h = installedHarness();
        answerPings(*h.helper);
        h.model->handleLaunchArguments({program, "--rebind-helper"});
        h.executor->runUntilIdle();
        EXPECT_EQ(h.shell->quitRequests, 1);
    }
}

TEST(AppModelLaunchArguments, AQuitArgumentWithoutItsRequestRunsTheFirstRunPromptInstead) {
    AppModelHarness h;  // not installed
    h.model->handleLaunchArguments({program, "--quit-after-rebind", "--quit-after-uninstall"});
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->registrations + h.registrar->removals, 0);
    EXPECT_EQ(h.shell->quitRequests, 0);
    EXPECT_TRUE(h.settings->boolValue("didPromptDiskAccessSetup"));
    EXPECT_TRUE(h.model->showHelperSheet());
}

TEST(AppModelLaunchArguments, TheFirstRunPromptIsOfferedOnceAndNotForAnInstalledHelper) {
    auto installed = installedHarness();
    installed.model->handleLaunchArguments({program});
    EXPECT_TRUE(installed.settings->boolValue("didPromptDiskAccessSetup"));
    EXPECT_FALSE(installed.model->showHelperSheet());

    // A later start, now without the service: the sheet is not offered again.
    AppModelHarness later;
    later.settings = installed.settings;
    later.model = std::make_unique<AppModel>(later.effects());
    later.model->handleLaunchArguments({program});
    EXPECT_FALSE(later.model->showHelperSheet());
}

// A first start whose own helper check finds a helper that works (one started beside the program, as
// root) has nothing to set up: the sheet is not offered.
TEST(AppModelLaunchArguments, TheFirstRunPromptWaitsForTheStartsCheckAndSkipsAWorkingHelper) {
    AppModelHarness h;  // no service installed
    answerPings(*h.helper);
    h.helper->helperRoute = HelperRoute::spawnedAsRoot;
    h.model->refreshHelperStatus();
    h.model->tasks().spawn(h.model->recheckHelperAndDiskAccess(false, false));
    h.model->handleLaunchArguments({program});
    h.executor->runUntilIdle();
    EXPECT_TRUE(h.settings->boolValue("didPromptDiskAccessSetup"));
    EXPECT_FALSE(h.model->showHelperSheet());
}

TEST(AppModelLaunchArguments, LaunchArgumentsAreHandledOncePerProgramStart) {
    auto h = installedHarness();
    answerPings(*h.helper);
    h.model->handleLaunchArguments({program, "--rebind-helper"});
    h.executor->runUntilIdle();
    // The window shown anew runs its launch action again.
    h.model->handleLaunchArguments({program, "--rebind-helper"});
    h.executor->runUntilIdle();
    EXPECT_EQ(h.registrar->registrations, 1);

    AppModelHarness fresh;  // not installed, first start
    fresh.model->handleLaunchArguments({program});
    fresh.model->setShowHelperSheet(false);
    fresh.settings->values.clear();
    fresh.model->handleLaunchArguments({program});
    EXPECT_FALSE(fresh.model->showHelperSheet());
}

} // namespace
} // namespace vantrel
