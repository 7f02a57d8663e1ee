// The helper client against the real helper, spawned beside the program over a socket pair as the
// application does when no helper service answers: ping, probe, access check, a scan whose hits and
// progress arrive before its completion, an extraction into a file the test created, and a helper
// killed in the middle of a scan (the scan fails, the next call starts a fresh helper).

#include "Vantrel/helper/CallError.h"
#include "Vantrel/helper/HelperXPCClient.h"
#include "Vantrel/helper/IpcHelperClient.h"

#include "TaskTesting.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

HelperConnectorOptions spawnOnly() {
    HelperConnectorOptions options;
    options.socketPath = "";  // no service: always spawn
    options.helperProgram = std::filesystem::path(VANTREL_HELPER_PATH);
    options.pkexecProgram = "/nonexistent/pkexec";  // never ask for a password in a test
    options.applicationUid = ::getuid();
    return options;
}

// What arrived through the client's handlers and the scan's completion, in order.
struct Arrivals {
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<RecoveredHit> hits;
    std::optional<std::optional<ErrorObject>> scanOutcome;

    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    bool finished() {
        std::lock_guard lock(mutex);
        return scanOutcome.has_value();
    }
    bool sawProgress() {
        std::lock_guard lock(mutex);
        return std::find(events.begin(), events.end(), "progress") != events.end();
    }
};

struct ConnectionHarness : test::TaskHarness {
    std::shared_ptr<IpcHelperClient> connection = std::make_shared<IpcHelperClient>(spawnOnly());
    HelperXPCClient client{connection};
    Arrivals arrivals;

    ConnectionHarness() {
        client.setOnHit([this](RecoveredHit hit) {
            std::lock_guard lock(arrivals.mutex);
            arrivals.events.push_back("hit");
            arrivals.hits.push_back(std::move(hit));
        });
        client.setOnProgress([this](ScanProgress) { arrivals.add("progress"); });
    }

    // Runs the executor while replies arrive on the connection's thread, until done or 20 s.
    template <typename Done>
    bool pumpUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            executor->runReady();
            if (done()) break;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    template <typename T>
    std::shared_ptr<test::TaskOutcome<T>> run(Task<T> task) {
        auto outcome = test::spawnRecorded(*scope, std::move(task));
        EXPECT_TRUE(pumpUntil([&] { return outcome->finished(); })) << "the call did not end";
        return outcome;
    }

    void scan(const std::string& path, ScanMode mode) {
        RecoveryFilters filters = RecoveryFilters::defaults();
        client.startScan(path, filters, mode, [this](std::optional<ErrorObject> error) {
            std::lock_guard lock(arrivals.mutex);
            arrivals.events.push_back("done");
            arrivals.scanOutcome = std::move(error);
        });
    }
};

std::string errorText(const std::exception_ptr& error) { return test::exceptionText(error); }

TEST(HelperConnection, ASpawnedHelperServesEveryCallOfARecovery) {
    test::TempDir dir;
    const auto photo = test::SampleContent::jpeg(800, 600, 90000, 41);
    test::HfsPlusImageBuilder hfs;
    hfs.addFile(test::HfsPlusImageBuilder::rootFolderId, "photo.jpg", photo);
    const auto image = dir / "hfs.img";
    test::writeFile(image, hfs.build());

    ConnectionHarness h;
    auto ping = h.run(h.client.ping(5.0));
    ASSERT_TRUE(ping->value) << errorText(ping->error);
    EXPECT_EQ(h.connection->route(), ::getuid() == 0 ? HelperRoute::spawnedAsRoot : HelperRoute::spawnedAsUser);

    auto size = h.run(h.client.probeDevice(image.string()));
    ASSERT_TRUE(size->value) << errorText(size->error);
    EXPECT_EQ(*size->value, std::filesystem::file_size(image));

    auto access = h.run(h.client.checkRawDiskAccess(image.string(), 4.0));
    ASSERT_TRUE(access->value) << errorText(access->error);
    EXPECT_TRUE(*access->value);

    h.scan(image.string(), ScanMode::quickUndelete);
    ASSERT_TRUE(h.pumpUntil([&] { return h.arrivals.finished(); }));
    ASSERT_FALSE(*h.arrivals.scanOutcome) << (*h.arrivals.scanOutcome)->message;
    EXPECT_EQ(h.arrivals.events.back(), "done") << "hits and progress come before the scan's end";
    auto found = std::find_if(h.arrivals.hits.begin(), h.arrivals.hits.end(),
                              [](const RecoveredHit& hit) { return hit.source == HitSource::hfsPlusCatalog; });
    ASSERT_NE(found, h.arrivals.hits.end());
    EXPECT_EQ(found->integrity, HitIntegrity::pending);

    const auto destination = dir / "photo.jpg";
    UniqueFd fd(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.valid());
    auto extracted = h.run(h.client.extractHit(image.string(), *found, found->byteLength, destination.string(), std::move(fd), 30.0));
    ASSERT_TRUE(extracted->value) << errorText(extracted->error);
    EXPECT_EQ(test::readFile(destination), photo);
}

