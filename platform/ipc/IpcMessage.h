#pragma once
// One message of the connection and its packet form: a UTF-8 JSON object.
//   call:  {"v":1,"k":"call","id":17,"sel":"probeDeviceWithPath:reply:","args":["/dev/sdb"]}
//   reply: {"v":1,"k":"reply","id":17,"args":[31914983424],"error":null}
//   send:  {"v":1,"k":"send","sel":"cancelScan","args":[]}
//   batch: {"v":1,"k":"batch","sends":[{"sel":"helperDidFindHit:","args":[…]},…]}, one-way messages
//          in their order, at most maxBatchSends, none with a descriptor
// An error is {"domain":"Vantrel","code":12,"message":"…","path":"/dev/sdb"}, "path" only when the
// error has one. The codec checks the structure; argument types are the selector table's business.

#include "platform/ErrorObject.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

enum class IpcMessageKind { call, reply, send, batch };

struct IpcMessage {
    IpcMessageKind kind = IpcMessageKind::send;
    std::int64_t id = 0;                               // call and reply
    std::string selector;                              // call and send
    nlohmann::json arguments = nlohmann::json::array();
    std::optional<ErrorObject> error;                  // reply only; none on success
    std::vector<IpcMessage> sends = {};                // batch only: its sends, in order
};

// A quicker way through batch packets for one selector whose sends come by the thousand (found hits): it
// reads their arguments from the packet's text itself and hands each on as the connection would after its
// checks, without a JSON value in between. It only takes what it is sure of; the rest goes the ordinary
// way. One reader serves one connection's reader thread.
class IpcBatchReader {
public:
    virtual ~IpcBatchReader() = default;
    // The one-way selector whose sends it reads.
    virtual std::string_view selector() const = 0;
    // Reads the arguments of the index-th send of a packet (0 for the first) from the start of text, which
    // goes on past them to the packet's end. Answers the bytes the arguments take, or 0 when it is not sure
    // that decode() and the selector's checks would accept them and give what it read. Keeps what it read
    // until the next packet.
    virtual std::size_t read(std::size_t index, std::string_view text) = 0;
    // Hands on the index-th send read from the current packet, as the connection hands on a received one.
    virtual void deliver(std::size_t index) = 0;
    // Hands on the first count sends read from the current packet, in their order: by default one deliver()
    // each; a reader may hand them on together, so that what takes them pays once per packet.
    virtual void deliverAll(std::size_t count) {
        for (std::size_t index = 0; index < count; ++index) deliver(index);
    }
};

// A packet that is not a well-formed message. The connection that receives one closes.
class IpcProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace IpcMessageCodec {

inline constexpr std::int64_t protocolVersion = 1;
// One-way messages one batch packet may carry.
inline constexpr std::size_t maxBatchSends = 256;
// What a batch packet's entries stand between.
inline constexpr std::string_view batchHead = R"({"v":1,"k":"batch","sends":[)";
inline constexpr std::string_view batchTail = "]}";

// The packet for a message. Strings that are not valid UTF-8 (names read from a disk) are sent
// with U+FFFD in place of the bad bytes rather than failing.
std::string encode(const IpcMessage& message);

// The message in a packet; throws IpcProtocolError when the packet is not one (a batch that is empty,
// holds more than maxBatchSends or anything but sends is not). Unknown keys are ignored so that a later
// version may add some.
IpcMessage decode(std::string_view packet);

// A batch packet is built send by send: the text of one send as the batch lists it, and the packet of
// the sends joined by commas. batchPacketBytes tells the packet's size before it is made.
std::string encodeBatchEntry(std::string_view selector, const nlohmann::json& arguments);
// The same for arguments already written as the JSON text of an array.
std::string encodeBatchEntryText(std::string_view selector, std::string_view argumentsText);
std::string encodeBatch(std::string_view joinedEntries);
std::size_t batchPacketBytes(std::size_t joinedEntriesBytes);
// The same packet written in place, send by send: beginBatch makes packet the batch's head, each
// appendBatchEntryText adds a send's text as encodeBatchEntryText writes it (the comma before it is the
// caller's), and endBatch closes it. The bytes are encodeBatch's of the same entries.
void beginBatch(std::string& packet);
void appendBatchEntryText(std::string& out, std::string_view selector, std::string_view argumentsText);
void endBatch(std::string& packet);

// Reads a batch packet through reader when it is one as encodeBatch writes it and every send in it is of the
// reader's selector with arguments the reader takes: answers the number of sends read (then ready to be
// delivered), or 0 when it is anything else, which decode() then reads. Of what it reads, decode() would
// give the same sends with the same arguments.
std::size_t readBatch(std::string_view packet, IpcBatchReader& reader);

nlohmann::json encodeError(const ErrorObject& error);
// Throws IpcProtocolError when the object is not an error.
ErrorObject decodeError(const nlohmann::json& object);

} // namespace IpcMessageCodec
} // namespace vantrel
