#include "Vantrel/app/AppLaunch.h"

#include "Vantrel/views/AppDelegate.h"

#include "support/HelperInstallStatus.h"
#include "support/log/AppLog.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>

namespace vantrel {

std::string AppLaunch::logLine(bool loggingEnabled, HelperInstallStatus helperStatus) {
    return std::string("Vantrel launched logging=") + (loggingEnabled ? "true" : "false") + " compile=" + "false" +
           " helper=" + std::string(HelperInstallStatusName::rawValue(helperStatus));
}

AppLaunch::AppLaunch(AppModel& model, std::shared_ptr<VolumeSource> volumes, AppDelegate* delegate,
                     std::vector<std::string> arguments, QWidget* window)
    : QObject(window), m_model(model), m_volumes(std::move(volumes)), m_delegate(delegate), m_arguments(std::move(arguments)) {
    if (window) window->installEventFilter(this);
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(application, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) becameActive();
        });
}

void AppLaunch::launch() {
    if (m_launched) return;
    m_launched = true;
    if (m_delegate) {
        m_delegate->setModel(&m_model);
        m_delegate->applicationDidFinishLaunching();
    }
    m_volumes->start();
    m_model.setVolumeMonitor(m_volumes);
    m_model.refreshHelperStatus();
    // Started before the arguments are handled; the task itself runs after this action returns.
    m_model.tasks().spawn(m_model.recheckHelperAndDiskAccess(false, false));
    m_model.handleLaunchArguments(m_arguments);
    AppLog::info(logLine(AppLog::isEnabled(), m_model.helperStatus()), "app");
}

bool AppLaunch::eventFilter(QObject* watched, QEvent* event) {
    // A minimised window is hidden by the window system (a spontaneous event): it has not gone.
    if (event->spontaneous()) return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::Show) {
        if (!m_launched) {
            launch();
        } else if (m_monitorStopped) {
            m_monitorStopped = false;
            m_volumes->start();
        }
    } else if (event->type() == QEvent::Hide && m_launched && !m_monitorStopped) {
        m_monitorStopped = true;
        m_volumes->stop();
    }
    return QObject::eventFilter(watched, event);
}

void AppLaunch::becameActive() {
    if (!m_launched) return;
    if (m_delegate) m_delegate->applicationDidBecomeActive();
    m_model.handleDidBecomeActive();
}

} // namespace vantrel
