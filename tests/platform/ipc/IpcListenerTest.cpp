#include "IpcTestSupport.h"

#include "platform/ipc/IpcClient.h"
#include "platform/ipc/IpcError.h"
#include "platform/ipc/IpcListener.h"
#include "tests/fixtures/TestSupport.h"

#include <grp.h>
#include <sys/stat.h>

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

    EchoService(const std::string& path, AdmissionPolicy admission, std::size_t maxConnections = IpcListener::defaultMaxConnections) {
        IpcListener::Options options;
        options.admission = std::move(admission);
        options.maxConnections = maxConnections;
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
