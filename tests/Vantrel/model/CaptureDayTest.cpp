// The capture-date range in local calendar days, in a time zone with summer time (the EU rules as a
// POSIX TZ string, so no time-zone database is needed).

#include "Vantrel/model/AppModel.h"
#include "Vantrel/model/CaptureDay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace vantrel {
namespace {

class CaptureDayTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* previous = std::getenv("TZ");
        if (previous) m_previous = previous;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    void TearDown() override {
        if (m_previous)
            setenv("TZ", m_previous->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    // A local wall-clock time in the test's zone.
    static HitDate local(int year, int month, int day, int hour, int minute, int second = 0) {
        std::tm fields{};
        fields.tm_year = year - 1900;
        fields.tm_mon = month - 1;
        fields.tm_mday = day;
        fields.tm_hour = hour;
        fields.tm_min = minute;
        fields.tm_sec = second;
        fields.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&fields));
    }

    static bool inRange(HitDate date, std::optional<HitDate> from, std::optional<HitDate> to) {
        return AppModel::captureDateInRange(date, from, to);
    }

private:
    std::optional<std::string> m_previous;
};

TEST_F(CaptureDayTest, ABoundCountsForItsWholeDayWhateverItsTime) {
    const auto from = local(2026, 3, 5, 14, 0);
    EXPECT_TRUE(inRange(local(2026, 3, 5, 8, 0), from, std::nullopt));
    EXPECT_TRUE(inRange(local(2026, 3, 5, 0, 0), from, std::nullopt));
    EXPECT_FALSE(inRange(local(2026, 3, 4, 23, 59), from, std::nullopt));
    EXPECT_FALSE(AppModel::captureDateInRange(std::nullopt, from, std::nullopt));
    EXPECT_TRUE(AppModel::captureDateInRange(std::nullopt, std::nullopt, std::nullopt));

    const auto to = local(2026, 3, 5, 9, 0);
    EXPECT_TRUE(inRange(local(2026, 3, 5, 23, 59, 59), std::nullopt, to));
    EXPECT_FALSE(inRange(local(2026, 3, 5, 23, 59, 59) + std::chrono::milliseconds(500), std::nullopt, to));
    EXPECT_FALSE(inRange(local(2026, 3, 6, 0, 0), std::nullopt, to));
    EXPECT_FALSE(inRange(local(2026, 3, 5, 12, 0), local(2026, 3, 6, 0, 0), local(2026, 3, 5, 0, 0)));
}

TEST_F(CaptureDayTest, TheShortDayOfTheSpringChangeEndsAtItsOwnMidnight) {
    // 29 March 2026 has 23 hours: 02:00 jumps to 03:00.
    const auto day = local(2026, 3, 29, 12, 0);
    EXPECT_EQ(CaptureDay::startOfDay(day), local(2026, 3, 29, 0, 0));
    EXPECT_EQ(CaptureDay::lastSecondOfDay(day), local(2026, 3, 29, 23, 59, 59));
    EXPECT_EQ(CaptureDay::lastSecondOfDay(day) - CaptureDay::startOfDay(day), std::chrono::hours(23) - std::chrono::seconds(1));
    EXPECT_TRUE(inRange(local(2026, 3, 29, 23, 30), day, day));
    EXPECT_FALSE(inRange(local(2026, 3, 30, 0, 30), day, day));
    EXPECT_FALSE(inRange(local(2026, 3, 28, 23, 30), day, day));
}

TEST_F(CaptureDayTest, TheLongDayOfTheAutumnChangeKeepsItsLastHour) {
    // 25 October 2026 has 25 hours: 03:00 goes back to 02:00.
    const auto day = local(2026, 10, 25, 1, 0);
    EXPECT_EQ(CaptureDay::lastSecondOfDay(day) - CaptureDay::startOfDay(day), std::chrono::hours(25) - std::chrono::seconds(1));
    EXPECT_TRUE(inRange(local(2026, 10, 25, 23, 30), std::nullopt, day));
    EXPECT_FALSE(inRange(local(2026, 10, 26, 0, 0), std::nullopt, day));
    EXPECT_TRUE(inRange(local(2026, 10, 25, 0, 0), day, std::nullopt));
}

} // namespace
} // namespace vantrel
