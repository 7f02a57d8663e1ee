#pragma once
// The hit list: a desktop table over the model's displayed hits. Its selection is the model's
// selectedHitIDs (several rows, arrow keys, Home and End, Shift and Ctrl; no type-ahead); Space and the
// "Preview" item of the context menu preview the selection. Tab leaves the list without touching the
// selection.

#include "Vantrel/model/AppModel.h"

#include <QTableView>

#include <functional>

namespace vantrel {

class HitTableModel;
class HitsColumnHeader;

class HitsColumnList : public QTableView {
    Q_OBJECT

public:
    static constexpr int rowHeight = 40;

    explicit HitsColumnList(AppModel& model, QWidget* parent = nullptr);

    // Previews one hit (the model's preview flow); set by the window.
    std::function<void(const RecoveredHit&)> onPreview;
    // The model's selection changed (an open preview follows it); set by the window.
    std::function<void()> onSelectionChanged;

    HitTableModel* hitModel() const { return m_rows; }
    HitsColumnHeader* columnHeader() const { return m_header; }
    // What Space does: previews the hit to preview, if any.
    void previewSelection();
    // The context menu at a point of the viewport.
    void showContextMenu(QPoint position);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void keyboardSearch(const QString& search) override;

private:
    void applyModelSelection();
    void takeViewSelection();

    AppModel& m_model;
    HitTableModel* m_rows;
    HitsColumnHeader* m_header;
    bool m_applying = false;
    bool m_writing = false;
};

} // namespace vantrel
