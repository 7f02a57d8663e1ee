#include "platform/log/SystemLog.h"

#include <gtest/gtest.h>

#include <syslog.h>

namespace vantrel {
namespace {

TEST(SystemLog, FollowsTheProcessLogMask) {
    const int previous = ::setlogmask(LOG_UPTO(LOG_INFO));
    EXPECT_FALSE(SystemLog::isLevelEnabled(SystemLogLevel::debug));
    EXPECT_TRUE(SystemLog::isLevelEnabled(SystemLogLevel::info));
    EXPECT_TRUE(SystemLog::isLevelEnabled(SystemLogLevel::error));
    // A text with format directives is written as text; without a log daemon the line is dropped.
    SystemLog::write("io.tessik.vantrel", "test", SystemLogLevel::info, "100%s %n done");
    ::setlogmask(previous);
}

} // namespace
} // namespace vantrel
