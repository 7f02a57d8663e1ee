// The launch action on the offscreen platform: it runs once, when the window is first shown, in its
// order (the helper recheck is started before a launch argument is handled); the disk monitor stops
// when the window is hidden and starts again when it is shown anew; the launch line's four pieces.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/app/AppLaunch.h"
#include "Vantrel/views/AppDelegate.h"

#include "support/VantrelHelperProtocol.h"

#include <QCoreApplication>
#include <QWidget>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::AppModelHarness;

using test::WithApplication;

struct LaunchFixture : WithApplication {
    explicit LaunchFixture(std::vector<std::string> arguments = {}) {
        h.helper->setResponder(HelperProtocolSelector::ping, [this](test::FakeHelperClient::Call& call) {
            invalidationsAtPing.push_back(h.helper->invalidations());
            call.stringReply("pong");
            return true;
        });
        launch = new AppLaunch(*h.model, h.volumes, &delegate, std::move(arguments), &window);
    }
    void settle() {
        QCoreApplication::processEvents();
        h.executor->runUntilIdle();
    }

    AppModelHarness h;
    AppDelegate delegate;
    QWidget window;
    AppLaunch* launch = nullptr;
    std::vector<int> invalidationsAtPing;
};

TEST(AppLaunch, TheLaunchLineHasItsFourPieces) {
    EXPECT_EQ(AppLaunch::logLine(true, HelperInstallStatus::notInstalled),
              std::string("Vantrel launched logging=") + "true" + " compile=" + "false" + " helper=" + "notInstalled");
    EXPECT_EQ(AppLaunch::logLine(false, HelperInstallStatus::requiresApproval),
              "Vantrel launched logging=false compile=false helper=requiresApproval");
}

TEST(AppLaunch, RunsOnceWhenTheWindowFirstAppearsAndTheMonitorFollowsTheWindow) {
    LaunchFixture f;
    f.settle();
    EXPECT_FALSE(f.launch->launched()) << "nothing happens before the window appears";
    EXPECT_EQ(f.h.volumes->starts, 0);

    f.window.show();
    f.settle();
    EXPECT_TRUE(f.launch->launched());
    EXPECT_EQ(f.delegate.model(), f.h.model.get());
    EXPECT_EQ(f.h.volumes->starts, 1);
    EXPECT_EQ(f.h.model->volumeMonitor(), f.h.volumes);
    EXPECT_EQ(f.h.model->helperStatus(), HelperInstallStatus::notInstalled) << "the registration status was read";
    EXPECT_EQ(f.invalidationsAtPing.size(), 1u) << "the recheck asked the helper";
    EXPECT_EQ(f.h.model->helperRuntimeState(), AppModel::HelperRuntimeState::reachable);

    f.window.hide();
    f.settle();
    EXPECT_EQ(f.h.volumes->stops, 1) << "the window's disappearance stops the monitor";
    const int readsBefore = f.h.registrar->statusReads;
    f.window.show();
    f.settle();
    EXPECT_EQ(f.h.volumes->starts, 2) << "shown again, the monitor runs again";
    EXPECT_EQ(f.invalidationsAtPing.size(), 1u) << "but the launch action does not run again";
    EXPECT_EQ(f.h.registrar->statusReads, readsBefore);
}

TEST(AppLaunch, TheRecheckIsStartedBeforeAHelperMaintenanceArgumentIsHandled) {
    LaunchFixture f({"--uninstall-helper"});
    f.h.registrar->currentStatus = HelperInstallStatus::installed;
    f.window.show();
    f.settle();
    ASSERT_FALSE(f.invalidationsAtPing.empty());
    EXPECT_EQ(f.invalidationsAtPing.front(), 0) << "the recheck's ping came before the removal dropped the connection";
    EXPECT_EQ(f.h.registrar->removals, 1) << "the argument was handled";
}

} // namespace
} // namespace vantrel
