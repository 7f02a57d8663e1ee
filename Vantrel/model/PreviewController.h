#pragma once
// The application's one preview window's controller: the files the window shows (with the hit they
// came from), the temporary folder that holds them, and what the arrow keys do. Owned by the model;
// main thread only.
//
// One folder is shown at a time: showing new items removes the previous folder, and so do closing the
// window (endPanelControl) and the controller's end, at quit.

#include "Vantrel/effects/PreviewPanel.h"

#include "recovery/model/RecoveredHit.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace vantrel {

class PreviewController {
public:
    PreviewController() = default;
    // Removes the folder shown (cleanup).
    ~PreviewController();
    PreviewController(const PreviewController&) = delete;
    PreviewController& operator=(const PreviewController&) = delete;

    const std::vector<std::filesystem::path>& urls() const { return m_urls; }
    const std::optional<std::filesystem::path>& previewDirectory() const { return m_previewDirectory; }
    // The hit whose file is shown.
    const std::optional<RecoveredHit>& shownHit() const { return m_shownHit; }
    // Called with +1 or -1 by the arrow keys.
    void setOnNavigate(std::function<void(int)> navigate) { m_onNavigate = std::move(navigate); }
    bool hasOnNavigate() const { return static_cast<bool>(m_onNavigate); }

    // The window; none until the program sets one (then show only remembers the items).
    void setPanel(PreviewPanel* panel) { m_panel = panel; }
    PreviewPanel* panel() const { return m_panel; }

    // Shows the files of hit. The folder of the first becomes previewDirectory; the previous folder,
    // when it is another one, is removed.
    void show(std::vector<std::filesystem::path> urls, RecoveredHit hit);
    // Removes previewDirectory (errors ignored) and forgets the items.
    void cleanup();

    // ---- What the window asks.
    std::size_t numberOfPreviewItems() const { return m_urls.size(); }
    std::optional<std::filesystem::path> previewItem(std::size_t index) const;
    // Right and Down step +1, Left and Up -1, Home and End go to the first and the last row; those six
    // are handled (true) even with nothing to call.
    bool handleKey(int qtKey);
    // Space in the list while the window shows our items closes it, as file managers do: true when it did.
    bool closeIfShowing();
    bool acceptsPanelControl() const { return !m_urls.empty(); }
    void beginPanelControl() { m_controlling = true; }
    // The window closed: cleanup, and the arrow keys call nothing.
    void endPanelControl();
    // The window is visible with this controller's items.
    bool isShowingItems() const;

private:
    std::vector<std::filesystem::path> m_urls;
    std::optional<std::filesystem::path> m_previewDirectory;
    std::optional<RecoveredHit> m_shownHit;
    std::function<void(int)> m_onNavigate;
    PreviewPanel* m_panel = nullptr;
    bool m_controlling = false;
};

} // namespace vantrel
