#include "Vantrel/app/QuitController.h"

#include "Vantrel/model/AppModel.h"

#include "support/log/AppLog.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace vantrel {

namespace {

// The self-pipe: the handler writes the signal's number, the event loop reads it.
int signalPipe[2] = {-1, -1};
std::atomic<bool> signalsTaken{false};
struct sigaction previousTerm {};
struct sigaction previousInt {};
// Signals read at most per wake-up; more wait for the next one.
constexpr int maxSignalsPerRead = 16;

extern "C" void onTerminationSignal(int number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    // Only async-signal-safe calls here; a full pipe drops the byte, and the ones before it are enough.
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

QuitController::QuitController(QObject* parent) : QObject(parent) {}

QuitController::~QuitController() {
    if (!m_ownsSignals) return;
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigaction(SIGINT, &previousInt, nullptr);
    m_signalNotifier.reset();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
    signalsTaken = false;
}

void QuitController::watchCloseRequests(QObject* window) { window->installEventFilter(this); }

bool QuitController::catchTerminationSignals() {
    if (m_ownsSignals) return true;
    if (signalsTaken.exchange(true)) return false;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signalsTaken = false;
        return false;
    }
    m_ownsSignals = true;
    m_signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(m_signalNotifier.get(), &QSocketNotifier::activated, this, [this] { readSignals(); });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &previousTerm);
    ::sigaction(SIGINT, &action, &previousInt);
    return true;
}

void QuitController::readSignals() {
    unsigned char numbers[maxSignalsPerRead];
    const auto count = ::read(signalPipe[0], numbers, sizeof numbers);
    for (ssize_t index = 0; index < count && !m_ending; ++index) {
        AppLog::info("Quit requested by signal " + std::to_string(numbers[index]), "app");
        requestTerminate(true);
    }
}

void QuitController::requestTerminate(bool bySignal) {
    if (m_ending) return;
    const auto cause = bySignal ? AppModel::QuitCause::signal : AppModel::QuitCause::user;
    if (!m_model || m_model->handleShouldTerminate(cause) == AppModel::TerminateReply::now) end();
}

void QuitController::replyToTerminateRequest(bool terminate) {
    if (terminate) end();
}

bool QuitController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Close || m_ending) return QObject::eventFilter(watched, event);
    event->ignore();
    requestTerminate();
    return true;
}

void QuitController::end() {
    if (std::exchange(m_ending, true)) return;
    const int status = m_model ? m_model->terminationStatus() : 0;
    if (m_exit) m_exit(status);
    else QCoreApplication::exit(status);
}

} // namespace vantrel
