#include "Vantrel/app/QtDesktopShell.h"

#include "Vantrel/app/QuitController.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMetaObject>
#include <QUrl>

namespace vantrel {

QtDesktopShell::QtDesktopShell(QuitController* quit) : m_quit(quit) {}

bool QtDesktopShell::revealInFileManager(const std::string& path) {
    const QFileInfo file(QString::fromStdString(path));
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file.isDir() ? file.absoluteFilePath() : file.absolutePath()));
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
