// The results pane and its hit list on the offscreen platform, with the model driven directly: the
// table mirrors the displayed list row by row and keeps its selection while hits arrive and change,
// sorting goes through the model, and the pane shows the states of the list.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/views/HitTableModel.h"
#include "Vantrel/views/HitsColumnHeader.h"
#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/ResultsFilterControls.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/ResultsPaneLogic.h"
#include "Vantrel/views/Symbols.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::AppModelHarness;
using test::makeHit;
using Column = ResultsPaneLogic::Column;

struct PaneFixture {
    PaneFixture() {
        pane.resize(1000, 600);
        pane.show();
    }
    AppModel& model() { return *harness.model; }
    HitsColumnList& list() { return *pane.list(); }
    HitTableModel& rows() { return *pane.list()->hitModel(); }
    QString cell(int row, Column column) {
        return rows().data(rows().index(row, static_cast<int>(column)), Qt::DisplayRole).toString();
    }
    std::set<Uuid> selectedInView() {
        std::set<Uuid> ids;
        for (const auto& index : list().selectionModel()->selectedRows()) ids.insert(rows().hitAt(index.row()).id);
        return ids;
    }
    void settle() { QCoreApplication::processEvents(); }

    QApplication& application = test::widgetApplication();
    AppModelHarness harness;
    ResultsPane pane{*harness.model};
};

TEST(HitTableModel, MirrorsEveryRowChangeWithoutAReset) {
    PaneFixture f;
    QSignalSpy resets(&f.rows(), &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&f.rows(), &QAbstractItemModel::rowsInserted);
    QSignalSpy moves(&f.rows(), &QAbstractItemModel::rowsMoved);
    QSignalSpy removals(&f.rows(), &QAbstractItemModel::rowsRemoved);
    for (int i = 0; i < 20; ++i) f.model().appendHit(makeHit("hit" + std::to_string(i), 100 + i));
    EXPECT_EQ(inserts.count(), 20);
    EXPECT_EQ(resets.count(), 0);
    f.model().setResultsSort(ResultsSort::sizeDescending);
    EXPECT_EQ(resets.count(), 1) << "a new order replaces the list once";
    f.model().appendHit(makeHit("big", 1'000'000));
    EXPECT_EQ(f.cell(0, Column::name), "big") << "an arriving hit takes its sorted place";
    auto changed = f.model().hits()[3];
    changed.byteLength = 2'000'000;
    f.model().updateHit(changed);
    EXPECT_EQ(moves.count(), 1);
    EXPECT_EQ(f.cell(0, Column::name), QString::fromStdString(changed.suggestedName));
    f.model().removeHit(f.model().hits()[5].id);
    EXPECT_EQ(removals.count(), 1);
    ASSERT_EQ(f.rows().rowCount(), static_cast<int>(f.model().displayedCount()));
    for (int row = 0; row < f.rows().rowCount(); ++row)
        EXPECT_EQ(f.rows().hitAt(row).id, f.model().displayedHit(static_cast<std::size_t>(row)).id);
    EXPECT_EQ(resets.count(), 1);
}

TEST(HitTableModel, CellsShowTheirTextsAndPlaceholders) {
    PaneFixture f;
    auto hit = makeHit("DSC_0042.NEF", 24'000'000, RecoveredFileKind::nef, HitIntegrity::ok);
    hit.reconstructedPath = "<b>DCIM</b>/100NIKON";
    hit.source = HitSource::fatUndelete;
    f.model().appendHit(hit);
    EXPECT_EQ(f.cell(0, Column::type), "NEF");
    EXPECT_EQ(f.cell(0, Column::resolution), "\u2014");
    EXPECT_EQ(f.cell(0, Column::date), "\u2014");
    EXPECT_EQ(f.cell(0, Column::source), "Deleted file (FAT)");
    EXPECT_EQ(f.cell(0, Column::status), "\u2014") << "no badges before the quality pass";
    EXPECT_EQ(f.rows().data(f.rows().index(0, 0), HitTableModel::pathRole).toString(), "<b>DCIM</b>/100NIKON");
    EXPECT_TRUE(f.rows().data(f.rows().index(0, 0), Qt::ToolTipRole).toString().contains("&lt;b&gt;"))
        << "disk-derived text in tooltips is escaped";
    QSignalSpy changes(&f.rows(), &QAbstractItemModel::dataChanged);
    f.model().setQualityPassStarted(true);
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(f.cell(0, Column::status), "OK");
}

