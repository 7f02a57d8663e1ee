#pragma once
// The application's one window: the volume strip, the results pane and the status bar, the toolbar's
// Scan and Cancel, and every modal surface the model asks for (the "Error" alert, the "Save scan
// catalog?" question, the question before quitting during a scan, the sheets). The window holds no state of its own: all it shows is read from
// the model and the volume list.
//
// Every road the window starts goes to the model it holds, directly: Scan, Cancel, a scan mode, a
// recovery's folder, a preview and the selection it follows, a changed volume list and the answer of
// the unsaved-catalog question and of the question before quitting during a scan. The sheets are presented by the window's own SheetPresenter, so no
// road depends on anything connected afterwards.

#include "Vantrel/effects/VolumeSource.h"
#include "Vantrel/model/AppModel.h"

#include <QMainWindow>
#include <QMessageBox>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QToolBar;

namespace vantrel {

class ResultsPane;
class SheetPresenter;
class StatusBarView;
class VolumeStripView;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Fits a 1920×1080 screen at 200 % (960×540 logical pixels) with the desktop's panel and the
    // window's frame.
    static constexpr int minimumWidth = 880;
    static constexpr int minimumHeight = 480;

    MainWindow(AppModel& model, std::shared_ptr<VolumeSource> volumes, QWidget* parent = nullptr);
    ~MainWindow() override;

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
    QMessageBox* quitDuringScanDialog() const { return m_quitDuringScanDialog; }
    QMessageBox* catalogDiskDialog() const { return m_catalogDiskDialog; }
    SheetPresenter* sheets() const { return m_sheets; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void onField(AppModel::Field field);
    void refreshToolbar();
    void refreshErrorAlert();
    void refreshUnsavedDialog();
    void refreshCatalogDiskDialog();
    void refreshQuitDuringScanDialog();
    // A question the model asks: plain text under its title, modal to this window.
    QMessageBox* makeQuestion(QMessageBox::Icon icon, const QString& title, const QString& message);
    void showQuestion(QMessageBox& question);
    // The model took the question away: it closes without answering.
    static void closeAnsweredQuestion(QMessageBox* question);
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
    QMessageBox* m_quitDuringScanDialog = nullptr;
    QMessageBox* m_catalogDiskDialog = nullptr;
    SheetPresenter* m_sheets;
    bool m_tabChainDone = false;
};

} // namespace vantrel
