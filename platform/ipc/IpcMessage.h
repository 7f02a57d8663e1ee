#pragma once
// One message of the connection and its packet form: a UTF-8 JSON object.
//   call:  {"v":1,"k":"call","id":17,"sel":"probeDeviceWithPath:reply:","args":["/dev/sdb"]}
//   reply: {"v":1,"k":"reply","id":17,"args":[31914983424],"error":null}
//   send:  {"v":1,"k":"send","sel":"cancelScan","args":[]}
// An error is {"domain":"Vantrel","code":12,"message":"…","path":"/dev/sdb"}, "path" only when the
// error has one. The codec checks the structure; argument types are the selector table's business.

#include "platform/ErrorObject.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel {

enum class IpcMessageKind { call, reply, send };

struct IpcMessage {
    IpcMessageKind kind = IpcMessageKind::send;
    std::int64_t id = 0;                               // call and reply
    std::string selector;                              // call and send
    nlohmann::json arguments = nlohmann::json::array();
    std::optional<ErrorObject> error;                  // reply only; none on success
};

// A packet that is not a well-formed message. The connection that receives one closes.
class IpcProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace IpcMessageCodec {

inline constexpr std::int64_t protocolVersion = 1;

// The packet for a message. Strings that are not valid UTF-8 (names read from a disk) are sent
// with U+FFFD in place of the bad bytes rather than failing.
std::string encode(const IpcMessage& message);

// The message in a packet; throws IpcProtocolError when the packet is not one. Unknown keys are
// ignored so that a later version may add some.
IpcMessage decode(std::string_view packet);

nlohmann::json encodeError(const ErrorObject& error);
// Throws IpcProtocolError when the object is not an error.
ErrorObject decodeError(const nlohmann::json& object);

} // namespace IpcMessageCodec
} // namespace vantrel