TEST(HitsColumnList, AnUnderscoreOnThePathLineIsDrawnWhole) {
    PaneFixture f;
    // Names and paths of underscores alone: what is drawn of them lies below the text's baseline.
    for (const char* path : {"____", "DCIM"}) {
        auto hit = makeHit("x", 1000, RecoveredFileKind::jpeg, HitIntegrity::ok);
        hit.reconstructedPath = path;
        f.model().appendHit(hit);
    }
    f.settle();
    const QImage shot = f.list().viewport()->grab().toImage();
    // Pixels of the path line's half of the name cell that are not the row's background.
    auto inkBelowTheName = [&](int row) {
        const QRect cell = f.list().visualRect(f.rows().index(row, static_cast<int>(Column::name)));
        const QColor background = shot.pixelColor(cell.right() - 2, cell.center().y());
        int ink = 0;
        for (int y = cell.center().y() + 1; y <= cell.bottom(); ++y)
            // Right of the kind's symbol.
            for (int x = cell.left() + 40; x < std::min(cell.right(), cell.left() + 160); ++x) {
                const QColor colour = shot.pixelColor(x, y);
                if (std::abs(colour.lightness() - background.lightness()) > 40) ++ink;
            }
        return ink;
    };
    EXPECT_GT(inkBelowTheName(1), 0) << "the path line is drawn at all";
    EXPECT_GT(inkBelowTheName(0), 0) << "underscores are not clipped";
}

TEST(HitsColumnList, SelectionStaysWhileHitsArriveAndChange) {
    PaneFixture f;
    for (int i = 0; i < 50; ++i) f.model().appendHit(makeHit("hit" + std::to_string(i), 1000 - i));
    f.settle();
    f.list().selectRow(10);
    const Uuid chosen = f.rows().hitAt(10).id;
    EXPECT_EQ(f.model().selectedHitIDs(), std::set<Uuid>{chosen});
    f.list().verticalScrollBar()->setValue(200);
    const int scrolled = f.list().verticalScrollBar()->value();

    for (int i = 0; i < 50; ++i) f.model().appendHit(makeHit("more" + std::to_string(i), 5));
    auto checked = *f.model().hit(chosen);
    checked.integrity = HitIntegrity::ok;
    f.model().updateHit(checked);
    f.settle();
    EXPECT_EQ(f.selectedInView(), std::set<Uuid>{chosen});
    EXPECT_EQ(f.model().selectedHitIDs(), std::set<Uuid>{chosen});
    EXPECT_EQ(f.list().verticalScrollBar()->value(), scrolled);

    // Under a sorted query the hit moves; the selection moves with it.
    f.model().setResultsSort(ResultsSort::sizeAscending);
    EXPECT_EQ(f.selectedInView(), std::set<Uuid>{chosen});
    checked.byteLength = 1;
    f.model().updateHit(checked);
    EXPECT_EQ(f.rows().hitAt(0).id, chosen);
    EXPECT_EQ(f.selectedInView(), std::set<Uuid>{chosen});
}

TEST(HitsColumnList, AHitTheFilterHidesLeavesTheSelectionInTheModelAndTheView) {
    PaneFixture f;
    f.model().appendHit(makeHit("a", 1, RecoveredFileKind::jpeg, HitIntegrity::ok));
    f.model().appendHit(makeHit("b", 1, RecoveredFileKind::jpeg, HitIntegrity::suspect));
    f.model().appendHit(makeHit("c", 1, RecoveredFileKind::jpeg, HitIntegrity::ok));
    f.list().selectAll();
    EXPECT_EQ(f.model().selectedHitIDs().size(), 3u);
    f.model().setResultsIntegrityFilter(ResultsIntegrityFilter::ok);
    f.settle();
    EXPECT_EQ(f.model().selectedHitIDs().size(), 2u) << "what is recovered is what is seen selected";
    EXPECT_EQ(f.selectedInView().size(), 2u);
    // A quality result that hides a selected row takes it out of the selection too.
    auto changed = f.model().hits()[0];
    changed.integrity = HitIntegrity::failed;
    f.model().updateHit(changed);
    f.settle();
    EXPECT_EQ(f.model().selectedHitIDs(), std::set<Uuid>{f.model().hits()[2].id});
    EXPECT_EQ(f.selectedInView().size(), 1u);
    f.model().setResultsIntegrityFilter(ResultsIntegrityFilter::all);
    f.settle();
    EXPECT_EQ(f.selectedInView().size(), 1u) << "showing hits again selects nothing by itself";
}

