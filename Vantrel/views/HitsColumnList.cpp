#include "Vantrel/views/HitsColumnList.h"

#include "Vantrel/views/ColorContrast.h"

#include "Vantrel/views/HitListAccessibility.h"
#include "Vantrel/views/HitTableModel.h"
#include "Vantrel/views/HitsColumnHeader.h"
#include "Vantrel/views/ResultsFilterLogic.h"
#include "Vantrel/views/ResultsPaneLogic.h"
#include "Vantrel/views/Symbols.h"
#include "Vantrel/views/ViewColors.h"

#include <QAccessible>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QStyledItemDelegate>

#include <algorithm>

namespace vantrel {
namespace {

using ResultsPaneLogic::Column;
constexpr int cellPadding = 8;

QFont scaled(QFont font, double scale, QFont::Weight weight = QFont::Normal) {
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setWeight(weight);
    return font;
}

// A row's height for the list's font: the name's line and the path's below it with room around them,
// and never less than the list's usual height.
int rowHeightFor(const QFont& font) {
    constexpr int verticalRoom = 12;
    const int lines = QFontMetrics(scaled(font, 1.0, QFont::Medium)).height() + 1 + QFontMetrics(scaled(font, 0.8)).height();
    return std::max(HitsColumnList::rowHeight, lines + verticalRoom);
}

// Draws a row's cells: the name with its symbol and path, the badge, and the plain texts in their
// colours. Every text is drawn as plain text.
class HitRowDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& viewOption, const QModelIndex& index) const override {
        // Selected as the model's selection says (Qt's selection model may hold none of it).
        QStyleOptionViewItem option = viewOption;
        option.state.setFlag(QStyle::State_Selected, index.data(HitTableModel::selectedRole).toBool());
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        background.icon = QIcon();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : nullptr;
        if (style) style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

        painter->save();
        const bool selected = option.state & QStyle::State_Selected;
        QPalette pal = option.palette;
        if (selected) pal.setColor(QPalette::WindowText, pal.color(QPalette::HighlightedText));
        const QRect cell = option.rect.adjusted(cellPadding, 0, -cellPadding, 0);
        const auto column = static_cast<Column>(index.column());
        const auto role = static_cast<ColorRole>(index.data(HitTableModel::colorRole).toInt());
        const QColor textColor = selected ? pal.color(QPalette::HighlightedText) : ViewColors::color(role, pal);

        if (column == Column::name) {
            paintName(painter, option, index, cell, pal, selected);
        } else if (column == Column::status && index.data(HitTableModel::badgeRole).toBool()) {
            paintBadge(painter, option, index, cell, pal, selected);
        } else {
            painter->setFont(option.font);
            painter->setPen(textColor);
            const auto alignment = static_cast<Qt::Alignment>(index.data(Qt::TextAlignmentRole).toInt());
            const QString text = index.data(Qt::DisplayRole).toString();
            painter->drawText(cell, int(alignment | Qt::TextSingleLine),
                              option.fontMetrics.elidedText(text, Qt::ElideRight, cell.width()));
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(rowHeightFor(option.font));
        return size;
    }

private:
    static void paintName(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index, const QRect& cell,
                          const QPalette& pal, bool selected) {
        const int symbolSize = 20;
        const QColor symbolColor = selected ? pal.color(QPalette::HighlightedText) : ViewColors::color(ColorRole::secondary, pal);
        const QPixmap symbol = Symbols::pixmap(index.data(HitTableModel::symbolRole).toString(), symbolSize, symbolColor,
                                               painter->device() ? painter->device()->devicePixelRatioF() : 1.0);
        painter->drawPixmap(cell.left() + (28 - symbolSize) / 2, cell.center().y() - symbolSize / 2 + 1, symbol);

        const QRect text = cell.adjusted(28 + 10, 0, 0, 0);
        const QString name = index.data(Qt::DisplayRole).toString();
        const QString path = index.data(HitTableModel::pathRole).toString();
        const QFont nameFont = scaled(option.font, 1.0, QFont::Medium);
        const QFontMetrics nameMetrics(nameFont);
        painter->setFont(nameFont);
        painter->setPen(selected ? pal.color(QPalette::HighlightedText) : ViewColors::color(ColorRole::primary, pal));
        if (path.isEmpty()) {
            painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                              nameMetrics.elidedText(name, Qt::ElideRight, text.width()));
            return;
        }
        const QFont pathFont = scaled(option.font, 0.8);
        const QFontMetrics pathMetrics(pathFont);
        const int total = nameMetrics.height() + 1 + pathMetrics.height();
        const int top = text.top() + (text.height() - total) / 2;
        // Each line is laid out in a box of its font's height, but not clipped to it: an underscore is
        // drawn below the font's descent in common fonts, and the box would cut it off. The row clips.
        const int lineFlags = Qt::AlignLeft | Qt::TextSingleLine | Qt::TextDontClip;
        painter->drawText(QRect(text.left(), top, text.width(), nameMetrics.height()), lineFlags,
                          nameMetrics.elidedText(name, Qt::ElideRight, text.width()));
        painter->setFont(pathFont);
        painter->setPen(selected ? pal.color(QPalette::HighlightedText) : ViewColors::color(ColorRole::tertiary, pal));
        painter->drawText(QRect(text.left(), top + nameMetrics.height() + 1, text.width(), pathMetrics.height()), lineFlags,
                          pathMetrics.elidedText(path, Qt::ElideMiddle, text.width()));
    }

