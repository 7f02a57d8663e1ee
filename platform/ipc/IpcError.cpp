#include "platform/ipc/IpcError.h"

namespace vantrel::IpcError {

namespace {

std::string_view text(IpcErrorCode code) {
    switch (code) {
    case IpcErrorCode::connectionInterrupted: return "The connection to the other program was interrupted";
    case IpcErrorCode::connectionInvalidated: return "The connection was closed";
    case IpcErrorCode::unknownSelector: return "Unknown operation";
    case IpcErrorCode::invalidArguments: return "Invalid arguments";
    case IpcErrorCode::noReply: return "The operation ended without a reply";
    case IpcErrorCode::invalidReply: return "Invalid reply";
    case IpcErrorCode::messageTooLarge: return "Message too large";
    case IpcErrorCode::connectFailed: return "Could not connect";
    case IpcErrorCode::tooManyCalls: return "Too many calls waiting for an answer";
    }
    return "Connection error";
}

} // namespace

ErrorObject make(IpcErrorCode code, const std::string& detail) {
    std::string message(text(code));
    if (!detail.empty()) message += ": " + detail;
    return ErrorObject{std::string(domain), static_cast<std::int64_t>(code), std::move(message), std::nullopt};
}

bool is(const ErrorObject& error, IpcErrorCode code) {
    return error.domain == domain && error.code == static_cast<std::int64_t>(code);
}

} // namespace vantrel::IpcError
