#include "Vantrel/views/HitListAccessibility.h"

#include "Vantrel/views/HitTableModel.h"
#include "Vantrel/views/HitsColumnList.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QPersistentModelIndex>
#include <QPointer>

#include <mutex>
#include <vector>

namespace vantrel {
namespace {

// Qt's numbering of a table's children: a row of header cells, then each row; a column of row headers
// before the cells while the view has a vertical header (ours has one, hidden). The view's own focus
// events number the cells so.
struct Layout {
    int rows = 0;
    int columns = 0;
    int headerRows = 0;
    int headerColumns = 0;

    static Layout of(const HitsColumnList& list) {
        return {list.hitModel()->rowCount(), list.hitModel()->columnCount(), list.horizontalHeader() ? 1 : 0, list.verticalHeader() ? 1 : 0};
    }
    int width() const { return columns + headerColumns; }
    int count() const { return (rows + headerRows) * width(); }
    int ofCell(int row, int column) const { return (row + headerRows) * width() + column + headerColumns; }
    int ofColumnHeader(int column) const { return headerRows ? column + headerColumns : -1; }
    int ofRowHeader(int row) const { return headerColumns ? (row + headerRows) * width() : -1; }
};

// A child of the table, found again by its number as the rows change.
class ListChild : public QAccessibleInterface {
public:
    explicit ListChild(HitsColumnList* list) : m_list(list) {}
    // Its number among the table's children now; -1 once it stands for nothing.
    virtual int logicalIndex() const = 0;

    QObject* object() const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_list.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    void setText(QAccessible::Text, const QString&) override {}

protected:
    QPointer<HitsColumnList> m_list;
};

// The button in the corner between the headers (not shown: the list has no row header).
class CornerAccessible final : public ListChild {
public:
    using ListChild::ListChild;
    int logicalIndex() const override { return m_list && Layout::of(*m_list).headerRows && Layout::of(*m_list).headerColumns ? 0 : -1; }
    bool isValid() const override { return m_list; }
    QAccessible::Role role() const override { return QAccessible::Pane; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.invisible = !m_list || !m_list->verticalHeader()->isVisible();
        return state;
    }
    QRect rect() const override { return {}; }
    QString text(QAccessible::Text) const override { return {}; }
};

// A column's header cell (its title), or a row's.
class HeaderAccessible final : public ListChild {
public:
    HeaderAccessible(HitsColumnList* list, int section, Qt::Orientation orientation) : ListChild(list), m_section(section), m_orientation(orientation) {}

    int logicalIndex() const override {
        if (!isValid()) return -1;
        const Layout layout = Layout::of(*m_list);
        return m_orientation == Qt::Horizontal ? layout.ofColumnHeader(m_section) : layout.ofRowHeader(m_section);
    }
    bool isValid() const override {
        if (!m_list) return false;
        const Layout layout = Layout::of(*m_list);
        return m_section >= 0 && m_section < (m_orientation == Qt::Horizontal ? layout.columns : layout.rows);
    }
    QAccessible::Role role() const override { return m_orientation == Qt::Horizontal ? QAccessible::ColumnHeader : QAccessible::RowHeader; }
    QAccessible::State state() const override {
        QAccessible::State state;
        const QHeaderView* header = this->header();
        state.invisible = !header || !header->isVisible();
        state.disabled = header && !header->isEnabled();
        return state;
    }
    QRect rect() const override {
        const QHeaderView* header = this->header();
        if (!header || !isValid()) return {};
        const QPoint zero = header->mapToGlobal(QPoint(0, 0));
        const int size = header->sectionSize(m_section);
        const int position = header->sectionViewportPosition(m_section);
        return m_orientation == Qt::Horizontal ? QRect(zero.x() + position, zero.y(), size, header->height())
                                               : QRect(zero.x(), zero.y() + position, header->width(), size);
    }
    QString text(QAccessible::Text kind) const override {
        if (!isValid()) return {};
        const QAbstractItemModel* rows = m_list->hitModel();
        switch (kind) {
        case QAccessible::Name: {
            const QString text = rows->headerData(m_section, m_orientation, Qt::AccessibleTextRole).toString();
            return text.isEmpty() ? rows->headerData(m_section, m_orientation, Qt::DisplayRole).toString() : text;
        }
        case QAccessible::Description: return rows->headerData(m_section, m_orientation, Qt::AccessibleDescriptionRole).toString();
        default: return {};
        }
    }

private:
    QHeaderView* header() const {
        if (!m_list) return nullptr;
        return m_orientation == Qt::Horizontal ? m_list->horizontalHeader() : m_list->verticalHeader();
    }

    int m_section;
    Qt::Orientation m_orientation;
};

// A cell: the text of its column, selected when the model's selection holds its row's hit.
class CellAccessible final : public ListChild, public QAccessibleTableCellInterface, public QAccessibleActionInterface {
public:
    CellAccessible(HitsColumnList* list, const QModelIndex& index) : ListChild(list), m_index(index) {}