// Qt's selection model holds the model's selection while it is a few runs of rows and none beyond; the
// rows are drawn selected from the model's selection either way, a filter change keeps exactly the shown
// selected hits, Ctrl+Space adds or takes one row, and a plain click or Select All replaces the selection.
// A screen reader reads the same selection from the table's cells and rows either way, and hears of each
// change once.
std::vector<std::pair<QAccessible::Event, int>>* toldSelections = nullptr;

TEST(HitsColumnList, ASelectionOfManyRunsIsDrawnFromTheModelAndEditedThere) {
    std::vector<std::pair<QAccessible::Event, int>> told;
    toldSelections = &told;
    QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        const auto type = event->type();
        if (type == QAccessible::SelectionAdd || type == QAccessible::SelectionRemove || type == QAccessible::SelectionWithin ||
            type == QAccessible::Selection)
            toldSelections->emplace_back(type, event->child());
    });
    QAccessible::setActive(true);
    struct Row {
        const char* what;
        int everyNth;  // 0: none selected
        bool held;
    };
    const std::vector<Row> rows{
        {"none selected", 0, true},
        {"every row selected", 1, true},
        {"every other row selected", 2, false},
        {"every third row selected", 3, true},
    };
    constexpr int hitCount = 3000;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        PaneFixture f;
        for (int i = 0; i < hitCount; ++i)
            f.model().appendHit(makeHit("hit" + std::to_string(i), 1000 + static_cast<std::uint64_t>(i % 7), RecoveredFileKind::jpeg,
                                        i % 5 == 4 ? HitIntegrity::suspect : HitIntegrity::pending));
        std::vector<Uuid> chosen;
        for (int i = 0; row.everyNth > 0 && i < hitCount; i += row.everyNth) chosen.push_back(f.model().hits()[static_cast<std::size_t>(i)].id);
        f.model().setSelectedHitIDs(HitSelection(chosen));
        f.settle();
        // Qt's runs are every third row's only because the cap is above them.
        ASSERT_GT(hitCount / 3, 0);
        static_assert(hitCount / 3 <= static_cast<int>(HitsColumnList::maxHeldRuns) && hitCount / 2 > static_cast<int>(HitsColumnList::maxHeldRuns));
        const auto check = [&](const char* when, std::size_t tellings = 1) {
            SCOPED_TRACE(when);
            std::set<Uuid> drawn;
            QList<int> drawnRows;
            for (int r = 0; r < f.rows().rowCount(); ++r)
                if (f.rows().data(f.rows().index(r, 0), HitTableModel::selectedRole).toBool()) {
                    drawn.insert(f.rows().hitAt(r).id);
                    drawnRows.append(r);
                }
            EXPECT_EQ(HitSelection(drawn), f.model().selectedHitIDs());
            if (f.list().holdsModelSelection()) EXPECT_EQ(f.selectedInView(), drawn);
            else EXPECT_TRUE(f.selectedInView().empty());

            QAccessibleTableInterface* table = QAccessible::queryAccessibleInterface(&f.list())->tableInterface();
            ASSERT_NE(table, nullptr);
            EXPECT_EQ(table->selectedRows(), drawnRows);
            EXPECT_EQ(table->selectedRowCount(), drawnRows.size());
            EXPECT_EQ(table->selectedCellCount(), drawnRows.size() * ResultsPaneLogic::columnCount);
            for (int r = 0; r < std::min(f.rows().rowCount(), 12); ++r) {
                const bool selected = drawnRows.contains(r);
                EXPECT_EQ(table->isRowSelected(r), selected) << "row " << r;
                QAccessibleInterface* cell = table->cellAt(r, static_cast<int>(Column::size));
                ASSERT_NE(cell, nullptr);
                EXPECT_EQ(cell->state().selected, selected) << "row " << r;
                EXPECT_EQ(cell->text(QAccessible::Name), f.cell(r, Column::size));
                EXPECT_EQ(cell->tableCellInterface()->rowIndex(), r);
                EXPECT_EQ(cell->tableCellInterface()->columnHeaderCells().value(0)->text(QAccessible::Name), "Size");
            }
            // One telling for a change, however many rows it took; on the keyboard's cell when its row
            // came in or went out.
            // (Qt tells nothing on a platform without accessibility, as the offscreen one.)
            if (QAccessible::isActive()) {
                EXPECT_EQ(told.size(), tellings);
            }
            for (const auto& [type, child] : told) {
                if (type == QAccessible::SelectionWithin) continue;
                QAccessibleInterface* cell = QAccessible::queryAccessibleInterface(&f.list())->child(child);
                ASSERT_NE(cell, nullptr);
                EXPECT_EQ(cell->tableCellInterface()->rowIndex(), f.list().currentIndex().row());
                EXPECT_EQ(cell->state().selected, type == QAccessible::SelectionAdd);
            }
            told.clear();
        };
        EXPECT_EQ(f.list().holdsModelSelection(), row.held);
        check("selected", row.everyNth > 0 ? 1 : 0);

        f.model().setResultsIntegrityFilter(ResultsIntegrityFilter::pending);
        f.settle();
        std::set<Uuid> kept;
        for (const Uuid& id : chosen)
            if (f.model().hit(id)->integrity == HitIntegrity::pending) kept.insert(id);
        EXPECT_EQ(f.model().selectedHitIDs(), HitSelection(kept));
        check("filtered", row.everyNth > 0 ? 1 : 0);
        f.model().setResultsSort(ResultsSort::sizeDescending);
        f.settle();
        EXPECT_EQ(f.model().selectedHitIDs(), HitSelection(kept));
        check("sorted", 0);
        // A quality result hides a selected hit: it leaves the selection with its row, the rest stays.
        if (!kept.empty()) {
            RecoveredHit judged = *f.model().hit(*kept.rbegin());
            judged.integrity = HitIntegrity::ok;
            f.model().updateHit(judged);
            kept.erase(judged.id);
            EXPECT_EQ(f.model().selectedHitIDs(), HitSelection(kept));
            check("hidden");
        }

        // Ctrl+Space on a row: in or out of the selection, the others stay.
        const QModelIndex third = f.rows().index(2, 0);
        const Uuid toggled = f.rows().hitAt(2).id;
        f.list().selectionModel()->setCurrentIndex(third, QItemSelectionModel::NoUpdate);
        QTest::keyClick(&f.list(), Qt::Key_Space, Qt::ControlModifier);
        std::set<Uuid> afterToggle = kept;
        if (!afterToggle.erase(toggled)) afterToggle.insert(toggled);
        EXPECT_EQ(f.model().selectedHitIDs(), HitSelection(afterToggle));
        check("toggled");

        f.list().selectAll();
        EXPECT_EQ(f.model().selectedHitIDs().size(), f.model().displayedCount());
        EXPECT_TRUE(f.list().holdsModelSelection());
        check("all");
        QTest::mouseClick(f.list().viewport(), Qt::LeftButton, {}, f.list().visualRect(f.rows().index(1, 0)).center());
        EXPECT_EQ(f.model().selectedHitIDs(), HitSelection{f.rows().hitAt(1).id});
        check("clicked");
    }
    QAccessible::installUpdateHandler(nullptr);
    toldSelections = nullptr;
}

