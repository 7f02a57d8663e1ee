#pragma once
// The system log through syslog(3): one identity per process (the first subsystem written under), the
// category in brackets before each text. journald and rsyslog both take these lines.

#include <string_view>

namespace vantrel {

enum class SystemLogLevel { debug, info, error };

namespace SystemLog {

// Whether the process's log mask lets lines of this level through (setlogmask(3)).
bool isLevelEnabled(SystemLogLevel level);

// Writes "[category] text" at the level's priority. The text is passed as one "%s" argument, never as a
// format. Never fails.
void write(std::string_view subsystem, std::string_view category, SystemLogLevel level, std::string_view text);

} // namespace SystemLog
} // namespace vantrel
