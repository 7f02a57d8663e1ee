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
#include "Vantrel/app/AppCommandLine.h"
#include "Vantrel/app/AppWiring.h"
#include "Vantrel/app/QtDesktopShell.h"
#include "Vantrel/app/QuitController.h"
#include "Vantrel/effects/SystemLocalDiskMounter.h"
#include "Vantrel/views/MainWindow.h"
#include "Vantrel/views/QtFileDialogs.h"

#include "support/ProgramVersion.h"
#include "support/volumes/VolumeMonitor.h"

#include <QApplication>
#include <QIcon>

#include <iostream>
#include <memory>

// The program's icon ships in the views' resources too, for a tree whose icon theme lacks it.
static void initIconResources() {
    Q_INIT_RESOURCE(symbols);
}

int main(int argc, char** argv) {
    using namespace vantrel;
    // Read before the toolkit starts: --help and --version need no display.
    QStringList arguments;
    for (int index = 0; index < argc; ++index) arguments << QString::fromLocal8Bit(argv[index]);
    if (const auto answer = AppCommandLine::answer(arguments)) {
        std::cout << answer->output;
        std::cerr << answer->problem;
        return answer->status;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    // The desktop entry's name: the Wayland app id, and how a desktop matches windows to the entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("vantrel"));
    initIconResources();
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vantrel"), QIcon(QStringLiteral(":/icons/vantrel.svg"))));
    // Catalogs name the program that wrote them by it (appBuild).
    QApplication::setApplicationVersion(QString::fromUtf8(programVersion.data(), static_cast<int>(programVersion.size())));

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

    const auto volumes = std::make_shared<ImageFileVolumes>(
        std::make_shared<MonitorVolumeSource>(executor, std::make_unique<VolumeMonitor>()));
    AppWiring wiring(model, volumes, quit, std::vector<std::string>(argv + 1, argv + argc));
    MainWindow& window = wiring.window();
    dialogs->setParent(&window);
    quit.catchTerminationSignals();
    window.show();
    const int status = QApplication::exec();
    volumes->stop();
    return status;
}