// A row drawn selected from the model's selection alone has the highlight behind it.
TEST(HitsColumnList, RowsQtDoesNotHoldAreDrawnSelected) {
    PaneFixture f;
    for (int i = 0; i < 2 * static_cast<int>(HitsColumnList::maxHeldRuns) + 10; ++i) f.model().appendHit(makeHit("hit" + std::to_string(i), 10));
    std::vector<Uuid> chosen;
    for (std::size_t i = 0; i < f.model().hits().size(); i += 2) chosen.push_back(f.model().hits()[i].id);
    f.model().setSelectedHitIDs(HitSelection(chosen));
    f.settle();
    ASSERT_FALSE(f.list().holdsModelSelection());
    f.list().scrollToTop();  // the keyboard's row went to the last selected one
    f.settle();
    const QImage image = f.list().viewport()->grab().toImage();
    const QColor highlight = f.list().palette().color(QPalette::Highlight);
    const auto at = [&](int row) {
        const QRect cell = f.list().visualRect(f.rows().index(row, 0));
        return image.pixelColor(cell.left() + 2, cell.center().y() + 12);
    };
    EXPECT_EQ(at(0), highlight);
    EXPECT_NE(at(1), highlight);
    EXPECT_EQ(at(2), highlight);
}

TEST(HitsColumnList, HeaderClicksSortThroughTheModel) {
    PaneFixture f;
    for (auto [name, size] : {std::pair{"b", 20}, {"a", 30}, {"c", 10}}) f.model().appendHit(makeHit(name, size));
    f.settle();
    HitsColumnHeader& header = *f.list().columnHeader();
    auto click = [&](Column column) {
        const int x = header.sectionViewportPosition(static_cast<int>(column)) + 12;
        QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, QPoint(x, header.height() / 2));
    };
    click(Column::size);
    EXPECT_EQ(f.model().resultsSort(), ResultsSort::sizeDescending);
    EXPECT_EQ(f.cell(0, Column::name), "a");
    click(Column::size);
    EXPECT_EQ(f.model().resultsSort(), ResultsSort::sizeAscending);
    EXPECT_EQ(f.cell(0, Column::name), "c");
    click(Column::size);
    EXPECT_EQ(f.model().resultsSort(), ResultsSort::sizeDescending);
    click(Column::name);
    EXPECT_EQ(f.model().resultsSort(), ResultsSort::name);
    click(Column::source);
    EXPECT_EQ(f.model().resultsSort(), ResultsSort::name) << "Source does not sort";
    click(Column::status);
    EXPECT_EQ(f.model().resultsSort(), ResultsSort::integrity);
    EXPECT_FALSE(f.list().isSortingEnabled());
}

