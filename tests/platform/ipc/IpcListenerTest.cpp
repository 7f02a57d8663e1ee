#include "IpcTestSupport.h"

#include "platform/ipc/IpcClient.h"
#include "platform/ipc/IpcError.h"
#include "platform/ipc/IpcListener.h"
#include "tests/fixtures/OtherUsers.h"
#include "tests/fixtures/TestSupport.h"

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace vantrel {
namespace {

using test::callAndWait;
using test::eventually;

// A listener whose accepted connections echo, kept until the test ends.
struct EchoService {
    std::mutex mutex;
    std::vector<std::pair<std::unique_ptr<IpcConnection>, IpcListener::ConnectionSlot>> connections;
    test::Inbox<std::string> log;
    std::unique_ptr<IpcListener> listener;

    EchoService(const std::string& path, AdmissionPolicy admission, std::size_t maxConnections = IpcListener::defaultMaxConnections,
                std::size_t perUser = IpcListener::defaultMaxConnectionsPerUser, std::size_t reservedForRoot = 0) {
        IpcListener::Options options;
        options.admission = std::move(admission);
        options.maxConnections = maxConnections;
        options.maxConnectionsPerUser = perUser;
        options.reservedForRoot = reservedForRoot;
        options.log = [this](IpcLogLevel, const std::string& line) { log.push(line); };
        options.onAccept = [this](SeqpacketSocket socket, PeerCredentials, IpcListener::ConnectionSlot slot) {
            IpcConnectionOptions connectionOptions;
            connectionOptions.exported = test::testTable();
            connectionOptions.onMessage = [](IpcIncoming message) {
                if (message.reply) message.reply->reply({message.arguments[0]});
            };
            auto connection = std::make_unique<IpcConnection>(std::move(socket), std::move(connectionOptions));
            connection->resume();
            std::lock_guard lock(mutex);
            connections.emplace_back(std::move(connection), std::move(slot));
        };
        listener = std::make_unique<IpcListener>(IpcListener::listenOn(path, 0600), std::move(options));
        listener->resume();
    }

    void dropConnections() {
        std::lock_guard lock(mutex);
        connections.clear();
    }

    bool logged(const std::string& text) {
        for (const auto& line : log.items())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

IpcConnectionOptions clientOptions() {
    IpcConnectionOptions options;
    options.remote = test::testTable();
    return options;
}

IpcClient::Connector connectorFor(const std::string& path) {
    return [path] { return SeqpacketSocket::connect(path); };
}

TEST(IpcListener, ServesAnAdmittedPeer) {
    test::TempDir dir;
    const std::string path = dir / "helper.sock";
    EchoService service(path, Admission::rootOrUser(::getuid()));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    IpcClient client(connectorFor(path), clientOptions());
    const auto outcome = callAndWait(client, "echo:reply:", {"hello"});
    ASSERT_TRUE(outcome.arguments);
    EXPECT_EQ((*outcome.arguments)[0], "hello");
    EXPECT_TRUE(service.logged("accepted: uid=" + std::to_string(::getuid()) + " pid=" + std::to_string(::getpid())));
}

TEST(IpcListener, RefusesAPeerWhoseUserIsNotAdmitted) {
    test::TempDir dir;
    const std::string path = dir / "helper.sock";
    const uid_t self = ::getuid();
    EchoService service(path, [self](const PeerCredentials& peer) { return peer.uid != self; });

    IpcClient client(connectorFor(path), clientOptions());
    const auto outcome = callAndWait(client, "echo:reply:", {"let me in"});
    EXPECT_TRUE(outcome.failed);
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::connectionInterrupted));
    EXPECT_TRUE(eventually([&] { return service.logged("not admitted: uid=" + std::to_string(self)); }));
    EXPECT_EQ(service.listener->activeConnections(), 0u);
}

TEST(IpcListener, ServesAtMostTheConnectionLimit) {
    test::TempDir dir;
    const std::string path = dir / "helper.sock";
    EchoService service(path, Admission::rootOrUser(::getuid()), 1);

    IpcClient first(connectorFor(path), clientOptions());
    EXPECT_TRUE(callAndWait(first, "echo:reply:", {"1"}).arguments);
    IpcClient second(connectorFor(path), clientOptions());
    EXPECT_TRUE(callAndWait(second, "echo:reply:", {"2"}).failed);
    EXPECT_TRUE(service.logged("too many connections"));

    // Closing the first connection frees its place.
    service.dropConnections();
    EXPECT_TRUE(eventually([&] { return service.listener->activeConnections() == 0; }));
    EXPECT_TRUE(callAndWait(second, "echo:reply:", {"2 again"}).arguments);
}

// Whether a connection made as the identity gets an answer (false: the listener closed it unread).
bool servedAs(const std::string& path, const test::Identity& who, std::vector<std::unique_ptr<IpcConnection>>& kept) {
    auto socket = test::connectAs(path, who);
    if (!socket) return false;
    auto connection = std::make_unique<IpcConnection>(std::move(*socket), clientOptions());
    connection->resume();
    const bool answered = callAndWait(*connection, "echo:reply:", {"hi"}).arguments.has_value();
    kept.push_back(std::move(connection));
    return answered;
}

TEST(IpcListener, KeepsEachUserToItsShareAndThePlacesKeptForRoot) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to connect as other users";
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string path = dir / "helper.sock";
    EchoService service(path, [](const PeerCredentials&) { return true; }, 4, 2, 1);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);

    std::vector<std::unique_ptr<IpcConnection>> kept;
    const test::Identity& nobody = test::nobodyUser;
    const test::Identity other{65533, 65533, {}};
    EXPECT_TRUE(servedAs(path, nobody, kept));
    EXPECT_TRUE(servedAs(path, nobody, kept));
    EXPECT_FALSE(servedAs(path, nobody, kept)) << "a third connection of one user";
    EXPECT_TRUE(eventually([&] { return service.logged("too many connections of this user: uid=65534"); }));
    EXPECT_TRUE(servedAs(path, other, kept));
    EXPECT_FALSE(servedAs(path, other, kept)) << "the last place is root's";
    EXPECT_TRUE(eventually([&] { return service.logged("the rest are kept for root: uid=65533"); }));
    EXPECT_TRUE(servedAs(path, test::Identity{0, 0, {}}, kept));
    EXPECT_FALSE(servedAs(path, test::Identity{0, 0, {}}, kept)) << "root too is bounded";
    EXPECT_EQ(service.listener->activeConnections(), 4u);
}

