#include "support/log/StorageSizeFormatter.h"

#include <cmath>

namespace vantrel::StorageSizeFormatter {

namespace {

constexpr double mebibyte = 1048576.0;
constexpr double gibibyte = 1073741824.0;
constexpr double tebibyte = 1099511627776.0;

} // namespace

std::string format(std::uint64_t bytes) {
    const double value = static_cast<double>(bytes);
    double scaled = value / mebibyte;
    const char* unit = "MB";
    // The unit is chosen before rounding, so 2^40 - 1 bytes reads 1024 GB.
    if (value >= tebibyte) {
        scaled = value / tebibyte;
        unit = "TB";
    } else if (value >= gibibyte) {
        scaled = value / gibibyte;
        unit = "GB";
    }
    // Tenths, halves away from zero; the largest 64-bit count is 16,777,216 TB, so they fit.
    const auto tenths = static_cast<std::int64_t>(std::round(scaled * 10.0));
    const std::int64_t whole = tenths / 10;
    const std::int64_t fraction = tenths - whole * 10;
    std::string text = std::to_string(whole);
    if (fraction != 0) text += "." + std::to_string(fraction < 0 ? -fraction : fraction);
    return text + " " + unit;
}

std::string format(std::int64_t bytes) { return format(static_cast<std::uint64_t>(bytes < 0 ? 0 : bytes)); }

} // namespace vantrel::StorageSizeFormatter