TEST(HitsColumnList, SpaceAndTheContextItemPreviewTheSelection) {
    PaneFixture f;
    std::vector<std::string> previewed;
    f.list().onPreview = [&](const RecoveredHit& hit) { previewed.push_back(hit.suggestedName); };
    f.model().appendHit(makeHit("a", 1));
    f.model().appendHit(makeHit("b", 1));
    f.settle();
    f.list().setFocus();
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QCoreApplication::sendEvent(&f.list(), &space);
    EXPECT_TRUE(space.isAccepted()) << "consumed with nothing selected";
    EXPECT_TRUE(previewed.empty());
    f.list().selectAll();
    QTest::keyClick(&f.list(), Qt::Key_Space);
    EXPECT_EQ(previewed, std::vector<std::string>{"b"});

    // Letters do not jump to rows.
    f.list().selectRow(1);
    QTest::keyClick(&f.list(), Qt::Key_A);
    EXPECT_EQ(f.list().currentIndex().row(), 1);
    QTest::keyClick(&f.list(), Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(f.model().selectedHitIDs().size(), 2u) << "Shift and the arrows extend the selection";
}

TEST(ResultsPane, HeaderCountsSelectionAndRecover) {
    PaneFixture f;
    int recovers = 0;
    f.pane.onRecover = [&] { ++recovers; };
    f.settle();
    EXPECT_FALSE(f.pane.countLabel()->isVisible());
    EXPECT_FALSE(f.pane.statusFilter()->isVisible());
    EXPECT_EQ(f.pane.selectionLabel()->text(), "0 selected");
    EXPECT_FALSE(f.pane.recoverButton()->isEnabled());
    for (int i = 0; i < 12; ++i)
        f.model().appendHit(makeHit("h" + std::to_string(i), 1, RecoveredFileKind::jpeg, i < 3 ? HitIntegrity::ok : HitIntegrity::pending));
    f.settle();
    EXPECT_EQ(f.pane.countLabel()->text(), "12 total");
    EXPECT_TRUE(f.pane.statusFilter()->isVisible());
    EXPECT_TRUE(f.pane.dateFilter()->isVisible());
    f.model().setResultsIntegrityFilter(ResultsIntegrityFilter::ok);
    f.settle();
    EXPECT_EQ(f.pane.countLabel()->text(), "3 of 12");
    EXPECT_EQ(f.pane.statusFilter()->text(), "OK");
    f.list().selectAll();
    f.model().setIsScanning(true);
    f.settle();
    EXPECT_EQ(f.pane.selectionLabel()->text(), "3 selected");
    EXPECT_TRUE(f.pane.recoverButton()->isEnabled());
    EXPECT_EQ(f.pane.recoverButton()->toolTip(), "Extract selected files while the scan continues.");
    QTest::mouseClick(f.pane.recoverButton(), Qt::LeftButton);
    EXPECT_EQ(recovers, 1);
    f.model().setIsRecovering(true);
    f.settle();
    EXPECT_FALSE(f.pane.recoverButton()->isEnabled());
}

TEST(ResultsPane, EmptyStatesAndTheQuickScanAction) {
    PaneFixture f;
    std::vector<ScanMode> started;
    f.pane.onStartScan = [&](ScanMode mode) { started.push_back(mode); };
    f.settle();
    ASSERT_EQ(f.pane.currentContent(), f.pane.emptyPage());
    EXPECT_FALSE(f.pane.emptyActionButton()->isVisible());
    auto symbolShown = [&] {
        return f.pane.emptyPage()->findChildren<QLabel*>().front()->property(Symbols::propertyName).toString();
    };
    EXPECT_EQ(symbolShown(), "photo.on.rectangle.angled");

    f.model().setLastFinishedScanMode(ScanMode::quickUndelete);
    f.settle();
    ASSERT_TRUE(f.pane.emptyActionButton()->isVisible());
    EXPECT_EQ(f.pane.emptyActionButton()->text(), "Start Standard scan");
    EXPECT_TRUE(f.pane.emptyActionButton()->isDefault());
    QTest::mouseClick(f.pane.emptyActionButton(), Qt::LeftButton);
    EXPECT_EQ(started, std::vector<ScanMode>{ScanMode::standard});

    f.model().setLastFinishedScanMode(ScanMode::standard);
    f.settle();
    EXPECT_FALSE(f.pane.emptyActionButton()->isVisible());
    EXPECT_EQ(symbolShown(), "tray");
}

TEST(ResultsPane, NoMatchesAndResetFilters) {
    PaneFixture f;
    f.model().appendHit(makeHit("a", 1));
    f.model().setResultsIntegrityFilter(ResultsIntegrityFilter::suspect);
    f.settle();
    ASSERT_EQ(f.pane.currentContent(), f.pane.noMatchPage());
    const auto texts = f.pane.noMatchPage()->findChildren<QLabel*>();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](QLabel* l) { return l->text().contains("“Suspect”"); }));
    ASSERT_TRUE(f.pane.resetFiltersButton()->isVisible());
    QTest::mouseClick(f.pane.resetFiltersButton(), Qt::LeftButton);
    f.settle();
    EXPECT_EQ(f.model().resultsIntegrityFilter(), ResultsIntegrityFilter::all);
    EXPECT_EQ(f.pane.currentContent(), f.pane.list());
}

