#pragma once
// The preview window: the file the preview controller holds, shown as its kind allows. Pictures and a
// PDF's first page are drawn by the verifying child into a PNG and scaled to the window (of a damaged
// or cut picture the part that decodes, with a note that says so); sound and video show the duration
// and picture size their container states and offer the default application; every other kind shows
// its facts and a hex view of its first bytes. The arrow keys step through the results list (Home and End to its ends), and the window
// follows the selection. Escape, Ctrl+W, Space and "Close" close it, which ends the controller's
// control and removes the preview folder. It is a dialog window of the main window.

#include "Vantrel/async/TaskScope.h"
#include "Vantrel/effects/PreviewPanel.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/PreviewRenderer.h"

#include <QImage>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;

namespace vantrel {

class CheckWorkers;

class PreviewWindow final : public QWidget, public PreviewPanel {
    Q_OBJECT

public:
    // The drawings are made at most this large; the window scales them.
    static constexpr int maxDrawingSidePixels = 2048;
    static constexpr int defaultWidth = 720;
    static constexpr int defaultHeight = 560;
    // The duration and picture size of sound and video are this much larger than the window's text.
    static constexpr double mediaFactsScale = 1.5;

    // A window of its own above parent; it takes the model's controller as its panel.
    explicit PreviewWindow(AppModel& model, QWidget* parent = nullptr);
    ~PreviewWindow() override;

    bool isPanelVisible() const override { return isVisible(); }
    void showPreview() override;
    void closePanel() override;

    // Opens the shown file; the desktop's default application unless a test sets another. False when
    // nothing could open it, which the window then says.
    std::function<bool(const QUrl&)> openExternally;

    // ---- What tests read.
    bool isDrawing() const { return m_drawing; }
    // The picture shown is only the part of it that decoded.
    bool isPartial() const { return m_partial; }
    const QImage& drawnPicture() const { return m_picture; }
    QLabel* pictureView() const { return m_pictureView; }
    QLabel* factsView() const { return m_factsView; }
    QLabel* hexView() const { return m_hexView; }
    QLabel* noteView() const { return m_noteView; }
    QLabel* mediaView() const { return m_mediaView; }
    QPushButton* openButton() const { return m_openButton; }
    QPushButton* closeButton() const { return m_closeButton; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // The picture follows its view's size.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Task<void> draw(std::filesystem::path file, RecoveredFileKind kind, std::uint64_t generation);
    void showDrawing(QImage picture, std::optional<int> pageCount, bool partial);
    void scalePicture();
    void showNote(const QString& note);
    void placeBesideParent();

    AppModel& m_model;
    QLabel* m_pictureView = nullptr;
    QLabel* m_factsView = nullptr;
    QLabel* m_hexView = nullptr;
    QLabel* m_noteView = nullptr;
    QWidget* m_mediaPanel = nullptr;
    QLabel* m_mediaView = nullptr;
    QPushButton* m_openButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    bool m_placed = false;
    QImage m_picture;
    QString m_facts;
    bool m_drawing = false;
    bool m_partial = false;
    std::uint64_t m_drawGeneration = 0;  // only the newest drawing is shown
    std::shared_ptr<CheckWorkers> m_workers;
    // Last, so it goes first: a drawing in flight never reaches a window that is gone.
    std::unique_ptr<TaskScope> m_tasks;
};

} // namespace vantrel
