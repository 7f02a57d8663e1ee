// Quitting. A request to quit is answered later, once every disk that a scan left unmounted has been
// handed back and unsaved results were saved or given up:
// 0. while a scan runs, the user is asked first ("A scan is running."); Cancel refuses the request and
//    leaves the scan running, its disk unmounted and the results as they are; a scan that ends by
//    itself meanwhile takes the question away and the quit goes on;
// 1. the sheets close;
// 2. a running scan is cancelled and awaited, for a bounded time (the helper leaves a disk alone
//    while a scan reads it, so remounting before the scan ends would fail);
// 3. the helper is asked to mount the scanned disks again from the records it kept when it unmounted
//    them; as soon as it answers or 2 seconds have passed, each disk is also mounted locally, which
//    changes nothing for a disk that is back and is the fallback where the helper is gone;
// 4. disks mounted again are forgotten; the others stay in disksPendingRemount and are reported;
// 5. the unsaved-results question, when there are unsaved results;
// 6. the reply: quit on save or don't save, stay on cancel.
// A second request while one is open is granted at once.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"

#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <QStringList>

namespace vantrel {

namespace {

constexpr std::string_view category = "app";
constexpr double remountTimeLimitSeconds = 2.0;
// A cancelled scan stops at its next cancel check, well within this; a helper that keeps scanning
// longer is not waited for.
constexpr std::chrono::seconds scanStopTimeLimit{10};
constexpr std::chrono::milliseconds scanStopPollInterval{100};
// The local mounter limits each of its tools itself; this only keeps a mounter that never answers
// from holding the quit for ever.
constexpr std::chrono::seconds localMountTimeLimit{120};

using ErrorCompletion = std::function<void(std::optional<ErrorObject>)>;

std::function<std::exception_ptr()> timeoutError(std::string message) {
    return [message] {
        return std::make_exception_ptr(CallError(
            ErrorObject{std::string(VantrelError::domain), VantrelError::helperUnreachable, message, std::nullopt}));
    };
}

// An operation that reports through a completion with an optional error, as a task.
Task<std::optional<ErrorObject>> completionOf(std::function<void(ErrorCompletion)> operation) {
    auto start = [operation](CallbackResumer<std::optional<ErrorObject>> resume) {
        operation([resume](std::optional<ErrorObject> error) { resume(std::move(error)); });
    };
    auto error = co_await fromCallback<std::optional<ErrorObject>>(start);
    co_return error;
}

Task<void> stopRunningScan(AppModel* model) {
    if (!model->isScanning()) co_return;
    AppLog::info("Quit cancels the running scan", category);
    model->setStatusMessage(AppModel::tr("Stopping scan…"));
    model->cancelFlag()->set();
    model->helperClient().cancelScan();
    const auto executor = model->tasks().executor();
    const auto deadline = executor->now() + scanStopTimeLimit;
    while (model->isScanning() && executor->now() < deadline) co_await sleepFor(scanStopPollInterval);
    if (model->isScanning()) AppLog::error("Quit: the scan did not stop in time; handing the disks back anyway", category);
}

// The helper's answer is not looked at (the client logs it): the local mounts follow either way.
Task<void> remountThroughHelper(AppModel* model, std::vector<std::string> names) {
    HelperXPCClient* client = &model->helperClient();
    auto operation = [client, names](ErrorCompletion done) { client->remountDisks(names, std::move(done)); };
    const auto timedOut = timeoutError("Remount timed out");
    try {
        co_await withTimeout(completionOf(operation), secondsSpan(remountTimeLimitSeconds), timedOut);
    } catch (const std::exception& error) {
        AppLog::error(std::string("Quit remount through the helper: ") + error.what(), category);
    }
}

Task<void> handBackDisks(AppModel* model) {
    co_await stopRunningScan(model);
    auto& pendingSet = model->plainState().disksPendingRemount;
    const std::vector<std::string> pending(pendingSet.begin(), pendingSet.end());  // ascending
    AppLog::info("Quit remount pending=" + nameListText(pending), category);
    if (pending.empty()) co_return;
    model->setStatusMessage(AppModel::tr("Remounting volumes…"));
    co_await remountThroughHelper(model, pending);

    QStringList stillUnmounted;
    for (const auto& name : pending) {
        const bool mounted = co_await model->mountDiskLocally(name);
        if (mounted)
            model->plainState().disksPendingRemount.erase(name);
        else
            stillUnmounted.push_back(QString::fromStdString(name));
    }
    if (stillUnmounted.isEmpty()) co_return;
    // Kept, so that the next quit tries again if this one is cancelled, and told, since the disk
    // stays unmounted after the program ends.
    AppLog::error("Quit: still unmounted " + stillUnmounted.join(", ").toStdString(), category);
    model->setStatusMessage(
        AppModel::tr("Could not mount %1 again. It stays unmounted: mount it from the file manager or unplug it.")
            .arg(stillUnmounted.join(", ")));
}

Task<void> handBackThen(AppModel* model, std::function<void()> completion) {
    co_await handBackDisks(model);
    if (completion) completion();
}

Task<void> answerTerminateRequest(AppModel* model) {
    const bool proceed = co_await model->confirmDiscardHitsIfNeeded();
    // A second request already granted the quit.
    if (!model->plainState().waitingToTerminate) co_return;
    model->plainState().waitingToTerminate = false;
    model->effects().shell->replyToTerminateRequest(proceed);
}

Task<void> saveThenResolve(AppModel* model, AppModel::CatalogSaver saver) {
    bool saved = false;
    if (saver)
        saved = co_await saver(model);
    else
        AppLog::error("Save from the unsaved-results prompt: no catalog saver; the results stay unsaved", category);
    model->resolveCatalogDecision(saved ? AppModel::CatalogDecision::save : AppModel::CatalogDecision::cancel);
}

} // namespace

AppModel::TerminateReply AppModel::handleShouldTerminate(QuitCause cause) {
    if (m_plain.waitingToTerminate) {
        AppLog::error("Quit while already waiting — forcing terminate reply", category);
        m_plain.waitingToTerminate = false;
        m_effects.shell->replyToTerminateRequest(true);
        return TerminateReply::now;
    }
    if (m_showQuitDuringScanPrompt) {
        // The question about the running scan is open: the user's request waits for its answer.
        if (cause == QuitCause::signal) resolveQuitDuringScanPrompt(true);
        return TerminateReply::later;
    }
    if (m_isScanning && cause == QuitCause::user) {
        AppLog::info("Quit requested while a scan runs: asking first", category);
        setShowQuitDuringScanPrompt(true);
        return TerminateReply::later;
    }
    beginTerminate();
    return TerminateReply::later;
}

bool AppModel::resolveQuitDuringScanPrompt(bool quit) {
    if (!m_showQuitDuringScanPrompt) return false;
    setShowQuitDuringScanPrompt(false);
    AppLog::info(std::string("Quit during a scan: ") + (quit ? "confirmed" : "cancelled; the scan goes on"), category);
    if (quit) beginTerminate();
    else m_effects.shell->replyToTerminateRequest(false);
    return true;
}

void AppModel::beginTerminate() {
    setShowHelperSheet(false);
    setShowHelpSheet(false);
    setShowScanModeSheet(false);
    setShowScanSettingsSheet(false);
    m_plain.waitingToTerminate = true;
    // The completion runs inside a task of this model's scope, so the model is there when it runs.
    beginQuitSequence([this] { tasks().spawn(answerTerminateRequest(this)); });
}

void AppModel::beginQuitSequence(std::function<void()> completion) {
    tasks().spawn(handBackThen(this, std::move(completion)));
}

Task<bool> AppModel::mountDiskLocally(std::string bsdName) {
    std::optional<ErrorObject> failure;
    if (auto mounter = m_effects.mounter) {
        auto operation = [mounter, bsdName](ErrorCompletion done) { mounter->mountDisk(bsdName, std::move(done)); };
        const auto timedOut = timeoutError("Local mount of " + bsdName + " timed out");
        try {
            failure = co_await withTimeout(completionOf(operation), localMountTimeLimit, timedOut);
        } catch (const std::exception& error) {
            failure = CallError::objectOf(error);
        }
    } else {
        failure = ErrorObject{std::string(VantrelError::domain), 0, "no local mounter", std::nullopt};
    }
    if (failure) {
        AppLog::error("local mountDisk " + bsdName + " failed: " + failure->message, category);
        co_return false;
    }
    AppLog::info("local mountDisk " + bsdName + " exit=0", category);
    co_return true;
}

void AppModel::resolveUnsavedCatalogPrompt(bool save, bool discard) {
    if (save) {
        tasks().spawn(saveThenResolve(this, m_catalogSaver));
        return;
    }
    resolveCatalogDecision(discard ? CatalogDecision::discard : CatalogDecision::cancel);
}

} // namespace vantrel
