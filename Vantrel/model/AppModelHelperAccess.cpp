// The application's side of keeping the root helper usable: its service's status, installing,
// removing and rebinding it, checking that it answers and may read raw disks, and restarting it.
//
// Here the helper is reached through its service or, without one, spawned beside the program
// (Vantrel/helper/HelperRoute.h). A helper that can be spawned is usable although no service is
// installed, so the checks run for it too; settings pages that do not exist here become the
// helper-access sheet, which says what to run.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"

#include "platform/disks/WholeDiskName.h"
#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>

namespace vantrel {

namespace {

constexpr std::uint64_t retryDelayNanoseconds = 400'000'000;
constexpr std::chrono::nanoseconds rebindPause{800'000'000};

QString tr(const char* text) { return QCoreApplication::translate("AppModel", text); }

std::string describe(const std::exception& error) { return error.what(); }

// A description set inside a sentence's parentheses: without its own closing full stop.
QString inParentheses(const std::string& description) {
    QString text = QString::fromStdString(description).trimmed();
    if (text.endsWith(QLatin1Char('.')) && !text.endsWith(QLatin1String(".."))) text.chop(1);
    return text;
}

// A registration change as a task; the error when it did not take.
Task<std::optional<ErrorObject>> registrarChange(std::shared_ptr<ServiceRegistrar> registrar, bool install) {
    auto start = [registrar, install](CallbackResumer<std::optional<ErrorObject>> resume) {
        auto done = [resume](std::optional<ErrorObject> error) { resume(std::move(error)); };
        if (install) registrar->registerService(done);
        else registrar->unregisterService(done);
    };
    auto error = co_await fromCallback<std::optional<ErrorObject>>(start);
    co_return error;
}

Task<void> installFollowUp(AppModel* model) {
    bool reached = false;
    try {
        co_await model->helperClient().ensureReachable(4, 4.0, retryDelayNanoseconds);
        reached = true;
    } catch (const std::exception&) {
    }
    if (!reached) {
        model->setHelperRuntimeState(AppModel::HelperRuntimeState::unreachable);
        model->setStatusMessage(tr("Helper did not start. Confirm the helper service is enabled, then try again."));
        co_return;
    }
    model->setHelperRuntimeState(AppModel::HelperRuntimeState::reachable);
    model->setStatusMessage(tr("Helper connected."));
    co_await model->recheckHelperAndDiskAccess(false, false);
}

Task<void> becameActiveRecheck(AppModel* model) { co_await model->recheckHelperAndDiskAccess(false, false); }

} // namespace

bool AppModel::helperUsable() const {
    return m_helperStatus == HelperInstallStatus::installed || m_effects.helperProgram.has_value();
}

HelperRoute AppModel::helperRoute() const { return m_effects.helper ? m_effects.helper->route() : HelperRoute::none; }

bool AppModel::helperAcceptsImageFiles() const {
    if (helperRoute() == HelperRoute::serviceSocket) return m_socketHelperTakesImageFiles;
    return m_effects.helper && m_effects.helper->acceptsImageFiles();
}

Task<void> AppModel::learnWhetherSocketHelperTakesImageFiles() {
    std::error_code unread;
    const std::string probe = std::filesystem::read_symlink("/proc/self/exe", unread).string();
    std::optional<bool> takes;
    try {
        co_await helperClient().probeDevice(probe, 4.0);
        takes = true;
    } catch (const std::exception& error) {
        // Only a refusal as no device answers the question; a helper that did not answer tells nothing.
        const auto object = CallError::objectOf(error);
        if (object.domain == ErrorObject::posixDomain && object.code == ENOTBLK) takes = false;
        else AppLog::info("Image-file check of the helper on the socket: " + describe(error), "helper");
    }
    if (!takes || *takes == m_socketHelperTakesImageFiles) co_return;
    AppLog::info(std::string("The helper on the socket ") + (*takes ? "takes" : "refuses") + " image files", "helper");
    m_socketHelperTakesImageFiles = *takes;
    emit fieldChanged(Field::helperAcceptsImageFiles);
}

void AppModel::refreshHelperStatus() {
    const auto status = m_effects.registrar->status();
    setHelperStatus(status);
    if (status == HelperInstallStatus::installed) return;
    // A helper spawned beside the program keeps what the last check found out about it.
    if (m_effects.helperProgram && status == HelperInstallStatus::notInstalled) return;
    setHelperRuntimeState(HelperRuntimeState::unknown);
    setFullDiskAccessState(RawDiskAccessState::unknown);
}

void AppModel::handleDidBecomeActive() {
    refreshHelperStatus();
    const bool returning = std::exchange(m_plain.reopenDiskAccessAfterSettings, false);
    if (!returning) {
        if (!helperUsable() || m_fullDiskAccessState == RawDiskAccessState::granted) return;
        tasks().spawn(becameActiveRecheck(this));
        return;
    }
    auto resume = [](AppModel* model) -> Task<void> {
        if (model->helperStatus() != HelperInstallStatus::installed) co_await model->recheckHelperAndDiskAccess(false, false);
        else co_await model->repairHelper();
        if (!(model->fullDiskAccessState() == RawDiskAccessState::granted && model->helperUsable()))
            model->setShowHelperSheet(true);
    };
    tasks().spawn(resume(this));
}

void AppModel::installHelper() {
    auto registrar = m_effects.registrar;
    auto install = [](AppModel* model, std::shared_ptr<ServiceRegistrar> service) -> Task<void> {
        const bool installedBefore = service->status() == HelperInstallStatus::installed;
        auto error = co_await registrarChange(service, true);
        if (error) {
            AppLog::error("Helper register failed: " + error->message, "helper");
            model->refreshHelperStatus();
            // A registration that did not take is a failure, never "requested"; and what it left
            // enabled is said, with the way to take it back.
            QString message = tr("Could not install the helper (%1).").arg(inParentheses(error->message));
            if (!installedBefore && model->helperStatus() == HelperInstallStatus::installed)
                message += QLatin1Char(' ') + tr("The helper service was left enabled; Remove Helper… disables it.");
            model->setErrorMessage(message);
            co_return;
        }
        model->refreshHelperStatus();
        // The group the socket admits did not exist and was made: nobody is in it yet.
        const QString madeGroup = service->lastRegistrationMadeGroup() ? tr("Created the group vantrel.") : QString();
        switch (model->helperStatus()) {
        case HelperInstallStatus::requiresApproval:
        case HelperInstallStatus::notInstalled:
            model->openLoginItemsIfApprovalNeeded();
            if (!madeGroup.isEmpty())
                model->setStatusMessage(madeGroup + QLatin1Char(' ') +
                                        tr("Add yourself to it as the helper-access sheet explains and log in again."));
            co_return;
        case HelperInstallStatus::installed:
            model->setStatusMessage(tr("Starting helper…"));
            co_await installFollowUp(model);
            if (!madeGroup.isEmpty()) model->setStatusMessage(madeGroup + QLatin1Char(' ') + model->statusMessage());
            co_return;
        case HelperInstallStatus::unknown:
            model->setStatusMessage(tr("Helper registration requested."));
            co_return;
        }
    };
    tasks().spawn(install(this, registrar));
}

bool AppModel::openLoginItemsIfApprovalNeeded() {
    refreshHelperStatus();
    if (m_helperStatus == HelperInstallStatus::installed) return true;
    setStatusMessage(tr("Allow the helper service as the helper-access sheet explains, then return here."));
    setShowHelperSheet(true);
    return false;
}

Task<bool> AppModel::uninstallHelper() {
    auto error = co_await registrarChange(m_effects.registrar, false);
    if (!error) {
        setHelperRuntimeState(HelperRuntimeState::unknown);
        setFullDiskAccessState(RawDiskAccessState::unknown);
        setStatusMessage(tr("Disk access helper removed."));
        refreshHelperStatus();
        co_return true;
    }
    refreshHelperStatus();
    setErrorMessage(tr("Could not remove the helper (%1). You can also disable it with: systemctl disable --now "
                       "io.tessik.vantrel.helper.socket")
                        .arg(inParentheses(error->message)));
    co_return false;
}

Task<bool> AppModel::rebindHelper() {
    helperClient().invalidate();
    auto removed = co_await registrarChange(m_effects.registrar, false);
    if (removed) AppLog::error("Helper unregister during rebind: " + removed->message, "helper");
    co_await sleepFor(rebindPause);
    auto registered = co_await registrarChange(m_effects.registrar, true);
    if (registered) AppLog::error("Helper register during rebind: " + registered->message, "helper");
    co_return openLoginItemsIfApprovalNeeded();
}

Task<void> AppModel::recheckHelperAndDiskAccess(bool registerIfUnreachable, bool force) {
    if (!helperUsable()) {
        setHelperRuntimeState(HelperRuntimeState::unknown);
        setFullDiskAccessState(RawDiskAccessState::unknown);
        co_return;
    }
    if (force) {
        m_plain.fdaProbeInFlight = true;
        setFullDiskAccessState(RawDiskAccessState::unknown);
    } else {
        // A check nobody asked for (the start, the sheet appearing, the program becoming active)
        // starts no helper that asks for a password: that waits for the user's first scan, preview or
        // recovery, or a button of the sheet.
        if (m_effects.helper && m_effects.helper->connectingAsksForPassword()) {
            AppLog::info("Helper check left for the first use: starting the helper asks for a password", "helper");
            co_return;
        }
        if (m_plain.fdaProbeInFlight) co_return;
        m_plain.fdaProbeInFlight = true;
    }
    primeRemovableVolume();

    bool answered = false;
    try {
        co_await helperClient().ping(2.0);
        answered = true;
    } catch (const std::exception&) {
    }
    if (!answered) {
        std::string failure;
        try {
            co_await helperClient().ensureReachable(2, 2.0, retryDelayNanoseconds);
            answered = true;
        } catch (const std::exception& error) {
            failure = describe(error);
        }
        if (!answered) AppLog::error("Helper ping failed: " + failure, "helper");
        if (!answered && registerIfUnreachable && m_effects.registrar->status() != HelperInstallStatus::notInstalled) {
            setHelperRuntimeState(HelperRuntimeState::unreachable);
            AppLog::error("Helper enabled but unreachable — register", "helper");
            setStatusMessage(tr("Starting helper…"));
            helperClient().invalidate();
            auto error = co_await registrarChange(m_effects.registrar, true);
            if (error) AppLog::error("Helper register failed: " + error->message, "helper");
            openLoginItemsIfApprovalNeeded();
            try {
                co_await helperClient().ensureReachable(4, 4.0, retryDelayNanoseconds);
                answered = true;
            } catch (const std::exception& retried) {
                AppLog::error("Helper ping failed: " + describe(retried), "helper");
            }
        }
    }
    if (!answered) {
        if (helperUsable()) setHelperRuntimeState(HelperRuntimeState::unreachable);
        setFullDiskAccessState(RawDiskAccessState::unknown);
        setStatusMessage(tr("Helper did not respond. Confirm the helper service is enabled, then try again."));
        m_plain.fdaProbeInFlight = false;
        co_return;
    }

    setHelperRuntimeState(HelperRuntimeState::reachable);
    // The installed service is started without image files; a helper on a socket of its own is asked.
    if (helperRoute() == HelperRoute::serviceSocket && m_helperStatus != HelperInstallStatus::installed)
        co_await learnWhetherSocketHelperTakesImageFiles();
    const auto path = rawDevicePathForAccessCheck();
    if (m_isQualityPassRunning || m_isScanning || m_isRecovering || !path) {
        m_plain.fdaProbeInFlight = false;
        co_return;
    }
    try {
        const bool granted = co_await helperClient().checkRawDiskAccess(*path, 4.0);
        setFullDiskAccessState(granted ? RawDiskAccessState::granted : RawDiskAccessState::denied);
    } catch (const std::exception& error) {
        AppLog::error("Raw-disk access probe failed: " + describe(error), "helper");
        const auto object = CallError::objectOf(error);
        if (!isDeviceGoneError(object) && (VantrelError::isDiskAccessDenied(object) || isPermissionError(object)))
            setFullDiskAccessState(RawDiskAccessState::denied);
    }
    m_plain.fdaProbeInFlight = false;
}

Task<void> AppModel::repairHelper() {
    if (!helperUsable()) {
        co_await recheckHelperAndDiskAccess(false, false);
        co_return;
    }
    setFullDiskAccessState(RawDiskAccessState::unknown);
    if (m_helperRuntimeState == HelperRuntimeState::reachable) {
        setStatusMessage(tr("Restarting disk access helper…"));
        co_await helperClient().quitForRelaunch(2.0);
    }
    co_await recheckHelperAndDiskAccess(false, true);
    if (m_fullDiskAccessState == RawDiskAccessState::granted) setStatusMessage(tr("Disk access is ready."));
}

void AppModel::openFullDiskAccessSettings() {
    setStatusMessage(tr("Disk access comes from the helper, which runs as root: install its service or run Vantrel "
                        "as root, then recheck."));
    setShowHelperSheet(true);
}

void AppModel::primeRemovableVolume() {
    if (!m_selectedVolume || !m_selectedVolume->path || m_selectedVolume->path->empty()) return;
    std::error_code error;
    std::filesystem::directory_iterator entries(*m_selectedVolume->path, error);
    // Bounded: the listing only wakes the card, it is not used.
    for (int seen = 0; !error && entries != std::filesystem::directory_iterator() && seen < 4096; ++seen) {
        (void)entries->is_directory(error);
        entries.increment(error);
    }
    if (error) AppLog::info("Removable-volume prime at " + *m_selectedVolume->path + ": " + error.message(), "app");
}

std::optional<std::string> AppModel::rawDevicePathForAccessCheck() const {
    if (!m_selectedVolume || m_selectedVolume->bsdName.empty()) return std::nullopt;
    const auto candidate = "/dev/" + wholeDiskName(m_selectedVolume->bsdName);
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0) return candidate;
    // Without a selected disk there is nothing to try: every other disk here may be a system disk,
    // which the helper refuses to open for a user in any case.
    return std::nullopt;
}

} // namespace vantrel
