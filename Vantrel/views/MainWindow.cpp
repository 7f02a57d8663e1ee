#include "Vantrel/views/MainWindow.h"

namespace vantrel {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Vantrel"));
    setMinimumSize(minimumWidth, minimumHeight);
}

} // namespace vantrel
