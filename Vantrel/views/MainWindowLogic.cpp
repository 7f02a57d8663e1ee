#include "Vantrel/views/MainWindowLogic.h"

#include <QCoreApplication>

namespace vantrel::MainWindowLogic {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("MainWindow", text); }

} // namespace

bool showsCancel(const AppModel& model) { return model.isScanning(); }
bool scanEnabled(const AppModel& model) { return model.hasSelectedVolume() && !model.isScanning(); }

QString scanTitle() { return tr("Scan"); }
QString cancelTitle() { return tr("Cancel"); }
QString errorTitle() { return tr("Error"); }
QString unsavedTitle() { return tr("Save scan catalog?"); }
QString unsavedMessage() {
    return tr("You have unsaved recovery results. Save a .vtcat catalog to recover later without rescanning.");
}
QString saveCatalogTitle() { return tr("Save Catalog…"); }
QString dontSaveTitle() { return tr("Don’t Save"); }
QString cancelButtonTitle() { return tr("Cancel"); }
QString quitDuringScanTitle() { return tr("A scan is running."); }
QString quitDuringScanMessage() {
    return tr("Quitting stops the scan; the list keeps only the files found so far. A disk the scan unmounted is "
              "mounted again before the program ends.");
}
QString stopScanAndQuitTitle() { return tr("Stop Scan and Quit"); }
QString recoverPrompt() { return tr("Recover Here"); }

PromptResolution resolution(UnsavedAnswer answer) {
    switch (answer) {
    case UnsavedAnswer::save: return {true, false};
    case UnsavedAnswer::discard: return {false, true};
    case UnsavedAnswer::cancel: return {false, false};
    }
    return {false, false};
}

} // namespace vantrel::MainWindowLogic
