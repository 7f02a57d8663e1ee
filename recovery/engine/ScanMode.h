#pragma once
// How thoroughly a device is searched. Stored and sent as the case name.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

enum class ScanMode : std::uint8_t {
    standard,      // directory walks, then signature carving over the whole source
    quickUndelete, // directory walks only
};

namespace ScanModeName {

// [standard, quickUndelete], in that order.
const std::array<ScanMode, 2>& allCases();

// The stored name, equal to the case name; also the mode's identity.
std::string_view rawValue(ScanMode mode);

// Exactly "standard" or "quickUndelete"; any other text (other letter case included) is no mode.
std::optional<ScanMode> fromRawValue(std::string_view text);

} // namespace ScanModeName
} // namespace vantrel
