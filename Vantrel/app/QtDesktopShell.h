#pragma once
// The desktop as the running program reaches it: folders and files open with the desktop's default
// application, and the answers to quit requests go to the quit controller.

#include "Vantrel/effects/DesktopShell.h"

#include <QPointer>

namespace vantrel {

class QuitController;

class QtDesktopShell final : public DesktopShell {
public:
    explicit QtDesktopShell(QuitController* quit);

    // Opens the folder that holds the file.
    bool revealInFileManager(const std::string& path) override;
    bool openLocation(const std::string& location) override;
    void replyToTerminateRequest(bool terminate) override;
    // Posted to the event loop, so that the flow that asks finishes its step before the quit starts.
    void requestQuit() override;

private:
    QPointer<QuitController> m_quit;
};

} // namespace vantrel
