#include "platform/process/ProcessRunner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace vantrel {
namespace {

using Outcome = ProcessResult::Outcome;
using std::chrono::milliseconds;

// Test tools, each at its merged-/usr path (Debian 12).
const std::vector<std::filesystem::path> testTools = {"/usr/bin/echo", "/usr/bin/sleep", "/usr/bin/yes", "/usr/bin/false",
                                                      "/usr/bin/sh"};

ProcessRequest request(const std::string& program, std::vector<std::string> arguments, milliseconds limit = milliseconds(5000),
                       std::size_t cap = 4096) {
    return {program, std::move(arguments), limit, cap, {}};
}

TEST(ProcessRunner, CapturesOutputAndPassesArgumentsLiterally) {
    const ProcessRunner runner(testTools);
    // No shell: the separator and the substitution reach the program as text.
    const auto result = runner.run(request("/usr/bin/echo", {"a; rm -rf x", "$(id)"}));
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(result.standardOutput, "a; rm -rf x $(id)\n");

    const auto failed = runner.run(request("/usr/bin/false", {}));
    EXPECT_EQ(failed.outcome, Outcome::exited);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_FALSE(failed.succeeded());
}

TEST(ProcessRunner, KillsAChildAtItsTimeLimit) {
    const ProcessRunner runner(testTools);
    const auto started = std::chrono::steady_clock::now();
    const auto result = runner.run(request("/usr/bin/sleep", {"30"}, milliseconds(200)));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.outcome, Outcome::timedOut);
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(ProcessRunner, KillsTheWholeGroupWhenAGrandchildHoldsTheOutput) {
    const ProcessRunner runner(testTools);
    // The shell exits at once, its background sleep keeps standard output open.
    const auto started = std::chrono::steady_clock::now();
    const auto result = runner.run(request("/usr/bin/sh", {"-c", "sleep 30 & echo started"}, milliseconds(300)));
    EXPECT_EQ(result.outcome, Outcome::timedOut);
    EXPECT_EQ(result.standardOutput, "started\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(ProcessRunner, StopsAtTheOutputCap) {
    const ProcessRunner runner(testTools);
    const auto result = runner.run(request("/usr/bin/yes", {}, milliseconds(5000), 1000));
    EXPECT_EQ(result.outcome, Outcome::outputTooLarge);
    EXPECT_EQ(result.standardOutput.size(), 1000u);
    EXPECT_EQ(result.standardOutput.substr(0, 4), "y\ny\n");
}

TEST(ProcessRunner, KeepsStandardErrorApartAndBoundedOnlyWhenAsked) {
    const ProcessRunner runner(testTools);
    const std::string script = "echo out; echo 'Failed: no such unit' >&2; exit 3";
    const auto discarded = runner.run(request("/usr/bin/sh", {"-c", script}));
    EXPECT_EQ(discarded.exitCode, 3);
    EXPECT_EQ(discarded.standardOutput, "out\n");
    EXPECT_EQ(discarded.standardError, "");

    auto asking = request("/usr/bin/sh", {"-c", script});
    asking.maxErrorBytes = 100;
    const auto kept = runner.run(asking);
    EXPECT_EQ(kept.outcome, Outcome::exited);
    EXPECT_EQ(kept.exitCode, 3);
    EXPECT_EQ(kept.standardOutput, "out\n");
    EXPECT_EQ(kept.standardError, "Failed: no such unit\n");

    // A long explanation is cut at the cap, and the tool runs to its end (it is not stopped for it,
    // nor left blocked on a full pipe).
    auto chatty = request("/usr/bin/sh", {"-c", "yes error | head -c 300000 >&2; echo done"});
    chatty.maxErrorBytes = 1000;
    const auto cut = runner.run(chatty);
    EXPECT_TRUE(cut.succeeded());
    EXPECT_EQ(cut.standardOutput, "done\n");
    EXPECT_EQ(cut.standardError.size(), 1000u);
    EXPECT_EQ(cut.standardError.substr(0, 12), "error\nerror\n");

    // Standard output's cap still ends the child, whatever standard error does.
    auto flooding = request("/usr/bin/yes", {}, milliseconds(5000), 1000);
    flooding.maxErrorBytes = 100;
    EXPECT_EQ(runner.run(flooding).outcome, Outcome::outputTooLarge);
}

TEST(ProcessRunner, RunsOnlyListedAbsolutePrograms) {
    const ProcessRunner runner(testTools);
    for (const auto* program : {"echo", "/usr/bin/id", "/usr/bin/../bin/echo", ""}) {
        const auto result = runner.run(request(program, {"x"}));
        EXPECT_EQ(result.outcome, Outcome::notStarted) << program;
        EXPECT_EQ(result.errorNumber, EACCES) << program;
    }
    // Listed but missing.
    const ProcessRunner missing({"/usr/bin/vantrel-no-such-tool"});
    EXPECT_EQ(missing.run(request("/usr/bin/vantrel-no-such-tool", {})).outcome, Outcome::notStarted);
    // The system list holds the disk tools only.
    const ProcessRunner system;
    EXPECT_EQ(system.run(request("/usr/bin/echo", {"x"})).outcome, Outcome::notStarted);
}

TEST(ProcessRunner, ChildSeesAMinimalEnvironmentAndNoInput) {
    const ProcessRunner runner(testTools);
    ::setenv("VANTREL_TEST_SECRET", "leak", 1);
    const auto result = runner.run(request("/usr/bin/sh", {"-c", "echo \"[$VANTREL_TEST_SECRET][$LC_ALL]\"; cat; echo end"}));
    ::unsetenv("VANTREL_TEST_SECRET");
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(result.standardOutput, "[][C]\nend\n");
}

TEST(ProcessRunner, PassesTheGivenDescriptorsAsThreeFourAndNoOthers) {
    const ProcessRunner runner(testTools);
    // Two pipes whose read ends cross over (the first passed has the higher number), and a third
    // descriptor left open without close-on-exec, which must not reach the child.
    int first[2], second[2];
    ASSERT_EQ(::pipe(first), 0);
    ASSERT_EQ(::pipe(second), 0);
    ASSERT_EQ(::write(first[1], "one", 3), 3);
    ASSERT_EQ(::write(second[1], "two", 3), 3);
    ::close(first[1]);
    ::close(second[1]);
    const int stray = ::fcntl(STDIN_FILENO, F_DUPFD, 10);
    auto passing = request("/usr/bin/sh", {"-c", "cat <&3; cat <&4; [ -e /proc/self/fd/" + std::to_string(stray) + " ] && echo leak; echo"});
    passing.passedDescriptors = {second[0], first[0]};
    const auto result = runner.run(passing);
    ::close(first[0]);
    ::close(second[0]);
    ::close(stray);
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(result.standardOutput, "twoone\n");
}

} // namespace
} // namespace vantrel
