#include "platform/log/SystemLog.h"

#include <mutex>
#include <string>
#include <syslog.h>

namespace vantrel::SystemLog {

namespace {

int priority(SystemLogLevel level) {
    switch (level) {
    case SystemLogLevel::debug: return LOG_DEBUG;
    case SystemLogLevel::info: return LOG_INFO;
    case SystemLogLevel::error: return LOG_ERR;
    }
    return LOG_ERR;
}

// openlog keeps the identity pointer, so the text must outlive every later syslog call.
void openOnce(std::string_view subsystem) {
    static std::once_flag opened;
    static std::string identity;
    std::call_once(opened, [subsystem] {
        identity.assign(subsystem);
        ::openlog(identity.c_str(), LOG_PID, LOG_USER);
    });
}

} // namespace

bool isLevelEnabled(SystemLogLevel level) {
    // setlogmask(0) reads the mask without changing it.
    return (::setlogmask(0) & LOG_MASK(priority(level))) != 0;
}

void write(std::string_view subsystem, std::string_view category, SystemLogLevel level, std::string_view text) {
    openOnce(subsystem);
    std::string line;
    line.reserve(category.size() + text.size() + 3);
    line.append("[").append(category).append("] ").append(text);
    ::syslog(priority(level), "%s", line.c_str());
}

} // namespace vantrel::SystemLog
