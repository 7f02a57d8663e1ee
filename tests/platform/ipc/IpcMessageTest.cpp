#include "platform/ipc/IpcMessage.h"
#include "platform/ipc/SelectorTable.h"
#include "platform/ipc/SeqpacketSocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>

namespace vantrel {
namespace {

TEST(IpcMessageCodec, WritesTheDocumentedForms) {
    EXPECT_EQ(IpcMessageCodec::encode(IpcMessage{IpcMessageKind::call, 17, "probeDeviceWithPath:reply:", {"/dev/sdb"}, std::nullopt}),
              R"({"args":["/dev/sdb"],"id":17,"k":"call","sel":"probeDeviceWithPath:reply:","v":1})");
    EXPECT_EQ(IpcMessageCodec::encode(IpcMessage{IpcMessageKind::reply, 17, {}, {31914983424}, std::nullopt}),
              R"({"args":[31914983424],"error":null,"id":17,"k":"reply","v":1})");
    EXPECT_EQ(IpcMessageCodec::encode(IpcMessage{IpcMessageKind::send, 0, "cancelScan", nlohmann::json::array(), std::nullopt}),
              R"({"args":[],"k":"send","sel":"cancelScan","v":1})");
    const ErrorObject denied{"Vantrel", 12, "blocked", "/dev/sdb"};
    const auto reply = IpcMessageCodec::encode(IpcMessage{IpcMessageKind::reply, 3, {}, {0}, denied});
    EXPECT_NE(reply.find(R"("error":{"code":12,"domain":"Vantrel","message":"blocked","path":"/dev/sdb"})"), std::string::npos);
    EXPECT_EQ(IpcMessageCodec::decode(reply).error, denied);
    // Without a path the key is absent, and decoding gives no path.
    const auto pathless = IpcMessageCodec::encode(IpcMessage{IpcMessageKind::reply, 3, {}, {0}, ErrorObject{"Vantrel", 11, "late", std::nullopt}});
    EXPECT_EQ(pathless.find("path"), std::string::npos);
    EXPECT_FALSE(IpcMessageCodec::decode(pathless).error->path);
}

TEST(IpcMessageCodec, ReplacesInvalidUtf8WhenEncoding) {
    // A name read from a disk may hold any bytes; it must still travel.
    const auto packet = IpcMessageCodec::encode(IpcMessage{IpcMessageKind::send, 0, "helperDidLog:", {"bad \xFF name"}, std::nullopt});
    const auto message = IpcMessageCodec::decode(packet);
    EXPECT_EQ(message.arguments[0], "bad \xEF\xBF\xBD name");
}

TEST(IpcMessageCodec, RefusesMalformedMessages) {
    const char* malformed[] = {
        "",
        "null",
        R"({"v":"1","k":"send","sel":"x","args":[]})",
        R"({"v":1.0,"k":"send","sel":"x","args":[]})",
        R"({"v":1,"k":"reply","args":[],"error":null})",
        R"({"v":1,"k":"call","id":9223372036854775808,"sel":"x","args":[]})",
        R"({"v":1,"k":"call","id":1,"sel":"x\u0000y","args":[]})",
        R"({"v":1,"k":"send","sel":"x"})",
        R"({"v":1,"k":"reply","id":1,"args":[],"error":"failed"})",
        R"({"v":1,"k":"reply","id":1,"args":[],"error":{"domain":"x","code":1.5,"message":"m"}})",
        R"({"v":1,"k":"reply","id":1,"args":[],"error":{"domain":"x","code":1,"message":"m","path":7}})",
        R"({"v":1,"k":"send","sel":"\ud800","args":[]})",
    };
    for (const char* packet : malformed) EXPECT_THROW(IpcMessageCodec::decode(packet), IpcProtocolError) << packet;
    // Nested brackets that fill a packet would make any later copy or write of the message recurse
    // until the stack runs out.
    const std::string deep = R"({"v":1,"k":"send","sel":"x","args":[)" + std::string(20'000, '[') + std::string(20'000, ']') + "]}";
    EXPECT_THROW(IpcMessageCodec::decode(deep), IpcProtocolError);
    // Unknown keys are tolerated for later versions.
    EXPECT_NO_THROW(IpcMessageCodec::decode(R"({"v":1,"k":"send","sel":"x","args":[],"trace":"abc"})"));
    EXPECT_NO_THROW(IpcMessageCodec::decode(R"({"v":1,"k":"send","sel":"x","args":[[["a"]]],"trace":{"a":[{"b":[1]}]}})"));
}

TEST(IpcMessageCodec, ABatchEntryWrittenAroundItsArgumentsTextIsTheLibrarysDump) {
    const nlohmann::json arguments = nlohmann::json::array({1, "two", nlohmann::json::object({{"k", false}})});
    const std::vector<std::string> selectors{"helperDidFindHit:", "", "say \"hi\":", "Grüße:", "bad\xFF:", std::string(300, 's')};
    for (const auto& selector : selectors) {
        std::string out = "kept,";
        IpcMessageCodec::appendBatchEntryText(out, selector, arguments.dump());
        const nlohmann::json entry{{"sel", selector}, {"args", arguments}};
        EXPECT_EQ(out, "kept," + entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) << selector;
    }
}

TEST(IpcMessageCodec, ABatchCarriesItsSendsInOrder) {
    IpcMessage batch{IpcMessageKind::batch, 0, {}, nlohmann::json::array(), std::nullopt};
    batch.sends.push_back(IpcMessage{IpcMessageKind::send, 0, "notify:", {1}, std::nullopt});
    batch.sends.push_back(IpcMessage{IpcMessageKind::send, 0, "helperDidLog:", {"bad \xFF name"}, std::nullopt});
    const auto packet = IpcMessageCodec::encode(batch);
    EXPECT_EQ(packet, R"({"v":1,"k":"batch","sends":[{"args":[1],"sel":"notify:"},{"args":["bad )"
                      "\xEF\xBF\xBD"
                      R"( name"],"sel":"helperDidLog:"}]})");
    EXPECT_EQ(IpcMessageCodec::batchPacketBytes(packet.size() - IpcMessageCodec::batchPacketBytes(0)), packet.size());
    const auto decoded = IpcMessageCodec::decode(packet);
    EXPECT_EQ(decoded.kind, IpcMessageKind::batch);
    ASSERT_EQ(decoded.sends.size(), 2u);
    EXPECT_EQ(decoded.sends[0].selector, "notify:");
    EXPECT_EQ(decoded.sends[0].arguments, nlohmann::json({1}));
    EXPECT_EQ(decoded.sends[1].arguments[0], "bad \xEF\xBF\xBD name");

    std::string full;
    for (std::size_t i = 0; i < IpcMessageCodec::maxBatchSends; ++i) full += std::string(i ? "," : "") + R"({"sel":"x","args":[]})";
    EXPECT_EQ(IpcMessageCodec::decode(IpcMessageCodec::encodeBatch(full)).sends.size(), IpcMessageCodec::maxBatchSends);
    const std::string malformed[] = {
        IpcMessageCodec::encodeBatch(""),
        IpcMessageCodec::encodeBatch(full + R"(,{"sel":"x","args":[]})"),
        R"({"v":1,"k":"batch"})",
        R"({"v":1,"k":"batch","sends":{"sel":"x","args":[]}})",
        IpcMessageCodec::encodeBatch(R"([1])"),
        IpcMessageCodec::encodeBatch(R"({"args":[]})"),
        IpcMessageCodec::encodeBatch(R"({"sel":"x"})"),
        IpcMessageCodec::encodeBatch(R"({"sel":"x","args":{}})"),
        IpcMessageCodec::encodeBatch(R"({"sel":"x","args":[]},{"sel":7,"args":[]})"),
    };
    for (const auto& bad : malformed) EXPECT_THROW(IpcMessageCodec::decode(bad), IpcProtocolError) << bad;
}

