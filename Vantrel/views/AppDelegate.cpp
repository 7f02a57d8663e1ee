#include "Vantrel/views/AppDelegate.h"

#include "Vantrel/model/MenuPruning.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>

namespace vantrel {

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

void AppDelegate::applicationDidFinishLaunching() {
    // Queued on this object: a delegate destroyed before the turn takes the call with it.
    QMetaObject::invokeMethod(this, &AppDelegate::pruneMenus, Qt::QueuedConnection);
}

void AppDelegate::applicationDidBecomeActive() {
    pruneMenus();
}

void AppDelegate::pruneMenus() {
    if (m_didPruneMenus || !m_menuBar) return;
    const auto actions = m_menuBar->actions();
    std::vector<MenuPruning::TopLevelMenu> menus;
    for (QAction* action : actions) {
        MenuPruning::TopLevelMenu menu;
        menu.title = action->text();
        menu.hasSubmenu = action->menu() != nullptr;
        if (QMenu* submenu = action->menu())
            for (QAction* item : submenu->actions())
                if (!item->isSeparator()) menu.itemTitles.push_back(item->text());
        menus.push_back(std::move(menu));
    }
    const auto index = MenuPruning::emptyViewMenu(menus);
    if (!index) return;
    m_menuBar->removeAction(actions[static_cast<qsizetype>(*index)]);
    m_didPruneMenus = true;
}

} // namespace vantrel
