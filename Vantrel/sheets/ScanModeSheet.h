#pragma once
// Asks, before a scan of a FAT or exFAT volume, how thoroughly to search, and starts the scan with the
// chosen mode. The choice lives only as long as the sheet; it reaches the model through "Start Scan".

#include "Vantrel/model/AppModel.h"

#include <QDialog>

#include <functional>
#include <map>

class QButtonGroup;
class QLabel;
class QRadioButton;
class QVBoxLayout;

namespace vantrel {

// What the sheet asks of the model's scan start: the preferred mode it opens with, and the start
// itself (which records the mode, clears the sheet's flag and starts or refuses the scan).
struct ScanModeActions {
    std::function<ScanMode()> preferredScanMode;
    std::function<void(ScanMode)> startScan;
};

class ScanModeSheet : public QDialog {
    Q_OBJECT

public:
    static constexpr int fixedWidth = 480;

    ScanModeSheet(AppModel& model, ScanModeActions actions, QWidget* parent = nullptr);

    ScanMode selectedMode() const { return m_selected; }
    // The offered modes' buttons, in order.
    std::vector<QRadioButton*> modeButtons() const;
    QLabel& descriptionLabel() const { return *m_description; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuildModes();
    void select(ScanMode mode);
    void start();

    AppModel& m_model;
    ScanModeActions m_actions;
    ScanMode m_selected = ScanMode::standard;
    QVBoxLayout* m_modeColumn = nullptr;
    QButtonGroup* m_modeGroup = nullptr;
    std::map<ScanMode, QRadioButton*> m_modeButtons;
    QLabel* m_description = nullptr;
};

} // namespace vantrel
