#include "support/HelperInstallStatus.h"

namespace vantrel::HelperInstallStatusName {

std::string_view rawValue(HelperInstallStatus status) {
    switch (status) {
    case HelperInstallStatus::unknown: return "unknown";
    case HelperInstallStatus::notInstalled: return "notInstalled";
    case HelperInstallStatus::installed: return "installed";
    case HelperInstallStatus::requiresApproval: return "requiresApproval";
    }
    return "unknown";
}

std::optional<HelperInstallStatus> fromRawValue(std::string_view text) {
    for (const auto status : {HelperInstallStatus::unknown, HelperInstallStatus::notInstalled, HelperInstallStatus::installed,
                              HelperInstallStatus::requiresApproval})
        if (rawValue(status) == text) return status;
    return std::nullopt;
}

} // namespace vantrel::HelperInstallStatusName
