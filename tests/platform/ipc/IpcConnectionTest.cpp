#include "IpcTestSupport.h"

#include "platform/ipc/IpcError.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <atomic>

namespace vantrel {
namespace {

using test::callAndWait;
using test::eventually;
using test::Inbox;
using test::RawPeer;

// What a handler received, in a copyable form.
struct Seen {
    std::string selector;
    nlohmann::json arguments;
    bool isCall = false;
    std::shared_ptr<UniqueFd> descriptor;
};

// A served side answering the test table; replies it is told to hold are kept in `held`.
struct Server {
    Inbox<Seen> received;
    std::mutex heldMutex;
    std::vector<IpcReply> held;
    std::atomic<bool> holdReplies{false};
    std::unique_ptr<IpcConnection> connection;

    void handle(IpcIncoming message) {
        if (message.reply && holdReplies) {
            std::lock_guard lock(heldMutex);
            held.push_back(*message.reply);
        } else if (message.selector == "echo:reply:") {
            message.reply->reply({message.arguments[0]});
        } else if (message.selector == "add:to:reply:") {
            message.reply->reply({message.arguments[0].get<std::int64_t>() + message.arguments[1].get<std::int64_t>()});
        } else if (message.selector == "flag:reply:") {
            message.reply->reply({!message.arguments[0].get<bool>()});
        } else if (message.selector == "names:reply:") {
            auto names = message.arguments[0];
            std::reverse(names.begin(), names.end());
            message.reply->reply({names});
        } else if (message.selector == "writeTo:reply:") {
            const auto text = message.arguments[0].get<std::string>();
            if (::write(message.descriptor.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                message.reply->fail(ErrorObject::posix(errno));
            else
                message.reply->reply(nlohmann::json::array());
        }
        // pair:reply: is left unanswered on purpose: the dropped reply must still reach the caller.
        received.push(Seen{message.selector, message.arguments, message.reply.has_value(),
                           std::make_shared<UniqueFd>(std::move(message.descriptor))});
    }
};

struct Pair {
    Server server;
    std::unique_ptr<IpcConnection> client;
    Inbox<Seen> clientReceived;

    explicit Pair(std::chrono::milliseconds sendTimeout = IpcConnectionOptions::defaultSendTimeout) {
        auto [clientSocket, serverSocket] = SeqpacketSocket::pair();
        IpcConnectionOptions serverOptions;
        serverOptions.exported = test::testTable();
        serverOptions.remote = test::testTable();
        serverOptions.onMessage = [this](IpcIncoming message) { server.handle(std::move(message)); };
        server.connection = std::make_unique<IpcConnection>(std::move(serverSocket), std::move(serverOptions));
        IpcConnectionOptions clientOptions;
        clientOptions.exported = test::testTable();
        clientOptions.remote = test::testTable();
        clientOptions.sendTimeout = sendTimeout;
        clientOptions.onMessage = [this](IpcIncoming message) { clientReceived.push(Seen{message.selector, message.arguments, false, nullptr}); };
        client = std::make_unique<IpcConnection>(std::move(clientSocket), std::move(clientOptions));
        server.connection->resume();
        client->resume();
    }
};

// A served connection whose peer is a raw socket in the test's hands.
struct RawClient {
    Server server;
    std::unique_ptr<RawPeer> raw;
    std::atomic<int> closedCalls{0};

    RawClient() {
        auto [rawSocket, serverSocket] = SeqpacketSocket::pair();
        raw = std::make_unique<RawPeer>(std::move(rawSocket));
        IpcConnectionOptions options;
        options.exported = test::testTable();
        options.remote = test::testTable();
        options.onMessage = [this](IpcIncoming message) { server.handle(std::move(message)); };
        options.onClosed = [this](IpcConnectionState) { ++closedCalls; };
        server.connection = std::make_unique<IpcConnection>(std::move(serverSocket), std::move(options));
        server.connection->resume();
    }

    // Sends a call and returns the reply's error (nothing on success).
    std::optional<ErrorObject> callRaw(const nlohmann::json& call) {
        raw->send(call);
        auto reply = raw->receive();
        EXPECT_TRUE(reply) << "no reply to " << call.dump();
        if (!reply) return std::nullopt;
        EXPECT_EQ(reply->kind, IpcMessageKind::reply);
        EXPECT_EQ(reply->id, call["id"].get<std::int64_t>());
        return reply->error;
    }
};

// Both ends of a new pipe.
std::pair<UniqueFd, UniqueFd> makePipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

nlohmann::json rawCall(std::int64_t id, const std::string& selector, nlohmann::json arguments) {
    return {{"v", 1}, {"k", "call"}, {"id", id}, {"sel", selector}, {"args", std::move(arguments)}};
}

// A served connection with the given handler, and a calling connection to it; both running.
struct Handled {
    std::unique_ptr<IpcConnection> server;
    std::unique_ptr<IpcConnection> client;

    explicit Handled(std::function<void(IpcIncoming)> onMessage, IpcLogSink log = {}) {
        auto [clientSocket, serverSocket] = SeqpacketSocket::pair();
        IpcConnectionOptions serverOptions;
        serverOptions.exported = test::testTable();
        serverOptions.onMessage = std::move(onMessage);
        serverOptions.log = std::move(log);
        server = std::make_unique<IpcConnection>(std::move(serverSocket), std::move(serverOptions));
        IpcConnectionOptions clientOptions;
        clientOptions.remote = test::testTable();
        client = std::make_unique<IpcConnection>(std::move(clientSocket), std::move(clientOptions));
        server->resume();
        client->resume();
    }
};

// A calling connection whose peer is a raw socket in the test's hands.
struct RawServer {
    std::unique_ptr<RawPeer> raw;
    std::unique_ptr<IpcConnection> client;

    explicit RawServer(std::chrono::milliseconds sendTimeout = IpcConnectionOptions::defaultSendTimeout) {
        auto [clientSocket, rawSocket] = SeqpacketSocket::pair();
        raw = std::make_unique<RawPeer>(std::move(rawSocket));
        IpcConnectionOptions options;
        options.remote = test::testTable();
        options.sendTimeout = sendTimeout;
        client = std::make_unique<IpcConnection>(std::move(clientSocket), std::move(options));
        client->resume();
    }

    void reply(std::int64_t id, nlohmann::json arguments) {
        raw->send(nlohmann::json{{"v", 1}, {"k", "reply"}, {"id", id}, {"args", std::move(arguments)}, {"error", nullptr}});
    }
};

TEST(IpcConnection, RoundTripsEveryValueType) {
    Pair pair;
    auto echo = callAndWait(*pair.client, "echo:reply:", {"Grüße \xF0\x9F\x93\xB7"});
    ASSERT_TRUE(echo.arguments);
    EXPECT_EQ((*echo.arguments)[0], "Grüße \xF0\x9F\x93\xB7");
    EXPECT_FALSE(echo.error);

    const std::int64_t low = std::numeric_limits<std::int64_t>::min();
    auto sum = callAndWait(*pair.client, "add:to:reply:", {low, 7});
    ASSERT_TRUE(sum.arguments);
    EXPECT_EQ((*sum.arguments)[0].get<std::int64_t>(), low + 7);

    auto flag = callAndWait(*pair.client, "flag:reply:", {false});
    ASSERT_TRUE(flag.arguments);
    EXPECT_EQ((*flag.arguments)[0], true);

    auto names = callAndWait(*pair.client, "names:reply:", {{"sdb", "mmcblk0", ""}});
    ASSERT_TRUE(names.arguments);
    EXPECT_EQ((*names.arguments)[0], nlohmann::json({"", "mmcblk0", "sdb"}));
    EXPECT_EQ(names.endings, 1);
}

TEST(IpcConnection, OneWayMessagesReachTheServedSideInOrder) {
    Pair pair;
    for (int index = 0; index < 50; ++index) EXPECT_FALSE(pair.client->send("notify:", {index}));
    EXPECT_FALSE(pair.client->send("thing:", {{{"$class", "Thing"}, {"n", 3}}}));
    ASSERT_TRUE(pair.server.received.waitFor(51));
    const auto items = pair.server.received.items();
    for (int index = 0; index < 50; ++index) EXPECT_EQ(items[static_cast<std::size_t>(index)].arguments[0], index);
    EXPECT_EQ(items[50].selector, "thing:");
    EXPECT_FALSE(items[50].isCall);
}

TEST(IpcConnection, MessagesSentBeforeAReplyArriveBeforeIt) {
    // The served side streams callbacks and then answers, as a scan sends hits, then its reply.
    auto [clientSocket, serverSocket] = SeqpacketSocket::pair();
    std::unique_ptr<IpcConnection> server;
    IpcConnectionOptions serverOptions;
    serverOptions.exported = test::testTable();
    serverOptions.remote = test::testTable();
    serverOptions.onMessage = [&server](IpcIncoming message) {
        std::thread([&server, reply = *message.reply]() mutable {
            for (int index = 0; index < 200; ++index) server->send("notify:", {index});
            reply.reply({"done"});
        }).detach();
    };
    server = std::make_unique<IpcConnection>(std::move(serverSocket), std::move(serverOptions));
    std::mutex mutex;
    std::vector<std::string> seen;
    IpcConnectionOptions clientOptions;
    clientOptions.exported = test::testTable();
    clientOptions.remote = test::testTable();
    clientOptions.onMessage = [&](IpcIncoming message) {
        std::lock_guard lock(mutex);
        seen.push_back(message.arguments[0].dump());
    };
    IpcConnection client(std::move(clientSocket), std::move(clientOptions));
    server->resume();
    client.resume();
    test::CallRecorder recorder;
    client.call("echo:reply:", {"go"}, -1,
                [&](nlohmann::json, std::optional<ErrorObject>) {
                    std::lock_guard lock(mutex);
                    seen.push_back("reply");
                },
                recorder.onFailure());
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return seen.size() == 201;
    }));
    std::lock_guard lock(mutex);
    for (int index = 0; index < 200; ++index) EXPECT_EQ(seen[static_cast<std::size_t>(index)], std::to_string(index));
    EXPECT_EQ(seen.back(), "reply");
}

// The sends of every packet the raw peer receives until it has count of them, packet by packet.
std::vector<std::vector<IpcMessage>> receivePackets(test::RawPeer& raw, std::size_t count) {
    std::vector<std::vector<IpcMessage>> packets;
    std::size_t seen = 0;
    while (seen < count) {
        auto message = raw.receive();
        if (!message) break;
        if (message->kind == IpcMessageKind::batch) packets.push_back(std::move(message->sends));
        else packets.push_back({std::move(*message)});
        seen += packets.back().size();
    }
    return packets;
}

TEST(IpcConnection, BatchedMessagesShareAPacketAndKeepTheirPlace) {
    RawServer peer;
    // Every other one with its arguments written as text by the sender: both kinds share packets in order.
    for (int index = 0; index < 600; ++index)
        ASSERT_FALSE(index % 2 ? peer.client->sendBatchedText("notify:", "[" + std::to_string(index) + "]")
                               : peer.client->sendBatched("notify:", {index}));
    ASSERT_FALSE(peer.client->send("thing:", {{{"$class", "Thing"}, {"n", 3}}}));
    const auto packets = receivePackets(*peer.raw, 601);
    std::vector<std::int64_t> order;
    for (const auto& packet : packets) {
        EXPECT_LE(packet.size(), IpcMessageCodec::maxBatchSends);
        for (const auto& send : packet)
            if (send.selector == "notify:") order.push_back(send.arguments[0].get<std::int64_t>());
    }
    ASSERT_EQ(order.size(), 600u);
    for (std::size_t index = 0; index < order.size(); ++index) EXPECT_EQ(order[index], static_cast<std::int64_t>(index));
    // The batch waiting went out before the message sent after it.
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.back().back().selector, "thing:");
    EXPECT_LT(packets.size(), 600u);
}