TEST(HelperConnection, AHelperKilledMidScanFailsTheScanAndTheNextCallStartsAFreshOne) {
    test::TempDir dir;
    // Long and sparse, so that the scan is still running when the helper is killed.
    const auto image = dir / "long.img";
    test::writeFile(image, {});
    std::filesystem::resize_file(image, std::uint64_t{64} << 30);

    ConnectionHarness h;
    h.scan(image.string(), ScanMode::standard);
    ASSERT_TRUE(h.pumpUntil([&] { return h.arrivals.sawProgress() || h.arrivals.finished(); }));
    ASSERT_FALSE(h.arrivals.finished()) << "the scan ended before the test could act";
    const pid_t first = h.connection->helperPid();
    ASSERT_GT(first, 0);
    ::kill(first, SIGKILL);
    ASSERT_TRUE(h.pumpUntil([&] { return h.arrivals.finished(); }));
    EXPECT_TRUE(*h.arrivals.scanOutcome) << "a scan whose helper died is no success";

    auto ping = h.run(h.client.ping(5.0));
    ASSERT_TRUE(ping->value) << errorText(ping->error);
    EXPECT_NE(h.connection->helperPid(), first);
}

TEST(HelperConnection, NoRouteFailsTheCallWithTheServiceSocketsError) {
    HelperConnectorOptions options;
    options.socketPath = "/nonexistent/vantrel/helper.sock";
    ConnectionHarness h;
    auto connection = std::make_shared<IpcHelperClient>(options);
    HelperXPCClient client(connection);
    auto ping = h.run(client.ping(5.0));
    ASSERT_TRUE(ping->error);
    EXPECT_EQ(connection->route(), HelperRoute::none);
    EXPECT_FALSE(connection->acceptsImageFiles());
}

TEST(HelperConnection, OnlyAHelperSpawnedWithImageFilesAllowedAcceptsThem) {
    ConnectionHarness h;
    EXPECT_TRUE(h.connection->acceptsImageFiles()) << "before the first connection, the helper it would start says";
    EXPECT_EQ(h.connection->helperPid(), -1) << "and asking starts none";
    ASSERT_TRUE(h.run(h.client.ping(5.0))->value);
    EXPECT_TRUE(h.connection->acceptsImageFiles());

    auto strict = spawnOnly();
    strict.helperArguments.clear();
    auto connection = std::make_shared<IpcHelperClient>(strict);
    HelperXPCClient client(connection);
    ASSERT_TRUE(h.run(client.ping(5.0))->value);
    EXPECT_NE(connection->route(), HelperRoute::serviceSocket);
    EXPECT_FALSE(connection->acceptsImageFiles()) << "a helper started without the option refuses image files";
}

