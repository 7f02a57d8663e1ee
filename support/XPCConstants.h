#pragma once
// The names under which the helper is registered and reached. Both programs use these, so they
// are declared once. The service and property-list names keep the product's identifiers; on Linux
// the helper is reached through a local socket and started by systemd socket activation.

#include <string_view>

namespace vantrel::XPCConstants {

// The helper's service name, equal to its bundle identifier.
inline constexpr std::string_view helperMachService = "io.tessik.vantrel.helper";
// The name of the helper's registration file shipped with the application.
inline constexpr std::string_view helperPlistName = "io.tessik.vantrel.helper.plist";

// Where the helper listens.
inline constexpr std::string_view helperSocketPath = "/run/vantrel/helper.sock";
// Overrides helperSocketPath, for development and tests.
inline constexpr std::string_view helperSocketEnvironmentVariable = "VANTREL_HELPER_SOCKET";
// Members of this group (and root) may connect to a shared helper.
inline constexpr std::string_view helperGroupName = "vantrel";
// The systemd units shipped in the install tree: the socket (enabled = installed) and the service it starts.
inline constexpr std::string_view helperSocketUnit = "io.tessik.vantrel.helper.socket";
inline constexpr std::string_view helperServiceUnit = "io.tessik.vantrel.helper.service";

} // namespace vantrel::XPCConstants
