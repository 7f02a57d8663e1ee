#include "platform/ErrorObject.h"

#include <cstring>
#include <system_error>

namespace vantrel {

ErrorObject ErrorObject::posix(int errorNumber, std::optional<std::string> path) {
    return ErrorObject{std::string(posixDomain), errorNumber, std::generic_category().message(errorNumber), std::move(path)};
}

ErrorObject ErrorObject::fromException(const std::exception& error) {
    if (const auto* systemError = dynamic_cast<const std::system_error*>(&error)) {
        const auto& category = systemError->code().category();
        if (category == std::generic_category() || category == std::system_category())
            return ErrorObject{std::string(posixDomain), systemError->code().value(), systemError->what(), std::nullopt};
    }
    return ErrorObject{"std::exception", 0, error.what(), std::nullopt};
}

} // namespace vantrel
