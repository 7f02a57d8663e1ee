#pragma once
// The hit list: a desktop table over the model's displayed hits. Its selection is the model's
// selectedHitIDs (several rows, arrow keys, Home and End, Shift and Ctrl; no type-ahead); Space and the
// "Preview" item of the context menu preview the selection. Tab leaves the list without touching the
// selection.
//
// Rows are drawn selected from the model's selection. Qt's selection model keeps a run of selected rows
// as two persistent indexes, which every reset of the rows revisits, and looks through every run for
// each cell it draws: it holds the model's selection only while that is at most maxHeldRuns runs of
// rows (every row is one run, and so is what the keyboard and the mouse select), and none beyond. Then
// a command that adds rows to the selection or takes them from it (Ctrl with a click or Space) changes
// the model's selection directly; one that replaces it goes through Qt's selection as always.

#include "Vantrel/model/AppModel.h"

#include <QItemSelectionModel>
#include <QPersistentModelIndex>
#include <QTableView>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace vantrel {

class HitTableModel;
class HitsColumnHeader;

class HitsColumnList : public QTableView {
    Q_OBJECT

public:
    static constexpr int rowHeight = 40;
    // Runs of selected rows that Qt's selection model is given, at most.
    static constexpr std::size_t maxHeldRuns = 1024;

    explicit HitsColumnList(AppModel& model, QWidget* parent = nullptr);

    // Previews one hit (the model's preview flow); set by the window.
    std::function<void(const RecoveredHit&)> onPreview;
    // The model's selection changed (an open preview follows it); set by the window.
    std::function<void()> onSelectionChanged;

    HitTableModel* hitModel() const { return m_rows; }
    const AppModel& appModel() const { return m_model; }
    HitsColumnHeader* columnHeader() const { return m_header; }
    // What Space does: previews the hit to preview, if any.
    void previewSelection();
    // The context menu at a point of the viewport.
    void showContextMenu(QPoint position);
    // Whether Qt's selection model holds the model's selection now (see above).
    bool holdsModelSelection() const { return m_held; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void keyboardSearch(const QString& search) override;
    // Draws the rows anew. Qt's table would tell a screen reader here, before the model's selection
    // follows; tellSelection does once it has.
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

private:
    void applyModelSelection();
    void takeViewSelection();
    // Tells a screen reader that the model's selection changed, in one event however many rows it took:
    // on the keyboard's cell when its row came in or went out, else on the list.
    void tellSelection();
    // A command of the view to Qt's selection model, taken here while that holds none of the model's
    // selection; whether it was.
    bool takeCommand(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command);
    // The identities of the hits of runs of rows (first and last row of each).
    std::vector<Uuid> idsOfRuns(const std::vector<std::pair<int, int>>& runs) const;

    AppModel& m_model;
    HitTableModel* m_rows;
    HitsColumnHeader* m_header;
    bool m_applying = false;
    bool m_writing = false;
    bool m_held = true;
    std::uint64_t m_appliedVersion = 0;       // the model's selection that the table shows
    std::vector<std::size_t> m_selectedRows;  // memory of the last look-up of the selected rows
    QPersistentModelIndex m_toldCell;          // the keyboard's cell when a screen reader was last told
    bool m_toldSelected = false;               // and whether its row was selected then
};

} // namespace vantrel
