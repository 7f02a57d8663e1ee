#pragma once
// The program's objects around its model, built the one way the program builds them: the model's
// own helpers that the program supplies (the verifying child that checks hits and draws previews),
// the window (which reaches the model by construction and presents its sheets) with the disk-access
// button, the menus and the preview window, quitting through the window's close button, and the
// launch handling. A test builds this same wiring over fake effects and takes every road through it.

#include "Vantrel/effects/ImageFileVolumes.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/views/AppDelegate.h"

#include <memory>
#include <string>
#include <vector>

namespace vantrel {

class AppMenus;
class MainWindow;
class PreviewWindow;
class QuitController;

class AppWiring {
public:
    // arguments are the program's command-line arguments after its name.
    AppWiring(AppModel& model, std::shared_ptr<ImageFileVolumes> volumes, QuitController& quit,
              std::vector<std::string> arguments);
    ~AppWiring();
    AppWiring(const AppWiring&) = delete;
    AppWiring& operator=(const AppWiring&) = delete;

    MainWindow& window() { return *m_window; }
    PreviewWindow& preview() { return *m_preview; }
    AppMenus& menus() { return *m_menus; }

private:
    AppDelegate m_delegate;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<PreviewWindow> m_preview;
    AppMenus* m_menus;  // owned by the window's menu bar
};

} // namespace vantrel
