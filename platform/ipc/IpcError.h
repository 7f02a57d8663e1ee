#pragma once
// Errors the connection itself raises, in the domain "VantrelIPC": refused messages, lost
// connections, replies that never came.

#include "platform/ErrorObject.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

enum class IpcErrorCode : std::int64_t {
    connectionInterrupted = 1,  // the peer went away or broke the protocol; a new connection may work
    connectionInvalidated = 2,  // this side closed the connection; it takes no more calls
    unknownSelector = 3,        // no such operation, or a one-way operation called for a reply
    invalidArguments = 4,       // wrong arity, types, sizes or descriptor count
    noReply = 5,                // the serving side dropped the call without answering
    invalidReply = 6,           // the reply does not have the types the operation declares
    messageTooLarge = 7,        // the encoded message does not fit one packet
    connectFailed = 8,          // no connection could be made
    tooManyCalls = 9,           // the peer has too many calls waiting for their answers
};

namespace IpcError {

inline constexpr std::string_view domain = "VantrelIPC";

// The error for a code, with its fixed text; detail, when given, follows after ": ".
ErrorObject make(IpcErrorCode code, const std::string& detail = {});

bool is(const ErrorObject& error, IpcErrorCode code);

} // namespace IpcError
} // namespace vantrel
