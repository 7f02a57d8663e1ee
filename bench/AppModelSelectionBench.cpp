// The hit list of the window with a large selection: a million hits in the model and its table (offscreen),
// every hit selected, or every other one, then changes of order and status filter. Each change is one
// main-thread step: the model's new list, the table's reset and its re-finding of every selected row. The
// same change on a model without the table runs just before it, so the table's own share can be read off.
// Then the table is painted once (the visible rows).
//
// Usage: AppModelSelectionBench [hit count] [rounds]

#include "Vantrel/async/ManualExecutor.h"
#include "Vantrel/helper/IpcHelperClient.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/views/HitTableModel.h"
#include "Vantrel/views/HitsColumnList.h"
#include "bench/BenchSupport.h"
#include "bench/TableHits.h"

#include <QApplication>
#include <QItemSelectionModel>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using namespace vantrel;
using Steady = std::chrono::steady_clock;

double msSince(Steady::time_point start) {
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// The table's hits, a tenth of them suspect and a third with a capture date, so that the status and date
// filters hide some.
RecoveredHit makeHit(std::mt19937_64& random, std::size_t index) {
    RecoveredHit hit = bench::tableHit(random, index);
    hit.integrity = random() % 10 ? HitIntegrity::pending : HitIntegrity::suspect;
    if (random() % 3 == 0)
        hit.captureDate = std::chrono::system_clock::from_time_t(1'600'000'000 + static_cast<std::time_t>(random() % 100'000'000));
    return hit;
}

struct Spread {
    std::vector<double> values;
    std::string text() const {
        if (values.empty()) return "-";
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted.size() % 2 ? sorted[sorted.size() / 2] : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
        char out[64];
        std::snprintf(out, sizeof out, "%.1f/%.1f/%.1f", sorted.front(), median, sorted.back());
        return out;
    }
};

struct Figures {
    Spread alone, withList;
};

AppEffects benchEffects() {
    AppEffects effects;
    effects.executor = std::make_shared<ManualExecutor>();
    effects.clock = std::make_shared<SystemClock>();
    // Never called here: the connection opens on the first call.
    effects.helper = std::make_shared<IpcHelperClient>(HelperConnectorOptions::standard());
    return effects;
}

std::unique_ptr<AppModel> filledModel(std::size_t count, unsigned seed) {
    auto model = std::make_unique<AppModel>(benchEffects());
    std::mt19937_64 random(seed);
    for (std::size_t i = 0; i < count; ++i) model->appendHit(makeHit(random, i));
    return model;
}

using ModelSelection = std::remove_cvref_t<decltype(std::declval<const AppModel&>().selectedHitIDs())>;

// Every hit, or every other one in arrival order, as the table hands a selection to the model.
template <typename Selection = ModelSelection>
Selection chosenOf(const AppModel& model, std::size_t every) {
    std::vector<Uuid> ids;
    ids.reserve(model.hits().size() / every + 1);
    std::size_t index = 0;
    for (const auto& hit : model.hits())
        if (index++ % every == 0) ids.push_back(hit.id);
    if constexpr (std::is_constructible_v<Selection, std::vector<Uuid>>)
        return Selection(std::move(ids));
    else
        return Selection(ids.begin(), ids.end());
}

using Change = std::function<void(AppModel&)>;

// The rows Qt's selection model should hold: the model's selection, or none where the list draws a
// selection of many runs from the model alone.
template <typename List>
std::size_t rowsHeldBy(const List& list, const AppModel& model) {
    if constexpr (requires { list.holdsModelSelection(); })
        return list.holdsModelSelection() ? model.selectedHitIDs().size() : 0;
    else
        return model.selectedHitIDs().size();
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::printf("AppModelSelectionBench: %zu hits, %d rounds, load %s\n", count, rounds, bench::loadAverage().c_str());

    const std::vector<std::pair<std::string, Change>> changes{
        {"sort by size", [](AppModel& m) { m.setResultsSort(ResultsSort::sizeDescending); }},
        {"sort by type", [](AppModel& m) { m.setResultsSort(ResultsSort::type); }},
        {"filter pending", [](AppModel& m) { m.setResultsIntegrityFilter(ResultsIntegrityFilter::pending); }},
        {"sort by capture date", [](AppModel& m) { m.setResultsSort(ResultsSort::captureDateDescending); }},
        {"filter all", [](AppModel& m) { m.setResultsIntegrityFilter(ResultsIntegrityFilter::all); }},
        {"sort in arrival order", [](AppModel& m) { m.setResultsSort(ResultsSort::discovery); }},
    };
    std::vector<std::string> order;
    std::map<std::string, Figures> figures;
    Spread selectAlone, selectWithList, paint, toggleRow, selectAllRows;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const std::size_t every : {std::size_t{1}, std::size_t{2}}) {
            const std::string who = every == 1 ? "all selected: " : "every other selected: ";
            auto alone = filledModel(count, 11 + static_cast<unsigned>(round));
            auto shown = filledModel(count, 11 + static_cast<unsigned>(round));
            HitsColumnList list(*shown);
            list.resize(1180, 640);
            list.show();
            QCoreApplication::processEvents();

            auto start = Steady::now();
            alone->setSelectedHitIDs(chosenOf(*alone, every));
            if (every == 1) selectAlone.values.push_back(msSince(start));
            start = Steady::now();
            shown->setSelectedHitIDs(chosenOf(*shown, every));
            if (every == 1) selectWithList.values.push_back(msSince(start));
            for (const auto& [what, change] : changes) {
                const std::string name = who + what;
                if (!figures.contains(name)) order.push_back(name);
                start = Steady::now();
                change(*alone);
                figures[name].alone.values.push_back(msSince(start));
                start = Steady::now();
                change(*shown);
                figures[name].withList.values.push_back(msSince(start));
                // Counted from the ranges: Qt's list of selected rows checks each row against every range.
                std::size_t viewRows = 0;
                for (const auto& range : list.selectionModel()->selection()) viewRows += static_cast<std::size_t>(range.height());
                if (viewRows != rowsHeldBy(list, *shown)) {
                    std::printf("  %s: the table holds %zu rows selected, the model %zu\n", name.c_str(), viewRows, shown->selectedHitIDs().size());
                    ++failures;
                }
            }
            start = Steady::now();
            list.repaint();
            paint.values.push_back(msSince(start));
            // Ctrl+Space on a row (it leaves the selection), then Select All (Ctrl+A) from the table.
            const std::size_t before = shown->selectedHitIDs().size();
            const bool wasSelected = shown->selectedHitIDs().contains(shown->displayedHit(3).id);
            start = Steady::now();
            list.selectionModel()->setCurrentIndex(list.model()->index(3, 0), QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
            toggleRow.values.push_back(msSince(start));
            if (shown->selectedHitIDs().size() != (wasSelected ? before - 1 : before + 1)) {
                std::printf("  %s: a row toggled leaves %zu selected\n", who.c_str(), shown->selectedHitIDs().size());
                ++failures;
            }
            start = Steady::now();
            list.selectAll();
            selectAllRows.values.push_back(msSince(start));
            if (shown->selectedHitIDs().size() != count) {
                std::printf("  %s: Select All selected %zu\n", who.c_str(), shown->selectedHitIDs().size());
                ++failures;
            }
        }
        std::fprintf(stderr, "round %d of %d done\n", round + 1, rounds);
    }
    std::printf("  %-44s %-22s %-22s\n", "step (ms: min/median/max)", "model alone", "model and table");
    std::printf("  %-44s %-22s %-22s\n", "select every hit", selectAlone.text().c_str(), selectWithList.text().c_str());
    for (const auto& name : order)
        std::printf("  %-44s %-22s %-22s\n", name.c_str(), figures[name].alone.text().c_str(), figures[name].withList.text().c_str());
    std::printf("  painting the table once: %s ms\n", paint.text().c_str());
    std::printf("  a row toggled in the table (Ctrl+Space): %s ms; Select All in the table: %s ms\n", toggleRow.text().c_str(),
                selectAllRows.text().c_str());
    std::printf("load after: %s\n", bench::loadAverage().c_str());
    return failures == 0 ? 0 : 1;
}