    int logicalIndex() const override {
        return isValid() ? Layout::of(*m_list).ofCell(m_index.row(), m_index.column()) : -1;
    }
    bool isValid() const override { return m_list && m_index.isValid(); }
    QAccessible::Role role() const override { return QAccessible::Cell; }
    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableCellInterface) return static_cast<QAccessibleTableCellInterface*>(this);
        if (type == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
        return nullptr;
    }

    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid()) return state;
        QRect shown = m_list->rect();
        shown.translate(m_list->mapToGlobal(QPoint(0, 0)));
        state.invisible = !shown.intersects(rect());
        state.selected = isSelected();
        state.focused = m_list->currentIndex() == m_index;
        if (m_index.flags() & Qt::ItemIsSelectable) {
            state.selectable = true;
            state.focusable = true;
            state.extSelectable = m_list->selectionMode() == QAbstractItemView::ExtendedSelection;
            state.multiSelectable = m_list->selectionMode() == QAbstractItemView::MultiSelection;
        }
        return state;
    }
    QRect rect() const override {
        if (!isValid()) return {};
        QRect cell = m_list->visualRect(m_index);
        if (cell.isNull()) return cell;
        return cell.translated(m_list->viewport()->mapToGlobal(QPoint(0, 0)));
    }
    QString text(QAccessible::Text kind) const override {
        if (!isValid()) return {};
        switch (kind) {
        case QAccessible::Name: {
            const QString text = m_index.data(Qt::AccessibleTextRole).toString();
            return text.isEmpty() ? m_index.data(Qt::DisplayRole).toString() : text;
        }
        case QAccessible::Description: return m_index.data(Qt::AccessibleDescriptionRole).toString();
        default: return {};
        }
    }

    // The cell's table interface.
    bool isSelected() const override { return isValid() && m_index.data(HitTableModel::selectedRole).toBool(); }
    QList<QAccessibleInterface*> columnHeaderCells() const override { return headerCell(Layout::of(*m_list).ofColumnHeader(m_index.column())); }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return headerCell(Layout::of(*m_list).ofRowHeader(m_index.row())); }
    int columnIndex() const override { return m_index.column(); }
    int rowIndex() const override { return m_index.row(); }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return QAccessible::queryAccessibleInterface(m_list.data()); }

    // A row is selected whole: the toggle takes the row into the selection or out of it.
    QStringList actionNames() const override { return {toggleAction()}; }
    void doAction(const QString& action) override {
        if (action != toggleAction() || !isValid()) return;
        QAccessibleTableInterface* rows = table()->tableInterface();
        if (isSelected()) rows->unselectRow(m_index.row());
        else rows->selectRow(m_index.row());
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QList<QAccessibleInterface*> headerCell(int logical) const {
        if (!isValid() || logical < 0) return {};
        return {table()->child(logical)};
    }

    QPersistentModelIndex m_index;
};