TEST(HelperConnection, ASocketServedByAnotherUserThanRootIsNotTakenForTheService) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to serve a socket as another user";
    test::TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const auto socketPath = (dir / "fake.sock").string();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t server = ::fork();
    if (server == 0) {
        // A server of uid nobody, as a user could start in a folder of their own.
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(1);
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) ::_exit(1);
        (void)!::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);

    auto options = spawnOnly();
    options.socketPath = socketPath;
    options.helperProgram.reset();
    HelperConnector connector(options);
    EXPECT_THROW(connector.connect(), std::system_error);
    EXPECT_EQ(connector.lastRoute(), HelperRoute::none);

    // With a helper to spawn, the application goes on with its own helper instead.
    auto fallback = spawnOnly();
    fallback.socketPath = socketPath;
    HelperConnector withFallback(fallback);
    auto socket = withFallback.connect();
    EXPECT_EQ(withFallback.lastRoute(), HelperRoute::spawnedAsRoot);
    EXPECT_TRUE(withFallback.lastHelperAcceptsImageFiles());
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
}

// A stand-in pkexec that counts its starts in a file and runs the helper after a pause, as a user typing
// the password would.
std::filesystem::path standInPkexec(const test::TempDir& dir, const std::string& pause) {
    const auto script = dir / "pkexec";
    const std::string text = "#!/bin/sh\necho start >>" + (dir / "starts").string() + "\nsleep " + pause + "\nexec \"$@\"\n";
    test::writeFile(script, Bytes(text.begin(), text.end()));
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return script;
}

std::size_t startsOf(const test::TempDir& dir) {
    const auto text = std::filesystem::exists(dir / "starts") ? test::readFile(dir / "starts") : Bytes();
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(HelperConnection, ASpawnedHelperIsKeptWhileItLivesAndStartedAgainOnlyWhenItDied) {
    ConnectionHarness h;
    ASSERT_TRUE(h.run(h.client.ping(5.0))->value);
    const pid_t first = h.connection->helperPid();
    ASSERT_GT(first, 0);
    // Every way of dropping the connection that the checks use keeps the living helper.
    h.client.invalidate();
    ASSERT_TRUE(h.run(h.client.ensureReachable(3, 5.0, 1'000'000))->value);
    ASSERT_TRUE(h.run(h.client.ping(5.0))->value);
    EXPECT_EQ(h.connection->helperPid(), first) << "one helper for every call while it lives";

    ::kill(first, SIGKILL);
    // Its end shows as a failed call or at once; then the next call starts one helper.
    h.run(h.client.ping(5.0));
    ASSERT_TRUE(h.run(h.client.ping(5.0))->value);
    const pid_t second = h.connection->helperPid();
    EXPECT_NE(second, first);
    ASSERT_TRUE(h.run(h.client.ensureReachable(2, 5.0, 1'000'000))->value);
    EXPECT_EQ(h.connection->helperPid(), second);
}

TEST(HelperConnection, ThePkexecRouteAsksNothingUntilACallAndWaitsForTheStartingHelper) {
    test::TempDir dir;
    auto options = spawnOnly();
    options.pkexecProgram = standInPkexec(dir, "1.5");
    options.applicationUid = 1000;  // as a user without root decides
    ConnectionHarness h;
    auto connection = std::make_shared<IpcHelperClient>(options);
    HelperXPCClient client(connection);
    EXPECT_TRUE(connection->connectingAsksForPassword());
    EXPECT_TRUE(connection->acceptsImageFiles()) << "an image can be opened before the password is asked";
    EXPECT_EQ(startsOf(dir), 0u) << "asking what the route would be starts nothing";

    // The ping's own time limit runs out while the password is typed; the starting helper is waited for.
    auto ping = h.run(client.ping(0.2));
    ASSERT_TRUE(ping->value) << errorText(ping->error);
    EXPECT_EQ(connection->route(), HelperRoute::spawnedWithPkexec);
    EXPECT_FALSE(connection->helperStarting());
    EXPECT_FALSE(connection->connectingAsksForPassword()) << "the helper runs";
    // The checks of the start and the sheet drop and ping again: still the same helper.
    ASSERT_TRUE(h.run(client.ensureReachable(2, 2.0, 1'000'000))->value);
    h.run(client.checkRawDiskAccess("/nonexistent/disk", 4.0));
    EXPECT_EQ(startsOf(dir), 1u) << "one start, one password, for every call of the run";
}

} // namespace
} // namespace vantrel
