#pragma once
// The helper service as the service manager knows it: the socket unit shipped with the program.
// Its status comes from `systemctl is-enabled` and a connection attempt (a socket this user may not
// connect to needs approval: membership of the group that may use the helper); installing enables
// and starts the socket unit, removing disables and stops it, as root directly and otherwise
// through pkexec, which asks for an administrator's password. Without systemd the service counts
// as not installed, and the application spawns a helper of its own. A change that fails says why in
// the words systemctl or pkexec wrote.

#include "Vantrel/effects/ServiceRegistrar.h"

#include "platform/process/ProcessRunner.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace vantrel {

struct SystemdServiceOptions {
    std::filesystem::path systemctl = "/usr/bin/systemctl";
    std::filesystem::path pkexec = "/usr/bin/pkexec";
    std::filesystem::path systemdRuntime = "/run/systemd/system";  // exists while systemd runs
    std::string unit;          // the socket unit
    std::string socketPath;    // where the unit listens
    uid_t uid = 0;             // the application's user
    // Long enough for an administrator to type a password into pkexec's prompt.
    std::chrono::milliseconds changeTimeLimit{120'000};

    // systemctl and pkexec are the first on PATH (else the paths above).
    static SystemdServiceOptions standard();
};

class SystemdServiceRegistrar final : public ServiceRegistrar {
public:
    explicit SystemdServiceRegistrar(SystemdServiceOptions options);

    HelperInstallStatus status() override;
    // Both run the change on a thread of their own and call done there.
    void registerService(Completion done) override;
    void unregisterService(Completion done) override;

private:
    void change(const std::string& verb, Completion done);

    SystemdServiceOptions m_options;
    ProcessRunner m_runner;
};

// What `systemctl is-enabled` printed, as an install status: not-found (or nothing) is not installed,
// enabled states are installed, the rest (disabled, masked, linked) need an administrator.
HelperInstallStatus installStatusFromUnitState(const std::string& state);

// Why a change of the registration failed, in one text for the user: what systemctl (or pkexec,
// when it refused or could not run it) wrote to its standard error, made readable and bounded;
// without any words, what became of the tool. Never the tool's raw output.
std::string serviceChangeFailure(const ProcessRequest& request, const ProcessResult& result, bool throughPkexec);

} // namespace vantrel
