#pragma once
// The main window's toolbar button that sums up the helper and disk-access state in its title, symbol
// and colour, and opens the helper-access sheet.

#include "Vantrel/model/AppModel.h"

#include <QToolButton>

namespace vantrel {

class DiskAccessToolbarButton : public QToolButton {
    Q_OBJECT

public:
    explicit DiskAccessToolbarButton(AppModel& model, QWidget* parent = nullptr);

private:
    void refresh();

    AppModel& m_model;
};

} // namespace vantrel
