#pragma once
// A failure of a helper operation, already in the form its reply carries. Thrown inside an operation
// and caught where the operation replies, so that every failure reaches the caller as one error object.

#include "platform/ErrorObject.h"

#include <exception>
#include <stdexcept>
#include <string>

namespace vantrel {

class HelperError : public std::runtime_error {
public:
    explicit HelperError(ErrorObject error) : std::runtime_error(error.message), m_error(std::move(error)) {}
    const ErrorObject& error() const { return m_error; }

    // The reply's form of any failure: a HelperError as it is; the recovery library's byte-source
    // errors under their domain and code; its POSIX errors as POSIX errors naming path (or the place
    // they name); a std::system_error as a POSIX error; anything else under "std::exception".
    static ErrorObject toErrorObject(const std::exception& failure, const std::string& path = {});

private:
    ErrorObject m_error;
};

} // namespace vantrel
