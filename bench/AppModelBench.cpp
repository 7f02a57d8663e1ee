// The application model taking in a scan's hits: 1,000,000 hits delivered one main-thread step each,
// as the helper's callbacks arrive, under the default query and under sorted and filtered ones; then
// changes of order and status filter over the full list (each beside a plain sort of as many words,
// run just before it), and the model's heap bytes per hit. Last, the end of a scan of that many hits
// taken in as the helper's callbacks: the step that ends it, and the longest step after it while the
// quality pass starts (with a checker and without one).
//
// Usage: AppModelBench [hit count] [end]   ("end": only the scan's end)

#include "Vantrel/async/ManualExecutor.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/IntegrityChecker.h"

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

namespace {

using namespace vantrel;
using Steady = std::chrono::steady_clock;

double secondsSince(Steady::time_point start) {
    return std::chrono::duration<double>(Steady::now() - start).count();
}

// Processor time of this process: the figures stay comparable while other work shares the machine.
double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// What malloc has handed out, in its arenas and in blocks mapped of their own (large arrays).
std::size_t heapInUse() {
    const auto info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Processor time of the calling thread: a step's own work, apart from the time other work took the processor.
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A hit as a scan of a camera card reports them: mostly JPEGs with generated or kept names, some raws
// and videos, a tenth with reused clusters (suspect), a third with a capture date.
RecoveredHit makeHit(std::mt19937_64& random, std::size_t index) {
    static const RecoveredFileKind kinds[] = {RecoveredFileKind::jpeg, RecoveredFileKind::jpeg, RecoveredFileKind::jpeg,
                                              RecoveredFileKind::cr2,  RecoveredFileKind::nef,  RecoveredFileKind::mov,
                                              RecoveredFileKind::png,  RecoveredFileKind::pdf};
    RecoveredHit hit;
    hit.kind = kinds[random() % std::size(kinds)];
    hit.byteOffset = static_cast<std::uint64_t>(index) * 4096 * 3;
    hit.byteLength = 8192 + random() % (12 * 1024 * 1024);
    char name[48];
    if (random() % 2)
        std::snprintf(name, sizeof name, "recovered_%05zu.%s", index, hit.kind == RecoveredFileKind::jpeg ? "jpg" : "bin");
    else
        std::snprintf(name, sizeof name, "IMG_%04u.JPG", static_cast<unsigned>(random() % 10000));
    hit.suggestedName = name;
    if (FileKind::isImage(hit.kind)) hit.dimensions = ImageDimensions{4000 + static_cast<std::int64_t>(random() % 2000), 3000};
    hit.source = random() % 3 ? HitSource::signatureCarve : HitSource::fatUndelete;
    hit.integrity = random() % 10 ? HitIntegrity::pending : HitIntegrity::suspect;
    if (random() % 3 == 0)
        hit.captureDate = std::chrono::system_clock::from_time_t(1'600'000'000 + static_cast<std::time_t>(random() % 100'000'000));
    return hit;
}

struct IntakeFigures {
    double hitsPerSecond = 0;
    double hitsPerCpuSecond = 0;
    double longestStepMs = 0;
    std::size_t displayed = 0;
    double bytesPerHit = 0;
};

// The model needs a helper to hold its callback receiver; this one is never reached.
class NoHelper : public HelperClient {
public:
    void ping(StringReply, Failure failed) override { failed(unreachable()); }
    void probeDeviceWithPath(const std::string&, LengthReply, Failure failed) override { failed(unreachable()); }
    void checkRawDiskAccessWithPath(const std::string&, AccessReply, Failure failed) override { failed(unreachable()); }
    void startScanWithPath(const std::string&, std::int64_t, std::int64_t, std::int64_t, const std::vector<std::string>&,
                           const std::string&, ErrorReply, Failure failed) override {
        failed(unreachable());
    }
    void cancelScan() override {}
    void extractHitWithPath(const std::string&, std::int64_t, std::int64_t, const std::string&, UniqueFd, const std::string&,
                            std::int64_t, std::int64_t, const std::string&, std::int64_t, std::int64_t, ErrorReply,
                            Failure failed) override {
        failed(unreachable());
    }
    void copyDeviceWithSourcePath(const std::string&, const std::string&, UniqueFd, ErrorReply, Failure failed) override {
        failed(unreachable());
    }
    void remountDisksWithBsdNames(const std::vector<std::string>&, ErrorReply, Failure failed) override { failed(unreachable()); }
    void quitForRelaunch(EmptyReply, Failure failed) override { failed(unreachable()); }
    void identifyDeviceWithPath(const std::string&, IdentityReply, Failure failed) override { failed(unreachable()); }
    void setCallbackReceiver(std::shared_ptr<VantrelHelperClient>) override {}
    void invalidate() override {}

private:
    static ErrorObject unreachable() { return {"VantrelBench", 1, "no helper in this benchmark", std::nullopt}; }
};

AppEffects benchEffects(std::shared_ptr<ManualExecutor> executor) {
    AppEffects effects;
    effects.executor = std::move(executor);
    effects.clock = std::make_shared<SystemClock>();
    effects.helper = std::make_shared<NoHelper>();
    return effects;
}

// Each hit is one posted job, as the connection hands each callback to the main thread.
IntakeFigures intake(std::size_t count, const ResultsQuery& query, std::unique_ptr<AppModel>& keep) {
    auto executor = std::make_shared<ManualExecutor>();
    const std::size_t heapBefore = heapInUse();
    auto model = std::make_unique<AppModel>(benchEffects(executor));
    model->setResultsQuery(query);
    std::mt19937_64 random(42);
    double longest = 0;
    const auto start = Steady::now();
    const double cpuStart = cpuSeconds();
    for (std::size_t i = 0; i < count; ++i) {
        // The hit is made outside the measured step: the helper's reader thread builds it.
        RecoveredHit hit = makeHit(random, i);
        executor->post([&model, &longest, hit = std::move(hit)]() mutable {
            const auto step = Steady::now();
            model->appendHit(std::move(hit));
            longest = std::max(longest, secondsSince(step));
        });
        executor->runReady();
    }
    const double elapsed = secondsSince(start);
    IntakeFigures figures;
    figures.hitsPerSecond = static_cast<double>(count) / elapsed;
    figures.hitsPerCpuSecond = static_cast<double>(count) / (cpuSeconds() - cpuStart);
    figures.longestStepMs = longest * 1000;
    figures.displayed = model->displayedCount();
    figures.bytesPerHit = static_cast<double>(heapInUse() - heapBefore) / static_cast<double>(count);
    keep = std::move(model);
    return figures;
}

// A checker that is never reached: the pass stops at its first probe, which this helper cannot fetch.
class NoChecker : public IntegrityChecker {
public:
    IntegrityVerdict check(RecoveredFileKind, const std::string&, bool) override { return {HitIntegrity::suspect, std::nullopt}; }
};

struct ScanEndFigures {
    double endStepMs = 0;
    double longestAfterMs = 0;
    std::size_t queued = 0;
    double bytesPerHit = 0;  // the model's heap after the intake, per hit
    std::size_t steps = 0;
    double endStepCpuMs = 0;
    double longestAfterCpuMs = 0;  // of the step that took longest
    std::size_t longestAt = 0;     // which step after the end it was, from 1
};

// Hits taken in as the helper's callbacks, then the scan's end as one step, then what it posted.
ScanEndFigures scanEnd(std::size_t count, bool withChecker) {
    auto executor = std::make_shared<ManualExecutor>();
    const std::size_t heapBefore = heapInUse();
    AppModel model(benchEffects(executor));
    if (withChecker) model.setIntegrityChecker(std::make_shared<NoChecker>());
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i < count; ++i) model.handleHelperHit(makeHit(random, i));
    ScanEndFigures figures;
    figures.bytesPerHit = static_cast<double>(heapInUse() - heapBefore) / static_cast<double>(std::max<std::size_t>(1, count));
    auto start = Steady::now();
    double cpuStart = threadCpuSeconds();
    model.finishScan(std::nullopt, ScanMode::standard);
    figures.endStepMs = secondsSince(start) * 1000;
    figures.endStepCpuMs = (threadCpuSeconds() - cpuStart) * 1000;
    for (;;) {
        start = Steady::now();
        cpuStart = threadCpuSeconds();
        if (!executor->runOne()) break;
        ++figures.steps;
        const double ms = secondsSince(start) * 1000;
        if (ms > figures.longestAfterMs) {
            figures.longestAfterMs = ms;
            figures.longestAfterCpuMs = (threadCpuSeconds() - cpuStart) * 1000;
            figures.longestAt = figures.steps;
        }
    }
    figures.queued = model.plainState().pendingIntegrityIDs.size();
    return figures;
}

void printIntake(const char* title, const IntakeFigures& figures) {
    std::printf("%-40s %9.0f hits/s (%9.0f per CPU second)   longest step %7.3f ms   displayed %zu   heap %.0f bytes/hit\n",
                title, figures.hitsPerSecond, figures.hitsPerCpuSecond, figures.longestStepMs, figures.displayed, figures.bytesPerHit);
}

void intakeAndQueries(std::size_t count) {
    std::unique_ptr<AppModel> model;
    printIntake("default query", intake(count, ResultsQuery{}, model));
    model.reset();
    printIntake("pending only, by size (largest first)",
                intake(count, {ResultsIntegrityFilter::pending, std::nullopt, std::nullopt, ResultsSort::sizeDescending}, model));
    model.reset();
    printIntake("pending only, by name",
                intake(count, {ResultsIntegrityFilter::pending, std::nullopt, std::nullopt, ResultsSort::name}, model));
    model.reset();
    const auto since = std::chrono::system_clock::from_time_t(1'650'000'000);
    printIntake("captured since a day, by capture date",
                intake(count, {ResultsIntegrityFilter::all, since, std::nullopt, ResultsSort::captureDateDescending}, model));

    // Query changes over the full list, from the last intake's model: every order, then status filters
    // under the slowest order (by name) and under arrival order. Each change is one main-thread step; a
    // baseline (a plain sort of as many 64-bit words) runs before each, so the figures can be read as
    // ratios when the machine is busy.
    model->setResultsQuery(ResultsQuery{});
    double longest = 0;
    std::mt19937_64 words(7);
    auto baseline = [&] {
        std::vector<std::uint64_t> keys(count);
        for (auto& key : keys) key = words();
        const auto start = Steady::now();
        std::sort(keys.begin(), keys.end());
        return secondsSince(start);
    };
    auto timed = [&](const char* what, const std::string& name, const std::function<void()>& change) {
        const double base = baseline();
        const auto start = Steady::now();
        const double cpuStart = cpuSeconds();
        change();
        const double elapsed = secondsSince(start);
        longest = std::max(longest, elapsed);
        std::printf("  %-6s %-22s %7.3f s (%.3f CPU s, %.2f of a plain sort's %.3f s)   %zu rows, first %s\n", what, name.c_str(), elapsed,
                    cpuSeconds() - cpuStart, base > 0 ? elapsed / base : 0.0, base, model->displayedCount(),
                    model->displayedCount() ? model->displayedHit(0).suggestedName.c_str() : "-");
    };
    for (const auto sort : ResultsSortName::allCases())
        timed("sort", std::string(ResultsSortName::rawValue(sort)), [&] { model->setResultsSort(sort); });
    for (const auto sort : {ResultsSort::name, ResultsSort::discovery}) {
        model->setResultsSort(sort);
        for (const auto filter : {ResultsIntegrityFilter::suspect, ResultsIntegrityFilter::pending, ResultsIntegrityFilter::all})
            timed("filter", std::string(ResultsIntegrityFilterName::rawValue(filter)) + " by " + std::string(ResultsSortName::rawValue(sort)),
                  [&] { model->setResultsIntegrityFilter(filter); });
    }
    std::printf("longest query change over %zu hits: %.3f s\n", count, longest);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10)) : 1'000'000;
    std::printf("AppModelBench: %zu hits\n", count);
    if (!(argc > 2 && std::string(argv[2]) == "end")) intakeAndQueries(count);
    for (const bool withChecker : {false, true}) {
        const auto end = scanEnd(count, withChecker);
        std::printf("scan's end over %zu hits, %-15s step %8.3f ms (%.3f CPU)   longest of the %zu steps after it %8.3f ms (%.3f CPU, "
                    "step %zu)   %zu waiting   heap %.0f bytes/hit taken in as the helper's\n",
                    count, withChecker ? "with a checker" : "without checker", end.endStepMs, end.endStepCpuMs, end.steps,
                    end.longestAfterMs, end.longestAfterCpuMs, end.longestAt, end.queued, end.bytesPerHit);
    }
    return 0;
}
