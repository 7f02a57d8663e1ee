#include "Vantrel/sheets/HelperAccessLogic.h"

#include <QCoreApplication>

namespace vantrel::HelperAccessLogic {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("HelperAccessSheet", text); }

// A helper that answers although no service is installed: one started beside the program, or one that
// serves the socket of its own (a helper started with --listen, which VANTREL_HELPER_SOCKET names).
bool answersWithoutService(const State& state) {
    const bool spawned = state.route == HelperRoute::spawnedAsRoot || state.route == HelperRoute::spawnedWithPkexec ||
                         state.route == HelperRoute::spawnedAsUser;
    const bool ownSocket = state.route == HelperRoute::serviceSocket && state.status != HelperInstallStatus::installed;
    return (spawned || ownSocket) && state.runtime == AppModel::HelperRuntimeState::reachable;
}

// Waits for the service's approval while no other helper works.
bool awaitsApproval(const State& state) {
    return !answersWithoutService(state) &&
           (state.status == HelperInstallStatus::requiresApproval || state.status == HelperInstallStatus::notInstalled);
}

} // namespace

State State::of(const AppModel& model) {
    return {model.helperStatus(), model.helperRuntimeState(), model.fullDiskAccessState(), model.helperRoute()};
}

bool helperIsReady(const State& state) {
    return answersWithoutService(state) ||
           (state.status == HelperInstallStatus::installed && state.runtime == AppModel::HelperRuntimeState::reachable);
}

QString helperInUseText(const State& state) {
    if (!answersWithoutService(state)) return {};
    if (state.route == HelperRoute::spawnedAsUser) return tr("Helper running beside Vantrel (without root)");
    // Only a helper that runs as root is taken on a socket.
    if (state.route == HelperRoute::serviceSocket) return tr("Helper answering on its socket (root)");
    return tr("Helper running beside Vantrel (root)");
}

bool helperNotRunning(const State& state) {
    return state.status == HelperInstallStatus::installed && state.runtime == AppModel::HelperRuntimeState::unreachable;
}

bool diskAccessReady(const State& state) {
    if (!helperIsReady(state) || state.access == AppModel::RawDiskAccessState::denied) return false;
    // Root reads disks here; a helper started as root that answers is ready before any disk was opened.
    const bool root = state.route == HelperRoute::spawnedAsRoot || state.route == HelperRoute::spawnedWithPkexec ||
                      state.route == HelperRoute::serviceSocket;
    return state.access == AppModel::RawDiskAccessState::granted || (root && answersWithoutService(state));
}

QString helperStatusText(const State& state) {
    if (answersWithoutService(state)) return helperInUseText(state);
    switch (state.status) {
    case HelperInstallStatus::unknown: return tr("Unknown");
    case HelperInstallStatus::notInstalled: return tr("Not installed");
    case HelperInstallStatus::requiresApproval: return tr("Needs approval");
    case HelperInstallStatus::installed: break;
    }
    switch (state.runtime) {
    case AppModel::HelperRuntimeState::unknown: return tr("Starting…");
    case AppModel::HelperRuntimeState::reachable: return tr("Installed");
    case AppModel::HelperRuntimeState::unreachable: return tr("Not responding");
    }
    return {};
}

QString summaryText(const State& state) {
    if (helperNotRunning(state))
        return tr("The helper is installed but not running. Start its service (Show Commands lists what to run), "
                  "then return here.");
    if (awaitsApproval(state))
        return tr("Enable the helper service as root (Show Commands lists what to run), then return here.");
    if (state.access == AppModel::RawDiskAccessState::denied || state.route == HelperRoute::spawnedAsUser)
        return tr("Linux blocked raw disk access. Let the helper run as root through its service, then try again.");
    if (answersWithoutService(state)) return helperInUseText(state) + QStringLiteral(".");
    return tr("Vantrel needs one-time access to attached disks so it can read deleted files.");
}

bool summaryIsWarning(const State& state) {
    return state.access == AppModel::RawDiskAccessState::denied || helperNotRunning(state);
}

QString helperGuidance(const State& state) {
    if (awaitsApproval(state))
        return tr("Enable io.tessik.vantrel.helper.socket with systemctl and add yourself to the group vantrel. "
                  "Being in the group is not enough until you log in again.");
    return tr("Confirm the helper service is enabled (systemctl status io.tessik.vantrel.helper.socket), then try "
              "again.");
}

std::vector<HelperButton> helperButtons(const State& state) {
    if (state.status == HelperInstallStatus::requiresApproval) return {HelperButton::showCommands};
    if (helperNotRunning(state)) return {HelperButton::repair, HelperButton::showCommands};
    return {HelperButton::install, HelperButton::showCommands};
}

QString buttonTitle(HelperButton button) {
    switch (button) {
    case HelperButton::install: return tr("Install Helper…");
    case HelperButton::repair: return tr("Repair Helper");
    case HelperButton::showCommands: return tr("Show Commands");
    }
    return {};
}

QString diskAccessStatusText(const State& state) {
    if (!helperIsReady(state)) return tr("Waiting for helper");
    if (diskAccessReady(state)) return tr("Ready");
    switch (state.access) {
    case AppModel::RawDiskAccessState::unknown: return tr("Checking…");
    case AppModel::RawDiskAccessState::granted: return tr("Ready");
    case AppModel::RawDiskAccessState::denied: return tr("Not allowed yet");
    }
    return {};
}

bool offersRecheck(const State& state) { return helperIsReady(state); }

bool removeEnabled(const State& state) {
    return state.status != HelperInstallStatus::notInstalled && state.status != HelperInstallStatus::unknown;
}

bool opensDetailsOnAppear(const State& state) {
    return state.access == AppModel::RawDiskAccessState::denied || helperNotRunning(state);
}

QString markerSymbol(bool ready) {
    return ready ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("exclamationmark.triangle.fill");
}

QString toolbarSymbol(AppModel::DiskAccessAttention attention) {
    return attention == AppModel::DiskAccessAttention::none ? QStringLiteral("checkmark.circle")
                                                             : QStringLiteral("exclamationmark.triangle.fill");
}

bool toolbarIsWarning(AppModel::DiskAccessAttention attention) {
    return attention != AppModel::DiskAccessAttention::none;
}

QString setupCommands() {
    return QStringLiteral("sudo groupadd --system vantrel\n"
                          "sudo usermod -a -G vantrel \"$USER\"\n"
                          "sudo systemctl daemon-reload\n"
                          "sudo systemctl enable --now io.tessik.vantrel.helper.socket");
}

QString loggingChangeLine(bool enabled) {
    return enabled ? QStringLiteral("Logging enabled by user") : QStringLiteral("Logging disabled by user");
}

} // namespace vantrel::HelperAccessLogic
