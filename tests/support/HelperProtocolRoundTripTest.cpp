// A stub helper service and a test client talking over the real socket layer: a listener on a
// socket path, a reconnecting client, the selector tables and both proxies.

#include "platform/ipc/IpcClient.h"
#include "platform/ipc/IpcError.h"
#include "platform/ipc/IpcListener.h"
#include "support/VantrelError.h"
#include "support/VantrelHelperClientProxy.h"
#include "support/VantrelHelperProtocolProxy.h"
#include "support/XPCConstants.h"
#include "tests/fixtures/BatchReadings.h"
#include "tests/fixtures/TestSupport.h"
#include "tests/fixtures/TransferRecords.h"
#include "tests/platform/ipc/IpcTestSupport.h"

#include <fcntl.h>

#include <atomic>

namespace vantrel {
namespace {

using test::Inbox;

// Answers every operation with a fixed result and records what it was asked.
class StubService : public VantrelHelperProtocol {
public:
    std::unique_ptr<VantrelHelperClient> client;
    Inbox<std::string> calls;
    std::atomic<bool> cancelled{false};

    void ping(StringReply reply) override {
        calls.push("ping");
        reply("pong");
    }
    void probeDeviceWithPath(const std::string& path, LengthReply reply) override {
        calls.push("probe " + path);
        reply(31914983424, std::nullopt);
    }
    void checkRawDiskAccessWithPath(const std::string& path, AccessReply reply) override {
        calls.push("check " + path);
        reply(false, VantrelError::diskAccessDeniedError(path, std::string("/usr/libexec/vantrel/VantrelHelper")));
    }
    void startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                           std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds,
                           const std::string& scanMode, ErrorReply reply) override {
        std::string kinds;
        for (const auto& kind : allowedKinds) kinds += kind + ",";
        calls.push("scan " + path + " " + std::to_string(minimumByteSize) + " " + std::to_string(minimumImageWidth) + " " +
                   std::to_string(minimumImageHeight) + " " + kinds + " " + scanMode);
        // As the scan queue would: callbacks first, then the reply, from another thread.
        std::thread([this, reply] {
            client->helperDidLog("Opening /dev/sdb");
            client->helperDidUpdateProgressWithBytesScanned(0, 31914983424, 0, 0);
            client->helperDidFindHit(HelperHitDTO("jpeg", 0x8000'0000'0000'0000, 4096, "IMG_0001.JPG", "DCIM/100MEDIA", 640, 480,
                                                  "fatUndelete", false, true, 4'294'967'295U, 1048576, "fat32"));
            client->helperDidUpdateProgressWithBytesScanned(31914983424, 31914983424, 1, 2);
            client->helperDidLog("Scan complete");
            reply(std::nullopt);
        }).detach();
    }
    void cancelScan() override {
        cancelled = true;
        calls.push("cancel");
    }
    void extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length, const std::string& destinationPath,
                            UniqueFd destination, const std::string& hitSource, std::int64_t firstCluster,
                            std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset,
                            std::int64_t secondLength, ErrorReply reply) override {
        calls.push("extract " + path + " " + std::to_string(offset) + " " + std::to_string(length) + " " + destinationPath + " " +
                   hitSource + " " + std::to_string(firstCluster) + " " + std::to_string(partitionOffset) + " " + fileSystem +
                   " " + std::to_string(secondOffset) + " " + std::to_string(secondLength));
        const std::string bytes = "recovered";
        if (::write(destination.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            return reply(ErrorObject::posix(errno, destinationPath));
        reply(std::nullopt);
    }
    void copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath, UniqueFd destination,
                                  ErrorReply reply) override {
        calls.push("copy " + sourcePath + " " + destinationPath + (destination ? " fd" : " no fd"));
        reply(ErrorObject{std::string(VantrelError::domain), VantrelError::copyCancelled, "Copy cancelled", std::nullopt});
    }
    void remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply) override {
        std::string names;
        for (const auto& name : bsdNames) names += name + ",";
        calls.push("remount " + names);
        reply(ErrorObject{"Vantrel", 16, "Could not remount: sdb, sdc", std::nullopt});
    }
    void quitForRelaunch(ErrorReply reply) override {
        calls.push("quit");
        reply(calls.items().size() > 2 ? std::optional<ErrorObject>(ErrorObject{"Vantrel", 20, "Not quitting", std::nullopt})
                                       : std::nullopt);
    }
    void identifyDeviceWithPath(const std::string& path, IdentityReply reply) override {
        calls.push("identify " + path);
        reply("{}", std::nullopt);
    }
};

class RecordingClient : public VantrelHelperClient {
public:
    Inbox<HelperHitDTO> hits;
    Inbox<std::string> events;  // progress and log lines, in arrival order

