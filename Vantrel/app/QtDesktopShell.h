#pragma once
// The desktop as the running program reaches it: a file is shown selected in the file manager
// (org.freedesktop.FileManager1.ShowItems on the session bus), folders and files open with the
// desktop's default application, and the answers to quit requests go to the quit controller.

#include "Vantrel/effects/DesktopShell.h"

#include <QPointer>

namespace vantrel {

class QuitController;

class QtDesktopShell final : public DesktopShell {
public:
    explicit QtDesktopShell(QuitController* quit);

    // Asks the file manager to show the file selected in its folder; where none answers on the
    // session bus (or for a folder), opens the folder that holds it.
    bool revealInFileManager(const std::string& path) override;
    bool openLocation(const std::string& location) override;
    void replyToTerminateRequest(bool terminate) override;
    // Posted to the event loop, so that the flow that asks finishes its step before the quit starts.
    void requestQuit() override;

private:
    QPointer<QuitController> m_quit;
};

} // namespace vantrel
