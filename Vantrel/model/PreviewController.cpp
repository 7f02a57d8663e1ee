#include "Vantrel/model/PreviewController.h"

#include <Qt>

#include <limits>

namespace vantrel {

namespace {

void removeFolder(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

} // namespace

PreviewController::~PreviewController() { cleanup(); }

void PreviewController::show(std::vector<std::filesystem::path> urls, RecoveredHit hit) {
    const auto previous = m_previewDirectory;
    m_urls = std::move(urls);
    if (m_urls.empty()) return;
    m_shownHit = std::move(hit);
    m_previewDirectory = m_urls.front().parent_path();
    if (previous && *previous != *m_previewDirectory) removeFolder(*previous);
    if (!m_panel) return;
    beginPanelControl();
    m_panel->showPreview();
}

void PreviewController::cleanup() {
    if (m_previewDirectory) removeFolder(*m_previewDirectory);
    m_previewDirectory.reset();
    m_urls.clear();
    m_shownHit.reset();
}

std::optional<std::filesystem::path> PreviewController::previewItem(std::size_t index) const {
    if (index >= m_urls.size()) return std::nullopt;
    return m_urls[index];
}

bool PreviewController::handleKey(int qtKey) {
    int step = 0;
    switch (qtKey) {
    case Qt::Key_Right:
    case Qt::Key_Down: step = 1; break;
    case Qt::Key_Left:
    case Qt::Key_Up: step = -1; break;
    // The selection is clamped to the list, so the longest step lands on its end.
    case Qt::Key_Home: step = -std::numeric_limits<int>::max(); break;
    case Qt::Key_End: step = std::numeric_limits<int>::max(); break;
    default: return false;
    }
    if (m_onNavigate) m_onNavigate(step);
    return true;
}

void PreviewController::endPanelControl() {
    cleanup();
    m_controlling = false;
    m_onNavigate = nullptr;
}

bool PreviewController::closeIfShowing() {
    if (!isShowingItems()) return false;
    m_panel->closePanel();
    return true;
}

bool PreviewController::isShowingItems() const { return m_controlling && m_panel && m_panel->isPanelVisible(); }

} // namespace vantrel
