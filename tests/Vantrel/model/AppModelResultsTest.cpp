// The displayed results follow the hits under every query: after any sequence of appends, updates,
// removals and query changes they equal the whole-list query of the hits, and the row signals,
// replayed onto a plain list, give the same list.

#include "AppModelHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <thread>

namespace vantrel {
namespace {

using test::AppModelHarness;
using test::makeHit;

// A plain list kept equal to the displayed hits by the row signals alone.
struct RowMirror {
    std::vector<RecoveredHit> rows;
    int resets = 0;
    int inserts = 0;
    int changes = 0;
    int moves = 0;
    int removals = 0;

    explicit RowMirror(AppModel& model) {
        rows = model.displayedHits();
        QObject::connect(&model, &AppModel::displayedHitsReset, [this, &model] {
            ++resets;
            rows = model.displayedHits();
        });
        QObject::connect(&model, &AppModel::displayedHitsInserted, [this, &model](int row) {
            ++inserts;
            rows.insert(rows.begin() + row, model.displayedHit(static_cast<std::size_t>(row)));
        });
        QObject::connect(&model, &AppModel::displayedHitChanged, [this, &model](int row) {
            ++changes;
            rows.at(static_cast<std::size_t>(row)) = model.displayedHit(static_cast<std::size_t>(row));
        });
        QObject::connect(&model, &AppModel::displayedHitMoved, [this, &model](int from, int to) {
            ++moves;
            rows.erase(rows.begin() + from);
            rows.insert(rows.begin() + to, model.displayedHit(static_cast<std::size_t>(to)));
        });
        QObject::connect(&model, &AppModel::displayedHitsRemoved, [this](int row) {
            ++removals;
            rows.erase(rows.begin() + row);
        });
    }
};

std::vector<RecoveredHit> expectedDisplay(const AppModel& model) {
    const std::vector<RecoveredHit> hits(model.hits().begin(), model.hits().end());
    const auto& query = model.resultsQuery();
    return AppModel::filteredAndSortedHits(hits, query.integrityFilter, query.captureDateFrom, query.captureDateTo, query.sort);
}

class RandomResults {
public:
    explicit RandomResults(std::uint32_t seed) : m_random(seed) {}

