#include "support/VantrelError.h"

#include <algorithm>
#include <cerrno>
#include <cctype>

namespace vantrel::VantrelError {

ErrorObject diskAccessDeniedError(const std::optional<std::string>& path, const std::optional<std::string>& helperPath) {
    std::string message = "Linux blocked raw disk access. Allow disk access for Vantrel in system settings, then retry.";
    if (helperPath && !helperPath->empty()) message += " Helper: " + *helperPath;
    return ErrorObject{std::string(domain), diskAccessDenied, std::move(message), path};
}

ErrorObject refusedForUserError(const std::optional<std::string>& path, std::string reason) {
    return ErrorObject{std::string(domain), refusedForUser, std::move(reason), path};
}

bool isDiskAccessDenied(const ErrorObject& error) {
    if (error.domain == domain && error.code == diskAccessDenied) return true;
    if (error.domain == ErrorObject::posixDomain && (error.code == EPERM || error.code == EACCES)) return true;
    std::string lowered = error.message;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* phrase : {"not permitted", "full disk access", "vollzugriff"})
        if (lowered.find(phrase) != std::string::npos) return true;
    return false;
}

bool isDiskAccessDenied(const std::exception& error) { return isDiskAccessDenied(ErrorObject::fromException(error)); }

} // namespace vantrel::VantrelError
