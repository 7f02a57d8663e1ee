// The application's task runtime on the manual executor: order, waits, races, decisions and what
// happens to tasks whose owner is gone.

#include "TaskTesting.h"

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/async/DecisionWait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using test::spawnRecorded;
using test::TaskHarness;

using Log = std::shared_ptr<std::vector<std::string>>;

Task<void> logAfter(Log log, std::string name, std::chrono::nanoseconds wait) {
    log->push_back(name + " start");
    co_await sleepFor(wait);
    log->push_back(name + " end");
}

Task<int> answer(int value) {
    co_return value;
}

Task<int> failing(std::string message) {
    throw std::runtime_error(message);
    co_return 0;
}

Task<int> sumOfChildren() {
    const int first = co_await answer(20);
    const int second = co_await answer(22);
    co_return first + second;
}

Task<int> sleepThen(int value, std::chrono::nanoseconds wait) {
    co_await sleepFor(wait);
    co_return value;
}

// Sets the flag when the frame that holds it is destroyed.
struct SetsOnDestruction {
    std::shared_ptr<bool> flag;
    ~SetsOnDestruction() { *flag = true; }
};

using Resumers = std::shared_ptr<std::vector<CallbackResumer<std::string>>>;

// Waits for a callback whose resumer the test keeps; records the frame's end.
Task<std::string> awaitKeptCallback(Resumers keep, std::shared_ptr<bool> frameGone) {
    SetsOnDestruction guard{frameGone};
    auto start = [keep](CallbackResumer<std::string> resume) { keep->push_back(resume); };
    auto text = co_await fromCallback<std::string>(start);
    co_return text;
}

Task<std::string> awaitDroppedCallback() {
    auto dropAnswer = [](CallbackResumer<std::string>) {};
    auto text = co_await fromCallback<std::string>(dropAnswer);
    co_return text;
}

Task<std::string> awaitThrowingStart() {
    auto refuse = [](CallbackResumer<std::string>) { throw std::runtime_error("no connection"); };
    auto text = co_await fromCallback<std::string>(refuse);
    co_return text;
}

// The worker answers once `go` is released, so the test decides when the answer is queued.
Task<std::string> awaitAnswerFromThread(std::shared_ptr<std::thread> worker, std::shared_future<void> go) {
    auto start = [worker, go](CallbackResumer<std::string> resume) {
        *worker = std::thread([resume, go] {
            go.wait();
            resume("pong");
        });
    };
    auto text = co_await fromCallback<std::string>(start);
    co_return text;
}

Task<void> awaitVoidCallback(std::shared_ptr<std::vector<CallbackResumer<void>>> keep) {
    auto start = [keep](CallbackResumer<void> resume) { keep->push_back(resume); };
    co_await fromCallback<void>(start);
}

Task<std::string> raceKeptCallback(Resumers keep, std::shared_ptr<bool> frameGone, std::chrono::nanoseconds limit) {
    auto text = co_await withTimeout(awaitKeptCallback(keep, frameGone), limit);
    co_return text;
}

Task<std::string> raceWithOwnError(Resumers keep, std::shared_ptr<bool> frameGone) {
    auto helperSilent = [] { return std::make_exception_ptr(std::runtime_error("Helper did not respond.")); };
    auto text = co_await withTimeout(awaitKeptCallback(keep, frameGone), 2s, helperSilent);
    co_return text;
}

enum class Decision { save, discard, cancel };

Task<Decision> awaitDecision(DecisionWait<Decision>* slot) {
    auto decision = co_await slot->wait();
    co_return decision;
}

// The resumers of the callbacks the tasks wait for, and whether the waiting frame is gone.
class TaskRuntime : public ::testing::Test {
protected:
    Resumers keep = std::make_shared<std::vector<CallbackResumer<std::string>>>();
    std::shared_ptr<bool> gone = std::make_shared<bool>(false);
};

TEST_F(TaskRuntime, SpawningPostsTheFirstStepAndNeverRunsItInline) {
    TaskHarness harness;
    auto log = std::make_shared<std::vector<std::string>>();
    harness.scope->spawn(logAfter(log, "a", 0s));
    EXPECT_TRUE(log->empty());
    EXPECT_EQ(harness.scope->activeCount(), 1u);
    harness.executor->runReady();
    EXPECT_EQ(*log, (std::vector<std::string>{"a start"}));
    harness.executor->runUntilIdle();
    EXPECT_EQ(*log, (std::vector<std::string>{"a start", "a end"}));
    EXPECT_EQ(harness.scope->activeCount(), 0u);
}

