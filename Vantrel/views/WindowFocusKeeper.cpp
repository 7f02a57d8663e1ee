#include "Vantrel/views/WindowFocusKeeper.h"

#include "support/log/AppLog.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace vantrel {

void makeDialogWindow(QWidget& window, bool maximisable) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (maximisable) flags |= Qt::WindowMaximizeButtonHint;
    window.setWindowFlags(flags);
}

WindowFocusKeeper::WindowFocusKeeper(QWidget& main) : QObject(&main), m_main(&main) {
    qApp->installEventFilter(this);
    // With verbose logging on, where the keyboard goes: what a keyboard-only road follows.
    connect(qApp, &QApplication::focusChanged, this, [](QWidget*, QWidget* now) {
        if (!now || !AppLog::isEnabled()) return;
        const QString name = now->objectName().isEmpty() ? QString::fromLatin1(now->metaObject()->className()) : now->objectName();
        AppLog::info("keyboard focus: " + name.toStdString() + " in \"" + now->window()->windowTitle().toStdString() + "\"", "app");
    });
}

WindowFocusKeeper::~WindowFocusKeeper() {
    if (qApp) qApp->removeEventFilter(this);
}

bool WindowFocusKeeper::isKeptWindow(const QWidget* widget) const {
    if (!m_main || !widget || !widget->isWindow()) return false;
    const Qt::WindowType type = widget->windowType();
    // Menus, popovers and tooltips come and go with the keyboard of their own window.
    if (type == Qt::Popup || type == Qt::ToolTip || type == Qt::SplashScreen) return false;
    for (const QWidget* at = widget; at; at = at->parentWidget())
        if (at == m_main) return true;
    return false;
}

bool WindowFocusKeeper::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if ((type == QEvent::Show || type == QEvent::Hide) && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (isKeptWindow(widget) && !widget->testAttribute(Qt::WA_ShowWithoutActivating)) {
            if (type == QEvent::Show) {
                activateLater(widget);
            } else if (widget != m_main && (QApplication::activeWindow() == widget ||
                                            QGuiApplication::applicationState() == Qt::ApplicationActive)) {
                // Only while the application has the keyboard: a window the user left stays left.
                activateNextAfter(widget);
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

void WindowFocusKeeper::activateLater(QWidget* window) {
    // After the show has reached the display: a window that is not mapped yet cannot take the keyboard.
    QTimer::singleShot(0, window, [this, window] {
        if (!window->isVisible()) return;
        // A dialog that blocks the window keeps the keyboard (the window may appear after it).
        QWidget* target = window;
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != window && modal->isVisible() && isKeptWindow(modal))
            target = modal;
        target->raise();
        target->activateWindow();
    });
}

void WindowFocusKeeper::activateNextAfter(QWidget* closed) {
    QTimer::singleShot(0, this, [this, closed = QPointer<QWidget>(closed)] {
        if (!m_main || !m_main->isVisible()) return;
        // Someone else took the keyboard in the meantime (another window of ours, or the user).
        QWidget* active = QApplication::activeWindow();
        if (active && active != closed && active->isVisible()) return;
        QWidget* next = QApplication::activeModalWidget();
        if (!next || !next->isVisible() || next == closed) next = m_main;
        next->activateWindow();
    });
}

} // namespace vantrel
