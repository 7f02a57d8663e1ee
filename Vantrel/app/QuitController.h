#pragma once
// Every way of asking the application to quit, on the Qt side: the window's close button, the Quit
// action, SIGTERM and SIGINT (through a self-pipe, so that the signal handler only writes a byte),
// and the model's own requests. Each goes to AppModel::handleShouldTerminate; an answer of "now",
// or a later reply that lets the application end, ends the event loop with the model's exit status.
// Without a model the application ends at once. Main thread only (but for the signal handler).

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vantrel {

class AppModel;

class QuitController final : public QObject {
    Q_OBJECT

public:
    using Exit = std::function<void(int status)>;

    explicit QuitController(QObject* parent = nullptr);
    ~QuitController() override;

    void setModel(AppModel* model) { m_model = model; }
    // How the application ends; QCoreApplication::exit unless a test says otherwise.
    void setExit(Exit exit) { m_exit = std::move(exit); }

    // Close requests of the object (the main window) become requests to quit; the window stays
    // until the application ends.
    void watchCloseRequests(QObject* window);
    // SIGTERM and SIGINT become requests to quit from now on, until this controller goes. One
    // controller at a time; false when another one has them or the pipe could not be made.
    bool catchTerminationSignals();

    // The ordinary request to quit (the user's, unless a signal asks).
    void requestTerminate(bool bySignal = false);
    // The answer to a request that was put off.
    void replyToTerminateRequest(bool terminate);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void readSignals();
    void end();

    AppModel* m_model = nullptr;
    Exit m_exit;
    bool m_ending = false;
    std::unique_ptr<QSocketNotifier> m_signalNotifier;
    bool m_ownsSignals = false;
};

} // namespace vantrel
