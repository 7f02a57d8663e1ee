// The capture-day rule: a picture's capture date is its camera's wall-clock day, whatever time zone the
// computer that shows it is in. Checked from the verifying child's words (date and offset) through the
// model's date filter and the catalog's stored form, under several TZ values (POSIX TZ strings, so no
// time-zone database is needed): a photo taken at 00:30 on 1 January in Tokyo (+09:00) and one taken at
// 23:30 on 31 December in Los Angeles (-08:00) each stay on their own day.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/model/CaptureDay.h"
#include "Vantrel/scan/ChildProcessIntegrityChecker.h"

#include "recovery/model/HitCoding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace vantrel {
namespace {

// The zones the rule is checked in: universal time, both photos' own zones, and zones with summer time
// on either side of the date line.
const char* const zones[] = {"UTC0",
                             "JST-9",
                             "PST8PDT,M3.2.0,M11.1.0",
                             "CET-1CEST,M3.5.0,M10.5.0/3",
                             "NZST-12NZDT,M9.5.0,M4.1.0/3",
                             "HST10",
                             "<+14>-14"};

class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* previous = std::getenv("TZ")) m_previous = previous;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedZone() {
        if (m_previous) setenv("TZ", m_previous->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    std::optional<std::string> m_previous;
};

// The start of a calendar day as the date filter stores a bound chosen in its calendar.
HitDate day(int year, int month, int dayOfMonth) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = dayOfMonth;
    return std::chrono::system_clock::from_time_t(timegm(&fields));
}

// What the quality pass takes from the verifying child for a picture.
IntegrityVerdict fromChild(const std::string& wallClock, const std::string& offset) {
    auto verdict = parseVerifyOutput("verdict ok\ndate " + wallClock + "\n" + (offset.empty() ? "" : "offset " + offset + "\n"));
    EXPECT_TRUE(verdict);
    return verdict.value_or(IntegrityVerdict{});
}

bool onDay(const IntegrityVerdict& verdict, HitDate bound) {
    return AppModel::captureDateInRange(verdict.captureDate, bound, bound);
}

TEST(CaptureDay, EachPhotoStaysOnItsOwnDayInEveryZone) {
    for (const char* zone : zones) {
        SCOPED_TRACE(zone);
        ScopedZone scoped(zone);
        const auto tokyo = fromChild("2026:01:01 00:30:00", "+09:00");
        const auto losAngeles = fromChild("2025:12:31 23:30:00", "-08:00");
        const auto noZone = fromChild("2025:12:31 23:59:59", "");
        EXPECT_TRUE(onDay(tokyo, day(2026, 1, 1)));
        EXPECT_FALSE(onDay(tokyo, day(2025, 12, 31)));
        EXPECT_TRUE(onDay(losAngeles, day(2025, 12, 31)));
        EXPECT_FALSE(onDay(losAngeles, day(2026, 1, 1)));
        EXPECT_TRUE(onDay(noZone, day(2025, 12, 31)));
        EXPECT_FALSE(onDay(noZone, day(2026, 1, 1)));
        // The offset is kept to be shown, never applied.
        EXPECT_EQ(tokyo.captureUtcOffsetMinutes, 9 * 60);
        EXPECT_EQ(losAngeles.captureUtcOffsetMinutes, -8 * 60);
        EXPECT_FALSE(noZone.captureUtcOffsetMinutes);
        EXPECT_EQ(*tokyo.captureDate, day(2026, 1, 1) + std::chrono::minutes(30));
        // Ordered by the clocks' faces: the Los Angeles photo is the earlier day.
        EXPECT_LT(*losAngeles.captureDate, *tokyo.captureDate);
        // The model's day of a date and of its range.
        EXPECT_EQ(CaptureDay::startOfDay(*tokyo.captureDate), day(2026, 1, 1));
        EXPECT_EQ(CaptureDay::lastSecondOfDay(*losAngeles.captureDate), day(2026, 1, 1) - std::chrono::seconds(1));
    }
}