    RecoveredHit hit() {
        static const std::vector<std::string> names{"IMG_0001.JPG", "img_0001.jpg", "beach.png", "Beach.png", "report.pdf",
                                                    "recovered_00010.jpg", "recovered_00002.jpg", "Ärger.doc", "zeta.mov"};
        static const std::vector<RecoveredFileKind> kinds{RecoveredFileKind::jpeg, RecoveredFileKind::cr2, RecoveredFileKind::crw,
                                                          RecoveredFileKind::png, RecoveredFileKind::pdf, RecoveredFileKind::mov};
        RecoveredHit hit = makeHit(pick(names), pick<std::uint64_t>({10, 20, 20, 4096, 8192}), pick(kinds), integrity());
        hit.byteOffset = pick<std::uint64_t>({0, 512, 512, 1024, 99});
        if (chance(2)) hit.dimensions = ImageDimensions{pick<std::int64_t>({0, 10, 20, 40}), pick<std::int64_t>({0, 10, 20})};
        if (chance(2)) hit.captureDate = date();
        return hit;
    }
    HitIntegrity integrity() {
        return pick<HitIntegrity>({HitIntegrity::pending, HitIntegrity::ok, HitIntegrity::suspect, HitIntegrity::failed,
                                   HitIntegrity::skipped});
    }
    HitDate date() {
        // Three days around a fixed moment, in whole hours, so several hits share a day or an instant.
        return std::chrono::system_clock::from_time_t(1'780'000'000) + std::chrono::hours(pick<int>({-30, -2, 0, 0, 5, 26}));
    }
    ResultsQuery query() {
        ResultsQuery query;
        query.sort = ResultsSortName::allCases()[index(12)];
        query.integrityFilter = chance(2) ? ResultsIntegrityFilter::all : ResultsIntegrityFilterName::allCases()[index(6)];
        if (chance(3)) query.captureDateFrom = date();
        if (chance(3)) query.captureDateTo = date();
        return query;
    }
    bool chance(int oneIn) { return index(static_cast<std::size_t>(oneIn)) == 0; }
    std::size_t index(std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(m_random); }
    template <typename T>
    T pick(const std::vector<T>& values) {
        return values[index(values.size())];
    }

private:
    std::mt19937 m_random;
};

TEST(AppModelResults, DisplayedHitsFollowEveryChangeUnderEveryQuery) {
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        AppModelHarness harness;
        AppModel& model = *harness.model;
        RowMirror mirror(model);
        RandomResults random(seed);
        for (int step = 0; step < 1500; ++step) {
            const std::size_t action = random.index(20);
            if (action < 9 || model.hits().empty()) {
                model.appendHit(random.hit());
            } else if (action < 14) {
                RecoveredHit changed = model.hits()[random.index(model.hits().size())];
                changed.integrity = random.integrity();
                if (random.chance(2)) changed.captureDate = random.chance(3) ? std::nullopt : std::optional(random.date());
                if (random.chance(3)) changed.byteLength = random.hit().byteLength;
                if (random.chance(4)) changed.suggestedName = random.hit().suggestedName;
                if (random.chance(4)) changed.dimensions = random.hit().dimensions;
                ASSERT_TRUE(model.updateHit(changed));
            } else if (action < 17) {
                const Uuid removed = model.hits()[random.index(model.hits().size())].id;
                ASSERT_TRUE(model.removeHit(removed));
                ASSERT_FALSE(model.hit(removed));
            } else if (action < 18) {
                model.setResultsQuery(random.query());
            } else if (action < 19) {
                // The order kept, the filters changed: the ordered list is only filtered again.
                auto query = random.query();
                query.sort = model.resultsQuery().sort;
                model.setResultsQuery(query);
            } else {
                const auto integrity = random.integrity();
                model.removeHitsIf([integrity](const RecoveredHit& hit) { return hit.integrity == integrity && hit.byteLength == 20; });
            }
            // Every hit is found by its identity where it sits, also after removals before it.
            if (!model.hits().empty()) {
                const auto& stored = model.hits()[random.index(model.hits().size())];
                ASSERT_EQ(model.hit(stored.id), &stored) << "step " << step;
            }
            const auto expected = expectedDisplay(model);
            ASSERT_EQ(model.displayedHits(), expected) << "step " << step;
            ASSERT_EQ(mirror.rows, expected) << "step " << step;
        }
        EXPECT_GT(mirror.inserts, 0);
        EXPECT_GT(mirror.moves, 0);
        EXPECT_GT(mirror.changes, 0);
        EXPECT_GT(mirror.removals, 0);
    }
}

TEST(AppModelResults, AHitArrivingUnderASortedQueryTakesItsPlaceWithOneRowSignal) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.setResultsSort(ResultsSort::sizeDescending);
    model.appendHit(makeHit("ten", 10));
    model.appendHit(makeHit("thirty", 30));
    RowMirror mirror(model);
    model.appendHit(makeHit("twenty", 20));
    model.appendHit(makeHit("ten again", 10));
    EXPECT_EQ(mirror.resets, 0);
    EXPECT_EQ(mirror.inserts, 2);
    std::vector<std::string> names;
    for (const auto& hit : mirror.rows) names.push_back(hit.suggestedName);
    EXPECT_EQ(names, (std::vector<std::string>{"thirty", "twenty", "ten", "ten again"}));
}

TEST(AppModelResults, AQualityResultMovesAHitIntoAFilteredList) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.setResultsQuery({ResultsIntegrityFilter::ok, std::nullopt, std::nullopt, ResultsSort::sizeAscending});
    model.appendHit(makeHit("big ok", 50, RecoveredFileKind::jpeg, HitIntegrity::ok));
    model.appendHit(makeHit("small pending", 5));
    model.appendHit(makeHit("small ok", 1, RecoveredFileKind::jpeg, HitIntegrity::ok));
    EXPECT_EQ(model.displayedCount(), 2u);
    RecoveredHit checked = model.hits()[1];
    checked.integrity = HitIntegrity::ok;
    model.updateHit(checked);
    ASSERT_EQ(model.displayedCount(), 3u);
    EXPECT_EQ(model.displayedHit(1).suggestedName, "small pending");
}

TEST(AppModelResults, DefaultQueryDropsARemovedHitWithoutARecomputation) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.appendHit(makeHit("a", 1));
    model.appendHit(makeHit("b", 1));
    model.appendHit(makeHit("c", 1));
    RowMirror mirror(model);
    model.removeHit(model.hits()[1].id);
    EXPECT_EQ(mirror.resets, 0);
    EXPECT_EQ(mirror.removals, 1);
    EXPECT_EQ(model.displayedCount(), 2u);
    EXPECT_EQ(model.displayedHit(1).suggestedName, "c");
    EXPECT_FALSE(model.removeHit(Uuid::random()));
}

