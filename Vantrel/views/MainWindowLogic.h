#pragma once
// The window's own rules: which toolbar button shows and when "Scan" works, and the texts of its
// alert and confirmation.

#include "Vantrel/model/AppModel.h"

#include <QString>

namespace vantrel::MainWindowLogic {

// "Cancel" replaces "Scan" while a scan runs.
bool showsCancel(const AppModel& model);
// "Scan" (and Ctrl+R) works with a selected volume and no scan running.
bool scanEnabled(const AppModel& model);

QString scanTitle();
QString cancelTitle();
QString errorTitle();
QString unsavedTitle();
QString unsavedMessage();
QString saveCatalogTitle();
QString dontSaveTitle();
QString cancelButtonTitle();
// The question before quitting during a scan.
QString quitDuringScanTitle();
QString quitDuringScanMessage();
QString stopScanAndQuitTitle();
QString recoverPrompt();

// The answer of the "Save scan catalog?" dialog: the button pressed, or none when it was closed
// another way, which counts as Cancel.
enum class UnsavedAnswer : std::uint8_t { save, discard, cancel };
struct PromptResolution {
    bool save;
    bool discard;
};
PromptResolution resolution(UnsavedAnswer answer);

} // namespace vantrel::MainWindowLogic
