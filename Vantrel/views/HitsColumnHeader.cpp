#include "Vantrel/views/HitsColumnHeader.h"

#include "Vantrel/views/ResultsFilterControls.h"
#include "Vantrel/views/ResultsFilterLogic.h"
#include "Vantrel/views/ResultsPaneLogic.h"
#include "Vantrel/views/Symbols.h"
#include "Vantrel/views/ViewColors.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

namespace vantrel {
namespace {

using ResultsPaneLogic::Column;
constexpr int horizontalPadding = 8;

QFont headerFont(QFont font) {
    font.setPointSizeF(font.pointSizeF() * 0.92);
    font.setWeight(QFont::DemiBold);
    return font;
}

} // namespace

HitsColumnHeader::HitsColumnHeader(AppModel& model, QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent), m_model(model), m_statusMenu(new QMenu(this)) {
    setSectionsClickable(true);
    setHighlightSections(false);
    setSortIndicatorShown(false);
    setSectionsMovable(false);
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        if (field == AppModel::Field::resultsSort || field == AppModel::Field::resultsIntegrityFilter) viewport()->update();
    });
}

QSize HitsColumnHeader::sizeHint() const {
    QSize size = QHeaderView::sizeHint();
    size.setHeight(QFontMetrics(headerFont(font())).height() + 12);
    return size;
}

QRect HitsColumnHeader::statusFilterRect() const {
    const int status = static_cast<int>(Column::status);
    const int left = sectionViewportPosition(status);
    const int width = sectionSize(status);
    const QFontMetrics metrics(headerFont(font()));
    const int titleEnd = left + horizontalPadding + metrics.horizontalAdvance(ResultsPaneLogic::columnTitle(Column::status)) + 4 +
                         filterIconSize + 4;
    const int x = std::min(titleEnd, left + width - filterIconSize - horizontalPadding);
    return {x, (height() - filterIconSize) / 2, filterIconSize, filterIconSize};
}

void HitsColumnHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    if (logicalIndex < 0 || logicalIndex >= ResultsPaneLogic::columnCount) return;
    painter->save();
    QStyleOptionHeader option;
    initStyleOption(&option);
    option.rect = rect;
    option.section = logicalIndex;
    option.text.clear();
    option.state |= QStyle::State_Enabled;
    style()->drawControl(QStyle::CE_HeaderSection, &option, painter, this);

    const auto column = static_cast<Column>(logicalIndex);
    const auto state = ResultsPaneLogic::headerState(column, m_model.resultsSort());
    const bool sortable = column == Column::status || ResultsPaneLogic::sortPair(column).has_value();
    const QFont font = headerFont(this->font());
    const QFontMetrics metrics(font);
    const QString title = ResultsPaneLogic::columnTitle(column);
    const QPalette& pal = palette();
    painter->setFont(font);
    painter->setPen(ViewColors::color(sortable && state.isActive ? ColorRole::primary : ColorRole::secondary, pal));
    int x = rect.left() + horizontalPadding;
    const QRect textRect(x, rect.top(), rect.width() - 2 * horizontalPadding, rect.height());
    const QString shown = metrics.elidedText(title, Qt::ElideRight, textRect.width());
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, shown);
    x += metrics.horizontalAdvance(shown) + 4;

    if (const auto chevron = ResultsPaneLogic::chevronSymbol(state)) {
        const int size = 9;
        painter->drawPixmap(x, rect.center().y() - size / 2,
                            Symbols::pixmap(*chevron, size, ViewColors::color(ColorRole::secondary, pal), devicePixelRatioF()));
        x += size + 4;
    }
    if (column == Column::status) {
        const QRect icon = statusFilterRect().translated(0, rect.top());
        const ColorRole tint = ResultsFilterLogic::menuTint(m_model.resultsIntegrityFilter());
        painter->drawPixmap(icon.topLeft(), Symbols::pixmap(ResultsFilterLogic::menuSymbol(), filterIconSize,
                                                            ViewColors::color(tint, pal), devicePixelRatioF()));
    }
    painter->restore();
}

void HitsColumnHeader::mousePressEvent(QMouseEvent* event) {
    m_pressPosition = event->position().toPoint();
    m_pressedSection = logicalIndexAt(m_pressPosition);
    event->accept();
}

void HitsColumnHeader::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint position = event->position().toPoint();
    const int section = logicalIndexAt(position);
    if (event->button() == Qt::LeftButton && section >= 0 && section == m_pressedSection) clickSection(section, position);
    m_pressedSection = -1;
    event->accept();
}

void HitsColumnHeader::clickSection(int logicalIndex, QPoint position) {
    const auto column = static_cast<Column>(logicalIndex);
    if (column == Column::status && statusFilterRect().adjusted(-4, -4, 4, 4).contains(position)) {
        populateStatusMenu(*m_statusMenu, m_model);
        m_statusMenu->popup(mapToGlobal(QPoint(statusFilterRect().left(), height())));
        return;
    }
    ResultsPaneLogic::sortByColumn(m_model, column);
}

} // namespace vantrel
