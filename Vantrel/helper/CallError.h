#pragma once
// An error object thrown through the application's tasks: a failed helper call, a time limit that ran
// out, a refusal. Catch it to read the domain, code, message and path that the user is shown.

#include "platform/ErrorObject.h"

#include <exception>
#include <utility>

namespace vantrel {

class CallError : public std::exception {
public:
    explicit CallError(ErrorObject error) : m_error(std::move(error)) {}
    const ErrorObject& error() const noexcept { return m_error; }
    const char* what() const noexcept override { return m_error.message.c_str(); }

    // The error object of any exception a task caught: this one's own, else one made from it.
    static ErrorObject objectOf(const std::exception& error) {
        if (auto* call = dynamic_cast<const CallError*>(&error)) return call->error();
        return ErrorObject::fromException(error);
    }

private:
    ErrorObject m_error;
};

} // namespace vantrel
