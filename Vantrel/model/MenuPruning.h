#pragma once
// Which top-level menu the application removes: the first "View" menu (in any of the titles the
// toolkit may give it) that has a submenu without a single titled item.

#include <QString>

#include <optional>
#include <vector>

namespace vantrel::MenuPruning {

// One top-level menu as the rule sees it: its title, whether it opens a submenu, and the titles of
// the submenu's items that are not separators.
struct TopLevelMenu {
    QString title;
    bool hasSubmenu = false;
    std::vector<QString> itemTitles;
};

// "View", "Darstellung", "Présentation", "Visualizzazione", "Visualización", "表示", compared exactly.
bool isViewTitle(const QString& title);
// The index of the menu to remove, if any.
std::optional<std::size_t> emptyViewMenu(const std::vector<TopLevelMenu>& menus);

} // namespace vantrel::MenuPruning