    static void paintBadge(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index, const QRect& cell,
                           const QPalette& pal, bool selected) {
        const auto badge = ResultsFilterLogic::badge(static_cast<HitIntegrity>(index.data(HitTableModel::integrityRole).toInt()),
                                                     index.data(HitTableModel::reallocatedRole).toBool());
        const QFont font = scaled(option.font, 0.8, QFont::DemiBold);
        const QFontMetrics metrics(font);
        const QSize size(metrics.horizontalAdvance(badge.label) + 12, metrics.height() + 2);
        const QRectF capsule(cell.left(), cell.center().y() - size.height() / 2.0 + 0.5, size.width(), size.height());
        painter->setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
        // On a selected row the tint alone would leave the badge's coloured text on the highlight: the
        // capsule gets the list's own background under its tint.
        if (selected) painter->fillPath(path, option.palette.color(QPalette::Base));
        // The label keeps a text's contrast on its tint in a light palette and a dark one alike. On a
        // selected row the badge takes the list's own colours, not the highlighted row's (whose text
        // colour would vanish on it).
        const auto colors = ColorContrast::badgeColors(badge.color, selected ? option.palette : pal, badge.fillOpacity);
        painter->fillPath(path, colors.fill);
        painter->setFont(font);
        painter->setPen(colors.text);
        painter->drawText(capsule, Qt::AlignCenter | Qt::TextSingleLine, badge.label);
    }
};

// Qt's selection model, with the commands of the view offered to the list first.
class HitSelectionModel final : public QItemSelectionModel {
public:
    using QItemSelectionModel::QItemSelectionModel;
    using QItemSelectionModel::select;

    // Answers whether it took the command.
    std::function<bool(const QItemSelection&, SelectionFlags)> takeCommand;

    // The one-index form and setCurrentIndex come here too.
    void select(const QItemSelection& selection, SelectionFlags command) override {
        if (takeCommand && takeCommand(selection, command)) return;
        QItemSelectionModel::select(selection, command);
    }
};

// The rows of a selection as runs, in ascending order, overlaps joined.
std::vector<std::pair<int, int>> runsOf(const QItemSelection& selection) {
    std::vector<std::pair<int, int>> runs;
    runs.reserve(static_cast<std::size_t>(selection.size()));
    for (const QItemSelectionRange& range : selection)
        if (range.isValid()) runs.emplace_back(range.top(), range.bottom());
    std::sort(runs.begin(), runs.end());
    std::size_t joined = 0;
    for (const auto& run : runs) {
        if (joined > 0 && run.first <= runs[joined - 1].second + 1)
            runs[joined - 1].second = std::max(runs[joined - 1].second, run.second);
        else
            runs[joined++] = run;
    }
    runs.resize(joined);
    return runs;
}

} // namespace