    void helperDidFindHit(const HelperHitDTO& hit) override {
        hits.push(hit);
        events.push("hit " + hit.suggestedName);
    }
    void helperDidUpdateProgressWithBytesScanned(std::int64_t bytesScanned, std::int64_t totalBytes, std::int64_t hitsFound,
                                                 std::int64_t readErrors) override {
        events.push("progress " + std::to_string(bytesScanned) + "/" + std::to_string(totalBytes) + " " +
                    std::to_string(hitsFound) + " " + std::to_string(readErrors));
    }
    void helperDidLog(const std::string& line) override { events.push("log " + line); }
};

using test::unowned;

// The helper side: a listener whose connections each get the stub service.
struct StubHelper {
    StubService service;
    Inbox<std::string> clientErrors;
    std::unique_ptr<IpcConnection> connection;
    IpcListener::ConnectionSlot slot;
    std::unique_ptr<IpcListener> listener;

    explicit StubHelper(const std::string& path) {
        IpcListener::Options options;
        options.admission = Admission::rootOrUser(::getuid());
        options.onAccept = [this](SeqpacketSocket socket, PeerCredentials, IpcListener::ConnectionSlot acceptedSlot) {
            IpcConnectionOptions connectionOptions;
            connectionOptions.exported = VantrelHelperProtocol::selectorTable();
            connectionOptions.remote = VantrelHelperClient::selectorTable();
            connectionOptions.onMessage = [this](IpcIncoming message) { VantrelHelperProtocol::dispatch(service, std::move(message)); };
            connection = std::make_unique<IpcConnection>(std::move(socket), std::move(connectionOptions));
            service.client = std::make_unique<VantrelHelperClientProxy>(
                *connection, [this](ErrorObject error) { clientErrors.push(error.message); });
            slot = std::move(acceptedSlot);
            connection->resume();
        };
        listener = std::make_unique<IpcListener>(IpcListener::listenOn(path, 0600), std::move(options));
        listener->resume();
    }
};

struct Application {
    RecordingClient client;
    std::unique_ptr<IpcClient> connection;

    explicit Application(const std::string& path) {
        IpcConnectionOptions options;
        options.exported = VantrelHelperClient::selectorTable();
        options.remote = VantrelHelperProtocol::selectorTable();
        options.onMessage = [this](IpcIncoming message) { VantrelHelperClient::dispatch(client, message); };
        // As the application reads them: the batches of hits from their text.
        options.batchReader = [this] { return VantrelHelperClient::hitBatchReader(unowned(client)); };
        connection = std::make_unique<IpcClient>([path] { return SeqpacketSocket::connect(path); }, std::move(options));
    }
};

// Waits for one reply callback; fails the test when the error handler runs instead.
template <typename... Values>
class Answer {
public:
    std::function<void(Values...)> reply() {
        return [this](Values... values) { m_promise.set_value(std::make_tuple(std::move(values)...)); };
    }
    std::tuple<Values...> get() {
        auto future = m_promise.get_future();
        EXPECT_EQ(future.wait_for(test::ipcWait), std::future_status::ready);
        return future.get();
    }

private:
    std::promise<std::tuple<Values...>> m_promise;
};

class HelperProtocolRoundTrip : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string path = dir / "helper.sock";
    StubHelper helper{path};
    Application app{path};
    Inbox<std::string> proxyErrors;
    VantrelHelperProtocolProxy proxy{*app.connection, [this](ErrorObject error) { proxyErrors.push(error.message); }};

