// What the program's start asks of the model besides its checks: a helper-maintenance request given
// on the command line (rebind or remove the helper's service, and quit afterwards), or else, on the
// very first start, the helper-access sheet, unless the start's helper check finds one that works.
//
//   Vantrel --rebind-helper [--quit-after-rebind]        (or VANTREL_QUIT_AFTER_REBIND=1)
//   Vantrel --uninstall-helper [--quit-after-uninstall]  (or VANTREL_QUIT_AFTER_UNINSTALL=1)
//
// A request that quits ends the program with a status other than 0 when it failed, so that a script
// that runs it can tell.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/model/AppModel.h"

#include "support/log/AppLog.h"

#include <algorithm>
#include <cstdlib>

namespace vantrel {

namespace {

constexpr std::string_view rebindArgument = "--rebind-helper";
constexpr std::string_view quitAfterRebindArgument = "--quit-after-rebind";
constexpr std::string_view uninstallArgument = "--uninstall-helper";
constexpr std::string_view quitAfterUninstallArgument = "--quit-after-uninstall";
constexpr const char* quitAfterRebindVariable = "VANTREL_QUIT_AFTER_REBIND";
constexpr const char* quitAfterUninstallVariable = "VANTREL_QUIT_AFTER_UNINSTALL";
constexpr std::string_view didPromptKey = "didPromptDiskAccessSetup";

constexpr int reachAttempts = 4;
constexpr double reachTimeoutSeconds = 4.0;
constexpr std::uint64_t reachRetryDelayNanoseconds = 400'000'000;

// The exit status of a maintenance request that failed.
constexpr int failedRequestStatus = 1;

bool contains(const std::vector<std::string>& arguments, std::string_view wanted) {
    return std::find(arguments.begin(), arguments.end(), wanted) != arguments.end();
}

// Only the exact value "1" counts.
bool environmentSaysQuit(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && std::string_view(value) == "1";
}

Task<void> rebindThenMaybeQuit(AppModel* model, bool quit) {
    co_await model->rebindHelper();
    // Not installed: the helper waits for approval and the user was told what to do; stay open.
    if (model->helperStatus() != HelperInstallStatus::installed) co_return;
    bool reached = false;
    try {
        co_await model->helperClient().ensureReachable(reachAttempts, reachTimeoutSeconds, reachRetryDelayNanoseconds);
        reached = true;
    } catch (const std::exception& error) {
        AppLog::error(std::string("Helper ping failed: ") + error.what(), "helper");
    }
    if (!quit) co_return;
    if (!reached) model->setTerminationStatus(failedRequestStatus);
    model->effects().shell->requestQuit();
}

Task<void> uninstallThenMaybeQuit(AppModel* model, bool quit) {
    const bool removed = co_await model->uninstallHelper();
    if (!quit) co_return;
    if (!removed) model->setTerminationStatus(failedRequestStatus);
    model->effects().shell->requestQuit();
}

// The start's own helper check runs first (the launch action started it); its answer decides.
constexpr std::chrono::milliseconds startCheckPoll{100};
constexpr std::chrono::seconds startCheckLimit{15};

Task<void> promptUnlessReady(AppModel* model) {
    const auto executor = model->tasks().executor();
    const auto deadline = executor->now() + startCheckLimit;
    while (model->plainState().fdaProbeInFlight && executor->now() < deadline) co_await sleepFor(startCheckPoll);
    if (model->diskAccessAttention() == AppModel::DiskAccessAttention::none) {
        AppLog::info("First start: the helper answers and may read disks, no disk-access sheet", "app");
        co_return;
    }
    model->setShowHelperSheet(true);
}

} // namespace

void AppModel::handleLaunchArguments(std::vector<std::string> arguments) {
    // The window's launch action runs again each time the window is shown anew; a rebind, a removal
    // or the first-run sheet belong to the program's start only.
    if (std::exchange(m_launchArgumentsHandled, true)) return;
    if (contains(arguments, rebindArgument)) {
        const bool quit = contains(arguments, quitAfterRebindArgument) || environmentSaysQuit(quitAfterRebindVariable);
        AppLog::info(std::string("Launch request: rebind helper quit=") + (quit ? "true" : "false"), "app");
        tasks().spawn(rebindThenMaybeQuit(this, quit));
        return;
    }
    if (contains(arguments, uninstallArgument)) {
        const bool quit =
            contains(arguments, quitAfterUninstallArgument) || environmentSaysQuit(quitAfterUninstallVariable);
        AppLog::info(std::string("Launch request: uninstall helper quit=") + (quit ? "true" : "false"), "app");
        tasks().spawn(uninstallThenMaybeQuit(this, quit));
        return;
    }
    promptDiskAccessSetupIfFirstRun();
}

void AppModel::promptDiskAccessSetupIfFirstRun() {
    auto& settings = *m_effects.settings;
    if (settings.boolValue(didPromptKey)) return;
    settings.setBool(didPromptKey, true);
    refreshHelperStatus();
    // Offered only where something is to be done: not for a helper that already works.
    if (m_helperStatus != HelperInstallStatus::installed) tasks().spawn(promptUnlessReady(this));
}

} // namespace vantrel
