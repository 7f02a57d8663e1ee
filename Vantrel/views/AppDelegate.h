#pragma once
// Connects the application's events to the model: after launch and each time the application becomes
// active it removes an empty View menu from the window's menu bar (at most one, once one is gone).

#include "Vantrel/model/AppModel.h"

#include <QObject>
#include <QPointer>

#include <QMenuBar>

namespace vantrel {

class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(QObject* parent = nullptr);

    // The model, held weakly: the delegate never keeps it alive.
    void setModel(AppModel* model) { m_model = model; }
    AppModel* model() const { return m_model; }
    // The menu bar pruneMenus works on; none means there is nothing to prune.
    void setMenuBar(QMenuBar* menuBar) { m_menuBar = menuBar; }

    // Schedules pruneMenus on the event loop; nothing happens if the delegate is gone by then.
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    void pruneMenus();
    bool didPruneMenus() const { return m_didPruneMenus; }

private:
    QPointer<AppModel> m_model;
    QPointer<QMenuBar> m_menuBar;
    bool m_didPruneMenus = false;
};

} // namespace vantrel