TEST(IpcListener, GivesTheSocketItsGroupAsItAppears) {
    test::TempDir dir;
    const std::string path = dir / "helper.sock";
    // Root may give any group; another user only one of its own.
    const gid_t group = test::runningAsRoot() ? 65534 : ::getgid();
    const UniqueFd socket = IpcListener::listenOn(path, 0660, group);
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_gid, group);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
}

TEST(SeqpacketSocket, RefusesAServerThatRunsAsAnotherUser) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to run a server as another user";
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string path = dir / "fake.sock";
    // A server that nobody runs, in a folder nobody may write: it must not get root's calls.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        try {
            const auto listening = IpcListener::listenOn(path, 0666);
            const char done = 1;
            if (::write(ready[1], &done, 1) != 1) ::_exit(4);
            ::pause();
        } catch (...) {
        }
        ::_exit(2);
    }
    ::close(ready[1]);
    char done = 0;
    ASSERT_EQ(::read(ready[0], &done, 1), 1) << "the fake server did not start";
    ::close(ready[0]);
    try {
        SeqpacketSocket::connect(path);
        ADD_FAILURE() << "connected to a server of uid 65534";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EPERM);
        EXPECT_NE(std::string(error.what()).find("runs as uid 65534"), std::string::npos) << error.what();
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST(IpcListener, ReplacesOnlyAStaleSocket) {
    test::TempDir dir;
    const std::string path = dir / "helper.sock";
    { EchoService earlier(path, Admission::rootOrUser(::getuid())); }
    EXPECT_NO_THROW(IpcListener::listenOn(path, 0600));  // the socket file left behind is replaced

    const std::string file = dir / "notes.txt";
    test::writeFile(file, Bytes{'x'});
    EXPECT_THROW(IpcListener::listenOn(file, 0600), std::system_error);
    EXPECT_EQ(test::readFile(file), Bytes{'x'});
}

TEST(IpcListener, ThePathAppearsOnlyOnceItListensWithItsMode) {
    test::TempDir dir;
    const std::string path = dir / "helper.sock";
    const UniqueFd socket = IpcListener::listenOn(path, 0640);
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    // Whoever sees the path can connect at once: nothing is left between bind and listen.
    EXPECT_NO_THROW(SeqpacketSocket::connect(path));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u) << "no staging name is left behind";
}

