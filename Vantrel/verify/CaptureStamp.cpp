#include "Vantrel/verify/CaptureStamp.h"

#include <charconv>
#include <ctime>

namespace vantrel {

namespace {

bool number(std::string_view text, std::size_t at, std::size_t digits, int& out) {
    if (at + digits > text.size()) return false;
    for (std::size_t i = at; i < at + digits; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return std::from_chars(text.data() + at, text.data() + at + digits, out).ec == std::errc{};
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

} // namespace

namespace CaptureDate {

std::optional<HitDate> toDate(const CaptureStamp& stamp) {
    // "YYYY:MM:DD HH:MM:SS"
    const std::string_view text = stamp.wallClock;
    if (text.size() != 19 || text[4] != ':' || text[7] != ':' || text[10] != ' ' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!number(text, 0, 4, year) || !number(text, 5, 2, month) || !number(text, 8, 2, day) ||
        !number(text, 11, 2, hour) || !number(text, 14, 2, minute) || !number(text, 17, 2, second))
        return std::nullopt;
    // Cameras without a set clock write zeros; those and impossible fields are no date.
    if (year < 1900 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return std::nullopt;
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    if (stamp.offset && !offsetMinutes(stamp)) return std::nullopt;
    // The face of the clock: the same fields in universal time, whatever zone the computer is in.
    return std::chrono::system_clock::from_time_t(timegm(&fields));
}

std::optional<std::int32_t> offsetMinutes(const CaptureStamp& stamp) {
    if (!stamp.offset) return std::nullopt;
    // "+HH:MM" or "-HH:MM", at most 14 hours from universal time.
    const std::string_view offset = *stamp.offset;
    int hours = 0, minutes = 0;
    if (offset.size() != 6 || (offset[0] != '+' && offset[0] != '-') || offset[3] != ':' || !number(offset, 1, 2, hours) ||
        !number(offset, 4, 2, minutes) || minutes > 59 || hours * 60 + minutes > 14 * 60)
        return std::nullopt;
    return (offset[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

} // namespace CaptureDate
} // namespace vantrel