HitsColumnList::HitsColumnList(AppModel& model, QWidget* parent)
    : QTableView(parent), m_model(model), m_rows(new HitTableModel(model, this)), m_header(new HitsColumnHeader(model, this)) {
    HitListAccessibility::install();
    setObjectName(QStringLiteral("hitList"));
    setHorizontalHeader(m_header);
    setModel(m_rows);
    auto* selection = new HitSelectionModel(m_rows, this);
    selection->takeCommand = [this](const QItemSelection& rows, QItemSelectionModel::SelectionFlags command) {
        return takeCommand(rows, command);
    };
    QItemSelectionModel* made = selectionModel();
    setSelectionModel(selection);
    delete made;
    setItemDelegate(new HitRowDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setAlternatingRowColors(true);
    setShowGrid(false);
    setWordWrap(false);
    setSortingEnabled(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::StrongFocus);
    // Tab leaves the list for the next control; inside it the arrows move, and they alone select.
    setTabKeyNavigation(false);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setContextMenuPolicy(Qt::CustomContextMenu);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // Rows grow with the font (large fonts, a high font DPI): the two lines of the name cell fit.
    verticalHeader()->setDefaultSectionSize(rowHeightFor(font()));
    // Columns widen as the rows grow, so that large fonts keep their texts whole.
    const double fontScale = static_cast<double>(rowHeightFor(font())) / rowHeight;
    for (int column = 0; column < ResultsPaneLogic::columnCount; ++column) {
        const int width = static_cast<int>(ResultsPaneLogic::columnWidth(static_cast<Column>(column)) * fontScale);
        if (width == 0) {
            m_header->setSectionResizeMode(column, QHeaderView::Stretch);
        } else {
            m_header->setSectionResizeMode(column, QHeaderView::Fixed);
            m_header->resizeSection(column, width + 2 * cellPadding);
        }
    }
    m_header->setMinimumSectionSize(40);

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { takeViewSelection(); });
    connect(m_rows, &HitTableModel::rowsWereReset, this, &HitsColumnList::applyModelSelection);
    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        if (field != AppModel::Field::selectedHitIDs) return;
        // A selection thinned for a new list was shown with it already; a hit that left with its row
        // left Qt's selection with the row, and is drawn from the model's selection as before.
        if (!m_writing && m_model.selectionVersion() != m_appliedVersion) {
            if (m_model.selectionLostARemovedRowSince(m_appliedVersion)) m_appliedVersion = m_model.selectionVersion();
            else applyModelSelection();
        }
        tellSelection();
        if (onSelectionChanged) onSelectionChanged();
    });
    connect(this, &QWidget::customContextMenuRequested, this, &HitsColumnList::showContextMenu);
    applyModelSelection();
}

void HitsColumnList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        // Consumed also when nothing is selected; a second Space closes the preview again.
        if (!m_model.previewController().closeIfShowing()) previewSelection();
        event->accept();
        return;
    }
    const bool toAnEnd = (event->key() == Qt::Key_Home || event->key() == Qt::Key_End) && event->modifiers() == Qt::NoModifier;
    const QModelIndex before = currentIndex();
    QTableView::keyPressEvent(event);
    // The view selects only when the keyboard's row moves: Home on the first row (where the keyboard
    // lands in the list) or End on the last would leave nothing selected.
    if (toAnEnd && currentIndex().isValid() && currentIndex() == before)
        selectionModel()->setCurrentIndex(currentIndex(), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QModelIndex HitsColumnList::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    // A row is one thing here: Home and End go to the first and the last row, not to a cell of the row.
    const int rows = m_rows->rowCount();
    if (rows > 0 && (action == MoveHome || action == MoveEnd)) {
        const int column = std::max(currentIndex().column(), 0);
        return m_rows->index(action == MoveHome ? 0 : rows - 1, column);
    }
    return QTableView::moveCursor(action, modifiers);
}

void HitsColumnList::keyboardSearch(const QString&) {
    // No type-ahead: letters do not jump to rows.
}

void HitsColumnList::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QAbstractItemView::selectionChanged(selected, deselected);  // NOLINT(bugprone-parent-virtual-call): Qt's table's telling is left out
}

void HitsColumnList::tellSelection() {
    if (!QAccessible::isActive()) return;
    const QModelIndex cell = currentIndex();
    const bool selected = cell.isValid() && cell.data(HitTableModel::selectedRole).toBool();
    const bool cellChanged = cell.isValid() && (QModelIndex(m_toldCell) != cell || selected != m_toldSelected);
    m_toldCell = cell;
    m_toldSelected = selected;
    if (cellChanged) {
        // A screen reader reads the cell's state and hears of the list's selection with it.
        QAccessibleEvent event(this, selected ? QAccessible::SelectionAdd : QAccessible::SelectionRemove);
        event.setChild(HitListAccessibility::childOf(*this, cell));
        QAccessible::updateAccessibility(&event);
        return;
    }
    QAccessibleEvent event(this, QAccessible::SelectionWithin);
    QAccessible::updateAccessibility(&event);
}

void HitsColumnList::previewSelection() {
    const RecoveredHit* hit = ResultsPaneLogic::hitToPreview(m_model);
    if (hit && onPreview) onPreview(*hit);
}

