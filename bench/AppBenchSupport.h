#pragma once
// What the application's benchmarks against the real helper share: a model on the Qt event loop whose
// helper is the built VantrelHelper, spawned beside the benchmark over a socket pair and allowed to
// read image files; running the loop until a condition holds while timing its longest stall.

#include "Vantrel/async/QtExecutor.h"
#include "Vantrel/helper/IpcHelperClient.h"
#include "Vantrel/model/AppModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <time.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace vantrel::bench {

struct RealHelperModel {
    std::shared_ptr<QtExecutor> executor = std::make_shared<QtExecutor>();
    std::shared_ptr<IpcHelperClient> helper;
    std::unique_ptr<AppModel> model;

    RealHelperModel() {
        HelperConnectorOptions options;
        options.socketPath = "";  // no service: always spawn
        // VANTREL_BENCH_HELPER names another build's helper, so that two builds can be measured in turn.
        const char* chosen = std::getenv("VANTREL_BENCH_HELPER");
        options.helperProgram = std::filesystem::path(chosen && *chosen ? chosen : VANTREL_HELPER_PATH);
        options.pkexecProgram = "/nonexistent/pkexec";
        options.applicationUid = ::getuid();
        helper = std::make_shared<IpcHelperClient>(options);
        // The helper is started and answering before anything is timed.
        std::promise<bool> answered;
        helper->ping([&](std::string) { answered.set_value(true); }, [&](ErrorObject) { answered.set_value(false); });
        if (!answered.get_future().get()) throw std::runtime_error("the helper " + options.helperProgram->string() + " did not answer");
        AppEffects effects;
        effects.executor = executor;
        effects.clock = std::make_shared<SystemClock>();
        effects.helper = helper;
        model = std::make_unique<AppModel>(effects);
    }
    ~RealHelperModel() {
        // The flows go before the executor they run on.
        model.reset();
    }
};

struct LoopRun {
    struct Stall {
        double endsAtSeconds = 0;  // CLOCK_MONOTONIC, as perf record -k CLOCK_MONOTONIC stamps its samples
        double ms = 0;
    };
    double seconds = 0;
    double longestStallMs = 0;  // the longest time the loop took to come back to a 1 ms timer
    std::vector<Stall> longStalls;  // those over longStallMs, in their order
    double loopCpuSeconds = 0;  // CPU time of the loop's own thread (the main thread) meanwhile
    bool finished = false;
};

// Runs the event loop from start() until done holds (looked at on every change of the model after
// start() returned), at most limitSeconds. A precise 1 ms timer measures how long the loop is kept
// from coming back.
inline constexpr double longStallMs = 20;

inline double monotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline LoopRun runLoopUntil(AppModel& model, const std::function<void()>& start, const std::function<bool()>& done,
                            double limitSeconds = 600) {
    LoopRun run;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double stall = static_cast<double>(now - lastTick) / 1e6 - 1.0;
        run.longestStallMs = std::max(run.longestStallMs, stall);
        if (stall > longStallMs) run.longStalls.push_back({monotonicSeconds(), stall});
        lastTick = now;
    });
    bool started = false;  // changes made by start() itself are not looked at
    const auto connection = QObject::connect(&model, &AppModel::fieldChanged, [&] {
        if (started && !run.finished && done()) {
            run.finished = true;
            QCoreApplication::quit();
        }
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::quit(); });
    limit.start(static_cast<int>(limitSeconds * 1000));
    const double cpuAtStart = threadCpuSeconds();
    clock.start();
    ticker.start();
    QTimer::singleShot(0, [&] {
        lastTick = clock.nsecsElapsed();
        start();
        started = true;
    });
    QCoreApplication::exec();
    run.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    run.loopCpuSeconds = threadCpuSeconds() - cpuAtStart;
    QObject::disconnect(connection);
    return run;
}

} // namespace vantrel::bench