TEST(IpcConnection, BatchTextsKeepEveryByteWhenTheirPacketsAreFilledAgain) {
    // Bursts of text sends of many sizes, each burst received before the next is sent: the packets of one
    // burst are filled again in the next, and a packet longer or shorter than the one before it must carry
    // its own bytes only.
    RawServer peer;
    const auto thing = [](int index) {
        const std::size_t padBytes = static_cast<std::size_t>(index * 977 % 1500);
        return R"([{"$class":"Thing","n":)" + std::to_string(index) + R"(,"pad":")" +
               std::string(padBytes, static_cast<char>('a' + index % 26)) + R"("}])";
    };
    int next = 0;
    for (const int burst : {300, 40, 500, 3, 200}) {
        const int first = next;
        for (int sent = 0; sent < burst; ++sent, ++next) ASSERT_FALSE(peer.client->sendBatchedText("thing:", thing(next)));
        const auto packets = receivePackets(*peer.raw, static_cast<std::size_t>(burst));
        int expected = first;
        for (const auto& packet : packets)
            for (const auto& send : packet) {
                ASSERT_EQ(send.selector, "thing:");
                ASSERT_EQ(send.arguments, nlohmann::json::parse(thing(expected))) << "send " << expected;
                ++expected;
            }
        ASSERT_EQ(expected, next);
    }
    EXPECT_EQ(peer.client->state(), IpcConnectionState::open);
}

