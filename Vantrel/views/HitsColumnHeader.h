#pragma once
// The results table's column titles: a click sorts through the model (Name and Type A to Z first,
// Size, Resolution and Date largest or newest first, a second click reverses; Status sorts by
// integrity), the active column shows a chevron, and the Status title holds the compact status menu.

#include "Vantrel/model/AppModel.h"

#include <QHeaderView>

class QMenu;

namespace vantrel {

class HitsColumnHeader : public QHeaderView {
    Q_OBJECT

public:
    static constexpr int filterIconSize = 14;

    explicit HitsColumnHeader(AppModel& model, QWidget* parent = nullptr);

    // Where the compact status menu's symbol sits, in the header's coordinates.
    QRect statusFilterRect() const;
    QMenu* statusMenu() const { return m_statusMenu; }
    QSize sizeHint() const override;

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void clickSection(int logicalIndex, QPoint position);

    AppModel& m_model;
    QMenu* m_statusMenu;
    QPoint m_pressPosition;
    int m_pressedSection = -1;
};

} // namespace vantrel
