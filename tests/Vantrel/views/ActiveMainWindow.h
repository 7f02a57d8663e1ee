#pragma once
// The main window shown and active on the offscreen platform over the model's fakes, keys sent as the
// display would send them: where the tests of the keyboard and of assistive technology start.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/views/MainWindow.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vantrel::test {

// A mounted 8 GB card.
inline ExternalVolume mountedCard(std::string name, std::string bsdName) {
    return fatVolume(std::move(name), std::move(bsdName), 8'000'000'000);
}

struct ActiveMainWindow {
    explicit ActiveMainWindow(std::vector<ExternalVolume> volumes) {
        widgetApplication();
        harness.volumes->current = std::move(volumes);
        window = std::make_unique<MainWindow>(model(), harness.volumes);
        window->resize(1100, 720);
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        settle();
    }
    AppModel& model() { return *harness.model; }
    void settle() {
        harness.executor->runUntilIdle();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    // Sends the key to whichever widget has the keyboard; the widget that has it after.
    QWidget* press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        if (!target) target = QApplication::activeWindow();
        EXPECT_NE(target, nullptr);
        if (target) QTest::keyClick(target, key, modifiers);
        settle();
        return QApplication::focusWidget();
    }

    AppModelHarness harness;
    std::unique_ptr<MainWindow> window;
};

} // namespace vantrel::test