TEST(IpcConnection, ABatchNothingFollowsStillGoesOut) {
    RawServer peer;
    ASSERT_FALSE(peer.client->sendBatched("notify:", {7}));
    const auto message = peer.raw->receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->kind, IpcMessageKind::batch);
    ASSERT_EQ(message->sends.size(), 1u);
    EXPECT_EQ(message->sends[0].arguments[0], 7);
}

TEST(IpcConnection, ABatchNeverOutgrowsAPacketAndRefusesWhatASendWould) {
    RawServer peer;
    // Sends of about 1 KiB: a packet holds some sixty of them, so 200 need at least four packets.
    const std::string pad(1000, 'x');
    for (int index = 0; index < 200; ++index)
        ASSERT_FALSE(peer.client->sendBatched("thing:", {{{"$class", "Thing"}, {"n", index}, {"pad", pad}}}));
    for (const auto& refused :
         {peer.client->sendBatched("echo:reply:", {"wants a reply"}), peer.client->sendBatchedText("echo:reply:", R"(["wants a reply"])")}) {
        ASSERT_TRUE(refused);
        EXPECT_TRUE(IpcError::is(*refused, IpcErrorCode::unknownSelector));
    }
    // Wrong arguments are found when the batch is made: the message is left out, the others still go.
    EXPECT_FALSE(peer.client->sendBatched("notify:", {"not a number"}));
    EXPECT_FALSE(peer.client->sendBatched("notify:", {5}));
    const auto packets = receivePackets(*peer.raw, 201);
    std::vector<std::string> selectors;
    for (const auto& packet : packets)
        for (const auto& send : packet) selectors.push_back(send.selector);
    ASSERT_EQ(selectors.size(), 201u);
    EXPECT_EQ(std::count(selectors.begin(), selectors.end(), "thing:"), 200);
    EXPECT_EQ(packets.back().back().arguments, nlohmann::json({5}));
    EXPECT_GE(packets.size(), 4u);
    EXPECT_EQ(peer.client->state(), IpcConnectionState::open);
}

TEST(IpcConnection, ChecksEachSendOfABatchOnItsOwn) {
    RawClient peer;
    const std::string sends = R"({"sel":"notify:","args":[1]},{"sel":"notify:","args":["1"]},{"sel":"unknown:","args":[]},)"
                              R"({"sel":"echo:reply:","args":["wants a reply"]},{"sel":"thing:","args":[{"$class":"Thing","n":"1"}]},)"
                              R"({"sel":"thing:","args":[{"$class":"Thing","n":2}]},{"sel":"notify:","args":[3]})";
    peer.raw->send(IpcMessageCodec::encodeBatch(sends));
    ASSERT_TRUE(peer.server.received.waitFor(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto items = peer.server.received.items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].arguments[0], 1);
    EXPECT_EQ(items[1].selector, "thing:");
    EXPECT_EQ(items[2].arguments[0], 3);
    EXPECT_FALSE(items[0].isCall);
    EXPECT_EQ(peer.server.connection->state(), IpcConnectionState::open);

    // A malformed batch closes the connection like any malformed packet.
    peer.raw->send(IpcMessageCodec::encodeBatch(""));
    EXPECT_TRUE(eventually([&] { return peer.server.connection->state() == IpcConnectionState::interrupted; }));
}

TEST(IpcConnection, ABatchedMessageAfterTheEndIsRefused) {
    RawServer peer;
    peer.client->invalidate();
    const auto refused = peer.client->sendBatched("notify:", {1});
    ASSERT_TRUE(refused);
    EXPECT_TRUE(IpcError::is(*refused, IpcErrorCode::connectionInvalidated));
}

// One message as the raw peer sees it, and whether it came in a packet of its own.
struct Arrived {
    std::string selector;
    nlohmann::json arguments;
    bool alone;
};

// Every message of the packets the raw peer receives until a call arrives (answered, so that the sender
// may go on) or the connection ends.
std::vector<Arrived> receiveUntilCall(RawServer& peer, std::size_t* largestBatch = nullptr) {
    std::vector<Arrived> arrived;
    while (auto message = peer.raw->receive()) {
        if (message->kind == IpcMessageKind::call) {
            peer.reply(message->id, {message->arguments[0]});
            break;
        }
        if (message->kind == IpcMessageKind::batch) {
            if (largestBatch) *largestBatch = std::max(*largestBatch, message->sends.size());
            for (auto& send : message->sends) arrived.push_back({send.selector, std::move(send.arguments), false});
        } else {
            arrived.push_back({message->selector, std::move(message->arguments), true});
        }
    }
    return arrived;
}

