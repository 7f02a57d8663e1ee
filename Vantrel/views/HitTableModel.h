#pragma once
// The results table's rows: a mirror of the model's displayed list, kept equal to it by replaying the
// model's row signals, so an arriving hit inserts one row and a checked one changes or moves one row,
// and the view keeps its selection and scroll position. The order and the filter are the model's: the
// table never sorts.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/views/ResultsPaneLogic.h"

#include <QAbstractTableModel>
#include <QLocale>

namespace vantrel {

class HitTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    // Roles beyond Qt's own, read by the row delegate.
    enum Role {
        symbolRole = Qt::UserRole + 1,    // QString: the kind symbol of the name column
        pathRole,                          // QString: the reconstructed path, empty without one
        colorRole,                         // int: the ColorRole of the cell's text
        badgeRole,                         // bool: the status cell shows a badge
        integrityRole,                     // int: HitIntegrity
        reallocatedRole,                   // bool
        hitIdRole,                         // QString: the hit's identity
        selectedRole,                      // bool: the model's selection holds the row's hit
    };

    explicit HitTableModel(AppModel& model, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    const RecoveredHit& hitAt(int row) const { return m_model.displayedHit(static_cast<std::size_t>(row)); }

    // True while the rows change because the model's list did (not because of the user).
    bool isFollowingModel() const { return m_following > 0; }

signals:
    // After the rows were replaced by a new list (a new query or new hits).
    void rowsWereReset();

private:
    void onReset();
    void onInserted(int row);
    void onChanged(int row);
    void onMoved(int from, int to);
    void onRemoved(int row);
    void onFieldChanged(AppModel::Field field);

    AppModel& m_model;
    int m_rows = 0;               // the rows the view knows, between begin and end of each change
    bool m_showBadges = false;
    int m_following = 0;
    QLocale m_locale;
};

} // namespace vantrel
