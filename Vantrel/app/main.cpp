// The windowed application's entry.

#include "Vantrel/views/MainWindow.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    vantrel::MainWindow window;
    window.show();
    return QApplication::exec();
}
