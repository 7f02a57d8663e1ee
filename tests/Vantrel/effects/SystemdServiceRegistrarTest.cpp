// The helper service's registration against stand-ins for systemctl, the helper and pkexec: the
// unit's states read as install statuses, installing and removing through the helper, as root
// directly and through pkexec, a group the helper had to make, a refused change reported as the
// failure it is, and a machine without systemd.

#include "Vantrel/effects/SystemdServiceRegistrar.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <future>

namespace vantrel {
namespace {

// A script that records its arguments in calls.log, prints state.txt, writes error.txt to standard
// error and exits with exit.txt.
std::filesystem::path writeTool(const test::TempDir& dir, const std::string& name) {
    const auto path = dir / name;
    const auto folder = dir.path().string();
    const std::string script = "#!/bin/sh\n"
                               "echo \"" + name + " $*\" >> " + folder + "/calls.log\n"
                               "cat " + folder + "/state.txt 2>/dev/null\n"
                               "cat " + folder + "/error.txt >&2 2>/dev/null\n"
                               "exit $(cat " + folder + "/exit.txt 2>/dev/null || echo 0)\n";
    test::writeFile(path, Bytes(script.begin(), script.end()));
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

void put(const test::TempDir& dir, const std::string& name, const std::string& text) {
    test::writeFile(dir / name, Bytes(text.begin(), text.end()));
}

std::string calls(const test::TempDir& dir) {
    const auto bytes = test::readFile(dir / "calls.log");
    return std::string(bytes.begin(), bytes.end());
}

SystemdServiceOptions options(const test::TempDir& dir, uid_t uid) {
    SystemdServiceOptions result;
    result.systemctl = writeTool(dir, "systemctl");
    result.pkexec = writeTool(dir, "pkexec");
    result.helper = writeTool(dir, "VantrelHelper");
    result.systemdRuntime = dir.path();
    result.unit = "io.tessik.vantrel.helper.socket";
    result.socketPath = (dir / "no.sock").string();
    result.uid = uid;
    return result;
}

std::optional<ErrorObject> await(const std::function<void(ServiceRegistrar::Completion)>& start) {
    std::promise<std::optional<ErrorObject>> outcome;
    start([&](std::optional<ErrorObject> error) { outcome.set_value(std::move(error)); });
    return outcome.get_future().get();
}

TEST(SystemdServiceRegistrar, ReadsTheUnitsStateAsAnInstallStatus) {
    EXPECT_EQ(installStatusFromUnitState("not-found\n"), HelperInstallStatus::notInstalled);
    EXPECT_EQ(installStatusFromUnitState(""), HelperInstallStatus::notInstalled);
    EXPECT_EQ(installStatusFromUnitState("enabled\n"), HelperInstallStatus::installed);
    EXPECT_EQ(installStatusFromUnitState("disabled\n"), HelperInstallStatus::requiresApproval);
    EXPECT_EQ(installStatusFromUnitState("masked"), HelperInstallStatus::requiresApproval);

    test::TempDir dir;
    SystemdServiceRegistrar registrar(options(dir, 0));
    put(dir, "state.txt", "disabled\n");
    put(dir, "exit.txt", "1");
    EXPECT_EQ(registrar.status(), HelperInstallStatus::requiresApproval);
    put(dir, "state.txt", "enabled\n");
    put(dir, "exit.txt", "0");
    EXPECT_EQ(registrar.status(), HelperInstallStatus::installed);
    EXPECT_NE(calls(dir).find("systemctl is-enabled io.tessik.vantrel.helper.socket"), std::string::npos);
}

TEST(SystemdServiceRegistrar, WithoutSystemdTheServiceIsNotInstalled) {
    test::TempDir dir;
    auto settings = options(dir, 0);
    settings.systemdRuntime = dir / "absent";
    SystemdServiceRegistrar registrar(settings);
    put(dir, "state.txt", "enabled\n");
    EXPECT_EQ(registrar.status(), HelperInstallStatus::notInstalled);
}

TEST(SystemdServiceRegistrar, InstallsThroughTheHelperAsRootDirectlyAndAsAUserThroughPkexec) {
    test::TempDir dir;
    SystemdServiceRegistrar asRoot(options(dir, 0));
    EXPECT_FALSE(await([&](auto done) { asRoot.registerService(done); }));
    EXPECT_FALSE(asRoot.lastRegistrationMadeGroup());
    SystemdServiceRegistrar asUser(options(dir, 1000));
    EXPECT_FALSE(await([&](auto done) { asUser.unregisterService(done); }));
    // pkexec runs the helper, whose polkit action names the program; never systemctl itself.
    put(dir, "state.txt", "Created the group vantrel.\n");
    EXPECT_FALSE(await([&](auto done) { asUser.registerService(done); }));
    EXPECT_TRUE(asUser.lastRegistrationMadeGroup());
    const auto helper = (dir / "VantrelHelper").string();
    EXPECT_EQ(calls(dir), "VantrelHelper --install-service\npkexec " + helper + " --remove-service\npkexec " + helper +
                              " --install-service\n");
}

TEST(SystemdServiceRegistrar, AChangeThatFailsSaysWhyInTheToolsOwnWords) {
    test::TempDir dir;
    SystemdServiceRegistrar registrar(options(dir, 1000));
    // systemctl's refusal, through pkexec, which passes its status on.
    put(dir, "error.txt", "Failed to enable unit: Unit file io.tessik.vantrel.helper.socket does not exist.\n");
    put(dir, "exit.txt", "1");
    auto error = await([&](auto done) { registrar.registerService(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 1);
    EXPECT_EQ(error->message, "Failed to enable unit: Unit file io.tessik.vantrel.helper.socket does not exist.");

    // pkexec refusing, in two lines with a colour: one readable text, nothing raw.
    put(dir, "error.txt", "\x1b[1mError executing command as another user: Not authorized\x1b[0m\n\nThis incident has been reported.\n");
    put(dir, "exit.txt", "127");
    error = await([&](auto done) { registrar.unregisterService(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "Error executing command as another user: Not authorized. This incident has been reported.");

    // No words: which tool failed, and how.
    std::filesystem::remove(dir / "error.txt");
    put(dir, "exit.txt", "126");  // pkexec: the administrator dismissed the prompt
    error = await([&](auto done) { registrar.registerService(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 126);
    EXPECT_EQ(error->message, "pkexec exited with status 126 without saying why.");
    put(dir, "exit.txt", "4");
    error = await([&](auto done) { registrar.registerService(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "VantrelHelper exited with status 4 without saying why.");

    // A tool that never finishes, and one that is not there.
    auto slow = options(dir, 0);
    slow.helper = dir / "slow-helper";
    put(dir, "slow-helper", "#!/bin/sh\necho 'Waiting for the job' >&2\nsleep 30\n");
    std::filesystem::permissions(slow.helper, std::filesystem::perms::owner_all);
    slow.changeTimeLimit = std::chrono::milliseconds(1500);
    error = await([&](auto done) { SystemdServiceRegistrar(slow).registerService(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "VantrelHelper did not finish within 2 seconds: Waiting for the job");
    auto missing = options(dir, 1000);
    missing.pkexec = dir / "no-pkexec";
    error = await([&](auto done) { SystemdServiceRegistrar(missing).registerService(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, (dir / "no-pkexec").string() + " is not installed.");
}

} // namespace
} // namespace vantrel
