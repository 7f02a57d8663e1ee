// The application model taking in a scan's hits: 1,000,000 hits delivered one main-thread step each,
// as the helper's callbacks arrive, under the default query and under sorted and filtered ones; then
// changes of order and status filter over the full list (each beside a plain sort of as many words,
// run just before it), and the model's heap bytes per hit. Last, the end of a scan of that many hits
// taken in as the helper's callbacks: the step that ends it, and the longest step after it while the
// quality pass starts (with a checker and without one).
// "sorts": each order asked for over a fresh list of that many hits, first and again, some rounds of it:
// the step that asks, the longest main-thread step until the list shows the order, how long that took;
// then orders asked for one after the other before the first is shown, an order under a status filter
// and with every hit selected, the date filter's range, and the model's heap bytes per hit.
//
// Usage: AppModelBench [hit count] [end | sorts [rounds]]   ("end": only the scan's end)

#include "Vantrel/async/ManualExecutor.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/IntegrityChecker.h"
#include "bench/BenchSupport.h"

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

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

// The figures of one kind of change, gathered over the rounds.
struct Spread {
    std::vector<double> values;
    void add(double value) { values.push_back(value); }
    std::string text(const char* format) const {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        char out[96];
        if (sorted.empty()) return "-";
        const double median = sorted.size() % 2 ? sorted[sorted.size() / 2] : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
        char min[24], mid[24], max[24];
        std::snprintf(min, sizeof min, format, sorted.front());
        std::snprintf(mid, sizeof mid, format, median);
        std::snprintf(max, sizeof max, format, sorted.back());
        std::snprintf(out, sizeof out, "%s/%s/%s", min, mid, max);
        return out;
    }
};

struct ChangeFigures {
    Spread stepMs;     // the step that asked for the change
    Spread longestMs;  // the longest main-thread step from the request until the list shows it
    Spread shownMs;    // from the request until the list shows it
};

// The changes timed, gathered over the rounds in the order first timed.
struct ChangeLog {
    std::vector<std::string> order;
    std::map<std::string, ChangeFigures> figures;
    std::map<std::string, std::string> lastFirst;  // the first row once the change was shown

    void report() const {
        std::printf("  %-44s %-26s %-26s %-26s first row\n", "change (ms: min/median/max)", "asking step", "longest step", "until shown");
        for (const auto& what : order) {
            const auto& change = figures.at(what);
            std::printf("  %-44s %-26s %-26s %-26s %s\n", what.c_str(), change.stepMs.text("%.1f").c_str(),
                        change.longestMs.text("%.1f").c_str(), change.shownMs.text("%.1f").c_str(), lastFirst.at(what).c_str());
        }
    }
};

// Asks for a change of the list and runs the main thread's jobs until the list has been recomputed (a reset
// signal), timing each step; jobs that other threads post back are waited for.
class ChangeTimer {
public:
    ChangeTimer(AppModel& model, ManualExecutor& executor, ChangeLog& log) : m_model(model), m_executor(executor), m_log(log) {
        QObject::connect(&model, &AppModel::displayedHitsReset, [this] { ++m_resets; });
    }

