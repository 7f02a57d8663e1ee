// The results table fed by a scan: 100,000 hits taken in by the model and reaching the table through
// its row signals, in frames of hits as they arrive between two paints, with the window's results
// pane drawn after each frame. Reports the time per frame (take-in plus paint) under the default
// query and under a sorted one, then a quality pass changing every hit's status under a status
// filter, with a selection that must survive all of it.
//
// Usage: AppModelTableBench [hit count] [hits per frame]

#include "Vantrel/async/ManualExecutor.h"
#include "Vantrel/helper/IpcHelperClient.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/views/HitTableModel.h"
#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/ResultsPane.h"
#include "bench/TableHits.h"

#include <QApplication>
#include <QItemSelectionModel>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vantrel;
using Steady = std::chrono::steady_clock;

using bench::tableHit;

struct FrameTimes {
    std::vector<double> ms;
    void report(const char* title, std::size_t hits) const {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        double total = 0;
        for (double t : ms) total += t;
        const auto at = [&](double q) { return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))]; };
        std::printf("%-34s %7zu hits %5zu frames  total %8.1f ms  %9.0f hits/s  frame median %6.2f  p95 %6.2f  max %6.2f ms\n", title,
                    hits, ms.size(), total, static_cast<double>(hits) / (total / 1000.0), at(0.5), at(0.95), sorted.back());
    }
};

// One frame: the hits arrive (one model step each), then the pane is laid out and painted.
double frame(ResultsPane& pane, const std::function<void()>& work) {
    const auto start = Steady::now();
    work();
    QCoreApplication::processEvents();
    pane.repaint();
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
    const std::size_t perFrame = argc > 2 ? std::max<std::size_t>(1, std::strtoull(argv[2], nullptr, 10)) : 500;

    int failures = 0;
    for (const ResultsSort sort : {ResultsSort::discovery, ResultsSort::sizeDescending}) {
        AppEffects effects;
        effects.executor = std::make_shared<ManualExecutor>();
        effects.clock = std::make_shared<SystemClock>();
        // Never called here: the connection opens on the first call.
        effects.helper = std::make_shared<IpcHelperClient>(HelperConnectorOptions::standard());
        AppModel model(effects);
        model.setResultsSort(sort);
        ResultsPane pane(model);
        pane.resize(1180, 640);
        pane.show();
        QCoreApplication::processEvents();

        std::mt19937_64 random(7);
        FrameTimes intake;
        std::size_t made = 0;
        std::optional<Uuid> chosen;
        while (made < count) {
            intake.ms.push_back(frame(pane, [&] {
                for (std::size_t i = 0; i < perFrame && made < count; ++i) model.appendHit(tableHit(random, made++));
            }));
            if (!chosen && made >= perFrame) {
                pane.list()->selectRow(3);
                chosen = pane.list()->hitModel()->hitAt(3).id;
            }
        }
        intake.report(sort == ResultsSort::discovery ? "intake, discovery order" : "intake, sorted by size", count);

        // The quality pass: every hit checked, under a filter that shows the ok ones.
        model.setResultsIntegrityFilter(ResultsIntegrityFilter::ok);
        FrameTimes checks;
        std::size_t checked = 0;
        std::vector<RecoveredHit> all(model.hits().begin(), model.hits().end());
        while (checked < all.size()) {
            checks.ms.push_back(frame(pane, [&] {
                for (std::size_t i = 0; i < perFrame && checked < all.size(); ++i) {
                    RecoveredHit hit = all[checked++];
                    hit.integrity = checked % 5 ? HitIntegrity::ok : HitIntegrity::failed;
                    model.updateHit(hit);
                }
            }));
        }
        checks.report("quality pass, status filter ok", all.size());

        const auto rows = pane.list()->hitModel()->rowCount();
        const bool mirrored = static_cast<std::size_t>(rows) == model.displayedCount();
        const bool kept = chosen && model.selectedHitIDs() == std::set<Uuid>{*chosen};
        std::printf("  rows %d of %zu hits, mirror %s, selection %s\n", rows, model.hits().size(), mirrored ? "equal" : "DIFFERS",
                    kept ? "kept" : "LOST");
        failures += !mirrored + !kept;
    }
    return failures == 0 ? 0 : 1;
}
