// The production executor on a real Qt event loop: order of posted jobs from several threads, timers,
// and a task that sleeps and waits for another thread's answer.

#include "TaskTesting.h"

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/async/QtExecutor.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "QtExecutorTest";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own statics go first at exit, and the application must outlive them.
    static QCoreApplication* instance = new QCoreApplication(argc, argv);
    return *instance;
}

// Ends the event loop when the job runs, or after a generous safety limit so a fault cannot hang CI.
void runLoopUntil(bool& done) {
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    safety.start(30s);
    while (!done && safety.isActive()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

Task<std::string> sleepThenAskAThread(std::shared_ptr<std::thread> worker) {
    co_await sleepFor(5ms);
    auto start = [worker](CallbackResumer<std::string> resume) { *worker = std::thread([resume] { resume("answer"); }); };
    auto text = co_await fromCallback<std::string>(start);
    co_return text;
}

TEST(QtExecutor, JobsFromEachThreadRunInTheirPostingOrderOnTheMainThread) {
    application();
    auto executor = std::make_shared<QtExecutor>();
    const auto mainThread = std::this_thread::get_id();
    std::vector<int> order;
    bool offMain = false;
    bool done = false;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i)
            executor->post([&, i] {
                offMain = offMain || std::this_thread::get_id() != mainThread;
                order.push_back(i);
            });
    });
    producer.join();
    executor->post([&] { done = true; });
    runLoopUntil(done);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(offMain);
}

TEST(QtExecutor, TimersFireOnceUnlessCancelled) {
    application();
    auto executor = std::make_shared<QtExecutor>();
    std::vector<std::string> fired;
    bool done = false;
    const auto cancelled = executor->startTimer(1ms, [&] { fired.push_back("cancelled"); });
    executor->startTimer(2ms, [&] { fired.push_back("kept"); });
    executor->startTimer(20ms, [&] { done = true; });
    executor->cancelTimer(cancelled);
    runLoopUntil(done);
    EXPECT_EQ(fired, (std::vector<std::string>{"kept"}));
}

TEST(QtExecutor, ATaskSleepsAndTakesAnotherThreadsAnswer) {
    application();
    auto executor = std::make_shared<QtExecutor>();
    TaskScope scope(executor);
    auto worker = std::make_shared<std::thread>();
    auto outcome = test::spawnRecorded(scope, sleepThenAskAThread(worker));
    bool done = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] { done = outcome->finished(); });
    poll.start(1ms);
    runLoopUntil(done);
    if (worker->joinable()) worker->join();
    EXPECT_EQ(outcome->value, "answer");
}

} // namespace
} // namespace vantrel
