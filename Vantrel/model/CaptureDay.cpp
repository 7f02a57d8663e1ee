#include "Vantrel/model/CaptureDay.h"

#include <ctime>

namespace vantrel::CaptureDay {

namespace {

constexpr std::chrono::seconds dayLength{86'400};

} // namespace

HitDate startOfDay(HitDate date) {
    // Capture dates are clock faces kept as universal time: their days are whole days of it.
    return std::chrono::floor<std::chrono::days>(date);
}

HitDate lastSecondOfDay(HitDate date) { return startOfDay(date) + dayLength - std::chrono::seconds(1); }

HitDate clockFaceNow(HitDate now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(now));
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return now;
    return now + std::chrono::seconds(local.tm_gmtoff);
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
