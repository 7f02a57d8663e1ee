#pragma once
// The middle of the window: a header that names and counts the results, with the filters and
// "Recover Selected", above either an empty state, the "No matches" state or the hit list.

#include "Vantrel/model/AppModel.h"

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace vantrel {

class HitsColumnList;
class ResultsDateFilterControl;
class ResultsStatusFilterControl;

class ResultsPane : public QWidget {
    Q_OBJECT

public:
    ResultsPane(AppModel& model, QWidget* parent = nullptr);

    // Run by "Recover Selected" (the window's folder picker).
    std::function<void()> onRecover;
    // Run by "Start Standard scan" after a quick scan that found nothing.
    std::function<void(ScanMode)> onStartScan;

    // Reads the model again; also done on the next turn of the event loop after any change.
    void refresh();

    HitsColumnList* list() const { return m_list; }
    QLabel* countLabel() const { return m_count; }
    QLabel* selectionLabel() const { return m_selection; }
    QPushButton* recoverButton() const { return m_recover; }
    ResultsStatusFilterControl* statusFilter() const { return m_statusFilter; }
    ResultsDateFilterControl* dateFilter() const { return m_dateFilter; }
    // The page shown: the empty state, "No matches" or the list.
    QWidget* currentContent() const;
    QWidget* emptyPage() const { return m_emptyPage; }
    QWidget* noMatchPage() const { return m_noMatchPage; }
    QPushButton* emptyActionButton() const { return m_emptyAction; }
    QPushButton* resetFiltersButton() const { return m_resetFilters; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fitTextWidths();
    void scheduleRefresh();
    void refreshEmptyState();

    AppModel& m_model;
    QLabel* m_count;
    ResultsStatusFilterControl* m_statusFilter;
    ResultsDateFilterControl* m_dateFilter;
    QLabel* m_selection;
    QPushButton* m_recover;
    QStackedWidget* m_stack;
    QWidget* m_emptyPage;
    QLabel* m_emptySymbol;
    QLabel* m_emptyTitle;
    QLabel* m_emptyText;
    QWidget* m_emptyCard;
    QPushButton* m_emptyAction;
    QWidget* m_noMatchPage;
    QLabel* m_noMatchText;
    QPushButton* m_resetFilters;
    HitsColumnList* m_list;
    bool m_refreshPending = false;
};

} // namespace vantrel