TEST_F(TaskRuntime, TasksInterleaveByVirtualTimeAndStartOrder) {
    TaskHarness harness;
    auto log = std::make_shared<std::vector<std::string>>();
    harness.scope->spawn(logAfter(log, "slow", 5s));
    harness.scope->spawn(logAfter(log, "fast", 2s));
    harness.scope->spawn(logAfter(log, "tied", 2s));
    harness.executor->advanceBy(1999ms);
    EXPECT_EQ(log->size(), 3u);
    harness.executor->advanceBy(1ms);
    harness.executor->runUntilIdle();
    EXPECT_EQ(*log, (std::vector<std::string>{"slow start", "fast start", "tied start", "fast end", "tied end", "slow end"}));
    EXPECT_EQ(harness.executor->elapsed(), 5s);
}

TEST_F(TaskRuntime, AwaitedTasksGiveTheirValueOrTheirFailure) {
    TaskHarness harness;
    auto sum = spawnRecorded(*harness.scope, sumOfChildren());
    auto failure = spawnRecorded(*harness.scope, failing("broken"));
    harness.executor->runUntilIdle();
    EXPECT_EQ(sum->value, 42);
    EXPECT_FALSE(failure->value);
    EXPECT_EQ(test::exceptionText(failure->error), "broken");
}

TEST_F(TaskRuntime, AnUnhandledFailureGoesToTheScopeAndOtherTasksGoOn) {
    TaskHarness harness;
    std::vector<std::string> failures;
    harness.scope->setFailureHandler([&](std::exception_ptr error) { failures.push_back(test::exceptionText(error)); });
    auto log = std::make_shared<std::vector<std::string>>();
    harness.scope->spawn([]() -> Task<void> {
        co_await sleepFor(1s);
        throw std::runtime_error("flow failed");
    }());
    harness.scope->spawn(logAfter(log, "other", 2s));
    harness.executor->runUntilIdle();
    EXPECT_EQ(failures, (std::vector<std::string>{"flow failed"}));
    EXPECT_EQ(log->back(), "other end");
}

TEST_F(TaskRuntime, ACallbackFromAnotherThreadResumesOnTheExecutor) {
    TaskHarness harness;
    auto worker = std::make_shared<std::thread>();
    std::promise<void> go;
    auto outcome = spawnRecorded(*harness.scope, awaitAnswerFromThread(worker, go.get_future().share()));
    harness.executor->runReady();
    ASSERT_TRUE(worker->joinable());
    go.set_value();
    worker->join();
    // The answer is queued on the executor, not delivered on the worker thread.
    EXPECT_FALSE(outcome->finished());
    harness.executor->runReady();
    EXPECT_EQ(outcome->value, "pong");
}

TEST_F(TaskRuntime, TheFirstOutcomeOfACallbackWins) {
    TaskHarness harness;
    auto outcome = spawnRecorded(*harness.scope, awaitKeptCallback(keep, gone));
    harness.executor->runReady();
    ASSERT_EQ(keep->size(), 1u);
    const auto resume = keep->front();
    EXPECT_TRUE(resume("first"));
    EXPECT_FALSE(resume("second"));
    EXPECT_FALSE(resume.fail(std::runtime_error("late error")));
    harness.executor->runUntilIdle();
    EXPECT_EQ(outcome->value, "first");

    auto voids = std::make_shared<std::vector<CallbackResumer<void>>>();
    auto finished = spawnRecorded(*harness.scope, awaitVoidCallback(voids));
    harness.executor->runReady();
    ASSERT_EQ(voids->size(), 1u);
    EXPECT_TRUE(voids->front()());
    harness.executor->runReady();
    EXPECT_EQ(finished->value, true);
}

TEST_F(TaskRuntime, ACallbackThatIsDroppedOrCannotStartFailsTheWait) {
    TaskHarness harness;
    auto dropped = spawnRecorded(*harness.scope, awaitDroppedCallback());
    auto refused = spawnRecorded(*harness.scope, awaitThrowingStart());
    harness.executor->runUntilIdle();
    EXPECT_NE(dynamic_cast<const CallbackDropped*>([&]() -> const std::exception* {
                  try {
                      std::rethrow_exception(dropped->error);
                  } catch (const std::exception& error) {
                      return &error;
                  }
              }()),
              nullptr);
    EXPECT_EQ(test::exceptionText(refused->error), "no connection");
}