TEST(IpcConnection, AMessageSentAfterBatchedOnesComesAfterThemInAPacketOfItsOwn) {
    // As a scan sends them: runs of hits of every length (batched, as text or as values), each followed by its
    // progress, and the reply last.
    RawServer peer;
    std::size_t largestBatch = 0;
    std::vector<Arrived> arrived;
    std::thread reader([&] { arrived = receiveUntilCall(peer, &largestBatch); });
    const std::shared_ptr<void> joinAtExit(nullptr, [&](void*) {  // it ends with the packets
        if (reader.joinable()) reader.join();
    });
    std::vector<std::pair<std::string, nlohmann::json>> sent;
    std::uint32_t state = 12345;
    const auto next = [&state](std::uint32_t below) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % below;
    };
    std::int64_t number = 0;
    for (int window = 0; window < 60; ++window) {
        const std::uint32_t hits = window % 7 == 0 ? 256 * (1 + next(3)) + next(3) : next(300);
        for (std::uint32_t hit = 0; hit < hits; ++hit, ++number) {
            ASSERT_FALSE(next(5) == 0 ? peer.client->sendBatched("notify:", {number})
                                      : peer.client->sendBatchedText("notify:", "[" + std::to_string(number) + "]"));
            sent.emplace_back("notify:", nlohmann::json::array({number}));
        }
        const nlohmann::json progress = nlohmann::json::array({{{"$class", "Thing"}, {"n", window}}});
        ASSERT_FALSE(peer.client->sendAfterBatched("thing:", progress));
        sent.emplace_back("thing:", progress);
    }
    peer.client->call("echo:reply:", {"done"}, -1, [](nlohmann::json, std::optional<ErrorObject>) {}, [](ErrorObject) {});
    reader.join();
    ASSERT_EQ(arrived.size(), sent.size());
    for (std::size_t index = 0; index < sent.size(); ++index) {
        EXPECT_EQ(arrived[index].selector, sent[index].first) << index;
        EXPECT_EQ(arrived[index].arguments, sent[index].second) << index;
        // Hits share batch packets; each progress travels alone.
        EXPECT_EQ(arrived[index].alone, sent[index].first == "thing:") << index;
    }
    EXPECT_LE(largestBatch, IpcMessageCodec::maxBatchSends);
    EXPECT_GT(largestBatch, 1u);
    EXPECT_EQ(peer.client->state(), IpcConnectionState::open);
}

TEST(IpcConnection, MessagesSentAfterBatchedOnesNeverWaitForAPeerThatIsNotReadingYet) {
    // Far more packets than the socket holds, fewer than the connection keeps waiting (about 600 KB): every one
    // is taken while the peer reads nothing, none is lost once it reads.
    RawServer peer;
    const std::string pad(1000, 'p');
    constexpr int count = 500;
    for (int index = 0; index < count; ++index) {
        ASSERT_FALSE(peer.client->sendBatchedText("notify:", "[" + std::to_string(index) + "]")) << index;
        ASSERT_FALSE(peer.client->sendAfterBatched("thing:", {{{"$class", "Thing"}, {"n", index}, {"pad", pad}}})) << index;
    }
    // Only now does the peer read.
    std::vector<Arrived> arrived;
    std::thread reader([&] { arrived = receiveUntilCall(peer); });
    peer.client->call("echo:reply:", {"done"}, -1, [](nlohmann::json, std::optional<ErrorObject>) {}, [](ErrorObject) {});
    reader.join();
    ASSERT_EQ(arrived.size(), 2u * count);
    for (int index = 0; index < count; ++index) {
        EXPECT_EQ(arrived[2 * index].arguments[0], index);
        EXPECT_EQ(arrived[2 * index + 1].arguments[0]["n"], index);
    }
}

TEST(IpcConnection, ASenderOutrunningAPeerThatStopsReadingWaitsAndIsToldOnceTheSendTimesOut) {
    // What waits is bounded: the sender is held back, then the connection ends and says why, rather than the
    // messages piling up in memory without end.
    for (const bool asText : {true, false}) {
        RawServer silent(std::chrono::milliseconds(100));  // its raw end never reads
        const std::string pad(4000, 'p');
        std::optional<ErrorObject> failure;
        for (int index = 0; index < 100000 && !failure; ++index)
            failure = asText ? silent.client->sendBatchedText("thing:", R"([{"$class":"Thing","n":1,"pad":")" + pad + R"("}])")
                             : silent.client->sendAfterBatched("thing:", {{{"$class", "Thing"}, {"n", index}, {"pad", pad}}});
        ASSERT_TRUE(failure) << asText;
        EXPECT_TRUE(IpcError::is(*failure, IpcErrorCode::connectionInterrupted)) << failure->message;
        EXPECT_EQ(silent.client->state(), IpcConnectionState::interrupted);
    }
}

TEST(IpcConnection, AMessageSentAfterBatchedOnesIsCheckedAtOnce) {
    RawServer peer;
    const std::tuple<const char*, nlohmann::json, IpcErrorCode> refused[] = {
        {"unknown:", {1}, IpcErrorCode::unknownSelector},
        {"echo:reply:", {"wants a reply"}, IpcErrorCode::unknownSelector},
        {"notify:", {"not a number"}, IpcErrorCode::invalidArguments},
        {"thing:", {{{"$class", "Thing"}, {"n", 1}, {"pad", std::string(SeqpacketSocket::maxPacketBytes, 'x')}}},
         IpcErrorCode::messageTooLarge},
    };
    for (const auto& [selector, arguments, code] : refused) {
        const auto error = peer.client->sendAfterBatched(selector, arguments);
        ASSERT_TRUE(error) << selector;
        EXPECT_TRUE(IpcError::is(*error, code)) << selector;
    }
    // Nothing of them went out: the next message is the first the peer sees.
    ASSERT_FALSE(peer.client->sendAfterBatched("notify:", {4}));
    const auto first = peer.raw->receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->kind, IpcMessageKind::send);
    EXPECT_EQ(first->arguments, nlohmann::json({4}));
}