TEST(IpcValue, WritesAsItIsOnlyPrintableAsciiWithoutQuoteOrBackslashAtAnyPlace) {
    // Every byte value at every place of texts long enough to be read several bytes at a time.
    const auto asIs = [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; };
    for (std::size_t length = 1; length <= 19; ++length) {
        for (std::size_t place = 0; place < length; ++place) {
            for (int value = 0; value < 256; ++value) {
                std::string text(length, 'k');
                text[place] = static_cast<char>(value);
                ASSERT_EQ(IpcValue::isWrittenAsIs(text), asIs(static_cast<unsigned char>(value)))
                    << "byte " << value << " at " << place << " of " << length;
            }
        }
    }
    EXPECT_TRUE(IpcValue::isWrittenAsIs(""));
    EXPECT_TRUE(IpcValue::isWrittenAsIs(" ~recovered_00001.jpg}{"));
    EXPECT_FALSE(IpcValue::isWrittenAsIs("Ärger.jpg"));
}

TEST(IpcValue, IntegersAreJsonIntegersWithinSixtyFourBits) {
    using nlohmann::json;
    EXPECT_EQ(IpcValue::int64(json::parse("-9223372036854775808")), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(IpcValue::int64(json::parse("9223372036854775807")), std::numeric_limits<std::int64_t>::max());
    EXPECT_FALSE(IpcValue::int64(json::parse("9223372036854775808")));
    EXPECT_FALSE(IpcValue::int64(json::parse("1.0")));
    EXPECT_FALSE(IpcValue::int64(json::parse("1e3")));
    EXPECT_FALSE(IpcValue::int64(json::parse("true")));
    EXPECT_FALSE(IpcValue::int64(json::parse("\"5\"")));
}

TEST(SelectorTable, ChecksObjectsByClassAndRefusesUnknownClasses) {
    using T = IpcValueType;
    const SelectorTable table({{"hit:", {T::object("Hit")}, std::nullopt, 0}, {"other:", {T::object("Other")}, std::nullopt, 0}},
                              {{"Hit", [](const nlohmann::json& object) -> std::optional<std::string> {
                                    if (object.contains("bad")) return "bad field";
                                    return std::nullopt;
                                }}});
    const auto& hit = table.find("hit:")->arguments;
    EXPECT_FALSE(table.checkValues(nlohmann::json::array({{{"$class", "Hit"}}}), hit));
    EXPECT_TRUE(table.checkValues(nlohmann::json::array({"Hit"}), hit));                          // a string is no object
    EXPECT_TRUE(table.checkValues(nlohmann::json::array({{{"class", "Hit"}}}), hit));
    EXPECT_TRUE(table.checkValues(nlohmann::json::array({{{"$class", "Hit"}, {"bad", 1}}}), hit));
    EXPECT_TRUE(table.checkValues(nlohmann::json::array({{{"$class", "Other"}}}), table.find("other:")->arguments));
    EXPECT_FALSE(table.find("missing:"));
    EXPECT_EQ(SelectorTable::defaultValues({T::integer(), T::boolean(), T::string(), T::stringArray(), T::object("Hit")}),
              nlohmann::json::parse(R"([0,false,"",[],{"$class":"Hit"}])"));
}

TEST(SeqpacketSocket, CarriesWholePacketsUpToTheLimit) {
    auto [left, right] = SeqpacketSocket::pair();
    const std::string full(SeqpacketSocket::maxPacketBytes, 'p');
    left.send("small");
    left.send(full);
    left.send("tiny");
    SeqpacketSocket::Packet packet;
    ASSERT_EQ(right.receive(packet), SeqpacketSocket::ReceiveStatus::packet);
    EXPECT_EQ(packet.bytes, "small");
    ASSERT_EQ(right.receive(packet), SeqpacketSocket::ReceiveStatus::packet);
    EXPECT_EQ(packet.bytes, full);
    ASSERT_EQ(right.receive(packet), SeqpacketSocket::ReceiveStatus::packet);
    EXPECT_EQ(packet.bytes, "tiny") << "nothing of the packet before is left in a shorter one";
    EXPECT_THROW(left.send(full + "!"), std::system_error);
    // A larger packet from a peer that ignores the limit is a violation, not a truncated message.
    const std::string over = full + "!";
    ASSERT_EQ(::send(left.fd(), over.data(), over.size(), MSG_NOSIGNAL), static_cast<ssize_t>(over.size()));
    EXPECT_EQ(right.receive(packet), SeqpacketSocket::ReceiveStatus::violation);
    left.shutdown();
    EXPECT_EQ(right.receive(packet), SeqpacketSocket::ReceiveStatus::closed);
}

TEST(SeqpacketSocket, PassesOneDescriptorCloseOnExec) {
    auto [left, right] = SeqpacketSocket::pair();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    left.send("with fd", writeEnd.get());
    SeqpacketSocket::Packet packet;
    ASSERT_EQ(right.receive(packet), SeqpacketSocket::ReceiveStatus::packet);
    ASSERT_TRUE(packet.descriptor);
    EXPECT_TRUE(::fcntl(packet.descriptor.get(), F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(::write(packet.descriptor.get(), "z", 1), 1);
    char got = 0;
    EXPECT_EQ(::read(readEnd.get(), &got, 1), 1);
    EXPECT_EQ(got, 'z');
}

} // namespace
} // namespace vantrel