TEST_F(TaskRuntime, AReplyAfterTheScopeIsGoneResumesNothing) {
    auto harness = std::make_unique<TaskHarness>();
    auto outcome = spawnRecorded(*harness->scope, awaitKeptCallback(keep, gone));
    harness->executor->runReady();
    ASSERT_EQ(keep->size(), 1u);

    harness->scope.reset();
    EXPECT_TRUE(*gone);  // the suspended frame was destroyed with the scope
    EXPECT_FALSE(keep->front()("too late"));
    EXPECT_EQ(harness->executor->runUntilIdle(), 0u);
    EXPECT_FALSE(outcome->finished());
}

TEST_F(TaskRuntime, AReplyQueuedBeforeTheScopeWentResumesNothing) {
    auto harness = std::make_unique<TaskHarness>();
    auto outcome = spawnRecorded(*harness->scope, awaitKeptCallback(keep, gone));
    harness->executor->runReady();
    EXPECT_TRUE(keep->front()("queued"));  // the resumption is posted, not yet run
    harness->scope.reset();
    harness->executor->runUntilIdle();
    EXPECT_TRUE(*gone);
    EXPECT_FALSE(outcome->finished());
}

TEST_F(TaskRuntime, TasksNotYetStartedAreDestroyedWithTheScope) {
    auto harness = std::make_unique<TaskHarness>();
    auto log = std::make_shared<std::vector<std::string>>();
    harness->scope->spawn(logAfter(log, "never", 0s));
    harness->scope.reset();
    harness->executor->runUntilIdle();
    EXPECT_TRUE(log->empty());
}

TEST_F(TaskRuntime, SleepWaitsForTheVirtualClock) {
    TaskHarness harness;
    auto outcome = spawnRecorded(*harness.scope, sleepThen(7, 180s));
    harness.executor->advanceBy(179s);
    EXPECT_FALSE(outcome->finished());
    harness.executor->advanceBy(1s);
    EXPECT_EQ(outcome->value, 7);
    EXPECT_EQ(harness.executor->pendingTimerCount(), 0u);
}

TEST_F(TaskRuntime, ASleepingTaskDestroyedWithItsScopeLeavesNoTimer) {
    auto harness = std::make_unique<TaskHarness>();
    auto outcome = spawnRecorded(*harness->scope, sleepThen(1, 2s));
    harness->executor->runReady();
    EXPECT_EQ(harness->executor->pendingTimerCount(), 1u);
    harness->scope.reset();
    EXPECT_EQ(harness->executor->pendingTimerCount(), 0u);
}

TEST_F(TaskRuntime, TimeoutGivesTheReplyWhenItComesFirst) {
    TaskHarness harness;
    auto outcome = spawnRecorded(*harness.scope, raceKeptCallback(keep, gone, 2s));
    harness.executor->advanceBy(1s);
    ASSERT_EQ(keep->size(), 1u);
    EXPECT_TRUE(keep->front()("pong"));
    harness.executor->runReady();
    EXPECT_EQ(outcome->value, "pong");
    EXPECT_TRUE(*gone);
    EXPECT_EQ(harness.executor->pendingTimerCount(), 0u);
}

TEST_F(TaskRuntime, TimeoutWinsOverALateReplyAndEndsTheWork) {
    TaskHarness harness;
    auto outcome = spawnRecorded(*harness.scope, raceKeptCallback(keep, gone, 2s));
    harness.executor->advanceBy(2s);
    EXPECT_TRUE(outcome->finished());
    EXPECT_NE(test::exceptionText(outcome->error), "");
    EXPECT_TRUE(*gone);  // the work's frame is destroyed where it stood
    ASSERT_EQ(keep->size(), 1u);
    EXPECT_FALSE(keep->front()("late pong"));
    harness.executor->runUntilIdle();
    EXPECT_FALSE(outcome->value);
}

TEST_F(TaskRuntime, TimeoutRaisesTheErrorTheCallerGives) {
    TaskHarness harness;
    auto outcome = spawnRecorded(*harness.scope, raceWithOwnError(keep, gone));
    harness.executor->runUntilIdle();
    EXPECT_EQ(test::exceptionText(outcome->error), "Helper did not respond.");
}

TEST_F(TaskRuntime, AReplyAtTheSameInstantAsTheLimitIsDecidedOnce) {
    TaskHarness harness;
    auto outcome = spawnRecorded(*harness.scope, raceKeptCallback(keep, gone, 2s));
    harness.executor->runReady();
    // The reply's timer is started after the limit's, so at 2 s the limit fires first and wins.
    harness.executor->startTimer(2s, [keep = keep] { keep->front()("pong at the limit"); });
    harness.executor->runUntilIdle();
    EXPECT_TRUE(outcome->error);
    EXPECT_FALSE(outcome->value);
}