TEST(IpcConnection, AConnectionClosedWhileBatchesWaitFailsEverySendAfterIt) {
    // The peer goes away after a few packets while hits and progress stream: what it got is what was sent, in
    // order and without a gap, and once the loss is known every later message and call fails: nothing sent
    // after the loss is answered as taken, and no reply can follow hits that did not arrive.
    RawServer peer;
    std::vector<std::int64_t> received;
    std::thread reader([&] {
        for (int packets = 0; packets < 5; ++packets) {
            auto message = peer.raw->receive();
            if (!message) break;
            if (message->kind == IpcMessageKind::batch)
                for (const auto& send : message->sends) received.push_back(send.arguments[0].get<std::int64_t>());
            else if (message->selector == "notify:")
                received.push_back(message->arguments[0].get<std::int64_t>());
        }
        peer.raw.reset();
    });
    std::optional<ErrorObject> failure;
    std::int64_t index = 0;
    for (; index < 10'000'000 && !failure; ++index)
        failure = index % 100 == 99 ? peer.client->sendAfterBatched("notify:", {index})
                                    : peer.client->sendBatchedText("notify:", "[" + std::to_string(index) + "]");
    reader.join();
    ASSERT_TRUE(failure) << "the loss of the peer was never told";
    EXPECT_TRUE(IpcError::is(*failure, IpcErrorCode::connectionInterrupted)) << failure->message;
    const auto interrupted = [](const std::optional<ErrorObject>& error) {
        return error && IpcError::is(*error, IpcErrorCode::connectionInterrupted);
    };
    EXPECT_TRUE(interrupted(peer.client->sendBatchedText("notify:", "[1]")));
    EXPECT_TRUE(interrupted(peer.client->sendAfterBatched("notify:", {1})));
    EXPECT_TRUE(interrupted(peer.client->send("notify:", {1})));
    std::optional<ErrorObject> callFailure;
    peer.client->call("echo:reply:", {"done"}, -1, [](nlohmann::json, std::optional<ErrorObject>) { ADD_FAILURE() << "answered"; },
                      [&](ErrorObject error) { callFailure = std::move(error); });
    EXPECT_TRUE(callFailure);
    ASSERT_FALSE(received.empty());
    for (std::size_t at = 0; at < received.size(); ++at) EXPECT_EQ(received[at], static_cast<std::int64_t>(at));
    EXPECT_LT(static_cast<std::int64_t>(received.size()), index);
}

TEST(IpcConnection, BatchesWaitingWhenTheConnectionIsInvalidatedAreNotSentAndLaterSendsFail) {
    RawServer peer;
    for (int index = 0; index < 100; ++index) ASSERT_FALSE(peer.client->sendBatchedText("notify:", "[" + std::to_string(index) + "]"));
    peer.client->invalidate();
    for (const auto& refused : {peer.client->sendBatchedText("notify:", "[1]"), peer.client->sendAfterBatched("notify:", {1}),
                                peer.client->sendBatched("notify:", {1})}) {
        ASSERT_TRUE(refused);
        EXPECT_TRUE(IpcError::is(*refused, IpcErrorCode::connectionInvalidated));
    }
    // The peer gets no more than whole packets of the messages sent before, then the end.
    std::int64_t expected = 0;
    while (auto message = peer.raw->receive()) {
        ASSERT_EQ(message->kind, IpcMessageKind::batch);
        for (const auto& send : message->sends) EXPECT_EQ(send.arguments[0], expected++);
    }
    EXPECT_LE(expected, 100);
}

TEST(IpcConnection, RefusesUnknownSelectorsAndWrongTypesWithAnErrorReply) {
    RawClient peer;
    const std::string tooLong(IpcValue::maxStringBytes + 1, 'a');
    const std::vector<std::pair<nlohmann::json, IpcErrorCode>> refused{
        {rawCall(1, "format:", nlohmann::json::array()), IpcErrorCode::unknownSelector},
        {rawCall(2, "notify:", {1}), IpcErrorCode::unknownSelector},  // one-way, called for a reply
        {rawCall(3, "add:to:reply:", {"1", 2}), IpcErrorCode::invalidArguments},
        {rawCall(4, "add:to:reply:", {1.5, 2}), IpcErrorCode::invalidArguments},
        {rawCall(5, "add:to:reply:", {1.0, 2}), IpcErrorCode::invalidArguments},
        {rawCall(6, "add:to:reply:", {true, 2}), IpcErrorCode::invalidArguments},
        {rawCall(7, "add:to:reply:", {1}), IpcErrorCode::invalidArguments},
        {rawCall(8, "add:to:reply:", {1, 2, 3}), IpcErrorCode::invalidArguments},
        {rawCall(9, "add:to:reply:", {std::uint64_t{1} << 63, 0}), IpcErrorCode::invalidArguments},
        {rawCall(10, "echo:reply:", {std::string("a\0b", 3)}), IpcErrorCode::invalidArguments},
        {rawCall(11, "echo:reply:", {tooLong}), IpcErrorCode::invalidArguments},
        {rawCall(12, "echo:reply:", {nullptr}), IpcErrorCode::invalidArguments},
        {rawCall(13, "flag:reply:", {1}), IpcErrorCode::invalidArguments},
        {rawCall(14, "names:reply:", {nlohmann::json(std::vector<std::string>(IpcValue::maxArrayItems + 1, "x"))}), IpcErrorCode::invalidArguments},
        {rawCall(15, "names:reply:", nlohmann::json::array({nlohmann::json::array({"x", 1})})), IpcErrorCode::invalidArguments},
        {rawCall(16, "writeTo:reply:", {"no descriptor"}), IpcErrorCode::invalidArguments},
    };
    for (const auto& [call, code] : refused) {
        const auto error = peer.callRaw(call);
        ASSERT_TRUE(error) << call.dump();
        EXPECT_EQ(error->domain, "VantrelIPC") << call.dump();
        EXPECT_EQ(error->code, static_cast<std::int64_t>(code)) << call.dump();
    }
    // Nothing refused reached the handler, and the connection still serves.
    EXPECT_FALSE(peer.callRaw(rawCall(17, "add:to:reply:", {std::numeric_limits<std::int64_t>::max(), 0})));
    // The handler records a call after answering it, so the reply can arrive first.
    ASSERT_TRUE(peer.server.received.waitFor(1));
    EXPECT_EQ(peer.server.received.items().size(), 1u);
}