TEST(Admission, AdmitsRootAndTheNamedGroupOnly) {
    // The caller's own primary group stands in for "vantrel", which this machine may not have.
    const group* own = ::getgrgid(::getgid());
    ASSERT_NE(own, nullptr);
    const auto policy = Admission::rootOrGroup(own->gr_name);
    const gid_t ownGid = ::getgid();
    const gid_t otherGid = ownGid + 4242;
    EXPECT_TRUE(policy(PeerCredentials{1, 0, otherGid, {}}));
    EXPECT_TRUE(policy(PeerCredentials{1, 5000, ownGid, {}}));
    EXPECT_TRUE(policy(PeerCredentials{1, 5000, otherGid, {otherGid, ownGid}}));
    EXPECT_FALSE(policy(PeerCredentials{1, 5000, otherGid, {otherGid}}));

    const auto missing = Admission::rootOrGroup("vantrel-no-such-group");
    EXPECT_TRUE(missing(PeerCredentials{1, 0, 0, {}}));
    EXPECT_FALSE(missing(PeerCredentials{1, 5000, ownGid, {ownGid}}));

    const auto spawned = Admission::rootOrUser(1000);
    EXPECT_TRUE(spawned(PeerCredentials{1, 1000, 1000, {}}));
    EXPECT_TRUE(spawned(PeerCredentials{1, 0, 0, {}}));
    EXPECT_FALSE(spawned(PeerCredentials{1, 1001, 1000, {}}));
}

TEST(IpcClient, ReconnectsOnTheNextCallAfterAnInterruption) {
    // Each connection gets a fresh served end, as each connect starts a fresh helper.
    std::mutex mutex;
    std::vector<std::unique_ptr<IpcConnection>> served;
    int connects = 0;
    const IpcClient::Connector connector = [&] {
        auto [clientSocket, serverSocket] = SeqpacketSocket::pair();
        IpcConnectionOptions options;
        options.exported = test::testTable();
        options.onMessage = [](IpcIncoming message) { message.reply->reply({message.arguments[0]}); };
        auto connection = std::make_unique<IpcConnection>(std::move(serverSocket), std::move(options));
        connection->resume();
        std::lock_guard lock(mutex);
        ++connects;
        served.push_back(std::move(connection));
        return std::move(clientSocket);
    };
    IpcClient client(connector, clientOptions());
    std::atomic<int> interruptions{0};
    client.setInterruptionHandler([&] { ++interruptions; });

    EXPECT_TRUE(callAndWait(client, "echo:reply:", {"1"}).arguments);
    {
        std::lock_guard lock(mutex);
        served.clear();  // the helper exits
    }
    EXPECT_TRUE(eventually([&] { return interruptions == 1; }));
    EXPECT_EQ((*callAndWait(client, "echo:reply:", {"2"}).arguments)[0], "2");
    std::lock_guard lock(mutex);
    EXPECT_EQ(connects, 2);
}

TEST(IpcClient, FailsEveryCallOnceInvalidated) {
    int connects = 0;
    std::vector<std::unique_ptr<IpcConnection>> served;
    IpcClient client(
        [&] {
            ++connects;
            auto [clientSocket, serverSocket] = SeqpacketSocket::pair();
            served.push_back(std::make_unique<IpcConnection>(std::move(serverSocket), IpcConnectionOptions{}));
            return std::move(clientSocket);
        },
        clientOptions());
    int invalidations = 0;
    client.setInvalidationHandler([&] { ++invalidations; });
    test::CallRecorder pending;
    client.call("echo:reply:", {"never answered"}, -1, pending.onReply(), pending.onFailure());
    client.invalidate();
    client.invalidate();
    EXPECT_EQ(invalidations, 1);
    EXPECT_TRUE(IpcError::is(*pending.now().error, IpcErrorCode::connectionInvalidated));
    EXPECT_TRUE(IpcError::is(*callAndWait(client, "echo:reply:", {"x"}).error, IpcErrorCode::connectionInvalidated));
    EXPECT_TRUE(IpcError::is(*client.send("notify:", {1}), IpcErrorCode::connectionInvalidated));
    EXPECT_EQ(connects, 1);
}

TEST(IpcClient, ReportsAConnectionThatCannotBeMade) {
    test::TempDir dir;
    IpcClient client(connectorFor(dir / "nobody.sock"), clientOptions());
    const auto outcome = callAndWait(client, "echo:reply:", {"x"});
    EXPECT_TRUE(outcome.failed);
    EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::connectFailed));
    EXPECT_FALSE(client.isInvalidated());
}

} // namespace
} // namespace vantrel
