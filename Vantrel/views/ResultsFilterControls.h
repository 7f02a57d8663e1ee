#pragma once
// The results header's filter controls: the status menu (a full form in the pane's header, a compact
// one in the status column's title) and the "Date filter" button with its popover of bounds.

#include "Vantrel/model/AppModel.h"

#include <QFrame>
#include <QToolButton>

class QCheckBox;
class QDateEdit;
class QLabel;
class QMenu;
class QPushButton;

namespace vantrel {

// Fills the menu with the six status filters, the active one checked; choosing one applies it.
void populateStatusMenu(QMenu& menu, AppModel& model);

class ResultsStatusFilterControl : public QToolButton {
    Q_OBJECT

public:
    ResultsStatusFilterControl(AppModel& model, bool compact, QWidget* parent = nullptr);
    void refresh();

private:
    AppModel& m_model;
    bool m_compact;
    QMenu* m_menu;
};

// The popover: "From" and "To" with their date fields, the caption, "Clear date filter".
class DateFilterPopover : public QFrame {
    Q_OBJECT

public:
    explicit DateFilterPopover(AppModel& model, QWidget* parent = nullptr);
    void refresh();

    QCheckBox* fromToggle() const { return m_fromToggle; }
    QCheckBox* toToggle() const { return m_toToggle; }
    QDateEdit* fromDate() const { return m_fromDate; }
    QDateEdit* toDate() const { return m_toDate; }
    QLabel* note() const { return m_note; }
    QLabel* caption() const { return m_caption; }
    QPushButton* clearButton() const { return m_clear; }
    // Opens the calendar of one of the two date fields (also F4 and Alt+Down in the field).
    void openCalendar(QDateEdit* date);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    AppModel& m_model;
    QLabel* m_note;
    QLabel* m_caption;
    QCheckBox* m_fromToggle;
    QCheckBox* m_toToggle;
    QDateEdit* m_fromDate;
    QDateEdit* m_toDate;
    QPushButton* m_clear;
    bool m_refreshing = false;
};

class ResultsDateFilterControl : public QToolButton {
    Q_OBJECT

public:
    explicit ResultsDateFilterControl(AppModel& model, QWidget* parent = nullptr);
    void refresh();
    // Opens the popover under the button, or closes it when open.
    void togglePopover();
    DateFilterPopover* popover() const { return m_popover; }

private:
    AppModel& m_model;
    DateFilterPopover* m_popover;
};

} // namespace vantrel