TEST(IpcConnection, DropsRefusedOneWayMessages) {
    RawClient peer;
    const auto send = [](const std::string& selector, nlohmann::json arguments) {
        return nlohmann::json{{"v", 1}, {"k", "send"}, {"sel", selector}, {"args", std::move(arguments)}};
    };
    peer.raw->send(send("thing:", {"a string is no Thing"}));
    peer.raw->send(send("thing:", {{{"$class", "Other"}, {"n", 1}}}));
    peer.raw->send(send("thing:", {{{"$class", "Thing"}, {"n", "1"}}}));
    peer.raw->send(send("notify:", {"1"}));
    peer.raw->send(send("echo:reply:", {"wants a reply"}));
    peer.raw->send(send("unknown:", nlohmann::json::array()));
    peer.raw->send(send("notify:", {42}));
    ASSERT_TRUE(peer.server.received.waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto items = peer.server.received.items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].arguments[0], 42);
    EXPECT_EQ(peer.server.connection->state(), IpcConnectionState::open);
}

TEST(IpcConnection, ClosesOnMalformedPackets) {
    const std::vector<std::string> malformed{
        "not json",
        "[1,2]",
        R"({"v":2,"k":"send","sel":"notify:","args":[1]})",
        R"({"k":"send","sel":"notify:","args":[1]})",
        R"({"v":1,"k":"shout","sel":"notify:","args":[1]})",
        R"({"v":1,"k":"call","id":1.5,"sel":"echo:reply:","args":["x"]})",
        R"({"v":1,"k":"call","sel":"echo:reply:","args":["x"]})",
        R"({"v":1,"k":"send","sel":"notify:","args":{"0":1}})",
        R"({"v":1,"k":"send","sel":5,"args":[]})",
        R"({"v":1,"k":"reply","id":1,"args":[],"error":{"domain":"x"}})",
        "{\"v\":1,\"k\":\"send\",\"sel\":\"notify:\",\"args\":[\"\xC3\x28\"]}",  // invalid UTF-8
    };
    for (const auto& packet : malformed) {
        RawClient peer;
        peer.raw->send(packet);
        EXPECT_TRUE(eventually([&] { return peer.server.connection->state() == IpcConnectionState::interrupted; })) << packet;
        EXPECT_FALSE(peer.raw->receive()) << packet;  // the end of the stream, no reply
        EXPECT_TRUE(eventually([&] { return peer.closedCalls == 1; }));
    }
}

TEST(IpcConnection, ClosesOnAnOversizedPacket) {
    RawClient peer;
    const std::string big = R"({"v":1,"k":"send","sel":"notify:","args":[1],"pad":")" +
                            std::string(SeqpacketSocket::maxPacketBytes, 'x') + "\"}";
    ASSERT_EQ(::send(peer.raw->socket().fd(), big.data(), big.size(), MSG_NOSIGNAL), static_cast<ssize_t>(big.size()));
    EXPECT_TRUE(eventually([&] { return peer.server.connection->state() == IpcConnectionState::interrupted; }));
    EXPECT_TRUE(peer.server.received.items().empty());
}

TEST(IpcConnection, RefusesToSendAMessageLargerThanAPacket) {
    Pair pair;
    const std::vector<std::string> names(IpcValue::maxArrayItems, std::string(IpcValue::maxStringBytes, 'n'));
    auto outcome = callAndWait(*pair.client, "names:reply:", {names});
    EXPECT_TRUE(outcome.failed);
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::messageTooLarge));
    EXPECT_EQ(pair.client->state(), IpcConnectionState::open);
    EXPECT_TRUE(callAndWait(*pair.client, "echo:reply:", {"still open"}).arguments);
}

TEST(IpcConnection, ADroppedReplyBecomesAnErrorReply) {
    Pair pair;
    auto outcome = callAndWait(*pair.client, "pair:reply:", nlohmann::json::array());
    ASSERT_TRUE(outcome.arguments);
    EXPECT_EQ(*outcome.arguments, nlohmann::json({0, ""}));  // the declared types' defaults
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::noReply));
    EXPECT_EQ(outcome.endings, 1);
}

TEST(IpcConnection, ASecondAnswerIsIgnored) {
    Pair pair;
    pair.server.holdReplies = true;
    test::CallRecorder recorder;
    pair.client->call("echo:reply:", {"once"}, -1, recorder.onReply(), recorder.onFailure());
    ASSERT_TRUE(pair.server.received.waitFor(1));
    IpcReply reply = [&] {
        std::lock_guard lock(pair.server.heldMutex);
        return pair.server.held.front();
    }();
    EXPECT_TRUE(reply.reply({"first"}));
    EXPECT_FALSE(reply.reply({"second"}));
    EXPECT_FALSE(reply.fail(ErrorObject{"Vantrel", 11, "late", std::nullopt}));
    const auto outcome = recorder.wait();
    EXPECT_EQ((*outcome.arguments)[0], "first");
    EXPECT_FALSE(outcome.error);

    // A peer that answers twice on the wire: the caller hears the first answer only.
    RawServer peer;
    test::CallRecorder twice;
    peer.client->call("echo:reply:", {"x"}, -1, twice.onReply(), twice.onFailure());
    const auto call = peer.raw->receive();
    ASSERT_TRUE(call);
    for (const char* text : {"first", "second"}) peer.reply(call->id, nlohmann::json::array({text}));
    EXPECT_EQ((*twice.wait().arguments)[0], "first");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(twice.now().endings, 1);
    EXPECT_EQ(peer.client->state(), IpcConnectionState::open);
}

