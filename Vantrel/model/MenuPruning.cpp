#include "Vantrel/model/MenuPruning.h"

#include <algorithm>

namespace vantrel::MenuPruning {

bool isViewTitle(const QString& title) {
    static const QString titles[] = {QStringLiteral("View"),          QStringLiteral("Darstellung"),
                                     QStringLiteral("Présentation"),  QStringLiteral("Visualizzazione"),
                                     QStringLiteral("Visualización"), QStringLiteral("表示")};
    return std::find(std::begin(titles), std::end(titles), title) != std::end(titles);
}

std::optional<std::size_t> emptyViewMenu(const std::vector<TopLevelMenu>& menus) {
    for (std::size_t i = 0; i < menus.size(); ++i) {
        const auto& menu = menus[i];
        if (!isViewTitle(menu.title) || !menu.hasSubmenu) continue;
        const bool anyTitled = std::any_of(menu.itemTitles.begin(), menu.itemTitles.end(), [](const QString& t) { return !t.isEmpty(); });
        if (!anyTitled) return i;
    }
    return std::nullopt;
}

} // namespace vantrel::MenuPruning
