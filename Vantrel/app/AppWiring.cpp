#include "Vantrel/app/AppWiring.h"

#include "Vantrel/app/AppLaunch.h"
#include "Vantrel/app/AppMenus.h"
#include "Vantrel/app/QuitController.h"
#include "Vantrel/preview/PreviewWindow.h"
#include "Vantrel/scan/ChildProcessIntegrityChecker.h"
#include "Vantrel/scan/PreviewRenderer.h"
#include "Vantrel/sheets/DiskAccessToolbarButton.h"
#include "Vantrel/views/MainWindow.h"

#include <QMenuBar>
#include <QToolBar>

namespace vantrel {

AppWiring::AppWiring(AppModel& model, std::shared_ptr<ImageFileVolumes> volumes, QuitController& quit,
                     std::vector<std::string> arguments) {
    model.setIntegrityChecker(std::make_shared<ChildProcessIntegrityChecker>());
    model.setPreviewRenderer(std::make_shared<PreviewRenderer>());
    quit.setModel(&model);

    m_window = std::make_unique<MainWindow>(model, volumes);
    m_window->toolbar()->addWidget(new DiskAccessToolbarButton(model));
    m_menus = new AppMenus(model, volumes, m_window->menuBar(), [&quit] { quit.requestTerminate(); });
    // The preview: its window above the main one.
    m_preview = std::make_unique<PreviewWindow>(model, m_window.get());
    quit.watchCloseRequests(m_window.get());
    m_delegate.setMenuBar(m_window->menuBar());
    new AppLaunch(model, std::move(volumes), &m_delegate, std::move(arguments), m_window.get());
}

AppWiring::~AppWiring() {
    m_preview.reset();
    m_window.reset();
}

} // namespace vantrel