TEST(IpcConnection, AReplyOfTheWrongTypeFailsTheCall) {
    RawServer peer;
    test::CallRecorder recorder;
    peer.client->call("add:to:reply:", {1, 2}, -1, recorder.onReply(), recorder.onFailure());
    const auto call = peer.raw->receive();
    ASSERT_TRUE(call);
    peer.reply(call->id, nlohmann::json::array({"3"}));
    const auto outcome = recorder.wait();
    EXPECT_TRUE(outcome.failed);
    EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::invalidReply));
}

TEST(IpcConnection, AHandlerReplyOfTheWrongTypeBecomesAnErrorReply) {
    Handled pair([](IpcIncoming message) { message.reply->reply({"not a number"}); });
    const auto outcome = callAndWait(*pair.client, "add:to:reply:", {1, 2});
    ASSERT_TRUE(outcome.arguments);
    EXPECT_EQ(*outcome.arguments, nlohmann::json({0}));
    EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::invalidReply));
}

TEST(IpcConnection, AThrowingHandlerLeavesTheConnectionServing) {
    Handled pair([](IpcIncoming message) {
        if (message.arguments[0] == "throw") throw std::runtime_error("handler bug");
        message.reply->reply({message.arguments[0]});
    });
    EXPECT_TRUE(IpcError::is(*callAndWait(*pair.client, "echo:reply:", {"throw"}).error, IpcErrorCode::noReply));
    EXPECT_EQ((*callAndWait(*pair.client, "echo:reply:", {"fine"}).arguments)[0], "fine");
}

TEST(IpcConnection, APeerThatVanishesMidCallFailsThePendingCallsOnce) {
    Pair pair;
    pair.server.holdReplies = true;
    test::CallRecorder first;
    test::CallRecorder second;
    pair.client->call("echo:reply:", {"1"}, -1, first.onReply(), first.onFailure());
    pair.client->call("echo:reply:", {"2"}, -1, second.onReply(), second.onFailure());
    ASSERT_TRUE(pair.server.received.waitFor(2));
    // The helper process dies: its replies are never sent.
    std::vector<IpcReply> orphaned;
    {
        std::lock_guard lock(pair.server.heldMutex);
        orphaned = std::move(pair.server.held);
    }
    pair.server.connection.reset();
    for (auto* recorder : {&first, &second}) {
        const auto outcome = recorder->wait();
        EXPECT_TRUE(outcome.failed);
        EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::connectionInterrupted));
    }
    orphaned.clear();  // answering after the connection is gone reaches nobody
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(first.now().endings, 1);
    EXPECT_EQ(second.now().endings, 1);
    EXPECT_EQ(pair.client->state(), IpcConnectionState::interrupted);
    const auto later = callAndWait(*pair.client, "echo:reply:", {"3"});
    EXPECT_TRUE(IpcError::is(*later.error, IpcErrorCode::connectionInterrupted));
    EXPECT_TRUE(pair.client->send("notify:", {1}));
}

TEST(IpcConnection, InvalidatingFailsEveryPendingCallAtOnce) {
    Pair pair;
    pair.server.holdReplies = true;
    std::vector<std::unique_ptr<test::CallRecorder>> recorders;
    for (int index = 0; index < 3; ++index) {
        recorders.push_back(std::make_unique<test::CallRecorder>());
        pair.client->call("echo:reply:", {"x"}, -1, recorders.back()->onReply(), recorders.back()->onFailure());
    }
    ASSERT_TRUE(pair.server.received.waitFor(3));
    pair.client->invalidate();
    for (auto& recorder : recorders) {
        // Failed before invalidate() returned, not when some time-out passed.
        const auto outcome = recorder->now();
        EXPECT_EQ(outcome.endings, 1);
        EXPECT_TRUE(IpcError::is(*outcome.error, IpcErrorCode::connectionInvalidated));
    }
    EXPECT_EQ(pair.client->state(), IpcConnectionState::invalidated);
    const auto later = callAndWait(*pair.client, "echo:reply:", {"y"});
    EXPECT_TRUE(IpcError::is(*later.error, IpcErrorCode::connectionInvalidated));
    // The served side sees its peer leave.
    EXPECT_TRUE(eventually([&] { return pair.server.connection->state() == IpcConnectionState::interrupted; }));
}

TEST(IpcConnection, PassesADescriptorWithTheCall) {
    Pair pair;
    auto [readEnd, writeEnd] = makePipe();
    const auto outcome = callAndWait(*pair.client, "writeTo:reply:", {"recovered bytes"}, writeEnd.get());
    EXPECT_FALSE(outcome.error);
    writeEnd.reset();
    char buffer[64] = {};
    EXPECT_EQ(::read(readEnd.get(), buffer, sizeof(buffer)), 15);
    EXPECT_STREQ(buffer, "recovered bytes");
    ASSERT_TRUE(pair.server.received.waitFor(1));
    // The received descriptor is close-on-exec.
    const auto received = pair.server.received.take(0);
    EXPECT_TRUE(::fcntl(received.descriptor->get(), F_GETFD) & FD_CLOEXEC);

    // The caller's side checks the count too.
    EXPECT_TRUE(callAndWait(*pair.client, "writeTo:reply:", {"none"}).failed);
    EXPECT_TRUE(callAndWait(*pair.client, "echo:reply:", {"one too many"}, readEnd.get()).failed);
}

TEST(IpcConnection, ClosesWhenAPacketCarriesTwoDescriptors) {
    RawClient peer;
    const auto [readEnd, writeEnd] = makePipe();
    const int pipeFds[2] = {readEnd.get(), writeEnd.get()};
    const std::string packet = rawCall(1, "writeTo:reply:", {"x"}).dump();
    iovec vector{const_cast<char*>(packet.data()), packet.size()};
    msghdr header{};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    cmsghdr* message = CMSG_FIRSTHDR(&header);
    message->cmsg_level = SOL_SOCKET;
    message->cmsg_type = SCM_RIGHTS;
    message->cmsg_len = CMSG_LEN(2 * sizeof(int));
    std::memcpy(CMSG_DATA(message), pipeFds, 2 * sizeof(int));
    ASSERT_GT(::sendmsg(peer.raw->socket().fd(), &header, MSG_NOSIGNAL), 0);
    EXPECT_TRUE(eventually([&] { return peer.server.connection->state() == IpcConnectionState::interrupted; }));
    EXPECT_TRUE(peer.server.received.items().empty());
}