TEST(CaptureDay, ABoundCountsForItsWholeDayWhateverItsTime) {
    ScopedZone scoped("CET-1CEST,M3.5.0,M10.5.0/3");
    const auto at = [](int dayOfMonth, int hour, int minute, int second = 0) {
        return day(2026, 3, dayOfMonth) + std::chrono::hours(hour) + std::chrono::minutes(minute) + std::chrono::seconds(second);
    };
    const auto from = at(5, 14, 0);
    EXPECT_TRUE(AppModel::captureDateInRange(at(5, 0, 0), from, std::nullopt));
    EXPECT_FALSE(AppModel::captureDateInRange(at(4, 23, 59, 59), from, std::nullopt));
    EXPECT_FALSE(AppModel::captureDateInRange(std::nullopt, from, std::nullopt));
    EXPECT_TRUE(AppModel::captureDateInRange(std::nullopt, std::nullopt, std::nullopt));
    const auto to = at(5, 9, 0);
    EXPECT_TRUE(AppModel::captureDateInRange(at(5, 23, 59, 59), std::nullopt, to));
    EXPECT_FALSE(AppModel::captureDateInRange(at(6, 0, 0), std::nullopt, to));
    // The day of the spring change is a whole day of the camera's clock too.
    EXPECT_TRUE(AppModel::captureDateInRange(at(29, 2, 30), at(29, 12, 0), at(29, 12, 0)));
    EXPECT_TRUE(AppModel::captureDateInRange(at(29, 23, 30), at(29, 12, 0), at(29, 12, 0)));
}

TEST(CaptureDay, ACatalogKeepsTheDayAndTheOffsetFromOneZoneToAnother) {
    RecoveredHit tokyo;
    RecoveredHit noZone;
    HitCoding::Json storedTokyo;
    HitCoding::Json storedNoZone;
    {
        ScopedZone writer("PST8PDT,M3.2.0,M11.1.0");
        const auto verdict = fromChild("2026:01:01 00:30:00", "+09:00");
        tokyo.captureDate = verdict.captureDate;
        tokyo.captureUtcOffsetMinutes = verdict.captureUtcOffsetMinutes;
        noZone.captureDate = fromChild("2025:07:14 18:05:00", "").captureDate;
        storedTokyo = HitCoding::encode(tokyo);
        storedNoZone = HitCoding::encode(noZone);
    }
    // The stored text names the moment, so a reader that takes it as one finds the right instant.
    EXPECT_EQ(storedTokyo["captureDate"], "2026-01-01T00:30:00+09:00");
    EXPECT_EQ(storedTokyo["captureUtcOffsetMinutes"], 540);
    EXPECT_EQ(storedNoZone["captureDate"], "2025-07-14T18:05:00-07:00") << "the writer's zone in summer";
    EXPECT_FALSE(storedNoZone.contains("captureUtcOffsetMinutes"));
    for (const char* zone : zones) {
        SCOPED_TRACE(zone);
        ScopedZone reader(zone);
        EXPECT_EQ(HitCoding::decode(storedTokyo).captureDate, tokyo.captureDate);
        EXPECT_EQ(HitCoding::decode(storedTokyo).captureUtcOffsetMinutes, 540);
        EXPECT_EQ(HitCoding::decode(storedNoZone).captureDate, noZone.captureDate);
        EXPECT_FALSE(HitCoding::decode(storedNoZone).captureUtcOffsetMinutes);
    }
}

TEST(CaptureDay, ACatalogOfMomentsInUniversalTimeShowsTheDayItShowedWhereItIsRead) {
    // Catalogs written before clock faces were kept hold the moment, in universal time ("Z"); read in
    // a zone, the clock face is that moment on the zone's clocks, as those catalogs were shown there.
    HitCoding::Json stored = HitCoding::encode(RecoveredHit{});
    stored["captureDate"] = "2025-12-31T23:30:00Z";
    {
        ScopedZone reader("UTC0");
        EXPECT_EQ(HitCoding::decode(stored).captureDate, day(2025, 12, 31) + std::chrono::minutes(23 * 60 + 30));
    }
    {
        ScopedZone reader("JST-9");
        EXPECT_EQ(HitCoding::decode(stored).captureDate, day(2026, 1, 1) + std::chrono::minutes(8 * 60 + 30));
    }
    stored["captureUtcOffsetMinutes"] = 15 * 60;
    EXPECT_THROW(HitCoding::decode(stored), HitDecodingError) << "no clock is 15 hours from universal time";
}

TEST(CaptureDay, ImpossibleStampsGiveNoDate) {
    EXPECT_FALSE(fromChild("2026:02:30 10:00:00", "").captureDate);
    EXPECT_FALSE(fromChild("0000:00:00 00:00:00", "").captureDate);
    const auto badOffset = fromChild("2026:01:01 10:00:00", "+15:00");
    EXPECT_FALSE(badOffset.captureDate) << "an offset no clock has makes the stamp unreadable";
    EXPECT_EQ(fromChild("2026:01:01 10:00:00", "-14:00").captureUtcOffsetMinutes, -14 * 60);
    EXPECT_EQ(fromChild("2026:01:01 10:00:00", "+05:45").captureUtcOffsetMinutes, 5 * 60 + 45);
}

} // namespace
} // namespace vantrel
