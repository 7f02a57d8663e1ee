// The main window from the keyboard alone, offscreen: the Tab chain (toolbar, strip, filters, list,
// "Recover Selected", "Settings…") and that Tab never changes the selection; the arrows inside the strip
// and the list; the status and date filters opened and used with keys; the dialogs as windows of the
// main one, and the keyboard back in the main window after each.

#include "ActiveMainWindow.h"

#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/ResultsFilterControls.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/StatusBarView.h"
#include "Vantrel/views/VolumeStripView.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QDateEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::makeHit;

struct KeyboardFixture : test::ActiveMainWindow {
    KeyboardFixture()
        : ActiveMainWindow({test::mountedCard("Card", "sdb"), test::mountedCard("Camera", "sdc"), test::mountedCard("Stick", "sdd")}) {}
    ResultsPane& pane() { return *window->resultsPane(); }
    void withHits(int count) {
        std::vector<RecoveredHit> hits;
        for (int i = 0; i < count; ++i) {
            auto hit = makeHit("IMG_" + std::to_string(1000 + i) + ".jpg", 100'000 + i);
            hit.captureDate = std::chrono::system_clock::from_time_t(1'700'000'000 + i * 86'400);
            hits.push_back(hit);
        }
        model().setHits(hits);
        settle();
    }
    std::set<Uuid> selectedRows(std::initializer_list<int> rows) {
        std::set<Uuid> ids;
        for (int row : rows) ids.insert(model().displayedHit(static_cast<std::size_t>(row)).id);
        return ids;
    }
};

TEST(KeyboardFocus, TabRunsThroughStripFiltersListAndRecoverAndNeverChangesTheSelection) {
    KeyboardFixture f;
    f.withHits(5);
    f.model().setSelectedHitIDs(f.selectedRows({2}));
    f.settle();
    const auto selection = f.model().selectedHitIDs();

    QWidget* scan = f.window->toolbar()->widgetForAction(f.window->scanAction());
    f.window->volumeStrip()->setFocus(Qt::TabFocusReason);
    f.settle();
    const std::vector<QWidget*> chain = {f.window->volumeStrip(), f.pane().statusFilter(), f.pane().dateFilter(),
                                         f.pane().list(), f.pane().recoverButton()};
    for (std::size_t i = 1; i < chain.size(); ++i)
        EXPECT_EQ(f.press(Qt::Key_Tab), chain[i]) << "Tab step " << i << " lands on " << chain[i]->metaObject()->className();
    EXPECT_EQ(f.model().selectedHitIDs(), selection) << "Tab through the list keeps the selection";
    QWidget* afterRecover = f.press(Qt::Key_Tab);
    EXPECT_NE(afterRecover, f.pane().list()) << "Tab leaves the list and does not come back to it";
    EXPECT_TRUE(f.window->isAncestorOf(afterRecover));
    // Shift+Tab walks back the same way, past the list, again without selecting anything.
    f.pane().recoverButton()->setFocus(Qt::TabFocusReason);
    f.settle();
    for (std::size_t i = chain.size() - 1; i-- > 0;)
        EXPECT_EQ(f.press(Qt::Key_Backtab, Qt::ShiftModifier), chain[i]) << "Shift+Tab step to " << i;
    EXPECT_EQ(f.model().selectedHitIDs(), selection);
    // The toolbar's Scan (enabled once a volume is chosen) comes before the strip.
    f.model().setSelectedVolume(test::mountedCard("Card", "sdb"));
    f.settle();
    EXPECT_EQ(scan->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    scan->setFocus(Qt::TabFocusReason);
    f.settle();
    QWidget* next = f.press(Qt::Key_Tab);
    while (next && next != f.window->volumeStrip() && f.window->toolbar()->isAncestorOf(next)) next = f.press(Qt::Key_Tab);
    EXPECT_EQ(next, f.window->volumeStrip()) << "after the toolbar's buttons comes the strip";
}

TEST(KeyboardFocus, ArrowsMoveTheStripsRingWithoutChoosingAndSpaceOrReturnChooses) {
    KeyboardFixture f;
    VolumeStripView& strip = *f.window->volumeStrip();
    EXPECT_EQ(strip.focusPolicy(), Qt::StrongFocus);
    for (VolumeTile* tile : strip.tiles()) EXPECT_EQ(tile->focusPolicy(), Qt::NoFocus) << "one Tab stop for the strip";
    strip.setFocus(Qt::TabFocusReason);
    f.settle();
    ASSERT_EQ(strip.currentTile(), 0u);
    EXPECT_TRUE(strip.tiles()[0]->showsFocus());
    f.press(Qt::Key_Right);
    f.press(Qt::Key_Right);
    f.press(Qt::Key_Right);
    EXPECT_EQ(strip.currentTile(), 2u) << "stops at the last tile";
    EXPECT_FALSE(f.model().selectedVolume()) << "moving the ring chooses nothing";
    f.press(Qt::Key_Left);
    EXPECT_TRUE(strip.tiles()[1]->showsFocus());
    EXPECT_FALSE(strip.tiles()[2]->showsFocus());
    f.press(Qt::Key_Space);
    ASSERT_TRUE(f.model().selectedVolume());
    EXPECT_EQ(f.model().selectedVolume()->bsdName, "sdc");
    EXPECT_EQ(strip.currentTile(), 1u) << "the ring stays on its tile while the strip is rebuilt";
    f.press(Qt::Key_End);
    f.press(Qt::Key_Return);
    EXPECT_EQ(f.model().selectedVolume()->bsdName, "sdd");
    f.press(Qt::Key_Home);
    EXPECT_EQ(strip.currentTile(), 0u);
    f.press(Qt::Key_Tab);
    EXPECT_FALSE(strip.tiles()[0]->showsFocus()) << "no ring once the keyboard is elsewhere";
}

TEST(KeyboardFocus, ArrowsHomeAndEndSelectRowsInTheList) {
    KeyboardFixture f;
    f.withHits(6);
    HitsColumnList& list = *f.pane().list();
    list.setFocus(Qt::TabFocusReason);
    f.settle();
    EXPECT_TRUE(f.model().selectedHitIDs().empty()) << "taking the keyboard selects nothing";
    // The keyboard's row is the first one already: Home selects it all the same.
    f.press(Qt::Key_Home);
    EXPECT_EQ(f.model().selectedHitIDs(), f.selectedRows({0})) << "Home on the row that has the keyboard";
    f.press(Qt::Key_Down);
    EXPECT_EQ(f.model().selectedHitIDs(), f.selectedRows({1}));
    f.press(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(f.model().selectedHitIDs(), f.selectedRows({1, 2}));
    f.press(Qt::Key_End);
    EXPECT_EQ(f.model().selectedHitIDs(), f.selectedRows({5})) << "End goes to the last row";
    f.press(Qt::Key_Home);
    EXPECT_EQ(f.model().selectedHitIDs(), f.selectedRows({0})) << "Home goes to the first row";
    f.press(Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(f.model().selectedHitIDs().size(), 6u);

    // Two rows chosen with the keys, then Tab to "Recover Selected" and Space: the folder picker.
    f.press(Qt::Key_Home);
    f.press(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(f.press(Qt::Key_Tab), f.pane().recoverButton());
    EXPECT_TRUE(f.pane().recoverButton()->isEnabled());
    f.press(Qt::Key_Space);
    ASSERT_EQ(f.harness.dialogs->requests.size(), 1u) << "Space on Recover Selected opens the folder picker";
    f.harness.dialogs->answer(std::nullopt);
    f.settle();
    EXPECT_EQ(f.model().selectedHitIDs(), f.selectedRows({0, 1}));
}

TEST(KeyboardFocus, TheStatusAndDateFiltersOpenAndWorkWithTheKeyboard) {
    KeyboardFixture f;
    f.withHits(4);
    ResultsStatusFilterControl& status = *f.pane().statusFilter();
    status.setFocus(Qt::TabFocusReason);
    f.settle();
    EXPECT_TRUE(status.hasFocus());
    // The menu runs its own loop: the keys for it are sent from inside that loop.
    bool menuShown = false;
    QTimer::singleShot(0, [&] {
        QWidget* menu = QApplication::activePopupWidget();
        menuShown = menu == status.menu();
        if (!menu) return;
        // "All statuses" is the first item; three steps down is "Suspect".
        for (int i = 0; i < 3; ++i) QTest::keyClick(menu, Qt::Key_Down);
        QTest::keyClick(menu, Qt::Key_Return);
    });
    QTest::keyClick(&status, Qt::Key_Space);
    f.settle();
    EXPECT_TRUE(menuShown) << "Space opens the status menu";
    EXPECT_EQ(f.model().resultsIntegrityFilter(), ResultsIntegrityFilter::suspect);
    f.model().setResultsIntegrityFilter(ResultsIntegrityFilter::all);
    f.model().refreshDisplayedHits();
    f.settle();

    ResultsDateFilterControl& date = *f.pane().dateFilter();
    date.setFocus(Qt::TabFocusReason);
    f.settle();
    QTest::keyClick(&date, Qt::Key_Space);
    f.settle();
    DateFilterPopover& popover = *date.popover();
    ASSERT_TRUE(popover.isVisible()) << "Space opens the date popover";
    EXPECT_EQ(QApplication::focusWidget(), popover.fromToggle()) << "the keyboard goes into the popover";
    f.press(Qt::Key_Space);
    EXPECT_TRUE(f.model().resultsCaptureDateFrom()) << "Space turns From on";
    QWidget* field = f.press(Qt::Key_Tab);
    EXPECT_TRUE(field == popover.fromDate() || popover.fromDate()->isAncestorOf(field)) << "Tab reaches its date field";
    // Up raises the day of the field: the first day drops out of the list.
    const auto shown = f.model().displayedCount();
    QTest::keyClick(popover.fromDate(), Qt::Key_Up);
    f.settle();
    EXPECT_LT(f.model().displayedCount(), shown);
    // The calendar opens with F4 (or Alt+Down, as a combo box does).
    QTest::keyClick(popover.fromDate(), Qt::Key_F4);
    f.settle();
    QWidget* calendar = popover.fromDate()->calendarWidget();
    ASSERT_NE(calendar, nullptr);
    EXPECT_TRUE(calendar->isVisible());
    QTest::keyClick(calendar, Qt::Key_Escape);
    f.settle();
    EXPECT_TRUE(popover.isVisible()) << "Escape closes the calendar, not yet the popover";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    f.settle();
    EXPECT_FALSE(popover.isVisible());
    EXPECT_EQ(f.window->focusWidget(), &date) << "the keyboard comes back to the button";
}

TEST(KeyboardFocus, DialogsAreWindowsOfTheMainOneAndGiveTheKeyboardBack) {
    KeyboardFixture f;
    f.model().setErrorMessage(QStringLiteral("Disk access denied."));
    f.settle();
    QMessageBox* alert = f.window->errorAlert();
    ASSERT_NE(alert, nullptr);
    ASSERT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->windowType(), Qt::Dialog);
    EXPECT_EQ(alert->parentWidget(), f.window.get()) << "transient for the main window";
    EXPECT_FALSE(alert->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(alert->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(QTest::qWaitForWindowActive(alert)) << "the alert takes the keyboard";
    QTest::keyClick(alert, Qt::Key_Escape);
    f.settle();
    EXPECT_FALSE(alert->isVisible());
    EXPECT_TRUE(QTest::qWaitForWindowActive(f.window.get())) << "the main window has the keyboard again";
    EXPECT_EQ(QApplication::activeWindow(), f.window.get());
}

} // namespace
} // namespace vantrel