TEST(IpcConnection, APeerThatStopsReadingIsDroppedAfterTheSendTimeOut) {
    RawServer silent(std::chrono::milliseconds(100));  // its raw end never reads
    auto& connection = *silent.client;
    std::optional<ErrorObject> failure;
    for (int index = 0; index < 100000 && !failure; ++index) failure = connection.send("notify:", {index});
    ASSERT_TRUE(failure);
    EXPECT_TRUE(IpcError::is(*failure, IpcErrorCode::connectionInterrupted));
    EXPECT_NE(failure->message.find("timed out"), std::string::npos) << failure->message;
    EXPECT_EQ(connection.state(), IpcConnectionState::interrupted);
}

TEST(IpcConnection, AHandlerMayDestroyItsOwnConnection) {
    std::unique_ptr<Handled> pair;
    std::atomic<bool> destroyed{false};
    pair = std::make_unique<Handled>([&](IpcIncoming message) {
        message.reply->reply({message.arguments[0]});
        pair->server.reset();
        destroyed = true;
    });
    EXPECT_EQ((*callAndWait(*pair->client, "echo:reply:", {"bye"}).arguments)[0], "bye");
    EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
    EXPECT_TRUE(eventually([&] { return pair->client->state() == IpcConnectionState::interrupted; }));
}

TEST(IpcConnection, LogsThePeerWithEachRequest) {
    Inbox<std::string> lines;
    Handled pair([](IpcIncoming message) { message.reply->reply({message.arguments[0]}); },
                 [&](IpcLogLevel, const std::string& line) { lines.push(line); });
    EXPECT_EQ(pair.server->peer().uid, ::getuid());
    EXPECT_EQ(pair.server->peer().pid, ::getpid());
    callAndWait(*pair.client, "echo:reply:", {"x"});
    ASSERT_TRUE(lines.waitFor(1));
    const std::string expected = "uid=" + std::to_string(::getuid()) + " pid=" + std::to_string(::getpid());
    EXPECT_NE(lines.items()[0].find(expected), std::string::npos) << lines.items()[0];
}

// A served connection that keeps every reply it is handed, unanswered until the test answers it.
struct Holding {
    std::mutex mutex;
    std::vector<IpcReply> held;
    std::unique_ptr<IpcConnection> server;

    Holding(SeqpacketSocket socket, IpcConnectionOptions options) {
        options.exported = test::testTable();
        options.onMessage = [this](IpcIncoming message) {
            std::lock_guard lock(mutex);
            if (message.reply) held.push_back(*message.reply);
        };
        server = std::make_unique<IpcConnection>(std::move(socket), std::move(options));
        server->resume();
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return held.size();
    }
    void answerFirst(const char* text) {
        std::lock_guard lock(mutex);
        held.front().reply({text});
    }
};

TEST(IpcConnection, RefusesCallsBeyondTheUnansweredLimit) {
    auto [clientSocket, serverSocket] = SeqpacketSocket::pair();
    IpcConnectionOptions serverOptions;
    serverOptions.maxUnansweredCalls = 2;
    Holding holding(std::move(serverSocket), std::move(serverOptions));
    RawPeer raw(std::move(clientSocket));
    for (std::int64_t id = 1; id <= 2; ++id) raw.send(rawCall(id, "echo:reply:", {"held"}));
    raw.send(rawCall(3, "echo:reply:", {"one too many"}));
    auto refused = raw.receive();
    ASSERT_TRUE(refused && refused->error);
    EXPECT_EQ(refused->id, 3);
    EXPECT_TRUE(IpcError::is(*refused->error, IpcErrorCode::tooManyCalls));
    // Answering frees a place.
    holding.answerFirst("done");
    EXPECT_EQ(raw.receive()->id, 1);
    raw.send(rawCall(4, "echo:reply:", {"fits again"}));
    ASSERT_TRUE(eventually([&] { return holding.count() == 3; }));
    std::lock_guard lock(holding.mutex);
    holding.held.clear();  // dropped replies answer with noReply while the connection is still open
}

TEST(IpcConnection, AnIdleConnectionClosesButNotWhileACallIsInFlight) {
    constexpr auto idle = std::chrono::milliseconds(100);
    auto [clientSocket, serverSocket] = SeqpacketSocket::pair();
    IpcConnectionOptions serverOptions;
    serverOptions.idleTimeout = idle;
    Holding holding(std::move(serverSocket), std::move(serverOptions));
    IpcConnection& server = *holding.server;
    IpcConnectionOptions clientOptions;
    clientOptions.remote = test::testTable();
    IpcConnection client(std::move(clientSocket), std::move(clientOptions));
    client.resume();

    // A call that runs for many idle spells keeps the connection.
    test::CallRecorder slow;
    client.call("echo:reply:", {"slow"}, -1, slow.onReply(), slow.onFailure());
    ASSERT_TRUE(eventually([&] { return holding.count() == 1; }));
    std::this_thread::sleep_for(idle * 5);
    EXPECT_EQ(server.state(), IpcConnectionState::open);
    holding.answerFirst("done");
    const auto answer = slow.wait();
    ASSERT_TRUE(answer.arguments);
    EXPECT_EQ((*answer.arguments)[0], "done");

    // With nothing in flight, the connection gives its place back, however many one-way messages
    // keep coming meanwhile.
    std::atomic<bool> sending{true};
    std::thread chatter([&] {
        while (sending && client.state() == IpcConnectionState::open) {
            client.send("notify:", {1});
            std::this_thread::sleep_for(idle / 10);
        }
    });
    EXPECT_TRUE(eventually([&] { return server.state() == IpcConnectionState::interrupted; }));
    EXPECT_TRUE(eventually([&] { return client.state() == IpcConnectionState::interrupted; }));
    sending = false;
    chatter.join();
}

} // namespace
} // namespace vantrel
