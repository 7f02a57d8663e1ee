#pragma once
// The application's one window: the volume strip, the results pane and the status bar, the toolbar's
// Scan and Cancel, and every modal surface the model asks for (the "Error" alert, the "Save scan
// catalog?" question, the sheets). The window holds no state of its own: all it shows is read from
// the model and the volume list.
//
// Flows the window starts but does not own reach their owners through the hooks, which the program
// connects (a hook that is not set does nothing).

#include "Vantrel/effects/VolumeSource.h"
#include "Vantrel/model/AppModel.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QDialog;
class QMessageBox;
class QToolBar;

namespace vantrel {

class ResultsPane;
class StatusBarView;
class VolumeStripView;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 980;
    static constexpr int minimumHeight = 640;

    enum class Sheet : std::uint8_t { helper, help, scanMode, scanSettings };

    struct Hooks {
        std::function<void()> requestScan;                               // "Scan" and Ctrl+R
        std::function<void()> cancelScan;                                // "Cancel"
        std::function<void(ScanMode)> startScan;                          // "Start Standard scan"
        std::function<void(const std::string& folder)> recoverSelected;   // the chosen "Recover Here" folder
        std::function<void(const RecoveredHit&)> previewHit;              // Space, "Preview"
        std::function<void()> selectionChanged;                           // an open preview follows it
        std::function<void(const std::vector<ExternalVolume>&)> reconcileSelectedVolume;  // the list changed
        // The "Save scan catalog?" answer; without it the model's decision is resolved here, with
        // "Save Catalog…" counting as Cancel since nothing could be saved.
        std::function<void(bool save, bool discard)> resolveUnsavedCatalogPrompt;
        // The dialog of a sheet, opened while the model's flag is set; none leaves the flag alone.
        std::function<QDialog*(Sheet, QWidget* parent)> makeSheet;
    };

    MainWindow(AppModel& model, std::shared_ptr<VolumeSource> volumes, QWidget* parent = nullptr);
    ~MainWindow() override;

    Hooks hooks;

    // The folder picker of "Recover Selected".
    void recoverSelected();

    QAction* scanAction() const { return m_scan; }
    QAction* cancelAction() const { return m_cancel; }
    QToolBar* toolbar() const { return m_toolbar; }
    VolumeStripView* volumeStrip() const { return m_strip; }
    ResultsPane* resultsPane() const { return m_results; }
    StatusBarView* statusBarView() const { return m_status; }
    QMessageBox* errorAlert() const { return m_errorAlert; }
    QMessageBox* unsavedCatalogDialog() const { return m_unsavedDialog; }
    QDialog* sheet(Sheet which) const;

private:
    void onField(AppModel::Field field);
    void refreshToolbar();
    void refreshErrorAlert();
    void refreshUnsavedDialog();
    void refreshSheet(Sheet which);
    void volumesChanged(const std::vector<ExternalVolume>& volumes);
    void answerUnsaved(int answer);

    AppModel& m_model;
    std::shared_ptr<VolumeSource> m_volumes;
    std::optional<std::vector<ExternalVolume>> m_lastVolumes;
    QToolBar* m_toolbar;
    QAction* m_scan;
    QAction* m_cancel;
    VolumeStripView* m_strip;
    ResultsPane* m_results;
    StatusBarView* m_status;
    QMessageBox* m_errorAlert = nullptr;
    QMessageBox* m_unsavedDialog = nullptr;
    std::array<QDialog*, 4> m_sheets{};
};

} // namespace vantrel
