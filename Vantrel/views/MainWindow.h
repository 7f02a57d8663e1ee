#pragma once
// The application's one window. For now it holds only its frame; the volume strip, the results pane
// and the status bar take their places in it.

#include <QMainWindow>

namespace vantrel {

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 980;
    static constexpr int minimumHeight = 640;

    explicit MainWindow(QWidget* parent = nullptr);
};

} // namespace vantrel
