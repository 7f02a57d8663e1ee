// The windowed application's entry: the model on the real effects, the window on the model.

#include "Vantrel/async/QtExecutor.h"
#include "Vantrel/effects/Clock.h"
#include "Vantrel/effects/ImageFileVolumes.h"
#include "Vantrel/effects/MonitorVolumeSource.h"
#include "Vantrel/effects/QtSettingsStore.h"
#include "Vantrel/effects/SystemdServiceRegistrar.h"
#include "Vantrel/helper/HelperRoute.h"
#include "Vantrel/helper/IpcHelperClient.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/app/AppLaunch.h"
#include "Vantrel/app/AppMenus.h"
#include "Vantrel/app/QtDesktopShell.h"
#include "Vantrel/app/QuitController.h"
#include "Vantrel/catalog/CatalogFlows.h"
#include "Vantrel/effects/SystemLocalDiskMounter.h"
#include "Vantrel/scan/ChildProcessIntegrityChecker.h"
#include "Vantrel/sheets/DiskAccessToolbarButton.h"
#include "Vantrel/sheets/SheetPresenter.h"
#include "Vantrel/views/AppDelegate.h"
#include "Vantrel/views/MainWindow.h"
#include "Vantrel/views/QtFileDialogs.h"
#include "Vantrel/preview/PreviewWindow.h"
#include "Vantrel/scan/PreviewRenderer.h"

#include "support/volumes/VolumeMonitor.h"

#include <QApplication>
#include <QToolBar>

#include <memory>

int main(int argc, char** argv) {
    using namespace vantrel;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));

    const auto executor = std::make_shared<QtExecutor>();
    const HelperConnectorOptions connector = HelperConnectorOptions::standard();
    AppEffects effects;
    effects.executor = executor;
    effects.clock = std::make_shared<SystemClock>();
    effects.helper = std::make_shared<IpcHelperClient>(connector);
    effects.registrar = std::make_shared<SystemdServiceRegistrar>(SystemdServiceOptions::standard());
    effects.settings = std::make_shared<QtSettingsStore>();
    if (connector.helperProgram) effects.helperProgram = connector.helperProgram->string();
    QuitController quit;
    effects.shell = std::make_shared<QtDesktopShell>(&quit);
    const auto dialogs = std::make_shared<QtFileDialogs>();
    effects.dialogs = dialogs;
    effects.mounter = std::make_shared<SystemLocalDiskMounter>();
    AppModel model(effects);
    model.setIntegrityChecker(std::make_shared<ChildProcessIntegrityChecker>());
    model.setCatalogSaver(&CatalogFlows::saveCatalogWithPanel);
    quit.setModel(&model);
    quit.catchTerminationSignals();

    const auto volumes = std::make_shared<ImageFileVolumes>(
        std::make_shared<MonitorVolumeSource>(executor, std::make_unique<VolumeMonitor>()));
    MainWindow window(model, volumes);
    dialogs->setParent(&window);
    window.hooks.requestScan = [&model] { model.requestScan(); };
    window.hooks.cancelScan = [&model] { model.cancelScan(); };
    window.hooks.startScan = [&model](ScanMode mode) { model.startScan(mode); };
    window.hooks.recoverSelected = [&model](const std::string& folder) { model.recoverSelected(folder); };
    SheetPresenter sheets(model, window,
                          {[&model] { return model.preferredScanMode(); }, [&model](ScanMode mode) { model.startScan(mode); }});
    window.toolbar()->addWidget(new DiskAccessToolbarButton(model));
    new AppMenus(model, volumes, window.menuBar(), [&quit] { quit.requestTerminate(); });
    // The preview: its window above the main one, its pictures drawn by the verifying child.
    model.setPreviewRenderer(std::make_shared<PreviewRenderer>());
    PreviewWindow preview(model, &window);
    preview.attach(window);
    quit.watchCloseRequests(&window);
    AppDelegate delegate;
    delegate.setMenuBar(window.menuBar());
    new AppLaunch(model, volumes, &delegate, std::vector<std::string>(argv + 1, argv + argc), &window);
    window.show();
    const int status = QApplication::exec();
    volumes->stop();
    return status;
}
