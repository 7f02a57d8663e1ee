#pragma once
// What the helper-access sheet and the disk-access toolbar button show, as plain functions of the
// helper's registration, whether it answered and the last raw-disk-access check. The widgets only
// apply these.
//
// There are no settings pages for background services or disk access here: where the user has to act
// outside the program, the sheet shows the commands to run instead.

#include "Vantrel/model/AppModel.h"

#include <QString>

#include <vector>

namespace vantrel::HelperAccessLogic {

struct State {
    HelperInstallStatus status = HelperInstallStatus::unknown;
    AppModel::HelperRuntimeState runtime = AppModel::HelperRuntimeState::unknown;
    AppModel::RawDiskAccessState access = AppModel::RawDiskAccessState::unknown;
    HelperRoute route = HelperRoute::none;  // the helper in use

    static State of(const AppModel& model);
};

// Installed and answering, or started beside the program (or serving a socket of its own) and answering.
bool helperIsReady(const State& state);
// Which helper works, for a helper started beside the program: "Helper running beside Vantrel (root)",
// or one answering on a socket no installed service serves; empty otherwise.
QString helperInUseText(const State& state);
// Installed but not answering.
bool helperNotRunning(const State& state);
// The helper is ready and may read raw disks.
bool diskAccessReady(const State& state);

QString helperStatusText(const State& state);
QString summaryText(const State& state);
// The summary is drawn in the warning colour (else the secondary one).
bool summaryIsWarning(const State& state);
// Shown while the helper is not ready.
QString helperGuidance(const State& state);

enum class HelperButton { install, repair, showCommands };
// The helper row's buttons, left to right, the first being the default one; shown while the helper
// is not ready.
std::vector<HelperButton> helperButtons(const State& state);
QString buttonTitle(HelperButton button);

QString diskAccessStatusText(const State& state);
// "Recheck" is offered beside the disk-access explanation only while the helper is ready.
bool offersRecheck(const State& state);
// "Remove Helper…" needs a registration to remove.
bool removeEnabled(const State& state);
// The disclosure opens by itself when the sheet appears while something is wrong at the system level.
bool opensDetailsOnAppear(const State& state);

// A row's status marker: "checkmark.circle.fill" when it is in order, else "exclamationmark.triangle.fill".
QString markerSymbol(bool ready);

// The toolbar button's symbol for the model's attention value, and whether it is drawn in the
// warning colour; its title is AppModel::diskAccessTitle.
QString toolbarSymbol(AppModel::DiskAccessAttention attention);
bool toolbarIsWarning(AppModel::DiskAccessAttention attention);

// The commands that set the helper service up, as the user runs them in a terminal.
QString setupCommands();
// The line logged when the user switches verbose logging.
QString loggingChangeLine(bool enabled);

} // namespace vantrel::HelperAccessLogic
