#pragma once
// What the application asks of the desktop: showing a file in the file manager, opening a folder or
// a settings page, and the answer to a request to quit. Main thread only.

#include <string>

namespace vantrel {

class DesktopShell {
public:
    virtual ~DesktopShell() = default;

    // Shows the file selected in a file-manager window (or opens its folder where that is not possible);
    // false when no file manager could be started.
    virtual bool revealInFileManager(const std::string& path) = 0;
    // Opens a folder, a file or a URL with the desktop's default application; false when nothing opened.
    virtual bool openLocation(const std::string& location) = 0;
    // The answer to a quit request that was put off: true lets the application end.
    virtual void replyToTerminateRequest(bool terminate) = 0;
    // Ends the application as if the user had chosen Quit.
    virtual void requestQuit() = 0;
};

} // namespace vantrel
