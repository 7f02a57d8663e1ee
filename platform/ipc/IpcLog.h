#pragma once
// The IPC layer's only way to log: an optional sink the program wires to its own logger.

#include <functional>
#include <string>

namespace vantrel {

enum class IpcLogLevel { debug, info, error };

// Called from any thread of the layer; must not call back into the connection that logs.
using IpcLogSink = std::function<void(IpcLogLevel level, const std::string& message)>;

inline void ipcLog(const IpcLogSink& sink, IpcLogLevel level, const std::string& message) {
    if (sink) sink(level, message);
}

} // namespace vantrel
