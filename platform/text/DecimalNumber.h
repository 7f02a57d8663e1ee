#pragma once
// Unsigned numbers as the kernel writes them in its text files (sysfs attributes, mountinfo fields):
// decimal digits only, no sign, no blanks.

#include <charconv>
#include <optional>
#include <string_view>
#include <type_traits>

namespace vantrel::DecimalNumber {

// The value of a text made wholly of decimal digits, or nothing when it is empty, holds any other
// character or does not fit the type.
template <typename Number>
std::optional<Number> parse(std::string_view text) {
    static_assert(std::is_unsigned_v<Number>, "a sign is never part of the kernel's numbers");
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

} // namespace vantrel::DecimalNumber
