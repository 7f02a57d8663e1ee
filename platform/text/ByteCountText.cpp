#include "platform/text/ByteCountText.h"

#include <array>
#include <cmath>
#include <string_view>

namespace vantrel::ByteCountText {

namespace {

struct Unit {
    std::string_view name;
    int decimals;
};

// Unit k stands for 1000^(k+1) bytes.
constexpr std::array<Unit, 6> units = {{{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};

// value / 10^decimals as text, without trailing zeros in the fraction.
std::string decimalText(std::uint64_t value, int decimals) {
    std::uint64_t divisor = 1;
    for (int i = 0; i < decimals; ++i) divisor *= 10;
    std::string text = std::to_string(value / divisor);
    std::string fraction = std::to_string(value % divisor + divisor).substr(1);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (!fraction.empty()) text += "." + fraction;
    return text;
}

} // namespace

std::string fileStyle(std::uint64_t bytes) {
    if (bytes == 0) return "Zero KB";
    if (bytes == 1) return "1 byte";
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    // long double holds every 64-bit count exactly.
    long double scale = 1000.0L;
    std::size_t unit = 0;
    while (unit + 1 < units.size() && static_cast<long double>(bytes) >= scale * 1000.0L) {
        scale *= 1000.0L;
        ++unit;
    }
    for (;; ++unit, scale *= 1000.0L) {
        const long double factor = std::pow(10.0L, units[unit].decimals);
        const long double rounded = std::round(static_cast<long double>(bytes) / scale * factor);
        // 999,999 bytes rounds to 1000 KB, which reads better as 1 MB.
        if (rounded >= 1000.0L * factor && unit + 1 < units.size()) continue;
        return decimalText(static_cast<std::uint64_t>(rounded), units[unit].decimals) + " " + std::string(units[unit].name);
    }
}

} // namespace vantrel::ByteCountText