TEST(AppModelResults, ASortKeepsTheSelectionAndAHitTheListStopsShowingLeavesIt) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.appendHit(makeHit("small", 1, RecoveredFileKind::jpeg, HitIntegrity::failed));
    model.appendHit(makeHit("large", 9));
    model.appendHit(makeHit("medium", 5));
    const Uuid small = model.hits()[0].id, large = model.hits()[1].id, medium = model.hits()[2].id;
    model.setSelectedHitIDs({small, large, medium});
    model.setResultsSort(ResultsSort::sizeDescending);
    EXPECT_EQ(model.displayedHit(0).suggestedName, "large");
    EXPECT_EQ(model.selectedHitIDs().size(), 3u) << "a sort hides nothing";

    // Hidden by the filter: no longer selected, so a recovery takes only what the list shows selected.
    model.setResultsIntegrityFilter(ResultsIntegrityFilter::pending);
    EXPECT_EQ(model.displayedCount(), 2u);
    EXPECT_EQ(model.selectedHitIDs(), (std::set<Uuid>{large, medium}));
    EXPECT_TRUE(model.hasActiveResultsFilter());

    // A check that moves a selected hit out of the filtered list takes it out of the selection too.
    RecoveredHit checked = *model.hit(medium);
    checked.integrity = HitIntegrity::ok;
    model.updateHit(checked);
    EXPECT_EQ(model.selectedHitIDs(), std::set<Uuid>{large});
    model.setResultsIntegrityFilter(ResultsIntegrityFilter::all);
    EXPECT_EQ(model.selectedHitIDs(), std::set<Uuid>{large}) << "showing the hits again selects nothing by itself";
}

TEST(AppModelResults, ClearingTheDateFilterShowsUndatedHitsAgain) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.appendHit(makeHit("undated", 1));
    model.setResultsCaptureDateTo(harness.clock->now());
    EXPECT_TRUE(model.isCaptureDateFilterActive());
    EXPECT_EQ(model.displayedCount(), 0u);
    model.clearCaptureDateFilter();
    EXPECT_FALSE(model.isCaptureDateFilterActive());
    EXPECT_EQ(model.displayedCount(), 1u);
}

TEST(AppModelResults, TheDateRangeRunsFromTheFirstToTheLastCaptureDay) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    EXPECT_FALSE(model.hasCaptureDates());
    EXPECT_EQ(model.captureDateRangeStart(), CaptureDay::startOfDay(harness.clock->now()));
    EXPECT_EQ(model.captureDateRangeEnd(), CaptureDay::startOfDay(harness.clock->now()));
    auto may = makeHit("may", 1);
    may.captureDate = harness.clock->now() - std::chrono::hours(24 * 40) + std::chrono::minutes(17);
    auto june = makeHit("june", 1);
    june.captureDate = harness.clock->now() + std::chrono::hours(7);
    model.appendHit(june);
    model.appendHit(may);
    model.appendHit(makeHit("undated", 1));
    EXPECT_TRUE(model.hasCaptureDates());
    EXPECT_EQ(model.captureDateRangeStart(), CaptureDay::startOfDay(*may.captureDate));
    EXPECT_EQ(model.captureDateRangeEnd(), CaptureDay::startOfDay(*june.captureDate));
}

TEST(AppModelResults, UnsavedHitsNeedHitsAndAChange) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.setCatalogDirty(true);
    EXPECT_FALSE(model.hasUnsavedHits());
    model.appendHit(makeHit("a", 1));
    EXPECT_TRUE(model.hasUnsavedHits());
    model.setCatalogDirty(false);
    EXPECT_FALSE(model.hasUnsavedHits());
}

TEST(AppModelResults, ARepeatedIdentityBecomesASecondHit) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    const auto hit = makeHit("twin", 1);
    model.setHits({hit, hit});
    ASSERT_EQ(model.hits().size(), 2u);
    EXPECT_NE(model.hits()[0].id, model.hits()[1].id);
    model.appendHit(hit);
    EXPECT_EQ(model.hits().size(), 3u);
    EXPECT_EQ(model.displayedCount(), 3u);
}

TEST(AppModelResults, ResettingForAnotherDiskEmptiesTheResultsAndKeepsTheQuery) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.setResultsQuery({ResultsIntegrityFilter::ok, harness.clock->now(), std::nullopt, ResultsSort::name});
    model.appendHit(makeHit("a", 1, RecoveredFileKind::jpeg, HitIntegrity::ok));
    model.setSelectedHitIDs({model.hits()[0].id});
    model.plainState().pendingIntegrityIDs.push_back(model.hits()[0].id);
    model.undeleteNaming().numberedName(RecoveredFileKind::jpeg);
    RowMirror mirror(model);
    model.resetResults();
    EXPECT_TRUE(model.hits().empty());
    EXPECT_EQ(model.displayedCount(), 0u);
    EXPECT_TRUE(model.selectedHitIDs().empty());
    EXPECT_TRUE(model.plainState().pendingIntegrityIDs.empty());
    EXPECT_EQ(model.undeleteNaming().serial, 0);
    EXPECT_EQ(model.resultsSort(), ResultsSort::name);
    EXPECT_EQ(model.resultsIntegrityFilter(), ResultsIntegrityFilter::ok);
    EXPECT_TRUE(model.resultsCaptureDateFrom());
    EXPECT_EQ(mirror.resets, 1);
    model.appendHit(makeHit("b", 1, RecoveredFileKind::jpeg, HitIntegrity::ok));
    EXPECT_EQ(mirror.rows.size(), model.displayedCount());
    // A new scan starts with the default query.
    model.resetForNewScan();
    EXPECT_TRUE(model.isDefaultResultsQuery());
    EXPECT_TRUE(model.hits().empty());
}

} // namespace
} // namespace vantrel

