#pragma once
// Presents the main window's sheets from the model's flags: a sheet is made and opened when its flag
// turns true, and closed when it turns false; closing a sheet any way (its buttons, Escape, the window
// button) writes its flag back to false. At most one sheet of each kind exists.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/sheets/ScanModeSheet.h"

#include <QObject>
#include <QPointer>

class QDialog;
class QWidget;

namespace vantrel {

class HelpSheet;
class HelperAccessSheet;
class ScanSettingsSheet;

class SheetPresenter : public QObject {
    Q_OBJECT

public:
    // The sheets open over window; scanActions reach the model's scan start.
    SheetPresenter(AppModel& model, QWidget& window, ScanModeActions scanActions);

    HelpSheet* helpSheet() const;
    HelperAccessSheet* helperSheet() const;
    ScanModeSheet* scanModeSheet() const;
    ScanSettingsSheet* scanSettingsSheet() const;

private:
    struct Slot {
        AppModel::Field field;
        bool (AppModel::*read)() const;
        void (AppModel::*write)(bool);
        QPointer<QDialog> dialog;
    };

    void follow(Slot& slot);
    QDialog* make(AppModel::Field field);

    AppModel& m_model;
    QWidget& m_window;
    ScanModeActions m_scanActions;
    Slot m_slots[4];
};

} // namespace vantrel
