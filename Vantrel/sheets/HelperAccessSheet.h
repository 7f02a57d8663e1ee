#pragma once
// The one place where the user sees whether the helper is installed and answering and whether it may
// read raw disks, is told what is missing, and gets the buttons that fix it: install, repair, the
// commands to run, recheck, remove the helper, and verbose logging for diagnostics. Everything shown
// follows the model; every action is a model call, a logging call or a view of the commands.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/sheets/HelperAccessLogic.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QToolButton;
class QWidget;

namespace vantrel {

class HelperAccessSheet : public QDialog {
    Q_OBJECT

public:
    static constexpr int fixedWidth = 480;

    explicit HelperAccessSheet(AppModel& model, QWidget* parent = nullptr);

    bool detailsShown() const;
    bool commandsShown() const;
    // The confirmation of "Remove Helper…" while it is up.
    QMessageBox* removeConfirmation() const { return m_confirmation; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct StatusLine {
        QLabel* icon = nullptr;
        QLabel* text = nullptr;
    };

    QHBoxLayout* rowHeader(const QString& number, const QString& title, StatusLine& status);
    QPushButton* button(const QString& text, const QString& name);
    void refresh();
    void setStatus(StatusLine& line, const QString& text, bool ready);
    void setDetailsShown(bool shown);
    void fitHeight();
    void showCommands();
    void confirmRemoval();
    void setLogging(bool enabled);

    AppModel& m_model;
    QLabel* m_summary = nullptr;
    StatusLine m_helperStatus;
    QLabel* m_guidance = nullptr;
    QWidget* m_helperButtons = nullptr;
    QPushButton* m_install = nullptr;
    QPushButton* m_repair = nullptr;
    QPushButton* m_helperCommands = nullptr;
    StatusLine m_accessStatus;
    QLabel* m_accessExplanation = nullptr;
    QWidget* m_accessButtons = nullptr;
    QPushButton* m_accessCommands = nullptr;
    QPushButton* m_recheck = nullptr;
    QWidget* m_commands = nullptr;
    QToolButton* m_detailsToggle = nullptr;
    QWidget* m_details = nullptr;
    QPushButton* m_remove = nullptr;
    QCheckBox* m_logging = nullptr;
    // Cleared by Qt when the dialog goes, also while the sheet itself is being destroyed.
    QPointer<QMessageBox> m_confirmation;
    bool m_detailsShown = false;
};

} // namespace vantrel