namespace vantrel {
namespace {

// Runs the model's jobs until its tasks are done (keys made on the model's worker come back as a job),
// then checks that the list shows the order asked for. Bounded, for a model that would never get there.
void waitForTheOrderAskedFor(AppModelHarness& harness) {
    for (int round = 0; round < 120'000 && harness.model->tasks().activeCount() > 0; ++round)
        if (!harness.executor->runOne()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    harness.executor->runReady();
    EXPECT_EQ(harness.model->displayedSort(), harness.model->resultsSort());
}

std::vector<std::string> namesOf(const std::vector<RecoveredHit>& hits) {
    std::vector<std::string> names;
    for (const auto& hit : hits) names.push_back(hit.suggestedName);
    return names;
}

TEST(AppModelResults, NamesKeyedWhenTheListIsFirstSortedByNameGiveTheOrderOfKeysMadeOnArrival) {
    // One list sorted by name from its first hit (each key made as its hit arrives), one taken in by
    // arrival and sorted by name afterwards (more keys missing than one step makes: made on the model's
    // worker while the list keeps its order); renames and removals before the sort and while its keys are
    // made, hits arriving meanwhile and after. Both orders, both lists equal to the whole-list query.
    const std::vector<std::string> stems{"recovered_", "IMG_", "Ärger ", "img_", "a name longer than the words a key keeps ", ""};
    std::mt19937 random(3);
    const auto name = [&] { return stems[random() % stems.size()] + std::to_string(random() % 3000) + (random() % 2 ? ".jpg" : ".JPG"); };
    for (const auto sort : {ResultsSort::name, ResultsSort::nameDescending}) {
        SCOPED_TRACE(std::string(ResultsSortName::rawValue(sort)));
        AppModelHarness eager, lazy;
        eager.model->setResultsSort(sort);
        const auto both = [&](const std::function<void(AppModel&)>& change) {
            change(*eager.model);
            change(*lazy.model);
        };
        for (std::size_t i = 0; i < AppModel::nameKeysMadeInStep + 4000; ++i) {
            const RecoveredHit hit = makeHit(name(), 10 + random() % 7);
            both([&](AppModel& model) { model.appendHit(hit); });
        }
        const auto renameAndRemove = [&](int count) {
            for (int i = 0; i < count; ++i) {
                const std::size_t at = random() % lazy.model->hits().size();
                RecoveredHit renamed = lazy.model->hits()[at];
                renamed.suggestedName = name();
                both([&](AppModel& model) { ASSERT_TRUE(model.updateHit(renamed)); });
                const Uuid removed = lazy.model->hits()[(at * 7) % lazy.model->hits().size()].id;
                both([&](AppModel& model) { ASSERT_TRUE(model.removeHit(removed)); });
            }
        };
        renameAndRemove(50);
        const auto before = lazy.model->displayedHits();
        lazy.model->setResultsSort(sort);
        EXPECT_EQ(lazy.model->resultsSort(), sort);
        EXPECT_EQ(lazy.model->displayedSort(), ResultsSort::discovery);
        renameAndRemove(20);
        for (int i = 0; i < 100; ++i) {
            const RecoveredHit hit = makeHit(name(), 10);
            both([&](AppModel& model) { model.appendHit(hit); });
        }
        // Meanwhile the list is the one in arrival order, with its changes.
        ASSERT_EQ(lazy.model->displayedSort(), ResultsSort::discovery);
        ASSERT_EQ(lazy.model->displayedHits(), std::vector<RecoveredHit>(lazy.model->hits().begin(), lazy.model->hits().end()));
        waitForTheOrderAskedFor(lazy);
        ASSERT_EQ(lazy.model->displayedSort(), sort);
        for (int i = 0; i < 100; ++i) {
            const RecoveredHit hit = makeHit(name(), 10);
            both([&](AppModel& model) { model.appendHit(hit); });
        }
        renameAndRemove(5);
        const auto expected = expectedDisplay(*eager.model);
        ASSERT_EQ(eager.model->displayedHits(), expected);
        ASSERT_EQ(lazy.model->displayedHits(), expected);
        EXPECT_NE(namesOf(before), namesOf(expected));
    }
}

TEST(AppModelResults, OrdersAskedForWhileNameKeysAreMadeEndInTheLastOnesOrder) {
    // Each row: the changes asked for one after the other, before the keys of the first order by name
    // are back; the list shows each order that needs no keys at once, keeps its order otherwise, and ends
    // in the last order asked for, under the filters asked for, with the selection kept.
    struct Row {
        const char* what;
        std::vector<ResultsQuery> asked;
    };
    const ResultsQuery byName{ResultsIntegrityFilter::all, std::nullopt, std::nullopt, ResultsSort::name};
    const ResultsQuery byNameDescending{ResultsIntegrityFilter::all, std::nullopt, std::nullopt, ResultsSort::nameDescending};
    const ResultsQuery bySize{ResultsIntegrityFilter::all, std::nullopt, std::nullopt, ResultsSort::sizeAscending};
    const ResultsQuery pendingByName{ResultsIntegrityFilter::pending, std::nullopt, std::nullopt, ResultsSort::name};
    const ResultsQuery pendingBySize{ResultsIntegrityFilter::pending, std::nullopt, std::nullopt, ResultsSort::sizeDescending};
    const std::vector<Row> rows{
        {"by name", {byName}},
        {"by name, then by size", {byName, bySize}},
        {"by name, then descending", {byName, byNameDescending}},
        {"by name, by size, by name again", {byName, bySize, byName}},
        {"by name, then arrival order", {byName, ResultsQuery{}}},
        {"by name, then filtered", {byName, pendingByName}},
        {"filtered by size, then by name, then unfiltered", {pendingBySize, pendingByName, byName}},
    };
    std::mt19937 random(11);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        AppModelHarness harness;
        AppModel& model = *harness.model;
        RowMirror mirror(model);
        for (std::size_t i = 0; i < AppModel::nameKeysMadeInStep + 2000; ++i)
            model.appendHit(makeHit((random() % 2 ? "IMG_" : "img_") + std::to_string(random() % 5000) + ".JPG", random() % 100, RecoveredFileKind::jpeg,
                                    random() % 5 ? HitIntegrity::pending : HitIntegrity::ok));
        std::set<Uuid> selected;
        for (std::size_t i = 0; i < model.hits().size(); i += 97)
            if (model.hits()[i].integrity == HitIntegrity::pending) selected.insert(model.hits()[i].id);
        model.setSelectedHitIDs(selected);
        for (const auto& query : row.asked) {
            model.setResultsQuery(query);
            // Whatever the order shown, it is the plain query's of that order, with the filters asked for.
            auto shown = query;
            shown.sort = model.displayedSort();
            const std::vector<RecoveredHit> hits(model.hits().begin(), model.hits().end());
            ASSERT_EQ(model.displayedHits(),
                      AppModel::filteredAndSortedHits(hits, shown.integrityFilter, shown.captureDateFrom, shown.captureDateTo, shown.sort));
        }
        waitForTheOrderAskedFor(harness);
        EXPECT_EQ(model.resultsQuery(), row.asked.back());
        EXPECT_EQ(model.displayedSort(), row.asked.back().sort);
        ASSERT_EQ(model.displayedHits(), expectedDisplay(model));
        ASSERT_EQ(mirror.rows, model.displayedHits());
        // Each selected hit is still selected (all pass these filters), found at the row that shows it.
        EXPECT_EQ(model.selectedHitIDs(), selected);
        for (const Uuid& id : selected) {
            const auto at = model.displayedRow(id);
            ASSERT_TRUE(at);
            EXPECT_EQ(model.displayedHit(*at).id, id);
        }
    }
}

TEST(AppModelResults, KeysMadeForHitsReplacedMeanwhileAreNotTakenForTheNewOnes) {
    // The list is sorted by name while its keys are made; then its hits are replaced (a catalog opened)
    // or emptied (another disk). The keys coming back belong to no hit of the new list.
    for (const bool replaced : {true, false}) {
        SCOPED_TRACE(replaced ? "replaced" : "emptied");
        AppModelHarness harness;
        AppModel& model = *harness.model;
        std::vector<RecoveredHit> first, second;
        for (std::size_t i = 0; i < AppModel::nameKeysMadeInStep + 1000; ++i) {
            first.push_back(makeHit("z" + std::to_string(i), 1));
            second.push_back(makeHit("a" + std::to_string(100'000 - i), 1));
        }
        model.setHits(first);
        model.setResultsSort(ResultsSort::name);
        EXPECT_EQ(model.displayedSort(), ResultsSort::discovery);
        if (replaced) {
            model.setHits(second);
        } else {
            model.resetResults();
            for (const auto& hit : std::vector<RecoveredHit>(second.begin(), second.begin() + 100)) model.appendHit(hit);
        }
        // Also the old making's end, which comes back first.
        waitForTheOrderAskedFor(harness);
        ASSERT_EQ(model.displayedHits(), expectedDisplay(model));
    }
}

// The selection after filter changes is what was selected and is still shown, whether the selection is a
// few hits (looked up one by one) or most of them (in one pass); the table's rows of it are the shown rows
// of selected hits. Hits removed before the changes move the others down; an identity of no hit is dropped.
TEST(AppModelResults, FilterChangesKeepTheSelectedHitsStillShownAndDropTheHidden) {
    struct Row {
        const char* what;
        std::size_t everyNth;  // every nth hit is selected
        bool removeSome;
        ResultsSort sort;
    };
    const std::vector<Row> rows{
        {"a few selected", 200, false, ResultsSort::discovery},
        {"a few selected, after removals", 150, true, ResultsSort::sizeDescending},
        {"every hit selected", 1, false, ResultsSort::discovery},
        {"every hit selected, by name", 1, false, ResultsSort::name},
        {"every third selected, after removals, by date", 3, true, ResultsSort::captureDateAscending},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        AppModelHarness harness;
        AppModel& model = *harness.model;
        RandomResults random(static_cast<std::uint32_t>(row.everyNth) + 3);
        for (int i = 0; i < 3000; ++i) model.appendHit(random.hit());
        model.setResultsSort(row.sort);
        if (row.removeSome) {
            for (int i = 0; i < 40; ++i) ASSERT_TRUE(model.removeHit(model.hits()[random.index(model.hits().size())].id));
        }
        std::vector<Uuid> chosen{Uuid::random()};  // no hit's
        for (std::size_t i = 0; i < model.hits().size(); i += row.everyNth) chosen.push_back(model.hits()[i].id);
        model.setSelectedHitIDs(HitSelection(chosen));
        // An order alone hides nothing, so only a change of filters thins the selection.
        std::set<Uuid> expected(chosen.begin(), chosen.end());
        for (int change = 0; change < 12; ++change) {
            auto query = random.query();
            query.sort = row.sort;
            auto filtersOnly = model.resultsQuery();
            filtersOnly.sort = row.sort;
            const bool filtersChange = query != filtersOnly;
            model.setResultsQuery(query);
            std::set<Uuid> shown;
            for (const auto& hit : model.displayedHits()) shown.insert(hit.id);
            if (filtersChange) std::erase_if(expected, [&shown](const Uuid& id) { return !shown.contains(id); });
            ASSERT_EQ(model.selectedHitIDs(), HitSelection(expected)) << "change " << change;
            std::vector<std::size_t> selectedRows;
            for (std::size_t r = 0; r < model.displayedCount(); ++r)
                if (expected.contains(model.displayedHit(r).id)) selectedRows.push_back(r);
            ASSERT_EQ(model.selectedDisplayedRows(), selectedRows) << "change " << change;
        }
    }
}

// The selection's rows stay those of the selected hits through edits of a few or many identities, removals
// (which move the hits' places), a hit arriving with a selected identity that had none, and filter changes;
// and a filter change tells the table of the selection after the list that shows it, once.
TEST(AppModelResults, SelectedRowsFollowEditsRemovalsArrivalsAndFilters) {
    using Edit = AppModel::SelectionEdit;
    struct Step {
        const char* what;
        std::function<void(AppModel&, RandomResults&, std::vector<Uuid>& later)> run;
    };
    const auto some = [](AppModel& model, RandomResults& random, std::size_t count) {
        std::vector<Uuid> ids;
        for (std::size_t i = 0; i < count; ++i) ids.push_back(model.hits()[random.index(model.hits().size())].id);
        return HitSelection(std::move(ids));
    };
    // Edits the selection and checks that it became what the edit makes of it.
    const auto edited = [](AppModel& model, const HitSelection& ids, Edit edit) {
        std::set<Uuid> expected(model.selectedHitIDs().begin(), model.selectedHitIDs().end());
        for (const Uuid& id : ids) {
            const bool in = expected.contains(id);
            if (edit == Edit::add || (edit == Edit::toggle && !in)) expected.insert(id);
            else expected.erase(id);
        }
        model.editSelection(ids, edit);
        EXPECT_EQ(model.selectedHitIDs(), HitSelection(expected));
    };
    const std::vector<Step> steps{
        {"every other selected", [](AppModel& model, RandomResults&, std::vector<Uuid>& later) {
             std::vector<Uuid> ids(later.begin(), later.end());
             for (std::size_t i = 0; i < model.hits().size(); i += 2) ids.push_back(model.hits()[i].id);
             model.setSelectedHitIDs(HitSelection(std::move(ids)));
         }},
        {"rows read", [](AppModel& model, RandomResults&, std::vector<Uuid>&) { (void)model.selectedDisplayedRows(); }},
        {"a few toggled", [&](AppModel& model, RandomResults& random, std::vector<Uuid>&) { edited(model, some(model, random, 5), Edit::toggle); }},
        {"a few added", [&](AppModel& model, RandomResults& random, std::vector<Uuid>&) { edited(model, some(model, random, 5), Edit::add); }},
        {"a hit removed", [](AppModel& model, RandomResults& random, std::vector<Uuid>&) { model.removeHit(model.hits()[random.index(model.hits().size())].id); }},
        {"a few removed from the selection", [&](AppModel& model, RandomResults& random, std::vector<Uuid>&) { edited(model, some(model, random, 5), Edit::remove); }},
        {"a selected identity arrives", [](AppModel& model, RandomResults& random, std::vector<Uuid>& later) {
             RecoveredHit hit = random.hit();
             hit.id = later.back();
             model.appendHit(hit);
         }},
        {"filter suspect", [](AppModel& model, RandomResults&, std::vector<Uuid>&) { model.setResultsIntegrityFilter(ResultsIntegrityFilter::suspect); }},
        {"runs of rows selected, as the table gives them", [](AppModel& model, RandomResults&, std::vector<Uuid>&) {
             const std::size_t shown = model.displayedCount();
             const std::vector<std::pair<std::size_t, std::size_t>> runs{{0, shown / 3}, {shown / 2, shown / 2 + 7}, {shown - 2, shown}};
             model.selectDisplayedRows(runs);
         }},
        {"a hit removed after them", [](AppModel& model, RandomResults& random, std::vector<Uuid>&) { model.removeHit(model.hits()[random.index(model.hits().size())].id); }},
        {"many toggled", [&](AppModel& model, RandomResults& random, std::vector<Uuid>&) { edited(model, some(model, random, 900), Edit::toggle); }},
        {"sorted by size", [](AppModel& model, RandomResults&, std::vector<Uuid>&) { model.setResultsSort(ResultsSort::sizeAscending); }},
        {"filter off", [](AppModel& model, RandomResults&, std::vector<Uuid>&) { model.setResultsIntegrityFilter(ResultsIntegrityFilter::all); }},
        {"a few toggled again", [&](AppModel& model, RandomResults& random, std::vector<Uuid>&) { edited(model, some(model, random, 3), Edit::toggle); }},
    };
    AppModelHarness harness;
    AppModel& model = *harness.model;
    RandomResults random(21);
    for (int i = 0; i < 2000; ++i) model.appendHit(random.hit());
    std::vector<Uuid> later{Uuid::random()};  // selected before its hit arrives
    int resetsSeen = 0;
    std::vector<std::size_t> rowsAtReset;
    QObject::connect(&model, &AppModel::displayedHitsReset, [&] {
        ++resetsSeen;
        rowsAtReset = model.selectedDisplayedRows();
    });
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const HitSelection before = model.selectedHitIDs();
        const std::uint64_t version = model.selectionVersion();
        const int resets = resetsSeen;
        int told = 0;
        bool toldBeforeReset = false;
        const auto connection = QObject::connect(&model, &AppModel::fieldChanged, [&](AppModel::Field field) {
            if (field != AppModel::Field::selectedHitIDs) return;
            ++told;
            toldBeforeReset = toldBeforeReset || resetsSeen == resets;
        });
        step.run(model, random, later);
        QObject::disconnect(connection);
        EXPECT_EQ(told, model.selectedHitIDs() == before ? 0 : 1);
        EXPECT_EQ(model.selectionVersion() != version, !(model.selectedHitIDs() == before));
        std::vector<std::size_t> expected;
        for (std::size_t row = 0; row < model.displayedCount(); ++row)
            if (model.selectedHitIDs().contains(model.displayedHit(row).id)) expected.push_back(row);
        ASSERT_EQ(model.selectedDisplayedRows(), expected);
        if (resetsSeen > resets) {
            EXPECT_EQ(rowsAtReset, expected) << "the list's reset sees the thinned selection";
            EXPECT_FALSE(toldBeforeReset) << "the thinned selection is told after the list's reset";
        }
        for (std::size_t row = 0; row < model.displayedCount(); ++row)
            ASSERT_EQ(model.isDisplayedRowSelected(row), std::binary_search(expected.begin(), expected.end(), row));
    }
}

// An order by name after the other direction, or after other orders, is read from the last one made; it
// must be the order a fresh sort gives, ties (equal names, and long names equal past their first bytes)
// in arrival order, also after renames, removals and new hits in between.
TEST(AppModelResults, AnOrderByNameReadFromTheLastOneEqualsAFreshSort) {
    struct Row {
        const char* what;
        std::vector<ResultsSort> sorts;
        std::function<void(AppModel&, RandomResults&)> between;
    };
    const auto rename = [](AppModel& model, RandomResults& random) {
        RecoveredHit changed = model.hits()[random.index(model.hits().size())];
        changed.suggestedName = random.hit().suggestedName;
        model.updateHit(changed);
    };
    const auto remove = [](AppModel& model, RandomResults& random) { model.removeHit(model.hits()[random.index(model.hits().size())].id); };
    const auto append = [](AppModel& model, RandomResults& random) { model.appendHit(random.hit()); };
    const std::vector<Row> rows{
        {"ascending, descending, ascending", {ResultsSort::name, ResultsSort::nameDescending, ResultsSort::name}, nullptr},
        {"descending first", {ResultsSort::nameDescending, ResultsSort::name, ResultsSort::nameDescending}, nullptr},
        {"by size between", {ResultsSort::name, ResultsSort::sizeDescending, ResultsSort::nameDescending, ResultsSort::type, ResultsSort::name}, nullptr},
        {"renames between", {ResultsSort::name, ResultsSort::nameDescending, ResultsSort::name}, rename},
        {"removals between", {ResultsSort::nameDescending, ResultsSort::name, ResultsSort::nameDescending}, remove},
        {"new hits between", {ResultsSort::name, ResultsSort::discovery, ResultsSort::nameDescending}, append},
    };
    const std::string longPrefix = "a name longer than the first bytes of its key_";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        AppModelHarness harness;
        AppModel& model = *harness.model;
        RandomResults random(7);
        for (int i = 0; i < 600; ++i) {
            RecoveredHit hit = random.hit();
            if (random.chance(3)) hit.suggestedName = longPrefix + std::to_string(random.index(4));
            model.appendHit(hit);
        }
        for (const ResultsSort sort : row.sorts) {
            if (row.between)
                for (int i = 0; i < 5; ++i) row.between(model, random);
            model.setResultsSort(sort);
            waitForTheOrderAskedFor(harness);
            ASSERT_EQ(model.displayedHits(), expectedDisplay(model)) << ResultsSortName::rawValue(sort);
        }
    }
}

// Many identities are sorted in buckets of their first bytes: the same order as one sort, also when they
// share those bytes, with repeats counted once.
TEST(HitSelection, ManyIdentitiesSortAsOneSortWouldSortThem) {
    std::mt19937_64 random(5);
    const auto randomId = [&random](std::uint8_t sharedFirst, bool shared) {
        Uuid id;
        for (auto& byte : id.bytes) byte = static_cast<std::uint8_t>(random());
        if (shared) id.bytes[0] = id.bytes[1] = sharedFirst;
        return id;
    };
    // Fewer than sort in buckets, too.
    for (const auto& [shared, count] : {std::pair{false, 3 * HitSelection::bucketedFrom}, {true, 3 * HitSelection::bucketedFrom}, {false, std::size_t{700}}}) {
        SCOPED_TRACE(shared ? "sharing their first bytes" : "random");
        SCOPED_TRACE(count);
        std::vector<Uuid> ids;
        for (std::size_t i = 0; i < count; ++i) ids.push_back(randomId(0x7f, shared));
        for (std::size_t i = 0; i < 100; ++i) ids.push_back(ids[i * 7]);
        std::vector<Uuid> expected = ids;
        std::sort(expected.begin(), expected.end());
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        const HitSelection selection(ids);
        EXPECT_TRUE(std::equal(selection.begin(), selection.end(), expected.begin(), expected.end()));
        // Values moved along with their identities stay with them.
        std::vector<std::uint64_t> along(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) along[i] = ids[i].bytes[3] | std::uint64_t{ids[i].bytes[9]} << 8;
        std::vector<Uuid> sorted = ids;
        HitSelection::sortIdentities(sorted, along);
        EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
        for (std::size_t i = 0; i < sorted.size(); ++i)
            ASSERT_EQ(along[i], (sorted[i].bytes[3] | std::uint64_t{sorted[i].bytes[9]} << 8));
    }
}

// The selection as one sorted array behaves as a set of identities.
TEST(HitSelection, HoldsEachIdentityOnceInOrder) {
    const Uuid a = *Uuid::fromString("00000000-0000-4000-8000-000000000001");
    const Uuid b = *Uuid::fromString("10000000-0000-4000-8000-000000000000");
    const Uuid c = *Uuid::fromString("ff000000-0000-4000-8000-000000000000");
    HitSelection selection(std::vector<Uuid>{c, a, b, a, c});
    EXPECT_EQ(selection.size(), 3u);
    EXPECT_EQ(selection, (std::set<Uuid>{a, b, c}));
    EXPECT_EQ(std::vector<Uuid>(selection.begin(), selection.end()), (std::vector<Uuid>{a, b, c}));
    EXPECT_FALSE(selection.insert(b));
    EXPECT_EQ(selection.erase(b), 1u);
    EXPECT_EQ(selection.erase(b), 0u);
    EXPECT_FALSE(selection.contains(b));
    EXPECT_TRUE(selection.insert(b));
    EXPECT_EQ(selection, (HitSelection{b, c, a}));
    EXPECT_EQ(selection.eraseAt([](std::size_t index) { return index != 1; }), 2u);
    EXPECT_EQ(selection, HitSelection{b});
}

} // namespace
} // namespace vantrel
