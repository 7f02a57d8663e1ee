#pragma once
// What happens when the window appears and goes: the launch action, once per program start, when the
// window is first shown; the disk monitor stopped whenever the window is hidden (closed) and started
// again when it is shown anew; and each time the application becomes active, the delegate's menu
// pruning and the model's become-active handling. Main thread only.
//
// The launch action, in this order: the delegate is given the model, the disk monitor starts and
// the model is given it, the helper's registration status is read, the helper and disk-access
// recheck is started as a task (it runs after the launch action returns), the command-line
// arguments go to the model, and the launch line is logged in the "app" category.

#include "Vantrel/effects/VolumeSource.h"
#include "Vantrel/model/AppModel.h"

#include <QObject>
#include <QPointer>

#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace vantrel {

class AppDelegate;

class AppLaunch final : public QObject {
    Q_OBJECT

public:
    // "Vantrel launched logging=true compile=false helper=notInstalled".
    static std::string logLine(bool loggingEnabled, HelperInstallStatus helperStatus);

    AppLaunch(AppModel& model, std::shared_ptr<VolumeSource> volumes, AppDelegate* delegate,
              std::vector<std::string> arguments, QWidget* window);

    // The launch action; runs once, whatever calls it.
    void launch();
    bool launched() const { return m_launched; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void becameActive();

    AppModel& m_model;
    std::shared_ptr<VolumeSource> m_volumes;
    QPointer<AppDelegate> m_delegate;
    std::vector<std::string> m_arguments;
    bool m_launched = false;
    bool m_monitorStopped = false;
};

} // namespace vantrel
