// The windowed application's entry: the model on the real effects, the window on the model.

#include "Vantrel/async/QtExecutor.h"
#include "Vantrel/effects/Clock.h"
#include "Vantrel/effects/MonitorVolumeSource.h"
#include "Vantrel/effects/QtSettingsStore.h"
#include "Vantrel/effects/SystemdServiceRegistrar.h"
#include "Vantrel/helper/HelperRoute.h"
#include "Vantrel/helper/IpcHelperClient.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/views/MainWindow.h"

#include "support/volumes/VolumeMonitor.h"

#include <QApplication>

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
    // The desktop shell, the file dialogs and the local mounter are connected with the flows that
    // use them.
    AppModel model(effects);

    const auto volumes = std::make_shared<MonitorVolumeSource>(executor, std::make_unique<VolumeMonitor>());
    model.setVolumeMonitor(volumes);
    MainWindow window(model, volumes);
    window.show();
    volumes->start();
    const int status = QApplication::exec();
    volumes->stop();
    return status;
}
