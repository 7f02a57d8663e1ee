// The application delegate's removal of an empty View menu.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/model/MenuPruning.h"
#include "Vantrel/views/AppDelegate.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

QStringList titles(const QMenuBar& bar) {
    QStringList result;
    for (const QAction* action : bar.actions()) result << action->text();
    return result;
}

TEST(AppDelegate, AViewMenuOfSeparatorsGoesRightAfterLaunch) {
    test::widgetApplication();
    QMenuBar bar;
    bar.addMenu(QStringLiteral("File"))->addAction(QStringLiteral("Open Catalog…"));
    QMenu* view = bar.addMenu(QStringLiteral("Darstellung"));
    view->addSeparator();
    view->addSeparator();
    AppDelegate delegate;
    delegate.setMenuBar(&bar);
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(titles(bar).size(), 2);  // queued, not yet
    QCoreApplication::processEvents();
    EXPECT_EQ(titles(bar), QStringList{QStringLiteral("File")});
    EXPECT_TRUE(delegate.didPruneMenus());
}

TEST(AppDelegate, AViewMenuWithATitledItemStaysAndIsCheckedAgain) {
    test::widgetApplication();
    QMenuBar bar;
    QMenu* view = bar.addMenu(QStringLiteral("View"));
    QAction* item = view->addAction(QStringLiteral("Show Toolbar"));
    AppDelegate delegate;
    delegate.setMenuBar(&bar);
    delegate.applicationDidBecomeActive();
    EXPECT_EQ(titles(bar).size(), 1);
    EXPECT_FALSE(delegate.didPruneMenus());
    view->removeAction(item);
    delegate.applicationDidBecomeActive();
    EXPECT_TRUE(titles(bar).isEmpty());
}

TEST(AppDelegate, HoldsTheModelWeakly) {
    test::widgetApplication();
    AppDelegate delegate;
    auto harness = std::make_unique<test::AppModelHarness>();
    delegate.setModel(harness->model.get());
    EXPECT_EQ(delegate.model(), harness->model.get());
    harness.reset();
    EXPECT_EQ(delegate.model(), nullptr);
}

TEST(MenuPruning, OnlyTheFirstEmptyViewMenuWithASubmenuCounts) {
    using MenuPruning::TopLevelMenu;
    EXPECT_EQ(MenuPruning::emptyViewMenu({{"view", true, {}}, {"View", false, {}}, {"表示", true, {""}}, {"View", true, {}}}), 2u);
    EXPECT_FALSE(MenuPruning::emptyViewMenu({{"View", true, {"Zoom"}}}));
}

} // namespace
} // namespace vantrel