// The list: its name and place as every widget's, its children and selection as above.
class ListAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit ListAccessible(HitsColumnList* list) : QAccessibleWidget(list, QAccessible::Table) {}
    ~ListAccessible() override {
        for (const QAccessible::Id id : std::as_const(m_children)) QAccessible::deleteAccessibleInterface(id);
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    int childCount() const override { return Layout::of(list()).count(); }
    QAccessibleInterface* child(int logical) const override {
        const Layout layout = Layout::of(list());
        if (logical < 0 || logical >= layout.count()) return nullptr;
        if (const auto known = m_children.constFind(logical); known != m_children.constEnd()) {
            auto* child = static_cast<ListChild*>(QAccessible::accessibleInterface(*known));
            if (child && child->logicalIndex() == logical) return child;
            // The rows moved under the children made so far: each is filed again under its number.
            refile();
            if (const auto again = m_children.constFind(logical); again != m_children.constEnd()) return QAccessible::accessibleInterface(*again);
        }
        const int row = logical / layout.width() - layout.headerRows;
        const int column = logical % layout.width() - layout.headerColumns;
        auto* view = const_cast<HitsColumnList*>(&list());
        ListChild* made = nullptr;
        if (row < 0 && column < 0) made = new CornerAccessible(view);
        else if (row < 0) made = new HeaderAccessible(view, column, Qt::Horizontal);
        else if (column < 0) made = new HeaderAccessible(view, row, Qt::Vertical);
        else made = new CellAccessible(view, list().hitModel()->index(row, column));
        m_children.insert(logical, QAccessible::registerAccessibleInterface(made));
        return made;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child || child->parent() != this) return -1;
        for (auto known = m_children.constBegin(); known != m_children.constEnd(); ++known)
            if (QAccessible::accessibleInterface(known.value()) == child) return static_cast<const ListChild*>(child)->logicalIndex();
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QModelIndex index = list().indexAt(list().viewport()->mapFromGlobal(QPoint(x, y)));
        return index.isValid() ? child(Layout::of(list()).ofCell(index.row(), index.column())) : nullptr;
    }

    // ---- The table: rows and columns.
    QAccessibleInterface* cellAt(int row, int column) const override {
        const Layout layout = Layout::of(list());
        if (row < 0 || row >= layout.rows || column < 0 || column >= layout.columns) return nullptr;
        return child(layout.ofCell(row, column));
    }
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QString columnDescription(int column) const override { return list().hitModel()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString(); }
    QString rowDescription(int row) const override { return list().hitModel()->headerData(row, Qt::Vertical, Qt::DisplayRole).toString(); }
    int columnCount() const override { return Layout::of(list()).columns; }
    int rowCount() const override { return Layout::of(list()).rows; }

    // ---- The selection: whole rows of the model's selection. A column counts as selected when every
    // row is, as Qt counts it.
    int selectedRowCount() const override { return static_cast<int>(selectedRowsNow().size()); }
    int selectedCellCount() const override { return selectedRowCount() * columnCount(); }
    int selectedColumnCount() const override { return allRowsSelected() ? columnCount() : 0; }
    QList<int> selectedRows() const override {
        const std::vector<std::size_t>& rows = selectedRowsNow();
        QList<int> listed;
        listed.reserve(static_cast<qsizetype>(rows.size()));
        for (const std::size_t row : rows) listed.append(static_cast<int>(row));
        return listed;
    }
    QList<int> selectedColumns() const override {
        QList<int> columns;
        if (!allRowsSelected()) return columns;
        for (int column = 0; column < columnCount(); ++column) columns.append(column);
        return columns;
    }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> cells;
        const std::vector<std::size_t>& rows = selectedRowsNow();
        const std::size_t listed = std::min(rows.size(), static_cast<std::size_t>(HitListAccessibility::maxListedRows));
        for (std::size_t i = 0; i < listed; ++i)
            for (int column = 0; column < columnCount(); ++column) cells.append(cellAt(static_cast<int>(rows[i]), column));
        return cells;
    }
    bool isRowSelected(int row) const override {
        return row >= 0 && row < rowCount() && list().hitModel()->index(row, 0).data(HitTableModel::selectedRole).toBool();
    }
    bool isColumnSelected(int column) const override { return column >= 0 && column < columnCount() && allRowsSelected(); }

    // Commands of a screen reader go to the view's selection as a click's do, so that Qt's selection
    // model or the model's takes them as the list holds it.
    bool selectRow(int row) override {
        if (row < 0 || row >= rowCount()) return false;
        list().selectionModel()->select(list().hitModel()->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        return true;
    }
    bool unselectRow(int row) override {
        if (row < 0 || row >= rowCount()) return false;
        list().selectionModel()->select(list().hitModel()->index(row, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        return true;
    }
    bool selectColumn(int) override { return false; }
    bool unselectColumn(int) override { return false; }

    void modelChange(QAccessibleTableModelChangeEvent* event) override {
        if (event->modelChangeType() != QAccessibleTableModelChangeEvent::DataChanged) refile();
    }

private:
    HitsColumnList& list() const { return *static_cast<HitsColumnList*>(widget()); }

    const std::vector<std::size_t>& selectedRowsNow() const {
        list().appModel().selectedDisplayedRows(m_selectedRows);
        // Rows the view does not know yet (in the middle of a change) are left out.
        const auto known = static_cast<std::size_t>(rowCount());
        while (!m_selectedRows.empty() && m_selectedRows.back() >= known) m_selectedRows.pop_back();
        return m_selectedRows;
    }
    bool allRowsSelected() const { return rowCount() > 0 && selectedRowCount() == rowCount(); }

    // Files every child made under its number now; one that stands for nothing any more, or for the
    // number another holds, goes.
    void refile() const {
        QHash<int, QAccessible::Id> filed;
        for (const QAccessible::Id id : std::as_const(m_children)) {
            auto* child = static_cast<ListChild*>(QAccessible::accessibleInterface(id));
            const int logical = child ? child->logicalIndex() : -1;
            // A row's header names its row by number, which rows coming and going change.
            const bool rowHeader = child && child->role() == QAccessible::RowHeader;
            if (logical < 0 || rowHeader || filed.contains(logical)) {
                if (child) QAccessible::deleteAccessibleInterface(id);
                continue;
            }
            filed.insert(logical, id);
        }
        m_children = std::move(filed);
    }

    mutable QHash<int, QAccessible::Id> m_children;
    mutable std::vector<std::size_t> m_selectedRows;
};

QAccessibleInterface* listAccessibility(const QString& className, QObject* object) {
    if (className == QLatin1String("vantrel::HitsColumnList") && object->isWidgetType())
        return new ListAccessible(static_cast<HitsColumnList*>(object));
    return nullptr;
}

} // namespace

void HitListAccessibility::install() {
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(listAccessibility); });
}

int HitListAccessibility::childOf(const HitsColumnList& list, const QModelIndex& index) {
    if (!index.isValid() || index.model() != list.hitModel()) return -1;
    return Layout::of(list).ofCell(index.row(), index.column());
}

} // namespace vantrel
