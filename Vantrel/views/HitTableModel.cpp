#include "Vantrel/views/HitTableModel.h"

#include "Vantrel/views/ResultsFilterLogic.h"

namespace vantrel {
namespace {

using ResultsPaneLogic::Column;

// Counts one change of the model's rows, so selection changes it causes are not taken for the user's.
struct Following {
    explicit Following(int& depth) : m_depth(depth) { ++m_depth; }
    ~Following() { --m_depth; }
    Following(const Following&) = delete;
    Following& operator=(const Following&) = delete;
    int& m_depth;
};

} // namespace

HitTableModel::HitTableModel(AppModel& model, QObject* parent)
    : QAbstractTableModel(parent), m_model(model), m_rows(static_cast<int>(model.displayedCount())),
      m_showBadges(model.qualityPassStarted()) {
    connect(&m_model, &AppModel::displayedHitsReset, this, &HitTableModel::onReset);
    connect(&m_model, &AppModel::displayedHitsInserted, this, &HitTableModel::onInserted);
    connect(&m_model, &AppModel::displayedHitChanged, this, &HitTableModel::onChanged);
    connect(&m_model, &AppModel::displayedHitMoved, this, &HitTableModel::onMoved);
    connect(&m_model, &AppModel::displayedHitsRemoved, this, &HitTableModel::onRemoved);
    connect(&m_model, &AppModel::fieldChanged, this, &HitTableModel::onFieldChanged);
}

int HitTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_rows; }
int HitTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ResultsPaneLogic::columnCount;
}

Qt::ItemFlags HitTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant HitTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows || index.row() >= static_cast<int>(m_model.displayedCount())) return {};
    const RecoveredHit& hit = hitAt(index.row());
    const auto column = static_cast<Column>(index.column());
    if (role == hitIdRole) return QString::fromStdString(hit.id.toString());
    if (role == selectedRole) return m_model.isDisplayedRowSelected(static_cast<std::size_t>(index.row()));
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignVCenter | (ResultsPaneLogic::alignsTrailing(column) ? Qt::AlignRight : Qt::AlignLeft));

    switch (column) {
    case Column::name:
        if (role == Qt::DisplayRole) return QString::fromStdString(hit.suggestedName);
        if (role == symbolRole) return ResultsPaneLogic::kindSymbol(hit.kind);
        if (role == pathRole) return hit.reconstructedPath ? QString::fromStdString(*hit.reconstructedPath) : QString();
        if (role == colorRole) return static_cast<int>(ColorRole::primary);
        if (role == Qt::ToolTipRole) {
            QString tip = QString::fromStdString(hit.suggestedName);
            if (hit.reconstructedPath) tip += QLatin1Char('\n') + QString::fromStdString(*hit.reconstructedPath);
            return tip.toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>"));
        }
        break;
    case Column::type:
        if (role == Qt::DisplayRole) return ResultsPaneLogic::typeText(hit.kind);
        if (role == colorRole) return static_cast<int>(ColorRole::secondary);
        break;
    case Column::size:
        if (role == Qt::DisplayRole) return ResultsPaneLogic::sizeText(hit.byteLength);
        if (role == colorRole) return static_cast<int>(ColorRole::secondary);
        break;
    case Column::resolution: {
        const auto text = ResultsPaneLogic::resolutionText(hit);
        if (role == Qt::DisplayRole) return text.value_or(ResultsPaneLogic::placeholder());
        if (role == colorRole) return static_cast<int>(text ? ColorRole::secondary : ColorRole::tertiary);
        break;
    }
    case Column::date: {
        const auto text = ResultsPaneLogic::dateText(hit, m_locale);
        if (role == Qt::DisplayRole) return text.value_or(ResultsPaneLogic::placeholder());
        if (role == Qt::ToolTipRole) {
            if (auto tooltip = ResultsPaneLogic::dateTooltip(hit, m_locale)) return tooltip->toHtmlEscaped();
            break;
        }
        if (role == colorRole) return static_cast<int>(text ? ColorRole::secondary : ColorRole::tertiary);
        break;
    }
    case Column::source:
        if (role == Qt::DisplayRole) return ResultsPaneLogic::sourceLabel(hit.source);
        if (role == colorRole) return static_cast<int>(ColorRole::tertiary);
        break;
    case Column::status:
        if (role == badgeRole) return m_showBadges;
        if (role == integrityRole) return static_cast<int>(hit.integrity);
        if (role == reallocatedRole) return hit.clusterReallocated;
        if (!m_showBadges) {
            if (role == Qt::DisplayRole) return ResultsPaneLogic::placeholder();
            if (role == colorRole) return static_cast<int>(ColorRole::tertiary);
            break;
        }
        if (role == Qt::DisplayRole) return ResultsFilterLogic::badge(hit.integrity, hit.clusterReallocated).label;
        if (role == Qt::ToolTipRole) return ResultsFilterLogic::badge(hit.integrity, hit.clusterReallocated).tooltip.toHtmlEscaped();
        if (role == colorRole) return static_cast<int>(ResultsFilterLogic::badge(hit.integrity, hit.clusterReallocated).color);
        break;
    }
    return {};
}

QVariant HitTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ResultsPaneLogic::columnCount) return {};
    if (role == Qt::DisplayRole) return ResultsPaneLogic::columnTitle(static_cast<Column>(section));
    return {};
}

// The model has already changed when its signal arrives; the view learns of it between begin and
// end, with m_rows giving it the row count it expects at each step.

void HitTableModel::onReset() {
    Following following(m_following);
    beginResetModel();
    m_rows = static_cast<int>(m_model.displayedCount());
    endResetModel();
    emit rowsWereReset();
}

void HitTableModel::onInserted(int row) {
    Following following(m_following);
    beginInsertRows({}, row, row);
    ++m_rows;
    endInsertRows();
}

void HitTableModel::onChanged(int row) {
    emit dataChanged(index(row, 0), index(row, ResultsPaneLogic::columnCount - 1));
}

void HitTableModel::onMoved(int from, int to) {
    Following following(m_following);
    // Qt names the destination by the row it goes before, counted before the move.
    const int destination = to > from ? to + 1 : to;
    if (beginMoveRows({}, from, from, {}, destination)) endMoveRows();
    onChanged(to);
}

void HitTableModel::onRemoved(int row) {
    Following following(m_following);
    beginRemoveRows({}, row, row);
    --m_rows;
    endRemoveRows();
}

void HitTableModel::onFieldChanged(AppModel::Field field) {
    if (field != AppModel::Field::qualityPassStarted || m_showBadges == m_model.qualityPassStarted()) return;
    m_showBadges = m_model.qualityPassStarted();
    if (m_rows > 0) {
        const int status = static_cast<int>(Column::status);
        emit dataChanged(index(0, status), index(m_rows - 1, status));
    }
}

} // namespace vantrel
