#pragma once
// The error value that crosses the connection and reaches the user: a domain, a numeric code, the
// message shown to the user and, where the error concerns a file or device, its path.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

struct ErrorObject {
    // Domain of errors that carry an errno value as their code.
    static constexpr std::string_view posixDomain = "POSIX";

    std::string domain;
    std::int64_t code = 0;
    std::string message;
    std::optional<std::string> path;

    // An errno value with the system's text for it.
    static ErrorObject posix(int errorNumber, std::optional<std::string> path = std::nullopt);
    // A std::system_error of the generic or system category becomes a POSIX error; any other
    // exception keeps its what() text under the domain "std::exception", code 0.
    static ErrorObject fromException(const std::exception& error);

    friend bool operator==(const ErrorObject&, const ErrorObject&) = default;
};

} // namespace vantrel
