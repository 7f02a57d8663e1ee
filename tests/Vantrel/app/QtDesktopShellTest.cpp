// Showing a file in the file manager: on a D-Bus session of the test's own, a stand-in for the file
// manager's org.freedesktop.FileManager1 receives ShowItems with the file's URI, so that the file
// manager opens its folder with the file selected.

#include "WidgetTesting.h"

#include "Vantrel/app/QtDesktopShell.h"

#include "tests/fixtures/TestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace vantrel {
namespace {

// The file manager's object: records each call and answers it.
class FakeFileManager final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        calls.push_back(message);
        connection.send(message.createReply());
        return true;
    }
    std::vector<QDBusMessage> calls;
};

TEST(QtDesktopShell, AFileIsShownSelectedThroughTheFileManagersShowItems) {
    if (!test::haveProgram("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    // A session bus of the test's own, before the application connects to one.
    const auto started = test::run({"dbus-daemon", "--session", "--fork", "--nopidfile", "--print-address=1", "--print-pid=1"});
    ASSERT_EQ(started.exitCode, 0) << started.output;
    std::istringstream lines(started.output);
    std::string address;
    long pid = 0;
    lines >> address >> pid;
    ASSERT_FALSE(address.empty());
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    test::widgetApplication();

    auto fileManagerBus = QDBusConnection::connectToBus(QString::fromStdString(address), QStringLiteral("fileManager"));
    ASSERT_TRUE(fileManagerBus.isConnected());
    FakeFileManager fileManager;
    ASSERT_TRUE(fileManagerBus.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    ASSERT_TRUE(fileManagerBus.registerVirtualObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager));

    test::TempDir dir;
    const auto file = dir / "VantrelHelper";
    test::writeFile(file, Bytes{1, 2, 3});
    QtDesktopShell shell(nullptr);
    EXPECT_TRUE(shell.revealInFileManager(file.string()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fileManager.calls.empty() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(fileManager.calls.size(), 1u);
    const QDBusMessage& call = fileManager.calls.front();
    EXPECT_EQ(call.interface(), "org.freedesktop.FileManager1");
    EXPECT_EQ(call.member(), "ShowItems");
    ASSERT_EQ(call.arguments().size(), 2);
    EXPECT_EQ(call.arguments()[0].toStringList(), QStringList{QUrl::fromLocalFile(QString::fromStdString(file.string())).toString()});

    fileManagerBus.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fileManager"));
    ::kill(static_cast<pid_t>(pid), SIGTERM);
}

} // namespace
} // namespace vantrel
