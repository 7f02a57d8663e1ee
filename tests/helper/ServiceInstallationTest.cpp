// Installing and removing the helper's service against stand-ins for systemctl and groupadd: the
// group is made only where it is missing and the user is told, a tool's refusal comes back in its
// own words, and removing never touches the group.

#include "VantrelHelper/ServiceInstallation.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

// A script that records its arguments in calls.log, writes NAME.error to standard error and exits
// with the status in NAME.exit (0 without one).
std::filesystem::path writeTool(const test::TempDir& dir, const std::string& name) {
    const auto folder = dir.path().string();
    const std::string script = "#!/bin/sh\n"
                               "echo \"" + name + " $*\" >> " + folder + "/calls.log\n"
                               "cat " + folder + "/" + name + ".error >&2 2>/dev/null\n"
                               "exit $(cat " + folder + "/" + name + ".exit 2>/dev/null || echo 0)\n";
    test::writeFile(dir / name, Bytes(script.begin(), script.end()));
    std::filesystem::permissions(dir / name, std::filesystem::perms::owner_all);
    return dir / name;
}

void put(const test::TempDir& dir, const std::string& name, const std::string& text) {
    test::writeFile(dir / name, Bytes(text.begin(), text.end()));
}

std::string calls(const test::TempDir& dir) {
    std::error_code missing;
    if (!std::filesystem::exists(dir / "calls.log", missing)) return {};
    const auto bytes = test::readFile(dir / "calls.log");
    return std::string(bytes.begin(), bytes.end());
}

ServiceInstallationOptions options(const test::TempDir& dir, const std::string& group) {
    auto result = ServiceInstallationOptions::standard();
    result.systemctl = {dir / "absent-systemctl", writeTool(dir, "systemctl")};
    result.groupadd = {writeTool(dir, "groupadd")};
    result.group = group;
    return result;
}

TEST(ServiceInstallation, MakesTheGroupOnlyWhereItIsMissingAndSaysSo) {
    struct Case {
        std::string group;
        std::string expectedCalls;
        std::string expectedSaid;
    };
    const std::string unit = "io.tessik.vantrel.helper.socket";
    const Case cases[] = {
        {"vantrel-test-no-such-group", "groupadd --system vantrel-test-no-such-group\nsystemctl enable --now " + unit + "\n",
         "Created the group vantrel-test-no-such-group.\n"},
        {"root", "systemctl enable --now " + unit + "\n", ""},
    };
    for (const auto& entry : cases) {
        test::TempDir dir;
        const auto outcome = installService(options(dir, entry.group));
        EXPECT_TRUE(outcome.succeeded) << outcome.said;
        EXPECT_EQ(outcome.said, entry.expectedSaid);
        EXPECT_EQ(calls(dir), entry.expectedCalls);
    }
}

TEST(ServiceInstallation, AToolsRefusalIsTheFailureInItsOwnWords) {
    test::TempDir dir;
    const auto settings = options(dir, "vantrel-test-no-such-group");
    put(dir, "groupadd.exit", "10");
    put(dir, "groupadd.error", "groupadd: cannot lock /etc/group; try again later.\n");
    auto outcome = installService(settings);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.said, "Could not create the group vantrel-test-no-such-group: groupadd: cannot lock /etc/group; try "
                            "again later.");
    // The socket is not enabled without its group.
    EXPECT_EQ(calls(dir).find("systemctl"), std::string::npos);

    std::filesystem::remove(dir / "groupadd.exit");
    put(dir, "systemctl.exit", "1");
    outcome = installService(settings);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.said, "Created the group vantrel-test-no-such-group.\nsystemctl exited with status 1 without saying why.");

    std::filesystem::remove(dir / "calls.log");
    put(dir, "systemctl.error", "Failed to disable unit: Access denied\n");
    outcome = removeService(settings);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.said, "Failed to disable unit: Access denied");
    EXPECT_EQ(calls(dir), "systemctl disable --now io.tessik.vantrel.helper.socket\n");
}

} // namespace
} // namespace vantrel
