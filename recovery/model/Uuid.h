#pragma once
// A 128-bit identity in its standard text form (8-4-4-4-12 hexadecimal digits).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // A fresh random (version 4) identity.
    static Uuid random();

    // Accepts upper or lower case digits in the 8-4-4-4-12 form; anything else is no identity.
    static std::optional<Uuid> fromString(std::string_view text);

    // Lower-case 8-4-4-4-12 form.
    std::string toString() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

} // namespace vantrel
