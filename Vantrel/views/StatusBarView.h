#pragma once
// The bar at the bottom of the window: what runs now (a scan's progress and throughput, a recovery,
// the quality pass) or, when idle, the file types of the next scan and "Settings…"; the status
// message; the scan's counts; the unsaved mark.

#include "Vantrel/model/AppModel.h"

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace vantrel {

class ElidedLabel;

class StatusBarView : public QWidget {
    Q_OBJECT

public:
    explicit StatusBarView(AppModel& model, QWidget* parent = nullptr);
    void refresh();

    QProgressBar* progressBar() const { return m_bar; }
    QProgressBar* spinner() const { return m_spinner; }
    QLabel* percentLabel() const { return m_percent; }
    QLabel* throughputLabel() const { return m_throughput; }
    QLabel* infoSymbol() const { return m_info; }
    ElidedLabel* summaryLabel() const { return m_summary; }
    QLabel* dotLabel() const { return m_dot; }
    ElidedLabel* messageLabel() const { return m_message; }
    QPushButton* settingsButton() const { return m_settings; }
    QLabel* hitsLabel() const { return m_hits; }
    QLabel* readErrorsLabel() const { return m_readErrors; }
    QLabel* unsavedLabel() const { return m_unsaved; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void scheduleRefresh();
    // Shares the bar's free room between the message and the summary, the message first.
    void fitMessageAndSummary();

    AppModel& m_model;
    QProgressBar* m_bar;
    QProgressBar* m_spinner;
    QLabel* m_percent;
    QLabel* m_throughput;
    QLabel* m_info;
    ElidedLabel* m_summary;
    QLabel* m_dot;
    ElidedLabel* m_message;
    QPushButton* m_settings;
    QLabel* m_hits;
    QLabel* m_readErrors;
    QLabel* m_unsaved;
    bool m_refreshPending = false;
};

} // namespace vantrel