TEST_F(TaskRuntime, TimeoutOfWorkThatFailsGivesItsFailure) {
    TaskHarness harness;
    auto outcome = spawnRecorded(*harness.scope, []() -> Task<int> {
        auto value = co_await withTimeout(failing("refused"), 2s);
        co_return value;
    }());
    harness.executor->runUntilIdle();
    EXPECT_EQ(test::exceptionText(outcome->error), "refused");
    EXPECT_EQ(harness.executor->pendingTimerCount(), 0u);
}

TEST_F(TaskRuntime, ARaceDestroyedWithItsScopeDisconnectsBothSides) {
    auto harness = std::make_unique<TaskHarness>();
    auto outcome = spawnRecorded(*harness->scope, raceKeptCallback(keep, gone, 2s));
    harness->executor->runReady();
    harness->scope.reset();
    EXPECT_TRUE(*gone);
    EXPECT_EQ(harness->executor->pendingTimerCount(), 0u);
    EXPECT_FALSE(keep->front()("late"));
    harness->executor->runUntilIdle();
    EXPECT_FALSE(outcome->finished());
}

TEST(DecisionWait, TheAnswerResumesTheOneWaiter) {
    TaskHarness harness;
    DecisionWait<Decision> slot(Decision::cancel);
    EXPECT_FALSE(slot.resolve(Decision::save));  // nobody waits
    auto outcome = spawnRecorded(*harness.scope, awaitDecision(&slot));
    harness.executor->runReady();
    EXPECT_TRUE(slot.isPending());
    EXPECT_TRUE(slot.resolve(Decision::discard));
    EXPECT_FALSE(slot.isPending());
    EXPECT_FALSE(outcome->finished());  // resumed on the executor, not inside resolve
    harness.executor->runReady();
    EXPECT_EQ(outcome->value, Decision::discard);
    EXPECT_FALSE(slot.resolve(Decision::save));
}

TEST(DecisionWait, ANewWaitCancelsTheOneItReplaces) {
    TaskHarness harness;
    DecisionWait<Decision> slot(Decision::cancel);
    auto first = spawnRecorded(*harness.scope, awaitDecision(&slot));
    harness.executor->runReady();
    auto second = spawnRecorded(*harness.scope, awaitDecision(&slot));
    harness.executor->runReady();
    EXPECT_EQ(first->value, Decision::cancel);
    EXPECT_FALSE(second->finished());
    slot.resolve(Decision::save);
    harness.executor->runReady();
    EXPECT_EQ(second->value, Decision::save);
}

TEST(DecisionWait, ASlotThatGoesAwayCancelsItsWaiter) {
    TaskHarness harness;
    auto slot = std::make_unique<DecisionWait<Decision>>(Decision::cancel);
    auto outcome = spawnRecorded(*harness.scope, awaitDecision(slot.get()));
    harness.executor->runReady();
    slot.reset();
    harness.executor->runReady();
    EXPECT_EQ(outcome->value, Decision::cancel);
}

TEST(DecisionWait, AWaiterDestroyedWithItsScopeIsForgotten) {
    auto harness = std::make_unique<TaskHarness>();
    DecisionWait<Decision> slot(Decision::cancel);
    auto outcome = spawnRecorded(*harness->scope, awaitDecision(&slot));
    harness->executor->runReady();
    harness->scope.reset();
    EXPECT_FALSE(slot.isPending());
    EXPECT_FALSE(slot.resolve(Decision::save));
    harness->executor->runUntilIdle();
    EXPECT_FALSE(outcome->finished());
}

TEST(ManualExecutor, CancelledTimersNeverRunAndTheClockOnlyMovesWhenAsked) {
    ManualExecutor executor;
    std::vector<int> fired;
    const auto first = executor.startTimer(1s, [&] { fired.push_back(1); });
    executor.startTimer(1s, [&] { fired.push_back(2); });
    executor.startTimer(0s, [&] { fired.push_back(0); });
    executor.cancelTimer(first);
    executor.cancelTimer(first);
    executor.cancelTimer(999);
    EXPECT_EQ(executor.runReady(), 0u);
    executor.runUntilIdle();
    EXPECT_EQ(fired, (std::vector<int>{0, 2}));
    EXPECT_EQ(executor.elapsed(), 1s);
}

TEST(ManualExecutor, AFlowThatNeverEndsIsReported) {
    ManualExecutor executor;
    std::function<void()> again = [&] { executor.post(again); };
    executor.post(again);
    EXPECT_THROW(executor.runUntilIdle(1000), std::logic_error);
}

} // namespace
} // namespace vantrel
