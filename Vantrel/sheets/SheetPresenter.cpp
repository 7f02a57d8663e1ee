#include "Vantrel/sheets/SheetPresenter.h"

#include "Vantrel/sheets/HelpSheet.h"
#include "Vantrel/sheets/HelperAccessSheet.h"
#include "Vantrel/sheets/ScanSettingsSheet.h"
#include "Vantrel/views/WindowFocusKeeper.h"

namespace vantrel {

SheetPresenter::SheetPresenter(AppModel& model, QWidget& window, ScanModeActions scanActions)
    : QObject(&window), m_model(model), m_window(window), m_scanActions(std::move(scanActions)),
      m_slots{{AppModel::Field::showHelpSheet, &AppModel::showHelpSheet, &AppModel::setShowHelpSheet, {}},
              {AppModel::Field::showHelperSheet, &AppModel::showHelperSheet, &AppModel::setShowHelperSheet, {}},
              {AppModel::Field::showScanModeSheet, &AppModel::showScanModeSheet, &AppModel::setShowScanModeSheet, {}},
              {AppModel::Field::showScanSettingsSheet, &AppModel::showScanSettingsSheet,
               &AppModel::setShowScanSettingsSheet, {}}} {
    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        for (auto& slot : m_slots)
            if (slot.field == field) follow(slot);
    });
    for (auto& slot : m_slots) follow(slot);
}

void SheetPresenter::follow(Slot& slot) {
    const bool wanted = (m_model.*slot.read)();
    if (wanted && !slot.dialog) {
        QDialog* dialog = make(slot.field);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        makeDialogWindow(*dialog);
        slot.dialog = dialog;
        auto write = slot.write;
        connect(dialog, &QDialog::finished, this, [model = &m_model, write] { (model->*write)(false); });
        dialog->open();
    } else if (!wanted && slot.dialog) {
        // done() sends finished, which writes the flag that is already false.
        QPointer<QDialog> closing = slot.dialog;
        slot.dialog.clear();
        if (closing && closing->isVisible()) closing->done(QDialog::Rejected);
        else if (closing) closing->deleteLater();
    }
}

QDialog* SheetPresenter::make(AppModel::Field field) {
    switch (field) {
    case AppModel::Field::showHelpSheet: return new HelpSheet(&m_window);
    case AppModel::Field::showHelperSheet: return new HelperAccessSheet(m_model, &m_window);
    case AppModel::Field::showScanModeSheet: return new ScanModeSheet(m_model, m_scanActions, &m_window);
    case AppModel::Field::showScanSettingsSheet: return new ScanSettingsSheet(m_model, &m_window);
    default: break;
    }
    return nullptr;
}

HelpSheet* SheetPresenter::helpSheet() const { return qobject_cast<HelpSheet*>(m_slots[0].dialog.data()); }
HelperAccessSheet* SheetPresenter::helperSheet() const {
    return qobject_cast<HelperAccessSheet*>(m_slots[1].dialog.data());
}
ScanModeSheet* SheetPresenter::scanModeSheet() const { return qobject_cast<ScanModeSheet*>(m_slots[2].dialog.data()); }
ScanSettingsSheet* SheetPresenter::scanSettingsSheet() const {
    return qobject_cast<ScanSettingsSheet*>(m_slots[3].dialog.data());
}

} // namespace vantrel
