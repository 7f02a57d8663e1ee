#include "recovery/filesystems/Utf16Text.h"

#include "base/Utf8Text.h"

namespace vantrel {

std::string utf8FromUtf16(const std::vector<std::uint16_t>& units) {
    constexpr std::uint32_t replacement = 0xFFFD;
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            Utf8Text::append(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            Utf8Text::append(out, replacement);
        } else {
            Utf8Text::append(out, unit);
        }
    }
    return out;
}

} // namespace vantrel
