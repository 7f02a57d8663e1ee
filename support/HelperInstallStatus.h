#pragma once
// Whether the helper is registered with the service manager, as the application reports it.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

enum class HelperInstallStatus : std::uint8_t { unknown, notInstalled, installed, requiresApproval };

namespace HelperInstallStatusName {

// The case name ("requiresApproval").
std::string_view rawValue(HelperInstallStatus status);
// Exact, case-sensitive match of a case name; anything else ("Installed", "") is no status.
std::optional<HelperInstallStatus> fromRawValue(std::string_view text);

} // namespace HelperInstallStatusName
} // namespace vantrel