    void time(const std::string& what, const std::function<void()>& change, int resetsToWait = 1) {
        const int before = m_resets;
        const auto start = Steady::now();
        change();
        const double step = secondsSince(start) * 1000;
        double longest = step;
        while (m_resets - before < resetsToWait) {
            const auto at = Steady::now();
            if (m_executor.runOne()) {
                longest = std::max(longest, secondsSince(at) * 1000);
            } else if (secondsSince(start) > 120) {
                std::printf("  %s: the list was not recomputed within two minutes\n", what.c_str());
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        if (!m_log.figures.contains(what)) m_log.order.push_back(what);
        auto& figures = m_log.figures[what];
        figures.stepMs.add(step);
        figures.longestMs.add(longest);
        figures.shownMs.add(secondsSince(start) * 1000);
        m_log.lastFirst[what] = m_model.displayedCount() ? m_model.displayedHit(0).suggestedName : "-";
    }

private:
    AppModel& m_model;
    ManualExecutor& m_executor;
    ChangeLog& m_log;
    int m_resets = 0;
};

// Every hit's identity as a selection, as the window hands it over (Select All).
template <typename Selection>
Selection selectionOfType(const AppModel& model) {
    std::vector<Uuid> ids;
    ids.reserve(model.hits().size());
    for (const auto& hit : model.hits()) ids.push_back(hit.id);
    if constexpr (std::is_constructible_v<Selection, std::vector<Uuid>>)
        return Selection(std::move(ids));
    else
        return Selection(ids.begin(), ids.end());
}

auto selectionOf(const AppModel& model) {
    return selectionOfType<std::remove_cvref_t<decltype(model.selectedHitIDs())>>(model);
}

void sortRounds(std::size_t count, int rounds) {
    // Every order once as the list's first of it, then every order again; name orders first, as they
    // are the ones that need the names' keys.
    std::vector<ResultsSort> sorts{ResultsSort::name, ResultsSort::nameDescending};
    for (const auto sort : ResultsSortName::allCases())
        if (sort != ResultsSort::discovery && !ResultsOrder::usesNameKeys(sort)) sorts.push_back(sort);
    sorts.push_back(ResultsSort::discovery);
    Spread heapDefault, heapSorted, rangeMs, selectMs;
    ChangeLog log;
    for (int round = 0; round < rounds; ++round) {
        auto executor = std::make_shared<ManualExecutor>();
        const std::size_t heapBefore = heapInUse();
        auto model = std::make_unique<AppModel>(benchEffects(executor));
        std::mt19937_64 random(42 + static_cast<unsigned>(round));
        for (std::size_t i = 0; i < count; ++i) model->appendHit(makeHit(random, i));
        heapDefault.add(static_cast<double>(heapInUse() - heapBefore) / static_cast<double>(count));
        ChangeTimer changes(*model, *executor, log);
        for (const char* pass : {"first", "again"})
            for (const auto sort : sorts)
                changes.time(std::string("sort ") + pass + " " + std::string(ResultsSortName::rawValue(sort)), [&] { model->setResultsSort(sort); });
        heapSorted.add(static_cast<double>(heapInUse() - heapBefore) / static_cast<double>(count));
        changes.time("filter pending by name descending", [&] { model->setResultsIntegrityFilter(ResultsIntegrityFilter::pending); });
        changes.time("filter suspect by name descending", [&] { model->setResultsIntegrityFilter(ResultsIntegrityFilter::suspect); });
        changes.time("sort size under the suspect filter", [&] { model->setResultsSort(ResultsSort::sizeDescending); });
        changes.time("filter all by size", [&] { model->setResultsIntegrityFilter(ResultsIntegrityFilter::all); });
        // The date filter's popover reads the range of the capture dates each time it is shown.
        auto start = Steady::now();
        const bool dated = model->hasCaptureDates();
        const auto from = model->captureDateRangeStart();
        const auto to = model->captureDateRangeEnd();
        rangeMs.add(secondsSince(start) * 1000);
        if (!dated || to < from) std::printf("  the capture dates' range is empty\n");
        changes.time("date filter from the first day, by size", [&] { model->setResultsCaptureDateFrom(from); });
        changes.time("date filter off, by size", [&] { model->setResultsCaptureDateFrom(std::nullopt); });
        // Every hit selected (Select All), then orders: the selection is kept through each.
        auto everything = selectionOf(*model);
        start = Steady::now();
        model->setSelectedHitIDs(std::move(everything));
        selectMs.add(secondsSince(start) * 1000);
        changes.time("all selected: sort type", [&] { model->setResultsSort(ResultsSort::type); });
        changes.time("all selected: sort name descending", [&] { model->setResultsSort(ResultsSort::nameDescending); });
        changes.time("all selected: filter pending", [&] { model->setResultsIntegrityFilter(ResultsIntegrityFilter::pending); });
        if (model->selectedHitIDs().size() != model->displayedCount()) std::printf("  the selection did not follow the filter\n");
        changes.time("all selected: date filter from the first day", [&] { model->setResultsCaptureDateFrom(from); });
        changes.time("all selected: filter suspect", [&] { model->setResultsIntegrityFilter(ResultsIntegrityFilter::suspect); });
        // Pending hits were selected: none of them is shown now.
        if (!model->selectedHitIDs().empty()) std::printf("  the selection did not follow the filter\n");
        changes.time("all selected: filters off", [&] {
            model->setResultsIntegrityFilter(ResultsIntegrityFilter::all);
            model->setResultsCaptureDateFrom(std::nullopt);
        });
        changes.time("again: sort name", [&] { model->setResultsSort(ResultsSort::name); });
        changes.time("again: sort name descending", [&] { model->setResultsSort(ResultsSort::nameDescending); });
        model.reset();
        // A fresh list asked for one name order and then the other before the first is shown: it ends in
        // the second.
        model = std::make_unique<AppModel>(benchEffects(executor));
        for (std::size_t i = 0; i < count; ++i) model->appendHit(makeHit(random, i));
        ChangeTimer again(*model, *executor, log);
        again.time("first: name, then name descending at once", [&] {
            model->setResultsSort(ResultsSort::name);
            model->setResultsSort(ResultsSort::nameDescending);
        });
        if (model->displayedCount() && model->displayedHit(0).suggestedName < model->displayedHit(model->displayedCount() - 1).suggestedName)
            std::printf("  the list did not end in the last order asked for\n");
        std::fprintf(stderr, "round %d of %d done\n", round + 1, rounds);
    }
    std::printf("sorts over %zu hits, %d rounds (a fresh list each)\n", count, rounds);
    log.report();
    std::printf("  heap bytes/hit, default query: %s; after the sorts: %s\n", heapDefault.text("%.0f").c_str(), heapSorted.text("%.0f").c_str());
    std::printf("  capture dates' range (three passes): %s ms; selecting every hit %s ms\n", rangeMs.text("%.1f").c_str(),
                selectMs.text("%.1f").c_str());
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10)) : 1'000'000;
    std::printf("AppModelBench: %zu hits, load %s\n", count, bench::loadAverage().c_str());
    struct LoadAfter {
        ~LoadAfter() { std::printf("load after: %s\n", bench::loadAverage().c_str()); }
    } loadAfter;
    if (argc > 2 && std::string(argv[2]) == "sorts") {
        sortRounds(count, argc > 3 ? std::max(1, std::atoi(argv[3])) : 3);
        return 0;
    }
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