    void TearDown() override { EXPECT_TRUE(proxyErrors.items().empty()); }
};

TEST_F(HelperProtocolRoundTrip, PingProbeAndAccessCheck) {
    Answer<std::string> pong;
    proxy.ping(pong.reply());
    EXPECT_EQ(std::get<0>(pong.get()), "pong");

    Answer<std::int64_t, std::optional<ErrorObject>> length;
    proxy.probeDeviceWithPath("/dev/sdb", length.reply());
    const auto [bytes, probeError] = length.get();
    EXPECT_EQ(bytes, 31914983424);
    EXPECT_FALSE(probeError);

    Answer<bool, std::optional<ErrorObject>> access;
    proxy.checkRawDiskAccessWithPath("/dev/sdb", access.reply());
    const auto [granted, accessError] = access.get();
    EXPECT_FALSE(granted);
    ASSERT_TRUE(accessError);
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(*accessError));
    EXPECT_EQ(accessError->path, "/dev/sdb");
    EXPECT_NE(accessError->message.find(" Helper: /usr/libexec/vantrel/VantrelHelper"), std::string::npos);
}

TEST_F(HelperProtocolRoundTrip, AScanStreamsItsCallbacksBeforeItsReply) {
    Answer<std::optional<ErrorObject>> done;
    proxy.startScanWithPath("/dev/sdb", 512, 0, -1, {"jpeg", "png"}, "quickUndelete",
                            [&](std::optional<ErrorObject> error) {
                                app.client.events.push("reply");
                                done.reply()(std::move(error));
                            });
    EXPECT_FALSE(std::get<0>(done.get()));
    ASSERT_TRUE(app.client.events.waitFor(6));
    EXPECT_EQ(app.client.events.items(),
              (std::vector<std::string>{"log Opening /dev/sdb", "progress 0/31914983424 0 0", "hit IMG_0001.JPG",
                                        "progress 31914983424/31914983424 1 2", "log Scan complete", "reply"}));
    EXPECT_EQ(app.client.hits.items().at(0),
              HelperHitDTO("jpeg", 0x8000'0000'0000'0000, 4096, "IMG_0001.JPG", "DCIM/100MEDIA", 640, 480, "fatUndelete", false,
                           true, 4'294'967'295U, 1048576, "fat32"));
    EXPECT_EQ(helper.service.calls.items().at(0), "scan /dev/sdb 512 0 -1 jpeg,png, quickUndelete");

    proxy.cancelScan();
    EXPECT_TRUE(test::eventually([&] { return helper.service.cancelled.load(); }));
}

TEST_F(HelperProtocolRoundTrip, ExtractionWritesIntoTheDescriptorTheApplicationCreated) {
    const std::string destination = dir / "IMG_0001.JPG";
    UniqueFd file(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);
    Answer<std::optional<ErrorObject>> done;
    proxy.extractHitWithPath("/dev/sdb", 5, 4096, destination, std::move(file), "exfatUndelete", 4'294'967'296, 1048576, "exfat",
                             8192, 1024, done.reply());
    EXPECT_FALSE(std::get<0>(done.get()));
    EXPECT_EQ(test::readFile(destination), (Bytes{'r', 'e', 'c', 'o', 'v', 'e', 'r', 'e', 'd'}));
    EXPECT_EQ(helper.service.calls.items().at(0), "extract /dev/sdb 5 4096 " + destination + " exfatUndelete 4294967296 1048576 exfat 8192 1024");

    UniqueFd image(::open((dir / "disk.img").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    Answer<std::optional<ErrorObject>> copied;
    proxy.copyDeviceWithSourcePath("/dev/sdb", dir / "disk.img", std::move(image), copied.reply());
    const auto copyError = std::get<0>(copied.get());
    ASSERT_TRUE(copyError);
    EXPECT_EQ(copyError->code, VantrelError::copyCancelled);
    EXPECT_EQ(copyError->message, "Copy cancelled");
    EXPECT_EQ(helper.service.calls.items().at(1), "copy /dev/sdb " + std::string(dir / "disk.img") + " fd");
}

TEST_F(HelperProtocolRoundTrip, RemountAndQuit) {
    Answer<std::optional<ErrorObject>> remounted;
    proxy.remountDisksWithBsdNames({"sdb", "sdc"}, remounted.reply());
    const auto error = std::get<0>(remounted.get());
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, (ErrorObject{"Vantrel", 16, "Could not remount: sdb, sdc", std::nullopt}));
    EXPECT_EQ(helper.service.calls.items().at(0), "remount sdb,sdc,");

    Answer<std::optional<ErrorObject>> quit;
    proxy.quitForRelaunch(quit.reply());
    EXPECT_FALSE(std::get<0>(quit.get()));
    EXPECT_EQ(helper.service.calls.items().at(1), "quit");
    // A declined quit comes back as the error that says why.
    Answer<std::optional<ErrorObject>> declined;
    proxy.quitForRelaunch(declined.reply());
    EXPECT_EQ(std::get<0>(declined.get()), (ErrorObject{"Vantrel", 20, "Not quitting", std::nullopt}));

    Answer<std::string, std::optional<ErrorObject>> identified;
    proxy.identifyDeviceWithPath("/dev/sdb", identified.reply());
    EXPECT_EQ(std::get<0>(identified.get()), "{}");
    EXPECT_EQ(helper.service.calls.items().at(3), "identify /dev/sdb");
}

TEST_F(HelperProtocolRoundTrip, TheHelperSendsOnlyValidHitRecords) {
    Answer<std::string> pong;
    proxy.ping(pong.reply());
    pong.get();
    // The helper's own connection refuses to send what the client would refuse.
    ASSERT_TRUE(helper.connection);
    EXPECT_TRUE(helper.connection->send(HelperClientSelector::didFindHit, nlohmann::json::array({"a string"})));
    auto record = HelperHitDTO("jpeg", 0, 1, "a", std::nullopt, 0, 0, "signatureCarve", false, false, 0, 0, "").encode();
    record["firstCluster"] = 4'294'967'298LL;
    EXPECT_TRUE(helper.connection->send(HelperClientSelector::didFindHit, nlohmann::json::array({record})));
    EXPECT_EQ(helper.connection->state(), IpcConnectionState::open);
}

// The application's side of a connection whose helper side the test writes packet by packet.
struct RawHelperSide {
    using ReaderMaker = std::function<std::unique_ptr<IpcBatchReader>(VantrelHelperClient& client)>;

    explicit RawHelperSide(ReaderMaker makeReader = {}) {
        auto [appSocket, rawSocket] = SeqpacketSocket::pair();
        helperSide = std::make_unique<test::RawPeer>(std::move(rawSocket));
        IpcConnectionOptions options;
        options.exported = VantrelHelperClient::selectorTable();
        options.remote = VantrelHelperProtocol::selectorTable();
        options.onMessage = [this](IpcIncoming message) { VantrelHelperClient::dispatch(client, message); };
        if (makeReader) options.batchReader = [this, makeReader] { return makeReader(client); };
        connection = std::make_unique<IpcConnection>(std::move(appSocket), std::move(options));
        connection->resume();
    }

    std::unique_ptr<test::RawPeer> helperSide;
    RecordingClient client;
    std::unique_ptr<IpcConnection> connection;
};

TEST(HelperProtocolClient, RefusesHitMessagesThatAreNotHitRecords) {
    RawHelperSide raw;
    auto& helperSide = *raw.helperSide;
    auto& client = raw.client;
    auto& connection = *raw.connection;
    const auto send = [&](nlohmann::json argument) {
        helperSide.send(nlohmann::json{{"v", 1}, {"k", "send"}, {"sel", "helperDidFindHit:"}, {"args", nlohmann::json::array({argument})}});
    };
    auto tooLarge = HelperHitDTO("jpeg", 0, 1, "big", std::nullopt, 0, 0, "fatUndelete", false, false, 0, 0, "fat32").encode();
    tooLarge["firstCluster"] = 4'294'967'298LL;
    send("IMG_0001.JPG");
    send(nlohmann::json{{"$class", "RecoveredHit"}, {"kind", "jpeg"}});
    send(tooLarge);
    send(HelperHitDTO("png", 7, 8, "ok.png", std::nullopt, 1, 1, "signatureCarve", false, false, 0, 0, "").encode());
    ASSERT_TRUE(client.hits.waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(client.hits.items().size(), 1u);
    EXPECT_EQ(client.hits.items()[0].suggestedName, "ok.png");
    EXPECT_EQ(connection.state(), IpcConnectionState::open);
}

TEST(HelperProtocolProxy, ReportsALostConnectionToTheErrorHandlerOnly) {
    test::TempDir dir;
    IpcConnectionOptions options;
    options.remote = VantrelHelperProtocol::selectorTable();
    IpcClient nowhere([path = dir / "none.sock"] { return SeqpacketSocket::connect(path); }, std::move(options));
    std::vector<ErrorObject> errors;
    int replies = 0;
    VantrelHelperProtocolProxy proxy(nowhere, [&](ErrorObject error) { errors.push_back(std::move(error)); });
    proxy.ping([&](std::string) { ++replies; });
    proxy.remountDisksWithBsdNames({"sdb"}, [&](std::optional<ErrorObject>) { ++replies; });
    proxy.cancelScan();
    EXPECT_EQ(replies, 0);
    ASSERT_EQ(errors.size(), 3u);
    for (const auto& error : errors) EXPECT_TRUE(IpcError::is(error, IpcErrorCode::connectFailed));
}

// A batch reader that counts the sends it hands on.
class CountingReader final : public IpcBatchReader {
public:
    CountingReader(std::unique_ptr<IpcBatchReader> reader, std::atomic<int>& delivered) : m_reader(std::move(reader)), m_delivered(delivered) {}
    std::string_view selector() const override { return m_reader->selector(); }
    std::size_t read(std::size_t index, std::string_view text) override { return m_reader->read(index, text); }
    void deliver(std::size_t index) override {
        ++m_delivered;
        m_reader->deliver(index);
    }

private:
    std::unique_ptr<IpcBatchReader> m_reader;
    std::atomic<int>& m_delivered;
};

TEST(HelperProtocolClient, ReadsHitBatchesFromTheirTextInTheirPlaceWithTheSameChecks) {
    std::atomic<int> readFromText{0};
    RawHelperSide raw([&](VantrelHelperClient& receiver) {
        return std::make_unique<CountingReader>(VantrelHelperClient::hitBatchReader(unowned(receiver)), readFromText);
    });
    auto& helperSide = *raw.helperSide;
    auto& client = raw.client;
    auto& connection = *raw.connection;
    const auto hit = [](const std::string& name) {
        return HelperHitDTO("jpeg", 0, 1, name, "DCIM/\"x\"", 0, 0, "fatUndelete", false, false, 0, 0, "fat32");
    };
    // Read from the text, then a message and a batch the library reads: one record it refuses (dropped), one
    // without a key (its default taken); then the text again, and a batch cut short, which ends the connection.
    helperSide.send(test::hitBatch({hit("1 Ä.jpg"), hit("2\n.jpg")}));
    helperSide.send(nlohmann::json{{"v", 1}, {"k", "send"}, {"sel", "helperDidLog:"}, {"args", {"between"}}});
    auto refused = hit("refused").encode();
    refused["firstCluster"] = -1;
    auto defaulted = hit("3.jpg").encode();
    defaulted.erase("fileSystem");
    const auto entry = [](const nlohmann::json& record) {
        return IpcMessageCodec::encodeBatchEntry(HelperClientSelector::didFindHit, nlohmann::json::array({record}));
    };
    helperSide.send(IpcMessageCodec::encodeBatch(entry(refused) + "," + entry(defaulted)));
    helperSide.send(test::hitBatch({hit("4.jpg")}));
    const std::string cut = test::hitBatch({hit("never.jpg")});
    helperSide.send(cut.substr(0, cut.size() - 1));
    ASSERT_TRUE(test::eventually([&] { return connection.state() == IpcConnectionState::interrupted; }));
    EXPECT_EQ(client.events.items(), (std::vector<std::string>{"hit 1 Ä.jpg", "hit 2\n.jpg", "log between", "hit 3.jpg", "hit 4.jpg"}));
    ASSERT_EQ(client.hits.items().size(), 4u);
    EXPECT_EQ(client.hits.items()[0], hit("1 Ä.jpg"));
    EXPECT_EQ(client.hits.items()[2].fileSystem, "");
    EXPECT_EQ(readFromText.load(), 3);
}

TEST(HelperProtocolProxy, WritesHitBatchesAndProgressWithTheLibrarysBytesInTheirOrder) {
    // The helper's side as the scan uses it; the application's side is a raw socket that keeps the packets.
    auto [helperSocket, appSocket] = SeqpacketSocket::pair();
    test::RawPeer appSide(std::move(appSocket));
    IpcConnectionOptions options;
    options.exported = VantrelHelperProtocol::selectorTable();
    options.remote = VantrelHelperClient::selectorTable();
    IpcConnection connection(std::move(helperSocket), std::move(options));
    connection.resume();
    std::vector<ErrorObject> errors;
    VantrelHelperClientProxy proxy(connection, [&](ErrorObject error) { errors.push_back(std::move(error)); });

    // Every awkward record, three times over, with a progress after runs of 1, 2, ... records.
    std::vector<std::string> expected;  // each message's text as the library writes it
    std::vector<bool> isHit;
    const auto records = test::recordsOfAwkwardTexts();
    std::size_t run = 1, inRun = 0;
    std::int64_t progress = 0;
    for (int pass = 0; pass < 3; ++pass) {
        for (const auto& record : records) {
            expected.push_back(IpcMessageCodec::encodeBatchEntry(HelperClientSelector::didFindHit, nlohmann::json::array({record.encode()})));
            isHit.push_back(true);
            if (++inRun == run) {
                expected.push_back(IpcMessageCodec::encode(IpcMessage{IpcMessageKind::send, 0, std::string(HelperClientSelector::didUpdateProgress),
                                                                      nlohmann::json::array({progress, 1 << 30, progress, 0}), std::nullopt}));
                isHit.push_back(false);
                ++progress;
                inRun = 0;
                run = run % 40 + 1;
            }
        }
    }
    std::thread scan([&] {
        std::size_t record = 0;
        for (std::size_t index = 0; index < expected.size(); ++index) {
            if (isHit[index]) {
                proxy.helperDidFindHit(records[record++ % records.size()]);
            } else {
                const auto arguments = IpcMessageCodec::decode(expected[index]).arguments;
                proxy.helperDidUpdateProgressWithBytesScanned(arguments[0], arguments[1], arguments[2], arguments[3]);
            }
        }
        proxy.helperDidLog("Scan complete");  // sent at once, after all of them
    });
    // A failed assertion below ends the connection, and so the sending, before the thread is joined.
    const std::shared_ptr<void> joinAtExit(nullptr, [&](void*) {
        connection.invalidate();
        scan.join();
    });

    // Each batch packet is the library's batch of the next hits' entries; each progress the library's packet.
    std::size_t next = 0;
    for (;;) {
        pollfd ready{appSide.socket().fd(), POLLIN, 0};
        ASSERT_GT(::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(test::ipcWait).count())), 0) << "at " << next;
        SeqpacketSocket::Packet packet;
        ASSERT_EQ(appSide.socket().receive(packet), SeqpacketSocket::ReceiveStatus::packet);
        const auto message = IpcMessageCodec::decode(packet.bytes);
        if (message.selector == HelperClientSelector::didLog) break;  // the last message: nothing failed before it
        ASSERT_LT(next, expected.size());
        if (message.kind == IpcMessageKind::batch) {
            std::string joined;
            for (std::size_t index = 0; index < message.sends.size(); ++index, ++next) {
                ASSERT_LT(next, expected.size());
                ASSERT_TRUE(isHit[next]) << "a hit after its progress at " << next;
                if (index > 0) joined += ',';
                joined += expected[next];
            }
            EXPECT_EQ(packet.bytes, IpcMessageCodec::encodeBatch(joined)) << "batch ending at " << next;
        } else {
            ASSERT_FALSE(isHit[next]) << "a progress before its hits at " << next;
            EXPECT_EQ(packet.bytes, expected[next]);
            ++next;
        }
    }
    EXPECT_EQ(next, expected.size());
}

} // namespace
} // namespace vantrel
