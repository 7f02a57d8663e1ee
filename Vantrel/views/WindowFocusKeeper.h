#pragma once
// Keeps the keyboard in the application's window, also on a display without a window manager, where
// nobody else hands it over: the main window takes it when it is shown, each dialog or preview window
// of it takes it when it opens, and when one of them closes while it had the keyboard, the next window
// of the application (a dialog still open, else the main window) takes it back. A window the user left
// for another program is never activated behind their back. With verbose logging on, each move of the
// keyboard is logged. Main thread only.

#include <QObject>
#include <QPointer>

class QWidget;

namespace vantrel {

// Makes window a dialog of its parent: transient for it (so a window manager places it over or beside
// the parent), with a title and a close button but no minimise or maximise button. Call before it is
// first shown; resizable keeps the maximise button for a window that shows content (the preview).
void makeDialogWindow(QWidget& window, bool maximisable = false);

class WindowFocusKeeper final : public QObject {
    Q_OBJECT

public:
    // Watches main and every window whose parent chain leads to it; owned by main.
    explicit WindowFocusKeeper(QWidget& main);
    ~WindowFocusKeeper() override;

    // Whether widget is one of the windows kept: main or a window of it (popups and tooltips excepted).
    bool isKeptWindow(const QWidget* widget) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void activateLater(QWidget* window);
    void activateNextAfter(QWidget* closed);

    QPointer<QWidget> m_main;
};

} // namespace vantrel