TEST(ResultsDateFilterControl, PopoverFollowsTheDatesAndBounds) {
    PaneFixture f;
    f.model().appendHit(makeHit("a", 1));
    f.settle();
    ResultsDateFilterControl& control = *f.pane.dateFilter();
    EXPECT_TRUE(control.toolTip().startsWith("Capture dates appear after Phase 2"));
    control.togglePopover();
    DateFilterPopover& popover = *control.popover();
    EXPECT_TRUE(popover.note()->isVisible());
    EXPECT_FALSE(popover.fromToggle()->isVisible());
    EXPECT_FALSE(popover.clearButton()->isVisible());

    auto dated = f.model().hits().front();
    dated.captureDate = f.harness.clock->current - std::chrono::hours(24 * 10);
    f.model().updateHit(dated);
    f.settle();
    EXPECT_FALSE(popover.note()->isVisible());
    ASSERT_TRUE(popover.fromToggle()->isVisible());
    EXPECT_FALSE(popover.fromDate()->isVisible());
    // Opened afresh with no bound set, the footnote is whole inside the popover.
    control.togglePopover();
    control.togglePopover();
    f.settle();
    const QLabel& caption = *popover.caption();
    EXPECT_GE(caption.height(), caption.heightForWidth(caption.width()));
    EXPECT_LE(caption.geometry().bottom(), popover.contentsRect().bottom());
    popover.fromToggle()->click();
    f.settle();
    EXPECT_EQ(f.model().resultsCaptureDateFrom(), CaptureDay::startOfDay(*dated.captureDate));
    EXPECT_TRUE(popover.fromDate()->isVisible());
    EXPECT_EQ(control.property("tint").toInt(), static_cast<int>(ColorRole::accent));

    // With both bounds on, neither field offers a day past the other bound; a typed one is refused.
    popover.toToggle()->click();
    f.settle();
    const QDate day = popover.fromDate()->date();
    EXPECT_EQ(popover.fromDate()->maximumDate(), popover.toDate()->date());
    EXPECT_EQ(popover.toDate()->minimumDate(), day);
    popover.toDate()->setDate(day.addDays(-1));
    f.settle();
    EXPECT_EQ(popover.toDate()->date(), day) << "the end stays at the start at the earliest";
    EXPECT_EQ(f.model().resultsCaptureDateTo(), f.model().resultsCaptureDateFrom());
    popover.clearButton()->click();
    f.settle();
    EXPECT_FALSE(f.model().isCaptureDateFilterActive());
    EXPECT_TRUE(popover.isVisible()) << "clearing keeps the popover open";
}

} // namespace
} // namespace vantrel