void HitsColumnList::showContextMenu(QPoint position) {
    QMenu menu(this);
    QAction* preview = menu.addAction(ResultsPaneLogic::previewTitle());
    preview->setEnabled(!m_model.selectedHitIDs().empty());
    connect(preview, &QAction::triggered, this, &HitsColumnList::previewSelection);
    menu.exec(viewport()->mapToGlobal(position));
}

void HitsColumnList::applyModelSelection() {
    // In ascending order, found in one pass however many are selected.
    m_model.selectedDisplayedRows(m_selectedRows);
    const std::vector<std::size_t>& rows = m_selectedRows;
    std::size_t runs = 0;
    for (std::size_t i = 0; i < rows.size() && runs <= maxHeldRuns; ++i)
        if (i == 0 || rows[i] != rows[i - 1] + 1) ++runs;
    const bool held = runs <= maxHeldRuns;
    QItemSelection selection;
    const int last = m_rows->columnCount() - 1;
    for (std::size_t i = 0; held && i < rows.size();) {
        std::size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1) ++j;
        selection.select(m_rows->index(static_cast<int>(rows[i]), 0), m_rows->index(static_cast<int>(rows[j]), last));
        i = j + 1;
    }
    m_applying = true;
    // Cleared first, then selected: Qt compares the selection it had with the new one range by range, at
    // the product of their counts, and compares nothing when either is empty. The ranges are whole rows
    // already, which Qt would otherwise widen one by one, merging each into the rest.
    selectionModel()->clearSelection();
    if (held && !selection.isEmpty()) selectionModel()->select(selection, QItemSelectionModel::Select);
    m_held = held;
    m_appliedVersion = m_model.selectionVersion();
    // Qt tells the rows of a selection it does not hold nothing: they are drawn anew.
    if (!held) viewport()->update();
    // A selection made elsewhere (the preview stepping through the list) brings the keyboard's row
    // along, so that the arrows go on from the row shown.
    const int current = currentIndex().row();
    if (!rows.empty() && (current < 0 || !std::binary_search(rows.begin(), rows.end(), static_cast<std::size_t>(current)))) {
        const QModelIndex row = m_rows->index(static_cast<int>(rows.size() == 1 ? rows.front() : rows.back()), std::max(currentIndex().column(), 0));
        selectionModel()->setCurrentIndex(row, QItemSelectionModel::NoUpdate);
        scrollTo(row);
    }
    m_applying = false;
}

std::vector<Uuid> HitsColumnList::idsOfRuns(const std::vector<std::pair<int, int>>& runs) const {
    std::vector<Uuid> ids;
    for (const auto& [top, bottom] : runs)
        if (bottom >= 0) m_model.displayedIds(static_cast<std::size_t>(std::max(top, 0)), static_cast<std::size_t>(bottom) + 1, ids);
    return ids;
}

bool HitsColumnList::takeCommand(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) {
    using Flag = QItemSelectionModel::SelectionFlag;
    // Qt's own handling while it holds the selection, and for a command that replaces the selection or
    // extends the one being made (Shift), which holds none of a selection Qt was not given.
    if (m_held || m_applying || m_rows->isFollowingModel()) return false;
    if (command & (Flag::Clear | Flag::Current) || !(command & (Flag::Select | Flag::Deselect | Flag::Toggle))) return false;
    using Edit = AppModel::SelectionEdit;
    const Edit edit = command & Flag::Toggle ? Edit::toggle : command & Flag::Deselect ? Edit::remove : Edit::add;
    m_model.editSelection(HitSelection(idsOfRuns(runsOf(selection))), edit);
    return true;
}

void HitsColumnList::takeViewSelection() {
    // Rows that come and go with the model's list, and selections the model asked for, are not the
    // user's: the model itself drops a selected hit that a filter hides.
    if (m_applying || m_rows->isFollowingModel()) return;
    // Read from Qt's ranges of rows as they are (a list of every selected row would be as long as the
    // selection, and checked row by row against every range).
    std::vector<std::pair<std::size_t, std::size_t>> rows;
    for (const auto& [top, bottom] : runsOf(selectionModel()->selection()))
        if (bottom >= 0) rows.emplace_back(static_cast<std::size_t>(std::max(top, 0)), static_cast<std::size_t>(bottom) + 1);
    m_writing = true;
    m_model.selectDisplayedRows(rows);
    m_writing = false;
    m_held = true;
    m_appliedVersion = m_model.selectionVersion();
}

} // namespace vantrel
