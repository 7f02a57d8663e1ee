#pragma once
// The helper's service registration (a socket unit of the service manager here): its status, and
// installing or removing it. Installing and removing may ask the user for a password, so they
// answer through a completion, which may run on any thread; the status is read at once.
//
// Rules for implementers: each completion runs exactly once, with an error object when the
// registration did not change as asked.

#include "platform/ErrorObject.h"
#include "support/HelperInstallStatus.h"

#include <functional>
#include <optional>

namespace vantrel {

class ServiceRegistrar {
public:
    using Completion = std::function<void(std::optional<ErrorObject> error)>;

    virtual ~ServiceRegistrar() = default;

    virtual HelperInstallStatus status() = 0;
    virtual void registerService(Completion done) = 0;
    virtual void unregisterService(Completion done) = 0;
    // Whether the last registration that succeeded had to make the group whose members may use the
    // helper first. Read after its completion.
    virtual bool lastRegistrationMadeGroup() const { return false; }
};

} // namespace vantrel
