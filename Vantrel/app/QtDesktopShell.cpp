#include "Vantrel/app/QtDesktopShell.h"

#include "Vantrel/app/QuitController.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMetaObject>
#include <QUrl>

namespace vantrel {

QtDesktopShell::QtDesktopShell(QuitController* quit) : m_quit(quit) {}

namespace {

// Long enough for a file manager that D-Bus starts for the call.
constexpr int showItemsTimeoutMs = 10'000;

} // namespace

bool QtDesktopShell::revealInFileManager(const std::string& path) {
    const QFileInfo file(QString::fromStdString(path));
    const QUrl folder = QUrl::fromLocalFile(file.isDir() ? file.absoluteFilePath() : file.absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (file.isDir() || !bus.isConnected()) return QDesktopServices::openUrl(folder);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString()} << QString();
    // No file manager on the bus (or one that fails): the folder opens instead.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, showItemsTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, folder] {
        if (watcher->isError()) QDesktopServices::openUrl(folder);
        watcher->deleteLater();
    });
    return true;
}

bool QtDesktopShell::openLocation(const std::string& location) {
    const auto text = QString::fromStdString(location);
    const QUrl url = text.startsWith('/') ? QUrl::fromLocalFile(text) : QUrl(text);
    return url.isValid() && QDesktopServices::openUrl(url);
}

void QtDesktopShell::replyToTerminateRequest(bool terminate) {
    if (m_quit) m_quit->replyToTerminateRequest(terminate);
}

void QtDesktopShell::requestQuit() {
    if (!m_quit) return;
    // The context object: nothing runs once the controller is gone.
    QMetaObject::invokeMethod(m_quit.data(), [quit = m_quit.data()] { quit->requestTerminate(); }, Qt::QueuedConnection);
}

} // namespace vantrel
