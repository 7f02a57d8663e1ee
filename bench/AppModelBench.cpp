// The application model taking in a scan's hits: 1,000,000 hits delivered one main-thread step each,
// as the helper's callbacks arrive, under the default query and under sorted and filtered ones; then
// changes of order and status filter over the full list, and the model's heap bytes per hit.
//
// Usage: AppModelBench [hit count]

#include "Vantrel/async/ManualExecutor.h"
#include "Vantrel/model/AppModel.h"

#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

std::size_t heapInUse() {
    return mallinfo2().uordblks;
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

AppEffects benchEffects(std::shared_ptr<ManualExecutor> executor) {
    AppEffects effects;
    effects.executor = std::move(executor);
    effects.clock = std::make_shared<SystemClock>();
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

void printIntake(const char* title, const IntakeFigures& figures) {
    std::printf("%-40s %9.0f hits/s (%9.0f per CPU second)   longest step %7.3f ms   displayed %zu   heap %.0f bytes/hit\n",
                title, figures.hitsPerSecond, figures.hitsPerCpuSecond, figures.longestStepMs, figures.displayed, figures.bytesPerHit);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10)) : 1'000'000;
    std::printf("AppModelBench: %zu hits\n", count);

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

    // Query changes over the full list, from the last intake's model.
    model->setResultsQuery(ResultsQuery{});
    double longest = 0;
    for (const auto sort : ResultsSortName::allCases()) {
        const auto start = Steady::now();
        const double cpuStart = cpuSeconds();
        model->setResultsSort(sort);
        const double elapsed = secondsSince(start);
        longest = std::max(longest, elapsed);
        std::printf("  sort %-22s %7.3f s (%.3f CPU s)   first row %s\n", std::string(ResultsSortName::rawValue(sort)).c_str(), elapsed,
                    cpuSeconds() - cpuStart,
                    model->displayedCount() ? model->displayedHit(0).suggestedName.c_str() : "-");
    }
    for (const auto filter : {ResultsIntegrityFilter::suspect, ResultsIntegrityFilter::pending, ResultsIntegrityFilter::all}) {
        const auto start = Steady::now();
        const double cpuStart = cpuSeconds();
        model->setResultsIntegrityFilter(filter);
        const double elapsed = secondsSince(start);
        longest = std::max(longest, elapsed);
        std::printf("  filter %-20s %7.3f s (%.3f CPU s)   %zu rows\n", std::string(ResultsIntegrityFilterName::rawValue(filter)).c_str(),
                    elapsed, cpuSeconds() - cpuStart,
                    model->displayedCount());
    }
    std::printf("longest query change over %zu hits: %.3f s\n", count, longest);
    return 0;
}
