#include "Vantrel/model/CaptureDay.h"

#include <ctime>

namespace vantrel::CaptureDay {

namespace {

// Local midnight of the calendar day dayOffset days after the date's day. mktime normalises the day
// of the month and, with tm_isdst = -1, finds whether that midnight falls in summer time.
std::optional<HitDate> localMidnight(HitDate date, int dayOffset) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(date));
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return std::nullopt;
    local.tm_mday += dayOffset;
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    const std::time_t midnight = std::mktime(&local);
    if (midnight == static_cast<std::time_t>(-1)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(midnight);
}

} // namespace

HitDate startOfDay(HitDate date) {
    return localMidnight(date, 0).value_or(date);
}

HitDate lastSecondOfDay(HitDate date) {
    // When the calendar cannot name the next day, the bound itself is the end.
    const auto next = localMidnight(date, 1);
    if (!next) return date;
    return *next - std::chrono::seconds(1);
}

Window Window::of(const std::optional<HitDate>& from, const std::optional<HitDate>& to) {
    Window window;
    window.active = from.has_value() || to.has_value();
    if (from) window.first = startOfDay(*from);
    if (to) window.last = lastSecondOfDay(*to);
    return window;
}

bool Window::admits(const std::optional<HitDate>& captureDate) const {
    if (!active) return true;
    if (!captureDate) return false;
    if (first && *captureDate < *first) return false;
    if (last && *captureDate > *last) return false;
    return true;
}

bool captureDateInRange(const std::optional<HitDate>& captureDate, const std::optional<HitDate>& from,
                        const std::optional<HitDate>& to) {
    return Window::of(from, to).admits(captureDate);
}

} // namespace vantrel::CaptureDay
